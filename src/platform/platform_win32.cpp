#include "platform/platform.h"

#include <windows.h>

#include <system_error>

namespace velkor::platform {

std::uint32_t tick_count_ms() { return GetTickCount(); }

void sleep_ms(std::uint32_t ms) { Sleep(ms); }

TimeOfDay local_time_of_day() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return TimeOfDay{static_cast<std::uint8_t>(now.wHour), static_cast<std::uint8_t>(now.wMinute),
                     static_cast<std::uint8_t>(now.wSecond), static_cast<std::uint8_t>(now.wMilliseconds / 10)};
}

void show_startup_message(const char *text) { MessageBoxA(nullptr, text, "Velkor Control API", MB_OK | MB_ICONERROR); }

void post_window_message(void *window, unsigned message, int a, int b) {
    PostMessageA(static_cast<HWND>(window), message, static_cast<WPARAM>(a), static_cast<LPARAM>(b));
}

void *find_symbol(void *module, const char *name) {
    if (module == nullptr || name == nullptr) return nullptr;
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}

struct Mutex::Impl {
    HANDLE handle;
};

Mutex::Mutex() : impl_(std::make_unique<Impl>(Impl{CreateMutexA(nullptr, FALSE, nullptr)})) {
    if (impl_->handle == nullptr)
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "CreateMutexA");
}

Mutex::~Mutex() {
    if (impl_->handle != nullptr) CloseHandle(impl_->handle);
}

bool Mutex::wait(std::uint32_t timeout_ms) { return WaitForSingleObject(impl_->handle, timeout_ms) == WAIT_OBJECT_0; }

bool Mutex::release() { return ReleaseMutex(impl_->handle) != FALSE; }

}  // namespace velkor::platform
