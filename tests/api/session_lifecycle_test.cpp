#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "session/gates.h"
#include "session/exchange_guard.h"
#include "support/session_fixture.h"

namespace velkor {
namespace {

using testing::Event;
using testing::EventRecorder;
using testing::SessionFixture;
using namespace std::chrono_literals;

TEST(SessionLifecycle, CloseWithoutSessionAndTwiceDoesNothing) {
    EXPECT_EQ(_Close(), 0);
    ASSERT_EQ(_Initialize(nullptr, nullptr, 0), 0);
    EXPECT_EQ(_Close(), 0);
    EXPECT_EQ(_Close(), 0);
    EXPECT_FALSE(Session::instance().initialised());
}

TEST(SessionLifecycle, GatesRefuseWithoutSession) {
    Session &session = Session::instance();
    EXPECT_FALSE(standard_gate(session, kAppInfo));
    EXPECT_FALSE(connect_gate(session, kConnect));
    EXPECT_FALSE(keepalive_gate(session, kKeepAlive));
    EXPECT_FALSE(search_gate(session, kSearch));
    EXPECT_NE(session.command.state(), kAppInfo);
}

TEST(SessionLifecycle, SecondInitializeIsRefusedAndKeepsTheFirstSession) {
    EventRecorder recorder;
    ASSERT_EQ(_Initialize(&EventRecorder::callback, nullptr, 0), 0);
    EXPECT_EQ(_Initialize(nullptr, nullptr, 0), 1);
    Session::instance().post(12, 1);
    EXPECT_TRUE(recorder.wait_for({12, 1})) << "the first callback still receives events";
    EXPECT_EQ(_Close(), 0);
    EXPECT_EQ(_Initialize(nullptr, nullptr, 0), 0) << "a new session after _Close";
    EXPECT_EQ(_Close(), 0);
}

TEST(SessionLifecycle, FixedAnswersWhateverTheSessionHolds) {
    EXPECT_EQ(_GetUdpPortFromRegistry(), 0);
    EXPECT_EQ(_IsInSubnet(nullptr), 1);
    TDROVAInfo info{};
    EXPECT_EQ(_IsInSubnet(&info), 1);
    _SetUdpPortToRegistry();
    EXPECT_EQ(_GetConnectInfo(), _GetConnectInfo());
    EXPECT_EQ(sizeof(TDROVAInfo), 348u);
}

TEST(SessionLifecycle, RandomIdPacksTheTimeOfDay) {
    const std::uint32_t id = random_id_from_time_of_day();
    EXPECT_LT(id & 0xFF, 60u) << "minutes";
    EXPECT_LT((id >> 8) & 0xFF, 24u) << "hours";
    EXPECT_LT((id >> 16) & 0xFF, 100u) << "hundredths";
    EXPECT_LE(id >> 24, 60u) << "seconds";
    ASSERT_EQ(_Initialize(nullptr, nullptr, 0), 0);
    EXPECT_EQ(static_cast<std::uint32_t>(_GetRandomId()), Session::instance().random_id.load());
    _Close();
}

class SessionTest : public SessionFixture {};

TEST_F(SessionTest, StartsIdleAndNotConnected) {
    EXPECT_EQ(session().command.state(), kIdle);
    EXPECT_EQ(_IsConnected(), 0);
    for (int state : {kConnecting, kDisconnecting}) {
        session().workers()->connection = state;
        EXPECT_EQ(_IsConnected(), 0);
    }
    session().workers()->connection = kConnected;
    EXPECT_EQ(_IsConnected(), 1);
}

TEST_F(SessionTest, GatesPostTheirReasonsInOrder) {
    auto busy = standard_gate(session(), kAppInfo);
    EXPECT_FALSE(busy) << "not connected";
    session().workers()->connection = kConnected;
    auto running = standard_gate(session(), kAppInfo);
    ASSERT_TRUE(running);
    EXPECT_FALSE(standard_gate(session(), kFlashInfo));
    EXPECT_FALSE(connect_gate(session(), kConnect));
    EXPECT_FALSE(search_gate(session(), kSearch)) << "refused without an event";
    session().workers()->connection = kNotConnected;
    EXPECT_FALSE(keepalive_gate(session(), kKeepAlive));
    ASSERT_TRUE(events.wait_for_count(6));
    EXPECT_EQ(events.events(), (std::vector<Event>{{15, 5}, {15, 10}, {15, 10}, {15, 4}, {15, 10}, {15, 5}}));
    EXPECT_EQ(session().command.state(), kAppInfo);
}

TEST_F(SessionTest, TwoHostThreadsCannotBothStartACommand) {
    session().workers()->connection = kConnected;
    for (int round = 0; round < 200; ++round) {
        std::atomic<int> started{0};
        auto attempt = [&] {
            if (standard_gate(session(), kReadInfo)) ++started;
        };
        std::thread a(attempt), b(attempt);
        a.join();
        b.join();
        ASSERT_EQ(started.load(), 1);
        session().command.reset();
    }
}

// Three periods run out with no answer in between: the first two end their
// commands, the third declares the link lost once.
TEST_F(SessionTest, ThreeSilentTimeOutsDeclareTheLinkLostOnce) {
    session().workers()->connection = kConnected;
    for (int round = 0; round < 3; ++round) {
        auto ticket = standard_gate(session(), kAutoStart);
        ASSERT_TRUE(ticket) << "round " << round;
        session().arm_timer(2000, *ticket);
        for (int i = 0; i < 2000 && session().command.state() != kIdle; ++i) std::this_thread::sleep_for(1ms);
        ASSERT_EQ(session().command.state(), kIdle);
    }
    ASSERT_TRUE(events.wait_for({10, 0}));
    ASSERT_TRUE(events.wait_for_count(6));
    EXPECT_EQ(session().workers()->connection.load(), kNotConnected);
    EXPECT_EQ(session().workers()->keepalive_failures.load(), 3);
    // A fourth silent time-out counts below zero without effect.
    session().workers()->connection = kConnected;
    auto fourth = standard_gate(session(), kAutoStart);
    ASSERT_TRUE(fourth);
    session().arm_timer(100, *fourth);
    for (int i = 0; i < 2000 && session().command.state() != kIdle; ++i) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(events.wait_for_count(9));
    std::this_thread::sleep_for(session().workers()->clock->real_duration(300));
    // The first two and the fourth ran the automatic start's own time-out;
    // the third still ends the command with its own failure.
    EXPECT_EQ(events.events(),
              (std::vector<Event>{{15, 7}, {1, 1}, {15, 7}, {1, 1}, {15, 9}, {10, 0}, {1, 1}, {15, 7}, {1, 1}}));
    EXPECT_EQ(session().workers()->connection.load(), kConnected);
}

// A reset ends the connection while a command waits: its third silent
// time-out has no link left to lose and ends the command with its own outcome.
TEST_F(SessionTest, ThirdSilentTimeOutWithoutAConnectionStillEndsTheCommand) {
    session().workers()->connection = kConnected;
    for (int round = 0; round < 3; ++round) {
        auto ticket = standard_gate(session(), kAutoStart);
        ASSERT_TRUE(ticket) << "round " << round;
        if (round == 2) session().workers()->connection = kNotConnected;
        session().arm_timer(2000, *ticket);
        for (int i = 0; i < 2000 && session().command.state() != kIdle; ++i) std::this_thread::sleep_for(1ms);
        ASSERT_EQ(session().command.state(), kIdle);
    }
    ASSERT_TRUE(events.wait_for_count(6));
    std::this_thread::sleep_for(session().workers()->clock->real_duration(300));
    EXPECT_EQ(events.events(), (std::vector<Event>{{15, 7}, {1, 1}, {15, 7}, {1, 1}, {15, 7}, {1, 1}}));
}

TEST_F(SessionTest, TimeOutsDuringASearchNeverCountTowardsTheLoss) {
    session().workers()->connection = kConnected;
    for (int round = 0; round < 4; ++round) {
        auto ticket = search_gate(session(), kSearch);
        ASSERT_TRUE(ticket);
        session().arm_timer(100, *ticket);
        for (int i = 0; i < 2000 && session().command.state() != kIdle; ++i) std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(session().workers()->missed_responses.load(), 3);
    EXPECT_EQ(session().workers()->connection.load(), kConnected);
}

TEST_F(SessionTest, ExpiryWhileIdleOrStartingADownloadOnlyIdles) {
    auto ticket = session().command.begin(kDownloadStart);
    ASSERT_TRUE(ticket);
    session().arm_timer(100, *ticket);
    for (int i = 0; i < 2000 && session().command.state() != kIdle; ++i) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(session().command.state(), kIdle);
    // Anything the expiry posted is delivered before a pair posted after it.
    session().post(100, 1);
    ASSERT_TRUE(events.wait_for({100, 1}));
    EXPECT_EQ(events.events(), (std::vector<Event>{{100, 1}}));
}

// An expiry of a command that has ended meanwhile touches nothing: the
// command begun since keeps its period and ends at its own time-out.
TEST_F(SessionTest, StaleExpiryLeavesTheNextCommandsPeriodAlone) {
    session().workers()->connection = kConnected;
    auto first = standard_gate(session(), kAutoStart);
    ASSERT_TRUE(first);
    {
        // The dispatcher of the first expiry waits for this lock while the
        // first command is forgotten and the next one arms its period.
        ExchangeGuard hold(session().exchange_lock);
        session().arm_timer(100, *first);
        for (int i = 0; i < 2000 && session().workers()->timer.armed(); ++i) std::this_thread::sleep_for(1ms);
        ASSERT_FALSE(session().workers()->timer.armed()) << "the first period never ran out";
        _DeviceClose();
        session().workers()->connection = kConnected;
        auto second = standard_gate(session(), kAutoStart);
        ASSERT_TRUE(second);
        session().arm_timer(2000, *second);
    }
    for (int i = 0; i < 5000 && session().command.state() != kIdle; ++i) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(session().command.state(), kIdle) << "the second command never timed out";
    ASSERT_TRUE(events.wait_for({1, 1}));
    EXPECT_EQ(events.events(), (std::vector<Event>{{10, 0}, {15, 7}, {1, 1}}));
}

// Nothing of a closed session outlives it: a handler that still runs writes
// into its own session, and no later one sees a connection.
TEST_F(SessionTest, AClosedSessionLeavesNoConnectionBehind) {
    const auto closed = session().workers();
    _Close();
    closed->connection = kConnected;  // what a late handler of that session does
    EXPECT_EQ(_IsConnected(), 0);
    ASSERT_EQ(_Initialize(&EventRecorder::callback, nullptr, 0), 0);
    EXPECT_EQ(_IsConnected(), 0);

    // A disconnect whose period runs out while _Close runs.
    for (int round = 0; round < 40; ++round) {
        session().workers()->connection = kDisconnecting;
        auto ticket = session().command.begin(kDisconnect);
        ASSERT_TRUE(ticket);
        session().arm_timer(50, *ticket);
        std::this_thread::sleep_for(session().workers()->clock->real_duration(50 + round % 4 * 20));
        _Close();
        EXPECT_EQ(_IsConnected(), 0) << round;
        std::this_thread::sleep_for(2ms);
        EXPECT_EQ(_IsConnected(), 0) << round;
        ASSERT_EQ(_Initialize(&EventRecorder::callback, nullptr, 0), 0);
        EXPECT_EQ(_IsConnected(), 0) << round;
    }
}

// The host callback re-enters the library: refused commands, then _Close.
TEST_F(SessionTest, CallbackMayCallExportsAndClose) {
    std::promise<int> closed;
    std::atomic<int> calls{0};
    events.on_event([&](int a, int) {
        if (a != 12) return;
        if (++calls == 1) {
            standard_gate(session(), kAppInfo);  // refused: posts from the delivery thread
            closed.set_value(_Close());
        }
    });
    std::thread flood([&] {
        for (int i = 0; i < 30; ++i) session().post(1, 1);
    });
    session().post(12, 0);
    flood.join();
    auto result = closed.get_future();
    ASSERT_EQ(result.wait_for(30s), std::future_status::ready) << "deadlock";
    EXPECT_EQ(result.get(), 0);
    EXPECT_FALSE(session().initialised());
    EXPECT_EQ(_Initialize(&EventRecorder::callback, nullptr, 0), 0) << "and a new session starts";
}

TEST_F(SessionTest, NoCallbackAfterCloseReturns) {
    std::atomic<bool> closed{false};
    std::atomic<int> late{0};
    events.on_event([&](int, int) {
        if (closed) ++late;
    });
    std::thread flood([&] {
        for (int i = 0; i < 50; ++i) session().post(1, 0);
    });
    std::this_thread::sleep_for(20ms);
    _Close();
    closed = true;
    flood.join();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(late.load(), 0);
}

}  // namespace
}  // namespace velkor
