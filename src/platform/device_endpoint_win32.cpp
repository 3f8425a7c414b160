#include "platform/device_endpoint.h"

#include <atomic>
#include <system_error>

#include "platform/usb_driver_win32.h"

namespace velkor::platform {

namespace {
constexpr DWORD kPipeBufferSize = 64 * 1024;

[[noreturn]] void fail(const char *what) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}
}  // namespace

// One pipe instance always listens, also while a host is connected to an
// earlier one, so the endpoint stays in the listing.
struct DeviceEndpoint::Impl {
    std::string path;
    HANDLE listening = INVALID_HANDLE_VALUE;
    HANDLE connected = nullptr;  // event of the pending connect
    OVERLAPPED overlapped{};
    bool connect_pending = false;

    HANDLE new_instance() const {
        return CreateNamedPipeA(path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                kPipeBufferSize, kPipeBufferSize, 0, nullptr);
    }
};

DeviceEndpoint::DeviceEndpoint(const std::string &location, const std::string &name)
    : impl_(std::make_unique<Impl>()) {
    impl_->path = "\\\\.\\pipe\\" + location + name;
    impl_->connected = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (impl_->connected == nullptr) fail("CreateEventA");
    impl_->listening = impl_->new_instance();
    if (impl_->listening == INVALID_HANDLE_VALUE) {
        CloseHandle(impl_->connected);
        fail("CreateNamedPipeA");
    }
}

DeviceEndpoint::~DeviceEndpoint() {
    if (impl_->connect_pending) {
        DWORD ignored = 0;
        CancelIoEx(impl_->listening, &impl_->overlapped);
        GetOverlappedResult(impl_->listening, &impl_->overlapped, &ignored, TRUE);
    }
    if (impl_->listening != INVALID_HANDLE_VALUE) CloseHandle(impl_->listening);
    CloseHandle(impl_->connected);
}

std::unique_ptr<MessageChannel> DeviceEndpoint::accept(std::uint32_t wait_ms) {
    Impl &endpoint = *impl_;
    if (endpoint.listening == INVALID_HANDLE_VALUE) {
        endpoint.listening = endpoint.new_instance();
        if (endpoint.listening == INVALID_HANDLE_VALUE) return nullptr;
    }
    if (!endpoint.connect_pending) {
        endpoint.overlapped = OVERLAPPED{};
        endpoint.overlapped.hEvent = endpoint.connected;
        ResetEvent(endpoint.connected);
        const bool at_once = ConnectNamedPipe(endpoint.listening, &endpoint.overlapped) ||
                             GetLastError() == ERROR_PIPE_CONNECTED;
        if (!at_once) {
            if (GetLastError() != ERROR_IO_PENDING) return nullptr;
            endpoint.connect_pending = true;
        }
    }
    if (endpoint.connect_pending) {
        if (WaitForSingleObject(endpoint.connected, wait_ms) != WAIT_OBJECT_0) return nullptr;
        endpoint.connect_pending = false;
        DWORD ignored = 0;
        if (!GetOverlappedResult(endpoint.listening, &endpoint.overlapped, &ignored, FALSE)) {
            CloseHandle(endpoint.listening);
            endpoint.listening = INVALID_HANDLE_VALUE;
            return nullptr;
        }
    }
    HANDLE host = endpoint.listening;
    endpoint.listening = endpoint.new_instance();
    return adopt_named_pipe(host);
}

const std::string &DeviceEndpoint::path() const { return impl_->path; }

ScratchDeviceLocation::ScratchDeviceLocation() {
    static std::atomic<unsigned> serial{0};
    value_ = "velkor-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial) + "-";
}

ScratchDeviceLocation::~ScratchDeviceLocation() = default;

// In the process environment, where the library's lookup reads it.
void set_device_location(const char *location) { SetEnvironmentVariableA("VELKOR_USB_DIR", location); }

}  // namespace velkor::platform
