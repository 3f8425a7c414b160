#include <gtest/gtest.h>

#include <cstring>

#include "commands/maintenance_fixture.h"

namespace velkor::testing {
namespace {

class InformationQueries : public MaintenanceFixture {
protected:
    std::vector<std::uint32_t> sector_ids() {
        return session().workers()->flash_sectors.read([](const auto &list) {
            std::vector<std::uint32_t> ids;
            for (const auto &sector : list) ids.push_back(sector.info().id());
            return ids;
        });
    }

    // Answers the flash information command with these frames only.
    void flash_answer(std::vector<Block> frames) {
        device->set_override([frames](const Block &frame) -> std::optional<std::vector<Block>> {
            if (frame[20] != 0xE7) return std::nullopt;
            return frames;
        });
    }

    // A table that broke off names no staging area: a download is refused
    // before anything is sent, and posts nothing.
    void expect_download_refused() {
        TBinList *list = _BinListCreate();
        Bytes data(8, 1);
        BinBlock block{0, 8, data.data()};
        _BinListAdd(list, &block);
        const std::size_t before = frames_written();
        ASSERT_TRUE(wait_idle());
        events.clear();
        EXPECT_EQ(_Download(0, list), 1);
        _BinListFree(list);
        pass(100);
        EXPECT_EQ(frames_written(), before);
        EXPECT_TRUE(events.events().empty());
    }

