#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Vevara_Rovo_dar.h"
#include "model/test_blocks.h"
#include "support/session_fixture.h"

namespace velkor::testing {
namespace {

std::string hint(int flags, const TDROVAInfo *info, int max = 4096) {
    std::vector<char> dst(static_cast<std::size_t>(max) + 1, '#');
    _GetHintAboutDROVA(flags, info, dst.data(), max);
    return dst.data();
}

TDROVAInfo device(const char *name = "X") {
    TDROVAInfo info{};
    std::strncpy(info.deviceName, name, sizeof info.deviceName);
    info.fosIfcVersion = 0x01010000;
    info.hwVersion = 0x01020003;
    info.serialNumber = 0x8D0123;
    info.autostartAppId = 0xFFFFFFFF;
    return info;
}

class HintText : public SessionFixture {
protected:
    void TearDown() override {
        *_GetConnectInfo() = TDROVAInfo{};
        SessionFixture::TearDown();
    }
    TDROVAInfo *connected(const TDROVAInfo &info) { return &(*_GetConnectInfo() = info); }
    void sector(std::uint32_t id, const std::string &name) {
        session().workers()->flash_sectors.append(WireBlock(id).name(name));
    }
};

TEST_F(HintText, BoldLabelsWithTheirValues) {
    const TDROVAInfo info = device();
    EXPECT_EQ(hint(0x4000 | 0x2 | 0x8, &info), "<b>HW Device: </b>X\n<b>Hardware version: </b>1.2.0.3\n");
    EXPECT_EQ(hint(0x2 | 0x4 | 0x8 | 0x10, &info),
              "HW Device: X\nSerial Number: KV47D00291\nHardware version: 1.2.0.3\nPC-FOS interface version: 1.1.0.0\n");
}

TEST_F(HintText, FlagsWithoutOutput) {
    const TDROVAInfo info = device();
    for (int flags : {0, 0x1, 0x40, 0x80, 0x2000, 0x4000, 0x8000, 0x10000, 0x1 | 0x40 | 0x80 | 0x6000}) {
        EXPECT_EQ(hint(flags, &info), "") << std::hex << flags;
    }
}

TEST_F(HintText, ConnectedDeviceOnlyPartsNeedTheConnectedRecord) {
    sector(40, "App");
    const TDROVAInfo found = device();
    EXPECT_EQ(hint(0x20 | 0x800 | 0x1000, &found), "");
    EXPECT_EQ(hint(0x20 | 0x800 | 0x1000, connected(found)),
              "Autostart application: N/A\nFlash Sectors:\nApp (40)\nFirmware Applications:\nApp\n");
}

TEST_F(HintText, SerialNumberFallsBackToSixDigitDecimal) {
    TDROVAInfo info = device();
    info.serialNumber = 123;
    EXPECT_EQ(hint(0x4, &info), "Serial Number: 000123\n");
    info.serialNumber = 1234567;
    EXPECT_EQ(hint(0x4, &info), "Serial Number: 1234567\n");
    info.serialNumber = 0x018D0123;  // the whole word, unmasked: no text form
    EXPECT_EQ(hint(0x4, &info), "Serial Number: 26018083\n");
}

TEST_F(HintText, WildcardVersionsReadDontCare) {
    TDROVAInfo info = device();
    info.fosIfcVersion = W;
    info.hwVersion = W;
    EXPECT_EQ(hint(0x8 | 0x10, &info), "Hardware version: Don't care\nPC-FOS interface version: Don't care\n");
}

TEST_F(HintText, EthernetBlockIndentsTwice) {
    const TDROVAInfo info = device();
    EXPECT_EQ(hint(0x100 | 0x2000, &info), "Ethernet Settings:\n    Use Automatic configuration: \n");
    EXPECT_EQ(hint(0x100, &info), "Ethernet Settings:\nUse Automatic configuration: \n");
}

TEST_F(HintText, UdpBlockWithZeroAddress) {
    const TDROVAInfo info = device();
    EXPECT_EQ(hint(0x200 | 0x2000 | 0x4000, &info),
              "<b>UDP/IP Settings:</b>\n    <b>Use DHCP: </b>\n    Max. Ethernet data length: \n"
              "<b>Configured IP address:</b> 0.0.0.0\n");
}

TEST_F(HintText, ConfiguredByRunsIntoTheNextPart) {
    TDROVAInfo *info = connected(device());
    EXPECT_EQ(hint(0x400 | 0x1000, info), "Configured by:Flash Sectors:\n");
    EXPECT_EQ(hint(0x400, info), "Configured by:");
}

TEST_F(HintText, AutostartLine) {
    TDROVAInfo info = device();
    info.autostartAppId = 40;
    EXPECT_EQ(hint(0x20, connected(info)), "Autostart application: 40\n");  // no sectors known
    sector(kEmptySectorId, "");
    sector(40, "Loader");
    EXPECT_EQ(hint(0x20, connected(info)), "Autostart application: Loader\n");
    info.autostartAppId = 41;  // not on the device: no value, no line feed
    EXPECT_EQ(hint(0x20 | 0x100, connected(info)),
              "Autostart application: Ethernet Settings:\nUse Automatic configuration: \n");
    info.autostartAppId = 0xFFFFFFFF;
    EXPECT_EQ(hint(0x20, connected(info)), "Autostart application: N/A\n");
}

TEST_F(HintText, SectorsThenApplicationsInListOrder) {
    sector(40, "Alpha");
    sector(kEmptySectorId, "ignored");
    sector(0x80000000u, "Neg");
    sector(2, std::string(64, 'L'));
    const std::string long_name(63, 'L');
    std::vector<std::uint8_t> table(4 * VELKOR_INFO_BLOCK_SIZE), after(table.size());
    ASSERT_EQ(_GetFlashSectors(table.data(), 4), 4);
    EXPECT_EQ(hint(0x800 | 0x1000 | 0x2000, connected(device())),
              "Flash Sectors:\n  Alpha (40)\n  Empty\n  Neg (-2147483648)\n  " + long_name +
                  " (2)\nFirmware Applications:\n  Alpha\n  Neg\n  " + long_name + "\n");
    // The names are cut on a copy: the table keeps the full field as sent.
    ASSERT_EQ(_GetFlashSectors(after.data(), 4), 4);
    EXPECT_EQ(after, table);
}

TEST_F(HintText, EmptyListGivesOnlyTheLabels) {
    EXPECT_EQ(hint(0x800 | 0x1000 | 0x4000, connected(device())),
              "<b>Flash Sectors:</b>\n<b>Firmware Applications:</b>\n");
}

TEST_F(HintText, ConnectedRecordWithoutSessionHasNoSectors) {
    TDROVAInfo *info = connected(device());
    _Close();
    EXPECT_EQ(hint(0x20 | 0x1000, info), "Autostart application: N/A\nFlash Sectors:\n");
}

TEST_F(HintText, AFullNameFieldEndsAtTheField) {
    TDROVAInfo info = device();
    std::memset(info.deviceName, 'N', sizeof info.deviceName);
    info.status = 0x41414141;  // would follow the name if it ran on
    EXPECT_EQ(hint(0x2, &info), "HW Device: " + std::string(64, 'N') + "\n");
}

TEST_F(HintText, CutToMaxMinusOne) {
    const TDROVAInfo info = device();
    EXPECT_EQ(hint(0x4000 | 0x2, &info, 3), "<b");  // inside the mark
    EXPECT_EQ(hint(0x4000 | 0x2, &info, 18), "<b>HW Device: </b");
    EXPECT_EQ(hint(0x2, &info, 1), "");
    EXPECT_EQ(hint(0x2, &info, 15), "HW Device: X\n");
}

TEST_F(HintText, NothingIsWrittenWhereThereIsNowhereToWrite) {
    const TDROVAInfo info = device();
    char dst[4] = {'a', 'b', 'c', 'd'};
    _GetHintAboutDROVA(0x2, &info, dst, 0);
    _GetHintAboutDROVA(0x2, &info, dst, -1);
    EXPECT_EQ(dst[0], 'a');
    _GetHintAboutDROVA(0x2, &info, nullptr, 100);
    _GetHintAboutDROVA(0x2, nullptr, dst, sizeof dst);
    EXPECT_EQ(dst[0], '\0');
    EXPECT_EQ(dst[1], 'b');
}

}  // namespace
}  // namespace velkor::testing
