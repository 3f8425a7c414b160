#include <gtest/gtest.h>

#include <cstring>

#include "protocol/device_link.h"
#include "protocol/protocol_fixture.h"
#include "session/exchange_guard.h"
#include "session/timeout_dispatch.h"
#include "usb/Usblink.h"

namespace velkor::testing {
namespace {

class ConnectTest : public ProtocolFixture {};

TEST_F(ConnectTest, AcceptedConnectAcknowledgesAndFillsTheRecord) {
    auto device = attach("a", CooperativeDevice{});
    ASSERT_TRUE(search());
    ASSERT_EQ(_Connect(0x123456, 0, 9), 0);
    ASSERT_TRUE(events.wait_for({9, 0}));
    EXPECT_EQ(_IsConnected(), 1);
    EXPECT_EQ(_GetConnectInfo()->serialNumber, 0x123456u);
    const auto writes = device->writes();
    ASSERT_EQ(device->opcodes(), (std::vector<std::uint8_t>{0xE6, 0xE0, 0xE2}));
    const Block &request = writes[1];
    const std::uint32_t id = static_cast<std::uint32_t>(_GetRandomId());
    EXPECT_EQ(std::memcmp(request.data() + 22, &id, 4), 0);
    EXPECT_EQ(request[21], 9);
    const Block &ack = writes[2];
    EXPECT_EQ(ack[7], 5) << "the acknowledgement carries 5 bytes";
    EXPECT_EQ(ack[21], 9);
    EXPECT_EQ(std::memcmp(ack.data() + 22, &id, 3), 0);
    EXPECT_EQ(events.events(), (std::vector<Event>{{12, 0}, {9, 0}}));
}

TEST_F(ConnectTest, DeviceHeldByAnotherHost) {
    attach("a", [](const Block &frame) -> std::vector<Block> {
        if (frame[20] == 0xE0)
            return {answer_frame({0xE4, 0, 0, 0, 1, 0, 0, 0, 2, 0xAB, 0xCD, 0, 3, 9, 8, 7, 6})};
        return CooperativeDevice{}(frame);
    });
    ASSERT_TRUE(search());
    ASSERT_EQ(_Connect(0x123456, 0, 0), 0);
    ASSERT_TRUE(events.wait_for({9, 1}));
    EXPECT_EQ(events.events(), (std::vector<Event>{{12, 0}, {15, 2}, {9, 1}}));
    const u32 *record = _GetConnectErrorInfo();
    EXPECT_EQ(record[0], 1u);
    EXPECT_EQ(record[1], 2u);
    EXPECT_EQ(record[2], 0xABCD0003u);
    const std::uint8_t raw[] = {9, 8, 7, 6};
    EXPECT_EQ(std::memcmp(&record[3], raw, 4), 0) << "the last word stays as received";
    EXPECT_EQ(_GetConnectInfo()->serialNumber, 0u);
    EXPECT_EQ(_IsConnected(), 0);
    EXPECT_FALSE(usb::UsbIsOpen()) << "the device is let go for the host that holds it";
}

// Answers that look like an acceptance but are not one.
TEST_F(ConnectTest, MalformedAcceptancesAreNotConnections) {
    for (int variant = 0; variant < 2; ++variant) {
        usb::detach_all_in_process_devices();
        attach("a", [variant](const Block &frame) -> std::vector<Block> {
            if (frame[20] != 0xE0) return CooperativeDevice{}(frame);
            if (variant == 0) return {answer_frame({0xE2, static_cast<std::uint8_t>(frame[22] ^ 1), frame[23], frame[24], frame[25]})};
            // The identifier bytes are missing: only the code and two bytes arrive.
            return {answer_frame({0xE2, frame[22], frame[23]})};
        });
        events.clear();
        ASSERT_TRUE(search());
        ASSERT_EQ(_Connect(0x123456, 0, 0), 0);
        ASSERT_TRUE(events.wait_for({9, 1})) << variant;
        EXPECT_EQ(_IsConnected(), 0);
        EXPECT_EQ(_GetConnectInfo()->serialNumber, 0u);
        EXPECT_FALSE(usb::UsbIsOpen()) << variant;
        ASSERT_TRUE(wait_idle());
    }
}

// Each connect to a silent device times out on its own: no connection
// existed, so none is declared lost, however many attempts fail in a row.
TEST_F(ConnectTest, SilentDeviceTimesOutEveryConnect) {
    attach("a", [](const Block &frame) -> std::vector<Block> {
        if (frame[20] == 0xE0) return {};
        return CooperativeDevice{}(frame);
    });
    ASSERT_TRUE(search());
    for (int attempt = 1; attempt <= 3; ++attempt) {
        events.clear();
        ASSERT_EQ(_Connect(0x123456, 0, 0), 0);
        EXPECT_EQ(session().workers()->connection.load(), kConnecting);
        ASSERT_TRUE(events.wait_for({9, 1}));
        ASSERT_TRUE(wait_idle());
        pass(100);
        EXPECT_EQ(events.events(), (std::vector<Event>{{15, 7}, {9, 1}})) << attempt;
        EXPECT_EQ(session().workers()->connection.load(), kNotConnected);
        EXPECT_EQ(session().workers()->connected_member.load(), -1);
        EXPECT_EQ(_GetConnectInfo()->serialNumber, 0u);
        EXPECT_FALSE(usb::UsbIsOpen()) << attempt;
    }
}

// The loss of a link is news only of a command that has sent on it. A loss
// reported late (the link's reader waited for the exchange while a failed
// write had already ended the command before) must not end a connect that
// passed its gate and is about to open a link of its own: the connect would
// then go out with no command in flight and leave the session connecting.
TEST_F(ConnectTest, ALossReportedLateIsNoNewsOfAConnectThatHasNotSent) {
    attach("a", CooperativeDevice{});
    ASSERT_TRUE(search());
    ASSERT_TRUE(usb::LinkOpen(0));
    usb::detach_in_process_device("a");
    ASSERT_TRUE(wait_idle());
    events.clear();
    const auto ticket = session().command.begin(kConnect);
    ASSERT_TRUE(ticket);
    {
        ExchangeGuard guard(session().exchange_lock);
        end_for_lost_device(session(), *session().workers());
    }
    EXPECT_EQ(session().command.state(), kConnect);
    EXPECT_TRUE(events.events().empty());
    session().command.end(*ticket);
    close_link();
}

// A busy answer ends nothing: the connect waits for its real answer, which
// may stand right behind it, and without one it times out like a silent
// device instead of staying pending.
TEST_F(ConnectTest, BusyAnswersKeepTheConnectWaitingForItsRealAnswer) {
    struct Row {
        int busy;
        bool accepted;
        std::vector<Event> expected;
    };
    const Row rows[] = {
        {1, false, {{15, 7}, {9, 1}}},
        {1, true, {{9, 0}}},
        {3, true, {{9, 0}}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(::testing::Message() << row.busy << " busy answer(s), accepted " << row.accepted);
        usb::detach_all_in_process_devices();
        attach("a", [row](const Block &frame) -> std::vector<Block> {
            if (frame[20] != 0xE0) return CooperativeDevice{}(frame);
            std::vector<Block> answers(static_cast<std::size_t>(row.busy), answer_frame({0xE6}));
            if (row.accepted) answers.push_back(answer_frame({0xE2, frame[22], frame[23], frame[24], frame[25]}));
            return answers;
        });
        ASSERT_TRUE(search());
        events.clear();
        ASSERT_EQ(_Connect(0x123456, 0, 0), 0);
        if (!row.accepted) {
            EXPECT_EQ(session().command.state(), kConnect);
            EXPECT_EQ(session().workers()->connection.load(), kConnecting);
        }
        ASSERT_TRUE(events.wait_for(row.expected.back()));
        ASSERT_TRUE(wait_idle());
        pass(100);
        EXPECT_EQ(events.events(), row.expected);
        EXPECT_EQ(_IsConnected(), row.accepted ? 1 : 0);
        _DeviceClose();
        ASSERT_TRUE(events.wait_for({10, 0}));
    }
}

TEST_F(ConnectTest, RefusalsBeforeAnythingIsSent) {
    auto device = attach("a", CooperativeDevice{0x000777, 0x01020000});
    ASSERT_TRUE(search());
    const std::size_t sent = device->writes().size();
    const int id_before = _GetRandomId();
    EXPECT_EQ(_Connect(0x999, 0, 0), 1);
    EXPECT_EQ(_Connect(0x999, 5000, 0), 1) << "an index outside the list is not read";
    EXPECT_EQ(_Connect(0x777, -1, 0), 1) << "incompatible FOS interface version";
    ASSERT_TRUE(events.wait_for_count(4));
    EXPECT_EQ(events.events(), (std::vector<Event>{{12, 0}, {15, 12}, {15, 12}, {15, 14}}));
    EXPECT_EQ(_GetConnectInfo()->serialNumber, 0x777u) << "the matching entry stays in the record";
    EXPECT_EQ(device->writes().size(), sent);
    EXPECT_EQ(_GetRandomId(), id_before);
    EXPECT_EQ(session().command.state(), kIdle);
    EXPECT_EQ(session().workers()->connection.load(), kNotConnected);
}

TEST_F(ConnectTest, ConnectWhileConnectedOrBusy) {
    attach("a", CooperativeDevice{});
    connect_to(0x123456);
    EXPECT_EQ(_Connect(0x123456, 0, 0), 1);
    session().command.begin(kReadInfo);
    EXPECT_EQ(_Connect(0x123456, 0, 0), 1);
    ASSERT_TRUE(events.wait_for_count(3));
    EXPECT_EQ(events.events(), (std::vector<Event>{{15, 4}, {15, 10}, {15, 4}}));
}

TEST_F(ConnectTest, DisconnectAcceptedSendsItsAcknowledgement) {
    auto device = attach("a", CooperativeDevice{});
    connect_to(0x123456);
    ASSERT_EQ(_Disconnect(), 0);
    ASSERT_TRUE(events.wait_for({10, 0}));
    EXPECT_EQ(_IsConnected(), 0);
    const auto opcodes = device->opcodes();
    ASSERT_GE(opcodes.size(), 2u);
    EXPECT_EQ(opcodes[opcodes.size() - 2], 0xE1);
    EXPECT_EQ(opcodes.back(), 0xE3);
    EXPECT_EQ(device->writes().back()[7], 1);
    EXPECT_EQ(_GetConnectInfo()->serialNumber, 0x123456u) << "a disconnect leaves the record";
    EXPECT_EQ(_Disconnect(), 1);
    ASSERT_TRUE(events.wait_for({15, 5}));
}

TEST_F(ConnectTest, DisconnectRefusedOrAnsweredWronglyStaysConnected) {
    struct Case {
        std::vector<std::uint8_t> answer;
        std::vector<Event> expected;
    };
    const Case cases[] = {
        {{0xE4, 0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0, 6, 1, 2, 3, 4}, {{15, 1}, {10, 1}}},
        {{0xE0}, {{10, 1}}},
        {{0xE3, 0}, {{10, 1}}},
        {{}, {{10, 1}}},  // silent: the time-out alone
    };
    std::size_t which = 0;
    attach("a", [&](const Block &frame) -> std::vector<Block> {
        if (frame[20] != 0xE1) return CooperativeDevice{}(frame);
        if (cases[which].answer.empty()) return {};
        return {answer_frame(cases[which].answer)};
    });
    connect_to(0x123456);
    for (which = 0; which < std::size(cases); ++which) {
        events.clear();
        ASSERT_EQ(_Disconnect(), 0);
        ASSERT_TRUE(events.wait_for_count(cases[which].expected.size())) << which;
        ASSERT_TRUE(wait_idle());
        pass(100);
        EXPECT_EQ(events.events(), cases[which].expected) << which;
        EXPECT_EQ(_IsConnected(), 1) << which;
    }
    EXPECT_EQ(_GetConnectErrorInfo()[2], 6u);
}

TEST_F(ConnectTest, AResetDuringADisconnectLeavesTheDeviceDisconnected) {
    attach("a", [](const Block &frame) -> std::vector<Block> {
        if (frame[20] == 0xE1) return {};
        return CooperativeDevice{}(frame);
    });
    connect_to(0x123456);
    events.clear();
    ASSERT_EQ(_Disconnect(), 0);
    ASSERT_EQ(_Reset(), 0);
    // The reset's end of the connection, then the disconnect's own outcome.
    ASSERT_TRUE(events.wait_for_count(2));
    ASSERT_TRUE(wait_idle());
    pass(100);
    EXPECT_EQ(events.events(), (std::vector<Event>{{10, 0}, {10, 0}}));
    EXPECT_EQ(_IsConnected(), 0);
}

}  // namespace
}  // namespace velkor::testing
