// The session's sense of time. Production uses the OS tick counter; tests swap
// in a faster clock so that 2 s and 30 s periods pass in milliseconds.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "platform/platform.h"

namespace velkor {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds, wrapping at 2^32 like GetTickCount.
    virtual std::uint32_t now_ms() = 0;
    // How long `ms` milliseconds of this clock take in real time.
    virtual std::chrono::nanoseconds real_duration(std::uint32_t ms) = 0;
    // The local time of day (the random identifier is made of it).
    virtual platform::TimeOfDay time_of_day() { return platform::local_time_of_day(); }
};

// The OS tick counter.
class SystemClock final : public Clock {
public:
    std::uint32_t now_ms() override;
    std::chrono::nanoseconds real_duration(std::uint32_t ms) override;
};

// Runs `speedup` times faster than real time, starting at `start_tick`.
class ScaledClock final : public Clock {
public:
    ScaledClock(double speedup, std::uint32_t start_tick);
    std::uint32_t now_ms() override;
    std::chrono::nanoseconds real_duration(std::uint32_t ms) override;

private:
    double speedup_;
    std::uint32_t start_tick_;
    std::chrono::steady_clock::time_point origin_;
};

// The clock that sessions started from now on use. Null restores the system clock.
void set_clock(std::shared_ptr<Clock> clock);
std::shared_ptr<Clock> current_clock();

// Sleeps `ms` milliseconds of `clock`.
void sleep_on(Clock &clock, std::uint32_t ms);

}  // namespace velkor
