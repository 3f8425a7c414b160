// Event pairs from the library's notification thread, handed to the thread
// that waits for a command to finish. The library calls back on its own
// thread; drova's commands wait on theirs and print what arrived in order.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

#include "Vevara_Rovo_dar.h"

namespace drova {

struct Event {
    int a = 0;
    int b = 0;
    bool operator==(const Event &) const = default;
};

class EventWaiter {
public:
    using Clock = std::chrono::steady_clock;

    // Any thread.
    void post(Event event);

    using Done = std::function<bool(const Event &)>;
    using Seen = std::function<void(const Event &)>;

    // Takes events in arrival order and hands each to `seen`, until one for
    // which `done` is true (returned) arrives, `quiet` passes without any
    // event, or `stop` answers true (checked at least every 50 ms): nullopt.
    std::optional<Event> wait(const Done &done, std::chrono::milliseconds quiet, const Seen &seen,
                              const std::function<bool()> &stop = {});

    // Hands every event that arrives within `span` to `seen`.
    void collect(std::chrono::milliseconds span, const Seen &seen, const std::function<bool()> &stop = {});

private:
    // Hands the queued events to `seen` (without the lock held) until one
    // satisfies `done`, which it returns; nullopt once the queue is empty.
    std::optional<Event> drain(std::unique_lock<std::mutex> &lock, const Done &done, const Seen &seen, bool &took);

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<Event> queue_;
};

// The callback drova gives the library; delivers to the waiter routed to it, if any.
void route_events_to(EventWaiter *waiter);
void VELKOR_CALL library_event_callback(int a, int b);

}  // namespace drova
