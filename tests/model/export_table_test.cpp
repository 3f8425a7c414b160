#include "model/export_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "Vevara_Rovo_dar.h"
#include "model/info_block.h"
#include "model/test_blocks.h"
#include "model/var_list.h"
#include "support/session_fixture.h"

namespace velkor {
namespace {

// A module is a set of names here; each found name resolves to a distinct
// non-null address.
void *lookup_in_set(void *module, const char *name) {
    auto *names = static_cast<std::set<std::string> *>(module);
    auto it = names->find(name);
    return it == names->end() ? nullptr : const_cast<std::string *>(&*it);
}

std::set<std::string> every_name() {
    return {"_Initialize", "_Close", "_Address", "_AutoStart", "_CheckSum", "_Download", "_Erase", "_PrgData",
            "_Program", "_Wrsn", "_SnConvertUint2Agt", "_AppInfo", "_CommRefresh", "_Connect", "_Disconnect",
            "_FlashInfo", "_FindDROVAs", "_ReadInfo", "_Reset", "_StartApp", "_GetRandomId", "_IsConnected",
            "_IsInSubnet", "_IsCompatibleFOSIfcVersion", "_HasCompatibleFWVersion", "_GetConnectErrorInfo",
            "_GetConnectInfo", "_GetHintAboutDROVA", "_GetErrorString", "_GetUdpPortFromRegistry",
            "_SetUdpPortToRegistry", "_GetCompatibleFOSVersions", "_ConsistencyCheck", "_IsSupportedFwFeature",
            "_GetDeviceName", "_DeviceClose"};
}

void *address_of(std::set<std::string> &names, const char *name) { return lookup_in_set(&names, name); }

// Every name in its own slot: a swap of two entry points would hand a host
// the wrong function.
TEST(ExportTable, EveryNameInItsSlot) {
    const char *in_slot_order[34] = {
        "_Initialize", "_Close", "_Address", "_AutoStart", "_CheckSum", "_Download", "_Erase", "_PrgData",
        "_Program", "_Wrsn", "_SnConvertUint2Agt", "_AppInfo", "_CommRefresh", "_Connect", "_Disconnect",
        "_FlashInfo", "_FindDROVAs", "_ReadInfo", "_Reset", "_StartApp", "_GetRandomId", "_IsConnected",
        "_IsInSubnet", "_IsCompatibleFOSIfcVersion", "_HasCompatibleFWVersion", "_GetConnectErrorInfo",
        "_GetConnectInfo", "_GetHintAboutDROVA", "_GetErrorString", "_GetUdpPortFromRegistry",
        "_SetUdpPortToRegistry", "_GetCompatibleFOSVersions", "_ConsistencyCheck", "_IsSupportedFwFeature"};
    auto names = every_name();
    void **table = check_export_table(lookup_in_set, &names, nullptr, 0);
    ASSERT_NE(table, nullptr);
    for (int slot = 0; slot < 34; ++slot) EXPECT_EQ(table[slot], address_of(names, in_slot_order[slot])) << slot;
    EXPECT_EQ(table[34], nullptr);
    EXPECT_EQ(table[35], nullptr);
    EXPECT_EQ(table[38], address_of(names, "_GetDeviceName"));
    EXPECT_EQ(table[39], address_of(names, "_DeviceClose"));
    std::set<void *> distinct(table, table + 34);
    EXPECT_EQ(distinct.size(), 34u);
}

TEST(ExportTable, MissingNameStopsTheLookupAndIsReported) {
    auto names = every_name();
    check_export_table(lookup_in_set, &names, nullptr, 0);  // fill every slot
    names.erase("_Erase");
    char message[64];
    std::memset(message, 'x', sizeof message);
    void **table = check_export_table(lookup_in_set, &names, message, sizeof message);
    EXPECT_EQ(table, nullptr);
    EXPECT_STREQ(message, "Unable to locate Erase method in doduzerez.eza.");
    EXPECT_EQ(std::strlen(message), 47u);
    auto full = every_name();
    void **kept = check_export_table(lookup_in_set, &full, nullptr, 0);
    ASSERT_NE(kept, nullptr);
}

TEST(ExportTable, LaterSlotsKeepTheirValuesAfterAFailure) {
    auto names = every_name();
    void **table = check_export_table(lookup_in_set, &names, nullptr, 0);
    void *close_before = table[1];
    names.erase("_DeviceClose");
    char message[8];
    EXPECT_EQ(check_export_table(lookup_in_set, &names, message, 1), nullptr);
    EXPECT_STREQ(message, "") << "max 1 writes an empty text";
    EXPECT_EQ(table[39], nullptr);
    EXPECT_EQ(table[1], close_before);
    EXPECT_NE(table[38], nullptr);
    names.erase("_Address");
    EXPECT_EQ(check_export_table(lookup_in_set, &names, message, sizeof message), nullptr);
    EXPECT_STREQ(message, "Unable ");
    EXPECT_EQ(table[2], nullptr);
    EXPECT_EQ(table[1], close_before) << "slots after the missing name stay as they were";
    EXPECT_EQ(check_export_table(lookup_in_set, &names, nullptr, 5), nullptr) << "no buffer: nothing written";
}

TEST(ExportTable, SessionListsOnlyWhileASessionRuns) {
    auto names = every_name();
    void **table = check_export_table(lookup_in_set, &names, nullptr, 0);
    ASSERT_EQ(_Initialize(nullptr, nullptr, 0), 0);
    EXPECT_NE(table[36], nullptr);
    EXPECT_NE(table[37], nullptr);
    EXPECT_NE(table[36], table[37]);
    _Close();
    EXPECT_EQ(table[36], nullptr);
    EXPECT_EQ(table[37], nullptr);
}

}  // namespace
}  // namespace velkor

namespace velkor::testing {
namespace {

class ExportTableLists : public SessionFixture {};

// A host built on the library's own list types reads slots 36 and 37 as the
// lists themselves: the sector records (each with its block pointer first)
// and the found-device entries.
TEST_F(ExportTableLists, SlotsThirtySixAndThirtySevenAreTheListsThemselves) {
    auto names = every_name();
    void **table = check_export_table(lookup_in_set, &names, nullptr, 0);
    ASSERT_NE(table, nullptr);
    session().workers()->flash_sectors.append(WireBlock(42).name("Motor control"));
    session().workers()->flash_sectors.append(WireBlock(0xFFFFFFFF));
    TDROVAInfo entry{};
    entry.serialNumber = 7;
    session().workers()->found_devices.emplace(entry);

    const auto &sectors = *static_cast<const TVarList<TCInfoField> *>(table[36]);
    ASSERT_EQ(sectors.size(), 2u);
    EXPECT_EQ(sectors[0].info().id(), 42u);
    EXPECT_EQ(sectors[0].info().name(), "Motor control");
    EXPECT_EQ(sectors[1].info().id(), 0xFFFFFFFFu);
    const auto *block = *reinterpret_cast<const std::uint8_t *const *>(&sectors[0]);
    EXPECT_EQ(block[VELKOR_INFO_ID + 3], 42) << "the record's first field is its block, as received";
    const auto &found = *static_cast<const TVarList<TDROVAInfo> *>(table[37]);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].serialNumber, 7u);
}

}  // namespace
}  // namespace velkor::testing
