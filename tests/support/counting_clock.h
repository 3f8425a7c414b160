// A scaled session clock that counts how often a thread asks it how long to
// wait: a worker thread asks once per wake-up.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "session/clock.h"

namespace velkor::testing {

class CountingClock final : public Clock {
public:
    explicit CountingClock(double speedup) : clock_(speedup, 0) {}
    std::uint32_t now_ms() override { return clock_.now_ms(); }
    std::chrono::nanoseconds real_duration(std::uint32_t ms) override {
        ++waits;
        return clock_.real_duration(ms);
    }

    std::atomic<int> waits{0};

private:
    ScaledClock clock_;
};

}  // namespace velkor::testing
