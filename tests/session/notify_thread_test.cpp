#include "session/notify_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "support/counting_clock.h"
#include "support/event_recorder.h"

namespace velkor {
namespace {

using testing::Event;
using testing::EventRecorder;
using namespace std::chrono_literals;

constexpr double kSpeedup = 20.0;

std::shared_ptr<ScaledClock> fast_clock() { return std::make_shared<ScaledClock>(kSpeedup, 0); }

TEST(NotifyThread, DeliversInPostingOrderAndNeverQueuesInvalidAnswer) {
    EventRecorder recorder;
    TNotifyThread notifier({&EventRecorder::callback, nullptr, 0}, fast_clock());
    notifier.post(15, 7);
    notifier.post(15, 6);
    notifier.post(9, 1);
    ASSERT_TRUE(recorder.wait_for_count(2));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(recorder.events(), (std::vector<Event>{{15, 7}, {9, 1}}));
    EXPECT_EQ(notifier.queued(), 0u);
}

TEST(NotifyThread, HoldsAtMostSevenAndTheEighthPostWaitsForRoom) {
    EventRecorder recorder;
    std::promise<void> release;
    auto released = release.get_future().share();
    recorder.on_event([released](int a, int) {
        if (a == 0) released.wait();
    });
    TNotifyThread notifier({&EventRecorder::callback, nullptr, 0}, fast_clock());
    notifier.post(0, 0);  // held in the callback
    ASSERT_TRUE(recorder.wait_for_count(1));
    for (int i = 1; i <= 7; ++i) notifier.post(i, 0);
    EXPECT_EQ(notifier.queued(), 7u);

    auto eighth = std::async(std::launch::async, [&] { notifier.post(8, 0); });
    EXPECT_EQ(eighth.wait_for(100ms), std::future_status::timeout) << "the eighth post must wait";
    EXPECT_EQ(notifier.queued(), 7u);

    release.set_value();
    eighth.get();
    ASSERT_TRUE(recorder.wait_for_count(9));
    std::vector<Event> expected;
    for (int i = 0; i <= 8; ++i) expected.emplace_back(i, 0);
    EXPECT_EQ(recorder.events(), expected);
}

TEST(NotifyThread, WithoutCallbackOrWindowEventsAreTakenAndDropped) {
    TNotifyThread notifier({nullptr, nullptr, 0}, fast_clock());
    for (int i = 0; i < 7; ++i) notifier.post(1, 0);
    for (int i = 0; i < 200 && notifier.queued() != 0; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(notifier.queued(), 0u);
}

// Times are taken on the notifier's own clock, so the bounds hold whatever the
// speed-up; only the upper bounds get slack for a slow machine.
TEST(NotifyThread, FirstEventWithinOnePeriodThenOneEventPerPace) {
    // Slow enough that a scheduler tick of a few real milliseconds stays small.
    auto clock = std::make_shared<ScaledClock>(4.0, 0);
    EventRecorder recorder;
    std::vector<std::uint32_t> delivered;
    std::mutex lock;
    recorder.on_event([&](int, int) {
        std::lock_guard guard(lock);
        delivered.push_back(clock->now_ms());
    });
    TNotifyThread notifier({&EventRecorder::callback, nullptr, 0}, clock);
    std::this_thread::sleep_for(clock->real_duration(30));
    const std::uint32_t posted = clock->now_ms();
    for (int i = 0; i < 5; ++i) notifier.post(2, i);
    ASSERT_TRUE(recorder.wait_for_count(5));
    std::lock_guard guard(lock);
    // Within one idle period, with a second one of slack for a loaded machine.
    EXPECT_LE(delivered[0] - posted, 2 * TNotifyThread::kIdleSleepMs);
    for (std::size_t i = 1; i < delivered.size(); ++i)
        EXPECT_GE(delivered[i] - delivered[i - 1], TNotifyThread::kPaceMs) << "event " << i;
}

// With nothing queued the thread sleeps through its idle periods without
// waking for each; a post still goes out by the end of the period it fell in.
TEST(NotifyThread, IdleWithoutWakingThenDeliversWithinOnePeriod) {
    auto clock = std::make_shared<testing::CountingClock>(4.0);
    EventRecorder recorder;
    std::promise<std::uint32_t> delivered;
    recorder.on_event([&](int, int) { delivered.set_value(clock->now_ms()); });
    TNotifyThread notifier({&EventRecorder::callback, nullptr, 0}, clock);
    const auto idle = std::chrono::duration_cast<std::chrono::nanoseconds>(clock->real_duration(1)) *
                      (10 * TNotifyThread::kIdleSleepMs);
    std::this_thread::sleep_for(idle);  // ten idle periods
    EXPECT_LE(clock->waits.load(), 3) << "woke for idle periods";
    const std::uint32_t posted = clock->now_ms();
    notifier.post(4, 0);
    auto delivered_at = delivered.get_future();
    ASSERT_EQ(delivered_at.wait_for(20s), std::future_status::ready);
    // Within one idle period, with a second one of slack for a loaded machine.
    EXPECT_LE(delivered_at.get() - posted, 2 * TNotifyThread::kIdleSleepMs);
}

// The host callback posts (through refused exports) while other threads fill
// the ring: neither side may wait for the other, and order is kept.
TEST(NotifyThread, CallbackMayPostIntoAFullRing) {
    EventRecorder recorder;
    TNotifyThread *self = nullptr;
    recorder.on_event([&](int a, int b) {
        if (a == 1 && b == 0)
            for (int i = 0; i < 20; ++i) self->post(2, i);
    });
    TNotifyThread notifier({&EventRecorder::callback, nullptr, 0}, fast_clock());
    self = &notifier;
    std::thread other([&] {
        for (int i = 0; i < 20; ++i) notifier.post(3, i);
    });
    notifier.post(1, 0);
    other.join();
    ASSERT_TRUE(recorder.wait_for_count(41, 60s));
    const auto events = recorder.events();
    int last_two = -1, last_three = -1;
    for (const auto &[a, b] : events) {
        if (a == 2) {
            EXPECT_EQ(b, ++last_two);
        }
        if (a == 3) {
            EXPECT_EQ(b, ++last_three);
        }
    }
    EXPECT_EQ(last_two, 19);
    EXPECT_EQ(last_three, 19);
}

TEST(NotifyThread, TerminateReleasesBlockedPostersAndStopsDelivery) {
    EventRecorder recorder;
    std::promise<void> release;
    auto released = release.get_future().share();
    recorder.on_event([released](int a, int) {
        if (a == 0) released.wait();
    });
    auto notifier = std::make_unique<TNotifyThread>(HostTarget{&EventRecorder::callback, nullptr, 0}, fast_clock());
    notifier->post(0, 0);
    ASSERT_TRUE(recorder.wait_for_count(1));
    for (int i = 1; i <= 7; ++i) notifier->post(i, 0);
    auto blocked = std::async(std::launch::async, [&] { notifier->post(8, 0); });
    auto terminating = std::async(std::launch::async, [&] { notifier->terminate(); });
    EXPECT_EQ(blocked.wait_for(5s), std::future_status::ready) << "a post blocked after terminate";
    release.set_value();
    terminating.get();
    notifier->post(9, 0);
    EXPECT_EQ(recorder.events().size(), 1u);
}

// Driven, the notifier has no thread: a post never waits, however many are
// queued, and its owner's delivery hands every pair on, in order, at once.
TEST(NotifyThread, DrivenPostsNeverWaitAndTheOwnersDeliveryTakesAllInOrder) {
    EventRecorder recorder;
    TNotifyThread notifier({&EventRecorder::callback, nullptr, 0}, fast_clock(), WorkerMode::driven);
    std::vector<Event> expected;
    for (int i = 0; i < 20; ++i) {
        notifier.post(1, i);
        expected.emplace_back(1, i);
        if (i == 3) notifier.post(15, 6);
    }
    EXPECT_EQ(notifier.queued(), 20u);
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(recorder.events().empty()) << "delivered without its owner";
    EXPECT_EQ(notifier.deliver_queued(), 20u);
    EXPECT_EQ(recorder.events(), expected);
    EXPECT_EQ(notifier.deliver_queued(), 0u);
    notifier.post(2, 0);
    notifier.terminate();
    EXPECT_EQ(notifier.deliver_queued(), 0u) << "terminated: what was queued is dropped";
    EXPECT_EQ(recorder.events().size(), 20u);
}

TEST(NotifyThread, CallbackMayTerminateItsOwnNotifier) {
    EventRecorder recorder;
    std::unique_ptr<TNotifyThread> notifier;
    std::promise<void> done;
    recorder.on_event([&](int, int) {
        notifier->terminate();
        done.set_value();
    });
    notifier = std::make_unique<TNotifyThread>(HostTarget{&EventRecorder::callback, nullptr, 0}, fast_clock());
    notifier->post(1, 0);
    ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
    notifier.reset();
}

}  // namespace
}  // namespace velkor
