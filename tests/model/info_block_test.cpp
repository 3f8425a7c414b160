#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "model/byte_order.h"
#include "model/device_info.h"
#include "model/info_block.h"
#include "model/ip_address.h"
#include "model/var_list.h"
#include "model/version.h"
#include "model/test_blocks.h"

namespace velkor::testing {
namespace {

TEST(InfoBlock, GettersReadBigEndianWordsAndLeaveTheBlockAsReceived) {
    const WireBlock wire = WireBlock(0x12345678)
                               .name("App")
                               .version_a(0x01020304)
                               .version_b(0x05060708)
                               .fw_version(0x090A0B0C)
                               .version_c(0x0D0E0F10)
                               .version_d(0x11121314);
    TCInfoField record(wire);
    const TCMoreInfo &info = record.info();
    EXPECT_EQ(info.id(), 0x12345678u);
    EXPECT_EQ(info.version_a(), 0x01020304u);
    EXPECT_EQ(info.version_b(), 0x05060708u);
    EXPECT_EQ(info.fw_version(), 0x090A0B0Cu);
    EXPECT_EQ(info.version_c(), 0x0D0E0F10u);
    EXPECT_EQ(info.version_d(), 0x11121314u);
    EXPECT_EQ(info.name(), "App");
    EXPECT_EQ(std::memcmp(record.data(), wire.data(), wire.size()), 0);
}

TEST(InfoBlock, AFullLengthNameReadsAsItsFirst63Characters) {
    const std::string full(kInfoNameSize, 'N');
    TCInfoField record(WireBlock(9).name(full));
    EXPECT_EQ(record.info().name(), full.substr(0, 63));
    EXPECT_EQ(record.data()[67], 0);
}

TEST(InfoBlock, RecordsAreReadThroughTheirFirstWord) {
    TCInfoField record(WireBlock(77));
    EXPECT_EQ(TCMoreInfo::of_record(&record).id(), 77u);
    const TCMoreInfo view = record.info();
    EXPECT_EQ(TCMoreInfo::of_record(&view).block(), record.data());
}

TEST(InfoBlock, EmptyRecordIsZeroedAndClearZeroesAgain) {
    TCInfoField record;
    EXPECT_EQ(record.info().id(), 0u);
    record.assign(WireBlock(kEmptySectorId).name("x"));
    EXPECT_EQ(record.info().id(), kEmptySectorId);
    record.clear();
    EXPECT_EQ(record.info().id(), 0u);
    EXPECT_EQ(record.info().name(), "");
}

struct Counted {
    explicit Counted(int &alive) : alive(alive) { ++alive; }
    ~Counted() { --alive; }
    int &alive;
};

TEST(VarList, OwnsItsItemsKeepsTheirAddressesAndDestroysThemOnClear) {
    int alive = 0;
    {
        TVarList<Counted> list;
        Counted &first = list.emplace(alive);
        for (int i = 0; i < 100; ++i) list.emplace(alive);
        EXPECT_EQ(&list[0], &first);
        EXPECT_EQ(alive, 101);
        int visited = 0;
        for (Counted &item : list) visited += &item.alive == &alive;
        EXPECT_EQ(visited, 101);
        list.clear();
        EXPECT_TRUE(list.empty());
        EXPECT_EQ(alive, 0);
        list.emplace(alive);
    }
    EXPECT_EQ(alive, 0);
}

TEST(ByteOrder, ReversalSwapsEndsInPlace) {
    std::uint8_t bytes[] = {1, 2, 3, 4, 5};
    reverse_bytes(bytes, 0);
    reverse_bytes(bytes, 1);
    EXPECT_EQ(bytes[0], 1);
    reverse_bytes(bytes, 4);
    EXPECT_EQ(std::memcmp(bytes, "\4\3\2\1\5", 5), 0);
    reverse_bytes(bytes, 5);
    EXPECT_EQ(std::memcmp(bytes, "\5\1\2\3\4", 5), 0);
}

TEST(Version, TextAndMatching) {
    EXPECT_EQ(Version{0x01010000}.text(), "1.1.0.0");
    EXPECT_EQ(Version{0xFFFFFFFF}.text(), "255.255.255.255");
    EXPECT_EQ(Version{W}.text(), "Don't care");
    EXPECT_EQ(Version{0xFFFEFDFD}.text(), "255.254.253.253");
    EXPECT_TRUE(Version{5}.matches(Version{5}));
    EXPECT_FALSE(Version{5}.matches(Version{6}));
    EXPECT_TRUE(Version{W}.matches(Version{6}));
    EXPECT_TRUE(Version{6}.matches(Version{W}));
    EXPECT_EQ(TVIpAddress{0xC0A80A01}.text(), "192.168.10.1");
    EXPECT_EQ(TVIpAddress{}.text(), "0.0.0.0");
}

// An 88-byte search report with big-endian words.
std::array<std::uint8_t, kDeviceReportSize> report(std::uint32_t fos, std::uint32_t status, std::uint32_t serial) {
    std::array<std::uint8_t, kDeviceReportSize> bytes{};
    store_be32(&bytes[0], fos);
    std::memcpy(&bytes[4], "Dev", 3);
    store_be32(&bytes[68], status);
    store_be32(&bytes[72], serial);
    store_be32(&bytes[76], 0x01020003);
    store_be32(&bytes[80], 0xFFFFFFFF);
    store_be32(&bytes[84], 0xA1B2C3D4);
    return bytes;
}

TDROVAInfo found(std::uint32_t fos, std::uint32_t status, std::uint32_t serial, std::string_view path = "p") {
    TDROVAInfo entry = make_found_entry(report(fos, status, serial), path);
    found_entry_to_host_order(entry);
    return entry;
}

TEST(FoundEntry, WordsComeIntoHostOrderExceptTheReservedWord) {
    const TDROVAInfo entry = found(0x01010000, 7, 0x00812345, "\\\\?\\usb#dev");
    EXPECT_EQ(entry.fosIfcVersion, 0x01010000u);
    EXPECT_EQ(entry.status, 7u);
    EXPECT_EQ(entry.serialNumber, 0x812345u);
    EXPECT_EQ(entry.hwVersion, 0x01020003u);
    EXPECT_EQ(entry.autostartAppId, 0xFFFFFFFFu);
    const std::uint8_t reserved_wire[] = {0xA1, 0xB2, 0xC3, 0xD4};
    EXPECT_EQ(std::memcmp(&entry.reserved, reserved_wire, 4), 0);
    EXPECT_STREQ(entry.deviceName, "Dev");
    EXPECT_STREQ(entry.devicePath, "\\\\?\\usb#dev");
}

TEST(FoundEntry, SerialNumberKeepsItsLow24BitsAndAllOnesMeansNone) {
    EXPECT_EQ(found(0x01010000, 0, 0xAB812345).serialNumber, 0x812345u);
    EXPECT_EQ(found(0x01010000, 0, 0x00FFFFFF).serialNumber, 0u);
    EXPECT_EQ(found(0x01010000, 0, 0x12FFFFFF).serialNumber, 0u);
}

TEST(FoundEntry, AnIncompatibleFosVersionGivesStatus2) {
    EXPECT_EQ(found(0x01010000, 3, 1).status, 3u);
    EXPECT_EQ(found(W, 5, 1).status, 5u);
    EXPECT_EQ(found(0x01010001, 3, 1).status, kStatusFosIncompatible);
    EXPECT_EQ(found(0, 0, 1).status, kStatusFosIncompatible);
}

TEST(FoundEntry, AnOverlongPathIsCutAndTerminated) {
    const std::string path(400, 'x');
    const TDROVAInfo entry = found(0x01010000, 0, 1, path);
    EXPECT_EQ(std::string(entry.devicePath), path.substr(0, 259));
}

}  // namespace
}  // namespace velkor::testing
