#include "session/static_timer.h"

namespace velkor {

std::uint32_t elapsed_ticks(std::uint32_t start, std::uint32_t now) {
    if (now >= start) return now - start;
    // Wrapped: kept as the system has always counted it, one short of the
    // modular difference.
    return now + (0xFFFFFFFFu - start);
}

TStaticTimer::TStaticTimer(std::shared_ptr<Clock> clock, WorkerMode mode) : shared_(std::make_shared<Shared>()) {
    shared_->clock = std::move(clock);
    shared_->start_tick = shared_->clock->now_ms();
    if (mode == WorkerMode::threaded) thread_ = WorkerThread([shared = shared_] { run(shared); });
}

TStaticTimer::~TStaticTimer() { terminate(); }

void TStaticTimer::restart(std::uint32_t serial) {
    std::lock_guard guard(shared_->lock);
    // Serials only grow (modulo 2^32), so a positive distance is a newer command.
    if (shared_->armed && static_cast<std::int32_t>(shared_->serial - serial) > 0) return;
    shared_->armed = false;
    shared_->start_tick = shared_->clock->now_ms();
}

void TStaticTimer::arm(std::uint32_t period_ms, const Ticket &ticket, const CommandState &command) {
    std::lock_guard guard(shared_->lock);
    // Checked under the timer lock: a newer command restarts the timer after
    // it has begun, so either that restart follows this arm or this arm sees
    // the newer serial. A command that has already ended (its answer came
    // within the send) has nothing left to time out.
    const Ticket now = command.current();
    if (now.serial != ticket.serial || now.state != ticket.state) return;
    shared_->period = period_ms;
    shared_->serial = ticket.serial;
    shared_->armed = true;
    shared_->start_tick = shared_->clock->now_ms();
    // Only a parked thread is woken: one that polls sees the arm at its next
    // poll, and a wake-up per command would cost a thread switch per chunk.
    if (shared_->parked) shared_->wake.notify_all();
}

bool TStaticTimer::armed() const {
    std::lock_guard guard(shared_->lock);
    return shared_->armed;
}

bool TStaticTimer::poll() {
    std::uint32_t serial = 0;
    {
        std::lock_guard guard(shared_->lock);
        if (shared_->terminating || !take_expiry(*shared_, serial)) return false;
    }
    if (Callback callback = shared_->callback.load()) callback(serial);
    return true;
}

void TStaticTimer::terminate(bool join) {
    {
        std::lock_guard guard(shared_->lock);
        shared_->terminating = true;
    }
    shared_->wake.notify_all();
    if (join)
        thread_.finish();
    else
        thread_.let_go();
}

bool TStaticTimer::take_expiry(Shared &s, std::uint32_t &serial) {
    if (!s.armed || elapsed_ticks(s.start_tick, s.clock->now_ms()) <= s.period) return false;
    s.armed = false;
    serial = s.serial;
    return true;
}

void TStaticTimer::run(std::shared_ptr<Shared> shared) {
    Shared &s = *shared;
    for (;;) {
        std::uint32_t serial = 0;
        {
            std::unique_lock guard(s.lock);
            // Nothing to watch: an idle session costs no wake-ups. Polling
            // resumes with the arm, so a period is still seen to run out
            // within one poll after it ends.
            s.parked = true;
            s.wake.wait(guard, [&] { return s.armed || s.terminating; });
            s.parked = false;
            if (s.wake.wait_for(guard, s.clock->real_duration(kPollMs), [&] { return s.terminating; })) return;
            if (!take_expiry(s, serial)) continue;
        }
        if (Callback callback = s.callback.load()) callback(serial);
    }
}

}  // namespace velkor
