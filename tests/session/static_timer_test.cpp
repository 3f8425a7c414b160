#include "session/static_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/counting_clock.h"

namespace velkor {
namespace {

using namespace std::chrono_literals;

TEST(ElapsedTicks, CountsAcrossTheWrapOfTheTickCounter) {
    EXPECT_EQ(elapsed_ticks(1000, 3000), 2000u);
    EXPECT_EQ(elapsed_ticks(5, 5), 0u);
    // Start just below 2^32, now wrapped to a small value.
    EXPECT_EQ(elapsed_ticks(0xFFFFFF00u, 0x100u), 0x100u + (0xFFFFFFFFu - 0xFFFFFF00u));
    EXPECT_LT(elapsed_ticks(0xFFFFFFF0u, 10u), 100u);
}

// The timer reports to a plain function, so the probe is process-wide.
std::atomic<int> expiries{0};
std::atomic<std::uint32_t> expired_serial{0};
std::atomic<std::uint32_t> expired_at{0};
std::shared_ptr<Clock> probe_clock;

void record_expiry(std::uint32_t serial) {
    expired_serial = serial;
    expired_at = probe_clock->now_ms();
    ++expiries;
}

class StaticTimerTest : public ::testing::TestWithParam<std::uint32_t> {
protected:
    void SetUp() override {
        expiries = 0;
        // A start tick just below 2^32 makes every period cross the wrap. The
        // speed-up stays low enough that a scheduler tick of a few real
        // milliseconds is small against the 50 ms poll.
        probe_clock = std::make_shared<ScaledClock>(10.0, GetParam());
    }
    bool wait_for_expiries(int count) {
        for (int i = 0; i < 4000 && expiries < count; ++i) std::this_thread::sleep_for(1ms);
        return expiries >= count;
    }
};

TEST_P(StaticTimerTest, ExpiresOnceAfterThePeriod) {
    CommandState command(kIdle);
    auto ticket = command.begin(7);
    TStaticTimer timer(probe_clock);
    timer.install(record_expiry);
    const std::uint32_t armed_at = probe_clock->now_ms();
    timer.arm(2000, *ticket, command);
    ASSERT_TRUE(wait_for_expiries(1));
    const std::uint32_t after = expired_at - armed_at;
    EXPECT_GT(after, 2000u);
    // Slack for a loaded machine (a sanitizer build beside others): 30 real ms.
    EXPECT_LE(after, 2000u + TStaticTimer::kPollMs + 300u) << "fired long after its period";
    EXPECT_EQ(expired_serial.load(), ticket->serial);
    std::this_thread::sleep_for(probe_clock->real_duration(3000));
    EXPECT_EQ(expiries.load(), 1) << "fires again only when armed again";
    EXPECT_FALSE(timer.armed());
}

TEST_P(StaticTimerTest, RestartWithoutArmNeverFires) {
    CommandState command(kIdle);
    auto ticket = command.begin(7);
    TStaticTimer timer(probe_clock);
    timer.install(record_expiry);
    timer.arm(500, *ticket, command);
    timer.restart(ticket->serial);
    std::this_thread::sleep_for(probe_clock->real_duration(1500));
    EXPECT_EQ(expiries.load(), 0);
}

TEST_P(StaticTimerTest, ArmForACommandThatAlreadyEndedIsIgnored) {
    CommandState command(kIdle);
    auto first = command.begin(14);
    command.end(*first);
    auto second = command.begin(5);
    TStaticTimer timer(probe_clock);
    timer.install(record_expiry);
    timer.arm(100, *second, command);
    timer.arm(100, *first, command);  // late arm of the ended command
    ASSERT_TRUE(wait_for_expiries(1));
    EXPECT_EQ(expired_serial.load(), second->serial);

    // Ended before its arm, with no command after it: nothing to watch.
    command.end(*second);
    timer.arm(100, *second, command);
    EXPECT_FALSE(timer.armed());
    std::this_thread::sleep_for(probe_clock->real_duration(300));
    EXPECT_EQ(expiries.load(), 1);
}

// Expired, the timer has nothing to watch until the next arm, however long
// that takes; the arm must still reach it.
TEST_P(StaticTimerTest, ArmedAgainAfterALongIdleItExpiresAgainOnTime) {
    CommandState command(kIdle);
    TStaticTimer timer(probe_clock);
    timer.install(record_expiry);
    auto first = command.begin(7);
    timer.arm(100, *first, command);
    ASSERT_TRUE(wait_for_expiries(1));
    command.end(*first);
    std::this_thread::sleep_for(probe_clock->real_duration(1000));
    auto second = command.begin(9);
    const std::uint32_t armed_at = probe_clock->now_ms();
    timer.arm(300, *second, command);
    ASSERT_TRUE(wait_for_expiries(2));
    EXPECT_EQ(expired_serial.load(), second->serial);
    const std::uint32_t after = expired_at - armed_at;
    EXPECT_GT(after, 300u);
    EXPECT_LE(after, 300u + TStaticTimer::kPollMs + 60u) << "slack for a slow machine";
}

// Moves only when told to.
class SteppedClock final : public Clock {
public:
    explicit SteppedClock(std::uint32_t start) : now_(start) {}
    std::uint32_t now_ms() override { return now_; }
    std::chrono::nanoseconds real_duration(std::uint32_t) override { return {}; }
    void advance(std::uint32_t ms) { now_ += ms; }

private:
    std::atomic<std::uint32_t> now_;
};

// Driven, the timer has no thread: its owner's poll finds the period run out
// (as the thread's poll would: strictly past it, counted one short across the
// wrap) and runs the callback on the owner's thread, once.
TEST_P(StaticTimerTest, DrivenItExpiresAtItsOwnersFirstPollPastThePeriod) {
    auto clock = std::make_shared<SteppedClock>(GetParam());
    probe_clock = clock;
    CommandState command(kIdle);
    auto ticket = command.begin(7);
    TStaticTimer timer(clock, WorkerMode::driven);
    timer.install(record_expiry);
    EXPECT_FALSE(timer.poll()) << "nothing armed";
    timer.arm(2000, *ticket, command);
    clock->advance(2000);
    EXPECT_FALSE(timer.poll()) << "not past the period";
    clock->advance(2);
    EXPECT_TRUE(timer.poll());
    EXPECT_EQ(expiries.load(), 1);
    EXPECT_EQ(expired_serial.load(), ticket->serial);
    clock->advance(5000);
    EXPECT_FALSE(timer.poll()) << "fires again only when armed again";
    EXPECT_EQ(expiries.load(), 1);
    timer.terminate();
    timer.arm(10, *ticket, command);
    clock->advance(100);
    EXPECT_FALSE(timer.poll()) << "terminated";
}

INSTANTIATE_TEST_SUITE_P(StartTicks, StaticTimerTest, ::testing::Values(1000u, 0xFFFFFE00u));

TEST(StaticTimerIdle, WithNothingArmedTheThreadDoesNotPoll) {
    auto clock = std::make_shared<testing::CountingClock>(10.0);
    TStaticTimer timer(clock);
    timer.install(record_expiry);
    // Forty polling periods pass.
    std::this_thread::sleep_for(clock->real_duration(40 * TStaticTimer::kPollMs));
    const int idle_waits = clock->waits - 1;  // the sleep above asked too
    EXPECT_LE(idle_waits, 1);
}

}  // namespace
}  // namespace velkor
