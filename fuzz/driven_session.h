// A session for fuzz targets that runs on the target's own thread: its
// workers (the command timer, the event delivery, the link's reads) start no
// thread and run a round only when the target says so, and time passes only
// when the target moves the clock. An input therefore always runs the same
// way, without a sleep or a thread switch. Delivered events are recorded and
// cut into the steps the target marks.
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

// Stands still until advanced, so no period runs out by itself. Nothing in a
// driven session waits on it. Its time of day is its tick count taken as
// milliseconds since midnight, so the identifier of every connect is the
// input's as well.
class ManualClock final : public Clock {
public:
    std::uint32_t now_ms() override { return now_.load(); }
    std::chrono::nanoseconds real_duration(std::uint32_t) override { return {}; }
    platform::TimeOfDay time_of_day() override {
        const std::uint32_t ms = now_.load() % (24u * 3600 * 1000);
        return {static_cast<std::uint8_t>(ms / 3600000), static_cast<std::uint8_t>(ms / 60000 % 60),
                static_cast<std::uint8_t>(ms / 1000 % 60), static_cast<std::uint8_t>(ms / 10 % 100)};
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

    // Lets the running period of the command timer run out and has the
    // timer's round handle it. False when no period was running.
    bool run_out_period();
    bool period_running() const;

    // One round of the link's reader: a block that has arrived and that no
    // sender's poll took is read and dispatched. False when none had.
    bool read_link();

    // Delivers the events posted so far and marks the end of a step.
    void end_step();
    // The events of every step marked since the last flush, one list per step.
    std::vector<StepEvents> flush();

    Session &session() { return Session::instance(); }

private:
    void start();

    std::shared_ptr<ManualClock> clock_;
};

}  // namespace velkor::fuzzing
