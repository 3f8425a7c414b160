// A session for fuzz targets in which time passes only when the target says
// so, with every delivered event recorded and cut into the steps the target
// marks.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "session/session.h"
#include "session/clock.h"

namespace velkor::fuzzing {

using Event = std::pair<int, int>;
using StepEvents = std::vector<Event>;

// Stands still until advanced, so no period runs out by itself. Short pauses
// (the pacing of events) take no real time; longer ones take 2 us per ms, so
// that the threads that wait for them (the timer's poll, the notification
// thread's idle wait) still sleep between their rounds.
class ManualClock final : public Clock {
public:
    static constexpr std::uint32_t kLongestSkippedPause = 10;

    std::uint32_t now_ms() override { return now_.load(); }
    std::chrono::nanoseconds real_duration(std::uint32_t ms) override {
        if (ms <= kLongestSkippedPause) return {};
        return std::chrono::microseconds(2) * ms;
    }
    void advance(std::uint32_t ms) { now_ += ms; }

private:
    std::atomic<std::uint32_t> now_{1000};
};

// Prints what went wrong and aborts, which the fuzzer reports with the input.
[[noreturn]] void fail(const char *what);

class DrivenSession {
public:
    DrivenSession();
    ~DrivenSession();
    DrivenSession(const DrivenSession &) = delete;
    DrivenSession &operator=(const DrivenSession &) = delete;

    // _Close, then _Initialize again; call flush() first, the close drops
    // whatever is still queued.
    void restart();

    // Lets the running period of the command timer run out; the time-out has
    // been handled on the timer's thread when this returns. False when no
    // period was running.
    bool run_out_period();
    bool period_running() const;

    // Marks the end of a step in the event stream, without waiting.
    void end_step();
    // Waits until the events of every marked step have been delivered and
    // hands them over, one list per step.
    std::vector<StepEvents> flush();

    Session &session() { return Session::instance(); }

private:
    void start();

    std::shared_ptr<ManualClock> clock_;
    int marked_ = 0;
};

}  // namespace velkor::fuzzing
