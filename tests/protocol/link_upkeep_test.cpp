#include <gtest/gtest.h>

#include <cstdlib>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "protocol/protocol_fixture.h"
#include "session/worker_mode.h"
#include "usb/Usblink.h"

namespace velkor::testing {
namespace {

class LinkUpkeepTest : public ProtocolFixture {};

TEST_F(LinkUpkeepTest, DeviceNameIsThePathLastOpened) {
    EXPECT_EQ(usb::UsbOpen(3), usb::kNoDevice);  // nothing there: the path is cleared
    char *name = _GetDeviceName();
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "");
    std::free(name);
    attach("a", CooperativeDevice{});
    connect_to(0x123456);
    name = _GetDeviceName();
    EXPECT_STREQ(name, _GetConnectInfo()->devicePath);
    EXPECT_STRNE(name, "");
    std::free(name);
}

TEST_F(LinkUpkeepTest, AddressSendsAreaThenBigEndianAddressAndExpectsItBack) {
    auto device = attach("a", CooperativeDevice{});
    connect_to(0x123456);
    TAddress target{0x04030201, 5};
    ASSERT_EQ(_Address(target), 0);
    ASSERT_TRUE(events.wait_for({0, 0}));
    const Block frame = device->writes().back();
    const std::uint8_t expected[] = {0xEC, 0x05, 0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(std::memcmp(frame.data() + 20, expected, 6), 0);
    EXPECT_EQ(frame[7], 6);
}

TEST_F(LinkUpkeepTest, AddressAnswersThatAreNotTheEcho) {
    std::vector<std::uint8_t> answer;
    attach("a", [&](const Block &frame) -> std::vector<Block> {
        if (frame[20] != 0xEC) return CooperativeDevice{}(frame);
        return {answer_frame(answer)};
    });
    connect_to(0x123456);
    const std::vector<std::vector<std::uint8_t>> wrong = {
        {0xEC, 0x05, 0x04, 0x03, 0x02, 0x00},        // differs in its last byte
        {0xEC, 0x05, 0x04, 0x03, 0x02, 0x01, 0x00},  // one byte too long
    };
    for (const auto &body : wrong) {
        answer = body;
        events.clear();
        ASSERT_EQ(_Address(TAddress{0x04030201, 5}), 0);
        ASSERT_TRUE(events.wait_for({0, 1}));
        ASSERT_TRUE(wait_idle());
    }
}

// The header claims the full echo but only three bytes of it arrive: the
// handler must judge what arrived, not what the buffer held before.
TEST_F(LinkUpkeepTest, AnswerShorterThanItsHeaderClaims) {
    attach("a", [](const Block &frame) -> std::vector<Block> {
        if (frame[20] != 0xEC) return CooperativeDevice{}(frame);
        return {answer_frame_claiming({0xEC, 0x05, 0x04}, 6)};
    });
    connect_to(0x123456);
    ASSERT_EQ(_Address(TAddress{0x04030201, 5}), 0);
    ASSERT_TRUE(events.wait_for({0, 1}));
}

TEST_F(LinkUpkeepTest, AddressTimeOutClosesTheLink) {
    attach("a", [](const Block &frame) -> std::vector<Block> {
        if (frame[20] == 0xEC) return {};
        return CooperativeDevice{}(frame);
    });
    connect_to(0x123456);
    ASSERT_EQ(_Address(TAddress{1, 0}), 0);
    ASSERT_TRUE(events.wait_for({0, 1}));
    EXPECT_EQ(events.events(), (std::vector<Event>{{15, 7}, {0, 1}}));
    EXPECT_EQ(usb::UsbIsOpen(), 0);
}

TEST_F(LinkUpkeepTest, KeepAliveKeepsAHealthyConnection) {
    auto device = attach("a", CooperativeDevice{});
    connect_to(0x123456);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(_CommRefresh(), 0) << i;
        ASSERT_TRUE(wait_idle());
    }
    pass(3000);
    EXPECT_EQ(_IsConnected(), 1);
    EXPECT_TRUE(events.events().empty());
    EXPECT_EQ(session().workers()->keepalive_failures.load(), 3);
}

// Dropped answers: too short, no length, a foreign channel. Each keep-alive
// then times out as if nothing had come, counting towards both the lost link
// and the keep-alive failures; the third in a row ends the connection once.
TEST_F(LinkUpkeepTest, IgnoredAnswersAndThreeMissedKeepAlives) {
    int round = 0;
    attach("a", [&](const Block &frame) -> std::vector<Block> {
        if (frame[20] != 0xE5) return CooperativeDevice{}(frame);
        switch (round) {
        case 0: return {Block(20, 0)};
        case 1: return {answer_frame_claiming({0xE5}, 0)};
        default: return {answer_frame({0xE5}, 3)};
        }
    });
    connect_to(0x123456);
    for (round = 0; round < 3; ++round) {
        ASSERT_EQ(_CommRefresh(), 0);
        ASSERT_TRUE(wait_idle());
        pass(2200);
        ASSERT_TRUE(wait_idle());
        if (round == 2) break;
        // An invalid answer would have reached the handler: the missed count
        // back at 3 and the keep-alive count at 2.
        EXPECT_EQ(session().workers()->missed_responses.load(), 2 - round) << round;
        EXPECT_EQ(session().workers()->keepalive_failures.load(), 2 - round) << round;
    }
    ASSERT_TRUE(events.wait_for({10, 0}));
    pass(300);
    EXPECT_EQ(events.events(), (std::vector<Event>{{15, 9}, {10, 0}}));
    EXPECT_EQ(_IsConnected(), 0);
}

// Missed keep-alives are counted by the connection they belong to. Answered
// commands between them keep the link from counting as lost, so only the
// keep-alive count can end the connection here.
TEST_F(LinkUpkeepTest, MissedKeepAlivesAreCountedPerConnection) {
    bool answering = false;
    attach("a", [&](const Block &frame) -> std::vector<Block> {
        if (frame[20] == 0xE5 && !answering) return {};
        return CooperativeDevice{}(frame);
    });
    const auto keepalive = [&](bool answered) {
        answering = answered;
        ASSERT_EQ(_CommRefresh(), 0);
        ASSERT_TRUE(wait_idle());
        if (!_IsConnected()) return;
        ASSERT_EQ(_Address(TAddress{1, 0}), 0);
        ASSERT_TRUE(events.wait_for({0, 0}));
        ASSERT_TRUE(wait_idle());
        events.clear();
    };
    struct Row {
        const char *sequence;
        std::function<void()> run;
        bool lost;
    };
    const Row rows[] = {
        {"three misses", [&] { for (int i = 0; i < 3; ++i) keepalive(false); }, true},
        {"two misses, an answer, two misses",
         [&] {
             keepalive(false), keepalive(false), keepalive(true), keepalive(false), keepalive(false);
         },
         false},
        {"two misses, disconnect and connect again, one miss",
         [&] {
             keepalive(false), keepalive(false);
             ASSERT_EQ(_Disconnect(), 0);
             ASSERT_TRUE(events.wait_for({10, 0}));
             connect_to(0x123456);
             keepalive(false);
         },
         false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.sequence);
        _Close();
        ASSERT_EQ(_Initialize(&EventRecorder::callback, nullptr, 0), 0);
        connect_to(0x123456);
        row.run();
        // Events reach the host on the library's thread, after the command
        // has already gone idle.
        if (row.lost) {
            ASSERT_TRUE(events.wait_for({10, 0}));
        }
        pass(200);
        const auto all = events.events();
        EXPECT_EQ(std::count(all.begin(), all.end(), Event{15, 9}), row.lost ? 1 : 0);
        EXPECT_EQ(_IsConnected(), row.lost ? 0 : 1);
    }
}

// The connected device is known by its interface path: interfaces that come
// or go before it in the list never turn its commands to another device, and
// once it has gone, none reaches any device.
TEST_F(LinkUpkeepTest, CommandsFollowTheConnectedDeviceWhereverItIsListed) {
    enum class Change { appears_before, goes_before, goes_itself };
    const std::pair<Change, const char *> rows[] = {
        {Change::appears_before, "an interface appears before it"},
        {Change::goes_before, "the interface before it goes"},
        {Change::goes_itself, "it goes itself"},
    };
    for (const auto &[change, name] : rows) {
        SCOPED_TRACE(name);
        _Close();
        usb::detach_all_in_process_devices();
        ASSERT_EQ(_Initialize(&EventRecorder::callback, nullptr, 0), 0);
        std::shared_ptr<ScriptedDevice> other;
        if (change != Change::appears_before) other = attach("a", CooperativeDevice{0x11});
        auto connected = attach("b", CooperativeDevice{0x22});
        connect_to(0x22);
        switch (change) {
        case Change::appears_before: other = attach("a", CooperativeDevice{0x11}); break;
        case Change::goes_before: usb::detach_in_process_device("a"); break;
        case Change::goes_itself: usb::detach_in_process_device("b"); break;
        }
        const std::size_t seen_by_a = other->writes().size();
        const std::size_t seen_by_b = connected->writes().size();

        ASSERT_EQ(_CommRefresh(), 0);
        ASSERT_TRUE(wait_idle());
        ASSERT_EQ(_ReadInfo(), 0);
        ASSERT_TRUE(events.wait_for_count(1));
        ASSERT_TRUE(wait_idle());
        ASSERT_EQ(_Disconnect(), 0);
        ASSERT_TRUE(events.wait_for({10, 0}));
        ASSERT_TRUE(wait_idle());
        pass(100);

        EXPECT_EQ(other->writes().size(), seen_by_a) << "a device this host never claimed";
        const auto opcodes = connected->opcodes();
        const std::vector<std::uint8_t> since(opcodes.begin() + static_cast<std::ptrdiff_t>(seen_by_b), opcodes.end());
        if (change == Change::goes_itself) {
            EXPECT_TRUE(since.empty());
            // Three silent commands: the third finds the link lost.
            EXPECT_EQ(events.events(), (std::vector<Event>{{13, 1}, {15, 9}, {10, 0}}));
        } else {
            EXPECT_EQ(since, (std::vector<std::uint8_t>{0xE5, 0xE6, 0xE1, 0xE3}));
            EXPECT_EQ(events.events(), (std::vector<Event>{{13, 1}, {10, 0}})) << "the search answer is no information block";
        }
        EXPECT_EQ(_IsConnected(), 0);
    }
}

TEST_F(LinkUpkeepTest, InvalidKeepAliveAnswerCountsAsOneFailure) {
    bool valid = false;
    attach("a", [&](const Block &frame) -> std::vector<Block> {
        if (frame[20] != 0xE5) return CooperativeDevice{}(frame);
        return {answer_frame({static_cast<std::uint8_t>(valid ? 0xE5 : 0xE4)})};
    });
    connect_to(0x123456);
    ASSERT_EQ(_CommRefresh(), 0);
    ASSERT_TRUE(wait_idle());
    EXPECT_EQ(session().workers()->keepalive_failures.load(), 2);
    valid = true;
    ASSERT_EQ(_CommRefresh(), 0);
    ASSERT_TRUE(wait_idle());
    EXPECT_EQ(session().workers()->keepalive_failures.load(), 3);
    EXPECT_EQ(_IsConnected(), 1);
}

TEST_F(LinkUpkeepTest, KeepAliveRefusals) {
    EXPECT_EQ(_CommRefresh(), 1);
    ASSERT_TRUE(events.wait_for({15, 5}));
    _Close();
    EXPECT_EQ(_CommRefresh(), 1) << "after _Close";
}

TEST_F(LinkUpkeepTest, DeviceCloseForgetsTheConnectionOnly) {
    attach("a", CooperativeDevice{});
    connect_to(0x123456);
    ASSERT_EQ(_CommRefresh(), 0);
    _DeviceClose();
    ASSERT_TRUE(events.wait_for({10, 0}));
    EXPECT_EQ(_IsConnected(), 0);
    EXPECT_EQ(session().command.state(), kIdle);
    _Close();
    _DeviceClose();  // without a session: nothing
}

// A session started driven runs no thread of its own: its owner runs each
// worker's round (the timer's poll, the delivery, the link's read) on its own
// thread, and nothing moves in between.
TEST_F(LinkUpkeepTest, ADrivenSessionMovesOnlyWhenItsOwnerDrivesIt) {
    class SteppedClock final : public Clock {
    public:
        std::uint32_t now_ms() override { return now; }
        std::chrono::nanoseconds real_duration(std::uint32_t) override { return {}; }
        std::atomic<std::uint32_t> now{1000};
    };
    _Close();
    auto clock = std::make_shared<SteppedClock>();
    set_clock(clock);
    set_worker_mode(WorkerMode::driven);
    struct Threaded {
        ~Threaded() {
            _Close();
            set_worker_mode(WorkerMode::threaded);
        }
    } threaded_again;
    ASSERT_EQ(_Initialize(&EventRecorder::callback, nullptr, 0), 0);
    int queries = 0;
    attach("a", [&queries](const Block &frame) -> std::vector<Block> {
        // Behind a block on another channel, which its sender's poll takes.
        if (frame[20] == 0xE5) return {answer_frame({0xE5}, 7), answer_frame({0xE5})};
        if (frame[20] == 0xE6 && ++queries > 1) return {};  // the search's is answered, _ReadInfo's not
        return CooperativeDevice{}(frame);
    });

    ASSERT_EQ(_FindDROVAs(-1, 0, 50), 0);
    EXPECT_EQ(_Connect(0x123456, 0, 0), 1) << "busy";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(events.events().empty()) << "delivered without its owner";
    EXPECT_EQ(drive_delivery(), 1u);
    EXPECT_EQ(events.events(), (std::vector<Event>{{15, 10}}));
    clock->now += 100;
    EXPECT_FALSE(drive_timer()) << "not past the search's period";
    clock->now += 1;
    EXPECT_TRUE(drive_timer());
    EXPECT_EQ(session().command.state(), kIdle);
    ASSERT_EQ(_Connect(0x123456, 0, 0), 0);
    EXPECT_EQ(drive_delivery(), 2u);

    ASSERT_EQ(_CommRefresh(), 0);
    EXPECT_EQ(session().command.state(), kKeepAlive) << "its answer waits for the link's reader";
    EXPECT_TRUE(drive_link_read());
    EXPECT_EQ(session().command.state(), kIdle);
    EXPECT_FALSE(drive_link_read());

    ASSERT_EQ(_ReadInfo(), 0);
    clock->now += 2001;
    EXPECT_TRUE(drive_timer());
    EXPECT_EQ(drive_delivery(), 1u);
    EXPECT_EQ(events.events(), (std::vector<Event>{{15, 10}, {12, 0}, {9, 0}, {13, 1}}));
}

TEST_F(LinkUpkeepTest, AnswerWhileIdleIsDroppedButResetsTheMissedCount) {
    attach("a", CooperativeDevice{});
    connect_to(0x123456);
    session().workers()->missed_responses = 1;
    protocol::dispatch_response(session(), 0, answer_frame({0xE5}).data(), 21);
    EXPECT_EQ(session().workers()->missed_responses.load(), 3);
    EXPECT_TRUE(events.events().empty());
}

// A block the link's reader takes after a command has passed its gate but
// before its frame has gone out (the send drops what is queued then) is a
// repeat or a late answer of an earlier command, never this one's: a
// device information answer of the right size, the stale serial number in
// it, must not end the command that is about to ask.
TEST_F(LinkUpkeepTest, ABlockBeforeACommandsFrameAnswersNothing) {
    attach("a", CooperativeDevice{});
    connect_to(0x123456);
    events.clear();
    const auto ticket = session().command.begin(kReadInfo);
    ASSERT_TRUE(ticket);
    std::vector<std::uint8_t> stale(1 + sizeof(TDROVAInfo), 0);
    stale[0] = 0xE6;
    const Block block = answer_frame(stale);
    protocol::dispatch_response(session(), 0, block.data(), static_cast<std::uint32_t>(block.size()));
    EXPECT_EQ(session().command.state(), kReadInfo);
    pass(100);
    EXPECT_TRUE(events.events().empty());
    session().command.end(*ticket);
}

TEST_F(LinkUpkeepTest, OversizedReadIsReported) {
    attach("a", CooperativeDevice{});
    connect_to(0x123456);
    Block big(600, 0);
    big[7] = 1;
    protocol::dispatch_response(session(), 0, big.data(), 600);
    ASSERT_TRUE(events.wait_for({15, 8}));
}

// The link's receiver may be handed a block too short for a header: the
// command in flight gets an empty answer, and nothing past the block is read
// (the sanitizer build sees such a read).
TEST_F(LinkUpkeepTest, BlockShorterThanAHeaderIsAnEmptyAnswer) {
    bool answering = true;
    attach("a", [&](const Block &frame) -> std::vector<Block> {
        if (!answering) return {};
        return CooperativeDevice{}(frame);
    });
    connect_to(0x123456);
    answering = false;
    const std::vector<std::uint8_t> four_bytes(4, 0);
    for (const std::uint8_t *block : {static_cast<const std::uint8_t *>(nullptr), four_bytes.data()}) {
        events.clear();
        ASSERT_EQ(_ReadInfo(), 0);
        protocol::dispatch_response(session(), 0, block, block ? 4 : 0);
        ASSERT_TRUE(events.wait_for({13, 1}));
        ASSERT_TRUE(wait_idle());
    }
}

}  // namespace
}  // namespace velkor::testing
