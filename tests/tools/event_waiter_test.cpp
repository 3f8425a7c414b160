// The event waiter between the library's callback thread and a waiting command.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "event_waiter.h"

namespace drova {
namespace {

using namespace std::chrono_literals;

TEST(EventWaiter, HandsOverEventsInOrderUpToTheCompletion) {
    EventWaiter waiter;
    std::thread poster([&] {
        for (const Event event : {Event{0, 0}, Event{5, 0}, Event{15, 7}, Event{3, 1}, Event{10, 0}}) {
            waiter.post(event);
            std::this_thread::sleep_for(1ms);
        }
    });
    std::vector<Event> seen;
    const auto done = waiter.wait([](const Event &e) { return e.a == 3; }, 5s, [&](const Event &e) { seen.push_back(e); });
    poster.join();
    EXPECT_EQ(done, (Event{3, 1}));
    EXPECT_EQ(seen, (std::vector<Event>{{0, 0}, {5, 0}, {15, 7}, {3, 1}}));
    // What follows the completion stays for the next wait.
    seen.clear();
    waiter.collect(0ms, [&](const Event &e) { seen.push_back(e); });
    EXPECT_EQ(seen, (std::vector<Event>{{10, 0}}));
}

TEST(EventWaiter, GivesUpAfterAQuietSpanThatEveryEventRenews) {
    EventWaiter waiter;
    // Taken before the poster starts: its last event comes at least 240 ms later.
    const auto start = std::chrono::steady_clock::now();
    std::thread poster([&] {
        for (int i = 0; i < 4; ++i) {
            std::this_thread::sleep_for(60ms);
            waiter.post({2, 0});
        }
    });
    int seen = 0;
    const auto done = waiter.wait([](const Event &e) { return e.a == 3; }, 150ms, [&](const Event &) { ++seen; });
    poster.join();
    EXPECT_FALSE(done);
    EXPECT_EQ(seen, 4);  // 240 ms of events, each within the 150 ms span of the one before
    EXPECT_GE(std::chrono::steady_clock::now() - start, 240ms + 150ms);
}

TEST(EventWaiter, StopsWhenAsked) {
    EventWaiter waiter;
    std::atomic<bool> stop = false;
    std::thread stopper([&] {
        std::this_thread::sleep_for(50ms);
        stop = true;
    });
    const auto start = std::chrono::steady_clock::now();
    const auto done = waiter.wait([](const Event &) { return true; }, 10s, {}, [&] { return stop.load(); });
    stopper.join();
    EXPECT_FALSE(done);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(EventWaiter, TheCallbackReachesOnlyTheRoutedWaiter) {
    EventWaiter waiter;
    library_event_callback(9, 0);  // nobody routed: dropped
    route_events_to(&waiter);
    library_event_callback(12, 1);
    route_events_to(nullptr);
    library_event_callback(9, 1);
    std::vector<Event> seen;
    waiter.collect(0ms, [&](const Event &e) { seen.push_back(e); });
    EXPECT_EQ(seen, (std::vector<Event>{{12, 1}}));
}

}  // namespace
}  // namespace drova
