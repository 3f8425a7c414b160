// TStaticTimer: the one command timer of the session. It watches a single
// period and, when the period has run out, calls its callback on its own
// thread with the serial of the command that armed it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "session/clock.h"
#include "session/command_state.h"
#include "session/worker_mode.h"
#include "session/worker_thread.h"

namespace velkor {

// Milliseconds from `start` to `now` on a tick counter that wraps at 2^32.
std::uint32_t elapsed_ticks(std::uint32_t start, std::uint32_t now);

class TStaticTimer {
public:
    using Callback = void (*)(std::uint32_t serial);
    static constexpr std::uint32_t kPollMs = 50;

    // A driven timer has no thread: its owner calls poll() instead.
    explicit TStaticTimer(std::shared_ptr<Clock> clock, WorkerMode mode = WorkerMode::threaded);
    ~TStaticTimer();
    TStaticTimer(const TStaticTimer &) = delete;
    TStaticTimer &operator=(const TStaticTimer &) = delete;

    void install(Callback callback) { shared_->callback.store(callback); }

    // Disarms and takes the current tick as the start of a new period, on
    // behalf of the command `serial`: a period armed for a newer command is
    // not that command's to end, and is left running.
    void restart(std::uint32_t serial);
    // Watches `period_ms` from now for the command `ticket`; ignored when
    // `command` has already ended that command or moved past it.
    void arm(std::uint32_t period_ms, const Ticket &ticket, const CommandState &command);

    bool armed() const;

    // One poll of the loop on the calling thread: when the period has run
    // out, disarms and calls the callback here. True when it did.
    bool poll();

    // Ends the loop. Joins the thread unless called on it or unless `join` is
    // false: then the thread ends on its own.
    void terminate(bool join = true);

private:
    struct Shared {
        std::shared_ptr<Clock> clock;
        mutable std::mutex lock;
        std::condition_variable wake;
        std::uint32_t start_tick = 0;
        std::uint32_t period = 0;
        std::uint32_t serial = 0;
        bool armed = false;
        bool terminating = false;
        bool parked = false;  // the thread waits for an arm, not polling
        std::atomic<Callback> callback{nullptr};
    };
    static void run(std::shared_ptr<Shared> shared);
    // When the period has run out: disarms, sets `serial` to the command's
    // and returns true. Called with the lock held.
    static bool take_expiry(Shared &shared, std::uint32_t &serial);

    std::shared_ptr<Shared> shared_;
    WorkerThread thread_;
};

}  // namespace velkor
