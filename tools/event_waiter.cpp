#include "event_waiter.h"

#include <atomic>

namespace drova {
namespace {

constexpr auto kStopPoll = std::chrono::milliseconds(50);
std::atomic<EventWaiter *> routed_waiter{nullptr};

}  // namespace

void EventWaiter::post(Event event) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(event);
    }
    arrived_.notify_one();
}

std::optional<Event> EventWaiter::drain(std::unique_lock<std::mutex> &lock, const Done &done, const Seen &seen,
                                        bool &took) {
    took = false;
    while (!queue_.empty()) {
        const Event event = queue_.front();
        queue_.pop_front();
        took = true;
        lock.unlock();
        if (seen) seen(event);
        const bool finished = done && done(event);
        lock.lock();
        if (finished) return event;
    }
    return std::nullopt;
}

std::optional<Event> EventWaiter::wait(const Done &done, std::chrono::milliseconds quiet, const Seen &seen,
                                       const std::function<bool()> &stop) {
    auto deadline = Clock::now() + quiet;
    std::unique_lock lock(mutex_);
    for (;;) {
        bool took = false;
        if (auto event = drain(lock, done, seen, took)) return event;
        const auto now = Clock::now();
        if (took) deadline = now + quiet;
        if ((stop && stop()) || now >= deadline) return std::nullopt;
        arrived_.wait_until(lock, std::min(deadline, now + kStopPoll));
    }
}

void EventWaiter::collect(std::chrono::milliseconds span, const Seen &seen, const std::function<bool()> &stop) {
    const auto end = Clock::now() + span;
    std::unique_lock lock(mutex_);
    for (;;) {
        bool took = false;
        drain(lock, {}, seen, took);
        const auto now = Clock::now();
        if (now >= end || (stop && stop())) return;
        arrived_.wait_until(lock, std::min(end, now + kStopPoll));
    }
}

void route_events_to(EventWaiter *waiter) { routed_waiter.store(waiter); }

void VELKOR_CALL library_event_callback(int a, int b) {
    if (EventWaiter *waiter = routed_waiter.load()) waiter->post({a, b});
}

}  // namespace drova
