#include "platform/platform.h"

#include <dlfcn.h>
#include <sys/time.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace velkor::platform {

std::uint32_t tick_count_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                             static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

void sleep_ms(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

TimeOfDay local_time_of_day() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    const time_t seconds = tv.tv_sec;
    tm local{};
    localtime_r(&seconds, &local);
    return TimeOfDay{static_cast<std::uint8_t>(local.tm_hour), static_cast<std::uint8_t>(local.tm_min),
                     static_cast<std::uint8_t>(local.tm_sec), static_cast<std::uint8_t>(tv.tv_usec / 10000)};
}

void show_startup_message(const char *text) { std::fprintf(stderr, "Velkor Control API: %s\n", text); }

void post_window_message(void *, unsigned, int, int) {}

void *find_symbol(void *module, const char *name) {
    if (module == nullptr || name == nullptr) return nullptr;
    return dlsym(module, name);
}

// POSIX mutexes may only be unlocked by their owner and are not re-entrant by
// default; this keeps the Windows semantics the link thread relies on.
struct Mutex::Impl {
    std::mutex lock;
    std::condition_variable released;
    std::thread::id owner;
    unsigned depth = 0;
};

Mutex::Mutex() : impl_(std::make_unique<Impl>()) {}
Mutex::~Mutex() = default;

bool Mutex::wait(std::uint32_t timeout_ms) {
    std::unique_lock guard(impl_->lock);
    const auto self = std::this_thread::get_id();
    auto free_or_mine = [&] { return impl_->depth == 0 || impl_->owner == self; };
    if (timeout_ms == kInfinite) {
        impl_->released.wait(guard, free_or_mine);
    } else if (!impl_->released.wait_for(guard, std::chrono::milliseconds(timeout_ms), free_or_mine)) {
        return false;
    }
    impl_->owner = self;
    ++impl_->depth;
    return true;
}

bool Mutex::release() {
    std::lock_guard guard(impl_->lock);
    if (impl_->depth == 0 || impl_->owner != std::this_thread::get_id()) return false;
    if (--impl_->depth == 0) {
        impl_->owner = {};
        impl_->released.notify_one();
    }
    return true;
}

}  // namespace velkor::platform
