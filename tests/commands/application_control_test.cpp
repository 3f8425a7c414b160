#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include "commands/maintenance_fixture.h"
#include "commands/serial_number.h"

namespace velkor::testing {
namespace {

class ApplicationControl : public MaintenanceFixture {
protected:
    void SetUp() override {
        MaintenanceFixture::SetUp();
        connect_device({});
    }

    Bytes start_answer(std::uint32_t result, Bytes features = {0, 0, 0, 0}) {
        Bytes body{0xF0, static_cast<std::uint8_t>(result >> 24), static_cast<std::uint8_t>(result >> 16),
                   static_cast<std::uint8_t>(result >> 8), static_cast<std::uint8_t>(result)};
        body.insert(body.end(), features.begin(), features.end());
        return body;
    }

    void expect_events(const std::vector<Event> &expected) {
        ASSERT_TRUE(events.wait_for(expected.back()));
        ASSERT_TRUE(wait_idle());
        EXPECT_EQ(events.events(), expected);
        events.clear();
    }

    void answer_with(std::uint8_t opcode, std::optional<Bytes> body) {
        device->set_override([=](const Block &frame) -> std::optional<std::vector<Block>> {
            if (frame[20] != opcode) return std::nullopt;
            if (!body) return std::vector<Block>{};
            return std::vector<Block>{answer_frame(*body)};
        });
    }
};

TEST_F(ApplicationControl, StartedApplicationReportsItsFeatures) {
    device->set_start_answer(start_answer(8, {0x01, 0x02, 0x00, 0x00}));
    const std::size_t mark = frames_written();
    ASSERT_EQ(_StartApp(5), 0);
    expect_events({{14, 0}});
    EXPECT_EQ(commands(mark), (std::vector<Bytes>{{0xF0, 0x00, 0x00, 0x00, 0x05}}));
    EXPECT_EQ(_IsSupportedFwFeature(0), 1);
    EXPECT_EQ(_IsSupportedFwFeature(9), 1);
    EXPECT_EQ(_IsSupportedFwFeature(1), 0);
    EXPECT_EQ(_IsConnected(), 1);
    EXPECT_FALSE(usb::UsbIsOpen());
}

TEST_F(ApplicationControl, RefusalsGiveTheDevicesReason) {
    const char *reasons[] = {"An application is already running.", "Invalid Application Identifier.", nullptr,
                             "Hardware version is not compatible.", "No compatible Logic found.",
                             "FOS version is not compatible.", "Logic programming error.",
                             "PCI initialization error."};
    std::set<std::string> distinct;
    for (std::uint32_t code = 0; code <= 7; ++code) {
        // A successful start first, so the refusal visibly clears the features.
        device->set_start_answer(start_answer(8, {0xFF, 0xFF, 0x07, 0x00}));
        ASSERT_EQ(_StartApp(3), 0);
        expect_events({{14, 0}});
        device->set_start_answer(start_answer(code, {0xFF, 0xFF, 0xFF, 0xFF}));
        ASSERT_EQ(_StartApp(3), 0);
        expect_events({{15, 17}, {14, 1}});
        const std::string reason = _GetErrorString(17);
        if (reasons[code] != nullptr) {
            EXPECT_EQ(reason, reasons[code]);
        }
        EXPECT_FALSE(reason.empty()) << code;
        distinct.insert(reason);
        EXPECT_EQ(_IsSupportedFwFeature(0), 0) << code;
    }
    EXPECT_EQ(distinct.size(), 8u) << "every refusal has a reason of its own";
}

TEST_F(ApplicationControl, InvalidStartAnswersLeaveTheLastReason) {
    device->set_start_answer(start_answer(1));
    ASSERT_EQ(_StartApp(3), 0);
    expect_events({{15, 17}, {14, 1}});
    for (const Bytes &body : {start_answer(9, {1, 0, 0, 0}), Bytes{0xF0, 0, 0, 0, 8, 1, 0, 0}}) {
        device->set_start_answer(body);
        ASSERT_EQ(_StartApp(3), 0);
        expect_events({{14, 1}});
        EXPECT_STREQ(_GetErrorString(17), "Invalid Application Identifier.");
        EXPECT_EQ(_IsSupportedFwFeature(0), 0);
    }
    answer_with(0xF0, std::nullopt);
    ASSERT_EQ(_StartApp(3), 0);
    expect_events({{15, 7}, {14, 1}});
}

TEST_F(ApplicationControl, ApplicationTenEndsTheConnection) {
    device->set_start_answer(start_answer(8));
    ASSERT_EQ(_StartApp(10), 0);
    expect_events({{14, 0}, {10, 0}});
    EXPECT_EQ(_IsConnected(), 0);
    EXPECT_EQ(_StartApp(5), 1);
    expect_events({{15, 5}});
}

TEST_F(ApplicationControl, AutomaticStart) {
    const std::size_t mark = frames_written();
    ASSERT_EQ(_AutoStart(3), 0);
    expect_events({{1, 0}});
    EXPECT_EQ(commands(mark), (std::vector<Bytes>{{0xEA, 0x00, 0x00, 0x00, 0x03}}));
    answer_with(0xEA, Bytes{0xEA, 0x00, 0x00, 0x00, 0x04});
    ASSERT_EQ(_AutoStart(3), 0);
    expect_events({{1, 1}});
    answer_with(0xEA, std::nullopt);
    ASSERT_EQ(_AutoStart(3), 0);
    expect_events({{15, 7}, {1, 1}});
}

// A reset goes to a device this host holds, in a frame of its own: after the
// device was released or forgotten it may belong to another host, and the
// command buffer may hold a step that another thread is about to send.
TEST_F(ApplicationControl, ResetReachesOnlyADeviceThisHostHolds) {
    struct Row {
        const char *before;
        std::function<void()> leave;
        bool held;
    };
    const Row rows[] = {
        {"connected", [] {}, true},
        {"a disconnect",
         [&] {
             ASSERT_EQ(_Disconnect(), 0);
             ASSERT_TRUE(events.wait_for({10, 0}));
         },
         false},
        {"_DeviceClose", [] { _DeviceClose(); }, false},
        {"a reset", [] { _Reset(); }, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.before);
        if (!_IsConnected()) connect_to(FlashDevice::kSerial);
        row.leave();
        ASSERT_TRUE(wait_idle());
        pass(100);
        events.clear();
        session().exchange.command[1] = 0x42;
        const std::size_t mark = frames_written();
        ASSERT_EQ(_Reset(), 0);
        expect_events({{10, 0}});
        const std::vector<Bytes> reset_frames = row.held ? std::vector<Bytes>{{0xF1, 0xF1}} : std::vector<Bytes>{};
        EXPECT_EQ(commands(mark), reset_frames);
        EXPECT_EQ(session().exchange.command[1], 0x42) << "the command buffer is not the reset's";
        EXPECT_EQ(_IsConnected(), 0);
        EXPECT_EQ(session().command.state(), kIdle);
    }
}

// A reset leaves a command in flight alone, down to its time-out.
TEST_F(ApplicationControl, ResetDuringACommandLetsItEnd) {
    answer_with(0xEB, std::nullopt);
    ASSERT_EQ(_Erase(0), 0);
    ASSERT_EQ(_Reset(), 0);
    EXPECT_EQ(session().command.state(), kErase);
    expect_events({{10, 0}, {15, 7}, {4, 1}});
}

TEST_F(ApplicationControl, ResetWithoutASessionIsRefused) {
    _Close();
    EXPECT_EQ(_Reset(), 1);
}

TEST(SerialNumberWord, ChecksumInTheTopByte) {
    EXPECT_EQ(serial_number_word(0x8D0123), 0x4E8D0123u);
    EXPECT_EQ(serial_number_word(0x800001), 0x7E800001u);
    EXPECT_EQ(serial_number_word(0), 0xFF000000u);
}

class SerialNumber : public ApplicationControl {};

TEST_F(SerialNumber, WriteSendsTheWordAndExpectsItBack) {
    std::size_t mark = frames_written();
    ASSERT_EQ(_Wrsn(0x8D0123), 0);
    expect_events({{7, 0}});
    EXPECT_EQ(commands(mark), (std::vector<Bytes>{{0xE9, 0x4E, 0x8D, 0x01, 0x23}}));

    mark = frames_written();
    ASSERT_EQ(_Wrsn(0x800001), 0);
    expect_events({{7, 0}});
    EXPECT_EQ(commands(mark), (std::vector<Bytes>{{0xE9, 0x7E, 0x80, 0x00, 0x01}}));

    answer_with(0xE9, Bytes{0xE9, 0x7E, 0x80, 0x00, 0x02});
    ASSERT_EQ(_Wrsn(0x800001), 0);
    expect_events({{7, 1}});
    answer_with(0xE9, std::nullopt);
    ASSERT_EQ(_Wrsn(0x800001), 0);
    expect_events({{15, 7}, {7, 1}});
}

TEST_F(SerialNumber, ValueBeyondTwentyFourBitsIsRefused) {
    const std::size_t mark = frames_written();
    EXPECT_EQ(_Wrsn(0x1000000), 1);
    expect_events({{15, 3}});
    EXPECT_EQ(frames_written(), mark);
    EXPECT_EQ(session().command.state(), kIdle);
}

}  // namespace
}  // namespace velkor::testing
