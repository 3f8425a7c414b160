// The seam between the portable core and the operating system. Everything that
// differs between Windows and POSIX lives behind these declarations, with one
// implementation file per OS (platform_win32.cpp, platform_posix.cpp).
#pragma once

#include <cstdint>
#include <memory>

namespace velkor::platform {

// Milliseconds since an arbitrary start, wrapping at 2^32 like GetTickCount.
std::uint32_t tick_count_ms();

void sleep_ms(std::uint32_t ms);

struct TimeOfDay {
    std::uint8_t hours;
    std::uint8_t minutes;
    std::uint8_t seconds;
    std::uint8_t hundredths;
};
TimeOfDay local_time_of_day();

// Start-up failures: a modal box with one OK button on Windows, one line on
// standard error elsewhere. Returns once the user has seen it.
void show_startup_message(const char *text);

// Posts `message` with wParam = a, lParam = b to a host window. No-op where
// there is no window system.
void post_window_message(void *window, unsigned message, int a, int b);

// Address of an exported symbol of a loaded module (HMODULE / dlopen handle),
// or null.
void *find_symbol(void *module, const char *name);

// An unnamed mutex with the semantics of a Windows mutex: owned by one thread,
// re-entrant for its owner, released only by its owner.
class Mutex {
public:
    Mutex();  // throws std::system_error when the OS refuses
    ~Mutex();
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;

    static constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
    // True when the mutex was acquired within `timeout_ms`.
    bool wait(std::uint32_t timeout_ms = kInfinite);
    // False when the calling thread does not own the mutex.
    bool release();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace velkor::platform