    static Block flash_frame(std::uint8_t announced, std::size_t first, std::size_t count) {
        Bytes body{0xE7, announced};
        for (std::size_t i = first; i < first + count; ++i) {
            const InfoBlock block = info_block(static_cast<std::uint32_t>(100 + i), "x");
            body.insert(body.end(), block.begin(), block.end());
        }
        return answer_frame(body);
    }
};

TEST_F(InformationQueries, FlashTableOverSeveralFrames) {
    const auto blocks = sector_blocks(5);
    connect_device(blocks);
    // Asked while the table comes in, in the middle of its answer.
    int count_while_reading = -1, complete_while_reading = -1;
    device->set_override([&](const Block &frame) -> std::optional<std::vector<Block>> {
        if (frame[20] == 0xE7) {
            count_while_reading = _GetFlashSectors(nullptr, 0);
            complete_while_reading = _IsFlashTableComplete();
        }
        return std::nullopt;
    });
    ASSERT_EQ(_FlashInfo(), 0);
    ASSERT_TRUE(events.wait_for({11, 0}));
    ASSERT_TRUE(wait_idle());
    EXPECT_EQ(events.events(), (std::vector<Event>{{11, 0}}));
    EXPECT_EQ(sector_ids(), (std::vector<std::uint32_t>{100, 101, 102, 103, 104}));
    EXPECT_EQ(count_while_reading, 0);
    EXPECT_EQ(complete_while_reading, 0);

    // The blocks as they came, never more than asked for.
    EXPECT_EQ(_IsFlashTableComplete(), 1);
    EXPECT_EQ(_GetFlashSectors(nullptr, 0), 5);
    std::vector<std::uint8_t> copies(6 * 168, 0xAB);
    for (const int max : {0, 3, 5, 6}) {
        std::fill(copies.begin(), copies.end(), 0xAB);
        EXPECT_EQ(_GetFlashSectors(copies.data(), max), 5) << max;
        for (int i = 0; i < 6; ++i) {
            const Bytes copy(copies.begin() + i * 168, copies.begin() + (i + 1) * 168);
            if (i < std::min(max, 5))
                EXPECT_EQ(copy, Bytes(blocks[i].begin(), blocks[i].end())) << max << " " << i;
            else
                EXPECT_EQ(copy, Bytes(168, 0xAB)) << "written past max " << max << " at " << i;
        }
    }
    EXPECT_EQ(_GetFlashSectors(copies.data(), -1), 5);
    EXPECT_EQ(_GetFlashSectors(nullptr, 3), 5);
    device->set_override({});
    // The link that the command opened is closed again by its end.
    EXPECT_FALSE(usb::UsbIsOpen());

    // A second read empties the list first.
    ASSERT_EQ(_FlashInfo(), 0);
    ASSERT_TRUE(events.wait_for_count(2));
    EXPECT_EQ(sector_ids().size(), 5u);

    _Close();
    EXPECT_EQ(_GetFlashSectors(copies.data(), 6), 0) << "the table went with the session";
    EXPECT_EQ(_IsFlashTableComplete(), 0);
}

TEST_F(InformationQueries, FrameOfABadLengthEndsTheReadButKeepsEarlierBlocks) {
    connect_device({});
    for (const std::size_t bad : {169u, 171u}) {
        events.clear();
        Block second = flash_frame(5, 2, 1);
        second.resize(20 + bad, 0);
        second[7] = static_cast<std::uint8_t>(bad);  // header length (bad < 256)
        flash_answer({flash_frame(5, 0, 2), second});
        ASSERT_EQ(_FlashInfo(), 0);
        ASSERT_TRUE(events.wait_for({11, 1}));
        ASSERT_TRUE(wait_idle());
        EXPECT_EQ(events.events(), (std::vector<Event>{{11, 1}})) << bad;
        EXPECT_EQ(sector_ids(), (std::vector<std::uint32_t>{100, 101})) << bad;
        EXPECT_EQ(_GetFlashSectors(nullptr, 0), 2) << "the blocks that came";
        EXPECT_EQ(_IsFlashTableComplete(), 0);
        expect_download_refused();
    }
}

TEST_F(InformationQueries, AnswerThatStopsTimesOutAndKeepsWhatArrived) {
    connect_device({});
    flash_answer({flash_frame(5, 0, 2)});
    ASSERT_EQ(_FlashInfo(), 0);
    ASSERT_TRUE(events.wait_for({11, 1}));
    EXPECT_EQ(events.events(), (std::vector<Event>{{15, 7}, {11, 1}}));
    EXPECT_EQ(sector_ids().size(), 2u);
    EXPECT_FALSE(usb::UsbIsOpen());
    expect_download_refused();
}

// More blocks than announced: the list never holds exactly N entries, so the
// read goes on until its period runs out, keeping what came.
TEST_F(InformationQueries, MoreBlocksThanAnnouncedTimeOut) {
    connect_device({});
    flash_answer({flash_frame(1, 0, 2)});
    ASSERT_EQ(_FlashInfo(), 0);
    ASSERT_TRUE(events.wait_for({11, 1}));
    EXPECT_EQ(events.events(), (std::vector<Event>{{15, 7}, {11, 1}}));
    EXPECT_EQ(sector_ids().size(), 2u);
    expect_download_refused();
}

TEST_F(InformationQueries, ReadInfoKeepsTheRecordInHostOrderWithItsPath) {
    connect_device({});
    const TDROVAInfo before = *_GetConnectInfo();
    ASSERT_STREQ(before.devicePath, "drova0");

    Bytes body{0xE6};
    const Bytes report = device_report(0x8D0123, 0x01010000, 0, "renamed");
    body.insert(body.end(), report.begin(), report.end());
    body.resize(349, 0xAB);  // the device's own bytes where the path goes
    device->set_override([&](const Block &frame) -> std::optional<std::vector<Block>> {
        if (frame[20] != 0xE6) return std::nullopt;
        return std::vector<Block>{answer_frame(body)};
    });
    ASSERT_EQ(_ReadInfo(), 0);
    ASSERT_TRUE(events.wait_for({13, 0}));
    const TDROVAInfo &after = *_GetConnectInfo();
    EXPECT_EQ(after.serialNumber, 0x8D0123u);
    EXPECT_EQ(after.fosIfcVersion, 0x01010000u);
    EXPECT_EQ(after.hwVersion, 0x02000000u);
    EXPECT_EQ(after.autostartAppId, 0xFFFFFFFFu);
    EXPECT_STREQ(after.deviceName, "renamed");
    EXPECT_STREQ(after.devicePath, "drova0");

    // One byte short: failure, record untouched, no error event; and no
    // answer at all: failure after the period, again without an error event.
    body.resize(348);
    events.clear();
    const TDROVAInfo kept = after;
    ASSERT_EQ(_ReadInfo(), 0);
    ASSERT_TRUE(events.wait_for({13, 1}));
    EXPECT_EQ(std::memcmp(&kept, _GetConnectInfo(), sizeof kept), 0);

    device->set_override([](const Block &) { return std::optional<std::vector<Block>>(std::vector<Block>{}); });
    ASSERT_TRUE(wait_idle());
    events.clear();
    ASSERT_EQ(_ReadInfo(), 0);
    ASSERT_TRUE(events.wait_for({13, 1}));
    EXPECT_EQ(events.events(), (std::vector<Event>{{13, 1}}));
}

// After a connect the link is closed; the query must open it to be heard.
TEST_F(InformationQueries, QueriesReachTheDeviceRightAfterTheConnect) {
    connect_device({});
    ASSERT_FALSE(usb::UsbIsOpen());
    const std::size_t before = frames_written();
    ASSERT_EQ(_AppInfo(7), 0);
    ASSERT_TRUE(events.wait_for_count(1));
    ASSERT_EQ(frames_written(), before + 1);
    EXPECT_EQ(commands(before)[0], (Bytes{0xE8, 0x00, 0x00, 0x00, 0x07}));
}

TEST_F(InformationQueries, ApplicationInformation) {
    connect_device({});
    const InfoBlock block = info_block(7, "seven");
    Bytes answer{0xE8};
    answer.insert(answer.end(), block.begin(), block.end());
    device->set_override([&](const Block &frame) -> std::optional<std::vector<Block>> {
        if (frame[20] != 0xE8) return std::nullopt;
        return std::vector<Block>{answer_frame(answer)};
    });
    ASSERT_EQ(_AppInfo(7), 0);
    ASSERT_TRUE(events.wait_for({8, 0}));
    EXPECT_EQ(std::memcmp(session().workers()->application_info.data(), block.data(), block.size()), 0);

    // Declined (the single byte E8), or malformed: failure, record kept.
    for (const Bytes &refusal : {Bytes{0xE8}, Bytes{0x00}, Bytes(170, 0xE8)}) {
        answer = refusal;
        ASSERT_TRUE(wait_idle());
        events.clear();
        ASSERT_EQ(_AppInfo(7), 0);
        ASSERT_TRUE(events.wait_for({8, 1}));
        EXPECT_EQ(events.events(), (std::vector<Event>{{8, 1}}));
        EXPECT_EQ(std::memcmp(session().workers()->application_info.data(), block.data(), block.size()), 0);
    }
}

TEST_F(InformationQueries, RefusedWhileAnotherCommandIsInFlight) {
    connect_device({});
    device->set_override([](const Block &frame) -> std::optional<std::vector<Block>> {
        if (frame[20] == 0xEB) return std::vector<Block>{};  // the erase goes unanswered
        return std::nullopt;
    });
    ASSERT_EQ(_Erase(1), 0);
    const std::size_t before = frames_written();
    EXPECT_EQ(_ReadInfo(), 1);
    EXPECT_EQ(_FlashInfo(), 1);
    EXPECT_EQ(_AppInfo(1), 1);
    ASSERT_TRUE(events.wait_for_count(3));
    EXPECT_EQ(events.events(), (std::vector<Event>{{15, 10}, {15, 10}, {15, 10}}));
    EXPECT_EQ(frames_written(), before);
}

}  // namespace
}  // namespace velkor::testing
