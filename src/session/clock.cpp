#include "session/clock.h"

#include <mutex>
#include <thread>

#include "platform/platform.h"

namespace velkor {

std::uint32_t SystemClock::now_ms() { return platform::tick_count_ms(); }

std::chrono::nanoseconds SystemClock::real_duration(std::uint32_t ms) { return std::chrono::milliseconds(ms); }

ScaledClock::ScaledClock(double speedup, std::uint32_t start_tick)
    : speedup_(speedup), start_tick_(start_tick), origin_(std::chrono::steady_clock::now()) {}

std::uint32_t ScaledClock::now_ms() {
    const auto real = std::chrono::steady_clock::now() - origin_;
    const auto scaled = std::chrono::duration<double, std::milli>(real).count() * speedup_;
    return start_tick_ + static_cast<std::uint32_t>(static_cast<std::uint64_t>(scaled));
}

std::chrono::nanoseconds ScaledClock::real_duration(std::uint32_t ms) {
    return std::chrono::nanoseconds(static_cast<std::int64_t>(ms * 1e6 / speedup_));
}

namespace {
std::mutex clock_mutex;
std::shared_ptr<Clock> &clock_slot() {
    static std::shared_ptr<Clock> slot = std::make_shared<SystemClock>();
    return slot;
}
}  // namespace

void set_clock(std::shared_ptr<Clock> clock) {
    std::lock_guard guard(clock_mutex);
    clock_slot() = clock ? std::move(clock) : std::make_shared<SystemClock>();
}

std::shared_ptr<Clock> current_clock() {
    std::lock_guard guard(clock_mutex);
    return clock_slot();
}

void sleep_on(Clock &clock, std::uint32_t ms) { std::this_thread::sleep_for(clock.real_duration(ms)); }

}  // namespace velkor
