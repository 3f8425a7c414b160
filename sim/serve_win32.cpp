// Endpoints on Windows: message-mode named pipes \\.\pipe\<prefix><name>
// with a single instance, so a second host finds the pipe busy.
#include <windows.h>

#include <stdexcept>
#include <string>

#include "endpoint.h"

namespace velkor::sim {

namespace {

constexpr char kPipeRoot[] = "\\\\.\\pipe\\";

HANDLE stop_event() {
    static HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event;
}

BOOL WINAPI on_console_event(DWORD) {
    SetEvent(stop_event());
    return TRUE;
}

std::string last_error_text() {
    const DWORD code = GetLastError();
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
                   nullptr);
    std::string out(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
    return out + " (error " + std::to_string(code) + ")";
}

class Handle {
public:
    explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    ~Handle() {
        if (handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr) CloseHandle(handle_);
    }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

class PipeEndpoint final : public Endpoint {
public:
    PipeEndpoint(const std::string &prefix, const std::string &name)
        : name_(kPipeRoot + prefix + name),
          io_event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          own_stop_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        if (name.empty()) throw std::runtime_error("empty pipe name");
        pipe_ = CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, kMaxMessage, kMaxMessage, 0,
                                 nullptr);
        if (pipe_ == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_PIPE_BUSY)
                throw std::runtime_error(name_ + " is served by another process");
            throw std::runtime_error("cannot create pipe " + name_ + ": " + last_error_text());
        }
    }

    ~PipeEndpoint() override {
        if (connected_) DisconnectNamedPipe(pipe_);
        CloseHandle(pipe_);
    }

    bool accept() override {
        OVERLAPPED overlapped = fresh_overlapped();
        if (ConnectNamedPipe(pipe_, &overlapped)) return connected_ = true;
        switch (GetLastError()) {
        case ERROR_PIPE_CONNECTED: return connected_ = true;
        case ERROR_IO_PENDING: break;
        default: return false;
        }
        DWORD ignored = 0;
        if (!finish(overlapped, INFINITE, ignored)) return false;
        return connected_ = true;
    }

    Received receive(Bytes &message, int timeout_ms) override {
        message.clear();
        for (;;) {
            std::uint8_t buffer[kMaxMessage];
            OVERLAPPED overlapped = fresh_overlapped();
            DWORD count = 0;
            BOOL done = ReadFile(pipe_, buffer, sizeof buffer, &count, &overlapped);
            DWORD error = done ? ERROR_SUCCESS : GetLastError();
            if (error == ERROR_IO_PENDING) {
                const DWORD wait = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
                const HANDLE events[3] = {io_event_.get(), stop_event(), own_stop_.get()};
                const DWORD which = WaitForMultipleObjects(3, events, FALSE, message.empty() ? wait : INFINITE);
                if (which != WAIT_OBJECT_0) CancelIo(pipe_);
                done = GetOverlappedResult(pipe_, &overlapped, &count, TRUE);
                error = done ? ERROR_SUCCESS : GetLastError();
                if (error == ERROR_OPERATION_ABORTED)
                    return which == WAIT_TIMEOUT ? Received::timeout : Received::stopped;
            }
            if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) return Received::closed;
            message.insert(message.end(), buffer, buffer + count);
            if (error == ERROR_SUCCESS) return Received::message;
            // A message longer than the buffer: read on to its end.
        }
    }

    bool send(std::span<const std::uint8_t> message) override {
        OVERLAPPED overlapped = fresh_overlapped();
        DWORD count = 0;
        if (!WriteFile(pipe_, message.data(), static_cast<DWORD>(message.size()), &count, &overlapped)) {
            if (GetLastError() != ERROR_IO_PENDING || !finish(overlapped, INFINITE, count)) return false;
        }
        return count == message.size();
    }

    void disconnect() override {
        if (connected_) DisconnectNamedPipe(pipe_);
        connected_ = false;
    }

    bool pause(std::uint32_t ms) override {
        const HANDLE events[2] = {stop_event(), own_stop_.get()};
        return WaitForMultipleObjects(2, events, FALSE, ms) == WAIT_TIMEOUT;
    }

    void stop() override { SetEvent(own_stop_.get()); }

    const std::string &address() const override { return name_; }

private:
    static constexpr DWORD kMaxMessage = 4096;

    OVERLAPPED fresh_overlapped() {
        ResetEvent(io_event_.get());
        OVERLAPPED overlapped{};
        overlapped.hEvent = io_event_.get();
        return overlapped;
    }

    // Waits for a pending operation, or cancels it when the daemon stops.
    bool finish(OVERLAPPED &overlapped, DWORD wait, DWORD &count) {
        const HANDLE events[3] = {io_event_.get(), stop_event(), own_stop_.get()};
        if (WaitForMultipleObjects(3, events, FALSE, wait) != WAIT_OBJECT_0) CancelIo(pipe_);
        return GetOverlappedResult(pipe_, &overlapped, &count, TRUE) != FALSE;
    }

    std::string name_;
    Handle io_event_;
    Handle own_stop_;  // this endpoint's own stop, beside the daemon's
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    bool connected_ = false;
};

}  // namespace

std::string default_endpoint_dir() { return "velkor-usb-"; }

std::unique_ptr<Endpoint> open_endpoint(const std::string &dir, const std::string &name) {
    std::string prefix = dir;
    if (prefix.rfind(kPipeRoot, 0) == 0) prefix.erase(0, sizeof kPipeRoot - 1);
    return std::make_unique<PipeEndpoint>(prefix, name);
}

void install_stop_handlers() {
    if (!stop_event()) throw std::runtime_error("cannot create an event: " + last_error_text());
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void request_stop() { SetEvent(stop_event()); }

bool stop_requested() { return WaitForSingleObject(stop_event(), 0) == WAIT_OBJECT_0; }

}  // namespace velkor::sim
