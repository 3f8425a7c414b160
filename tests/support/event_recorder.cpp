#include "support/event_recorder.h"

#include <algorithm>
#include <atomic>

namespace velkor::testing {
namespace {
std::atomic<EventRecorder *> current{nullptr};
}

void EventRecorder::callback(int a, int b) {
    if (EventRecorder *recorder = current.load()) recorder->record(a, b);
}

EventRecorder::EventRecorder() { current = this; }
EventRecorder::~EventRecorder() { current = nullptr; }

void EventRecorder::on_event(std::function<void(int, int)> hook) {
    std::lock_guard guard(lock_);
    hook_ = std::move(hook);
}

void EventRecorder::record(int a, int b) {
    std::function<void(int, int)> hook;
    {
        std::lock_guard guard(lock_);
        events_.emplace_back(a, b);
        hook = hook_;
    }
    arrived_.notify_all();
    if (hook) hook(a, b);
}

std::vector<Event> EventRecorder::events() const {
    std::lock_guard guard(lock_);
    return events_;
}

bool EventRecorder::wait_for_count(std::size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock guard(lock_);
    return arrived_.wait_for(guard, limit, [&] { return events_.size() >= count; });
}

bool EventRecorder::wait_for(Event event, std::chrono::milliseconds limit) const {
    std::unique_lock guard(lock_);
    return arrived_.wait_for(guard, limit,
                             [&] { return std::find(events_.begin(), events_.end(), event) != events_.end(); });
}

void EventRecorder::clear() {
    std::lock_guard guard(lock_);
    events_.clear();
}

}  // namespace velkor::testing
