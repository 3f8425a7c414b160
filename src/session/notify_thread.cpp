#include "session/notify_thread.h"

#include <algorithm>
#include <chrono>

#include "platform/platform.h"

namespace velkor {

TNotifyThread::TNotifyThread(HostTarget target, std::shared_ptr<Clock> clock, WorkerMode mode)
    : shared_(std::make_shared<Shared>()) {
    shared_->target = target;
    shared_->clock = std::move(clock);
    shared_->driven = mode == WorkerMode::driven;
    if (shared_->driven) return;
    std::unique_lock guard(shared_->lock);
    thread_ = WorkerThread([shared = shared_] { run(shared); });
    shared_->delivery_thread = thread_.id();
}

TNotifyThread::~TNotifyThread() { terminate(); }

void TNotifyThread::post(int a, int b) {
    if (a == 15 && b == 6) return;
    Shared &s = *shared_;
    std::unique_lock guard(s.lock);
    if (s.terminating) return;
    if (s.driven || std::this_thread::get_id() == s.delivery_thread) {
        // Posted from inside the host callback: the ring only drains when the
        // callback returns, so the pair waits behind the ring instead. Driven,
        // it drains only when the owner next delivers.
        if (s.count < kMaxQueued && s.overflow.empty()) {
            s.ring[s.write] = {a, b};
            s.write = (s.write + 1) % kSlots;
            ++s.count;
        } else {
            s.overflow.push_back({a, b});
        }
        return;
    }
    while (s.count >= kMaxQueued || !s.overflow.empty()) {
        s.room.wait_for(guard, s.clock->real_duration(kPaceMs));
        if (s.terminating) return;
    }
    s.ring[s.write] = {a, b};
    s.write = (s.write + 1) % kSlots;
    ++s.count;
    if (s.parked) s.wake.notify_all();
}

void TNotifyThread::terminate(bool join) {
    {
        std::lock_guard guard(shared_->lock);
        shared_->terminating = true;
        shared_->count = 0;
        shared_->overflow.clear();
    }
    shared_->room.notify_all();
    shared_->wake.notify_all();
    if (join)
        thread_.finish();
    else
        thread_.let_go();
}

std::size_t TNotifyThread::deliver_queued() {
    std::size_t delivered = 0;
    for (Pair pair{}; take(*shared_, pair); ++delivered) deliver(*shared_, pair);
    return delivered;
}

std::size_t TNotifyThread::queued() const {
    std::lock_guard guard(shared_->lock);
    return static_cast<std::size_t>(shared_->count) + shared_->overflow.size();
}

bool TNotifyThread::stopping(Shared &s) {
    std::lock_guard guard(s.lock);
    return s.terminating;
}

bool TNotifyThread::sleep(Shared &s, std::uint32_t ms) {
    std::unique_lock guard(s.lock);
    return !s.wake.wait_for(guard, s.clock->real_duration(ms), [&] { return s.terminating; });
}

// The idle period passes in full; while nothing is queued the thread then
// waits for a post instead of waking every period, and sleeps on to the end of
// the period the post fell in, so events are delivered when they always were.
bool TNotifyThread::wait_for_idle_tick(Shared &s) {
    std::unique_lock guard(s.lock);
    const auto period = std::max(s.clock->real_duration(kIdleSleepMs), std::chrono::nanoseconds(1));
    const auto start = std::chrono::steady_clock::now();
    const auto stopping = [&] { return s.terminating; };
    if (s.wake.wait_until(guard, start + period, stopping)) return false;
    if (s.count > 0) return true;
    s.parked = true;
    s.wake.wait(guard, [&] { return s.terminating || s.count > 0; });
    s.parked = false;
    if (s.terminating) return false;
    const auto periods = (std::chrono::steady_clock::now() - start) / period + 1;
    return !s.wake.wait_until(guard, start + periods * period, stopping);
}

bool TNotifyThread::take(Shared &s, Pair &pair) {
    {
        std::lock_guard guard(s.lock);
        if (s.terminating || s.count == 0) return false;
        pair = s.ring[s.read];
        s.read = (s.read + 1) % kSlots;
        --s.count;
        // Refill from the overflow so that order is kept.
        if (!s.overflow.empty()) {
            s.ring[s.write] = s.overflow.front();
            s.overflow.pop_front();
            s.write = (s.write + 1) % kSlots;
            ++s.count;
        }
    }
    s.room.notify_one();
    return true;
}

void TNotifyThread::deliver(Shared &s, const Pair &pair) {
    if (s.target.callback != nullptr) s.target.callback(pair.a, pair.b);
    // The callback may have ended the session: nothing more reaches the host.
    if (s.target.window != nullptr && !stopping(s))
        platform::post_window_message(s.target.window, s.target.message, pair.a, pair.b);
}

void TNotifyThread::run(std::shared_ptr<Shared> shared) {
    Shared &s = *shared;
    { std::lock_guard guard(s.lock); }  // the constructor has recorded our id
    while (wait_for_idle_tick(s)) {
        for (Pair pair{}; take(s, pair);) {
            deliver(s, pair);
            if (!sleep(s, kPaceMs)) return;
        }
        if (stopping(s)) return;
    }
}

}  // namespace velkor
