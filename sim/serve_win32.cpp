// Endpoints on Windows: message-mode named pipes \\.\pipe\<prefix><name>,
// one instance per connected host and one more always waiting for the next.
#include <windows.h>

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

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

// A connected pipe instance: one host. Its read is always pending; its
// writes go out one at a time from the outbox, from whichever thread sends,
// and a wait watches them only while one is held up by a host that does not
// read.
struct Instance {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE read_event = nullptr;
    HANDLE write_event = nullptr;
    OVERLAPPED read{};
    OVERLAPPED write{};
    bool reading = false;
    bool writing = false;
    std::vector<std::uint8_t> buffer;
    Bytes partial;  // a message longer than the buffer, so far
    std::deque<Bytes> outbox;
    std::size_t outbox_bytes = 0;
    std::uint64_t process = 0;
    bool writable = true;
    bool ended = false;  // disconnected here
    bool gone = false;   // the host closed its end

    Instance(const Instance &) = delete;
    Instance &operator=(const Instance &) = delete;
    Instance(HANDLE pipe_handle, HANDLE read_done, HANDLE write_done)
        : pipe(pipe_handle), read_event(read_done), write_event(write_done), buffer(kReadSize) {}
    ~Instance() {
        if (reading || writing) {
            CancelIoEx(pipe, nullptr);
            DWORD count = 0;
            if (reading) GetOverlappedResult(pipe, &read, &count, TRUE);
            if (writing) GetOverlappedResult(pipe, &write, &count, TRUE);
        }
        // Closed without DisconnectNamedPipe: the host still reads what was
        // written before, then finds the pipe broken (its end of file).
        CloseHandle(pipe);
        CloseHandle(read_event);
        CloseHandle(write_event);
    }

    static constexpr DWORD kReadSize = 4096;
};

class PipeEndpoint final : public Endpoint {
public:
    PipeEndpoint(const std::string &prefix, const std::string &name) : name_(kPipeRoot + prefix + name) {
        if (name.empty()) throw std::runtime_error("empty pipe name");
        // The first instance claims the name: a second daemon on it is refused.
        // Wine does not refuse a first instance of a name in use, so ask first.
        if (WaitNamedPipeA(name_.c_str(), 1) || GetLastError() == ERROR_SEM_TIMEOUT)
            throw std::runtime_error(name_ + " is served by another process");
        own_stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        wake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        listen_event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        std::string problem;
        if (!own_stop_ || !wake_ || !listen_event_) {
            problem = "cannot create an event: " + last_error_text();
        } else if (!listen(FILE_FLAG_FIRST_PIPE_INSTANCE)) {
            const DWORD error = GetLastError();
            problem = error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY
                          ? name_ + " is served by another process"
                          : "cannot create pipe " + name_ + ": " + last_error_text();
        }
        if (!problem.empty()) {
            close_events();
            throw std::runtime_error(problem);
        }
    }

    ~PipeEndpoint() override {
        hosts_.clear();
        close_listener();
        close_events();
    }

    Event wait(int timeout_ms) override {
        const ULONGLONG deadline = timeout_ms < 0 ? ~0ULL : GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
        std::vector<HANDLE> handles;
        for (;;) {
            const HANDLE stops[2] = {stop_event(), own_stop_};
            if (WaitForMultipleObjects(2, stops, FALSE, 0) != WAIT_TIMEOUT) return {Event::Kind::stopped, 0, {}};
            DWORD wait = INFINITE;
            {
                std::lock_guard lock(mutex_);
                service();
                if (!ready_.empty()) return next_ready();
                handles.assign({stop_event(), own_stop_, wake_});
                if (listener_ != INVALID_HANDLE_VALUE) handles.push_back(listen_event_);
                else if (hosts_.size() < kMaxHosts) wait = kRetryMs;  // could not listen: try again soon
                for (const auto &[host, instance] : hosts_) handles.push_back(instance->read_event);
                for (const auto &[host, instance] : hosts_) {
                    if (!instance->writing) continue;
                    if (handles.size() < MAXIMUM_WAIT_OBJECTS)
                        handles.push_back(instance->write_event);
                    else
                        wait = kRetryMs;  // no room to watch it: look again soon
                }
            }
            if (deadline != ~0ULL) {
                const ULONGLONG now = GetTickCount64();
                wait = std::min<ULONGLONG>(wait, deadline > now ? deadline - now : 0);
            }
            const DWORD which = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, wait);
            if (which == WAIT_OBJECT_0 || which == WAIT_OBJECT_0 + 1 || which == WAIT_FAILED)
                return {Event::Kind::stopped, 0, {}};
            {
                std::lock_guard lock(mutex_);
                service();
                if (!ready_.empty()) return next_ready();
            }
            if (deadline != ~0ULL && GetTickCount64() >= deadline) return {Event::Kind::timeout, 0, {}};
        }
    }

    bool send(Host host, std::span<const std::uint8_t> message) override {
        std::lock_guard lock(mutex_);
        const auto it = hosts_.find(host);
        if (it == hosts_.end() || it->second->ended || it->second->gone || !it->second->writable) return false;
        Instance &instance = *it->second;
        if (instance.outbox_bytes + message.size() > kMaxOutbox) {
            end(instance);  // it does not read
            return false;
        }
        instance.outbox.emplace_back(message.begin(), message.end());
        instance.outbox_bytes += message.size();
        pump_writes(instance);
        // Held up: the waiting thread is to watch the write from now on.
        if (instance.writing) SetEvent(wake_);
        return true;
    }

    void disconnect(Host host) override {
        std::lock_guard lock(mutex_);
        const auto it = hosts_.find(host);
        if (it != hosts_.end()) end(*it->second);
    }

    std::uint64_t peer_process(Host host) const override {
        std::lock_guard lock(mutex_);
        const auto it = hosts_.find(host);
        return it == hosts_.end() ? 0 : it->second->process;
    }

    void stop() override { SetEvent(own_stop_); }

    const std::string &address() const override { return name_; }

private:
    // A wait takes at most 64 handles: the two stops, the wake and the listener
    // leave 60 for the hosts' reads.
    static constexpr std::size_t kMaxHosts = MAXIMUM_WAIT_OBJECTS - 4;
    static constexpr std::size_t kMaxMessage = 65536;
    static constexpr std::size_t kMaxOutbox = 1 << 20;
    static constexpr DWORD kPipeBuffer = 65536;
    static constexpr DWORD kRetryMs = 100;

    void close_events() {
        for (HANDLE handle : {own_stop_, wake_, listen_event_})
            if (handle) CloseHandle(handle);
    }

    Event next_ready() {
        Event event = std::move(ready_.front());
        ready_.pop_front();
        return event;
    }

    bool listen(DWORD first) {
        listener_ = CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | first,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                     kPipeBuffer, kPipeBuffer, 0, nullptr);
        if (listener_ == INVALID_HANDLE_VALUE) return false;
        start_connect();
        return true;
    }

    void start_connect() {
        listen_ov_ = {};
        listen_ov_.hEvent = listen_event_;
        listen_connected_ = false;
        if (ConnectNamedPipe(listener_, &listen_ov_)) {
            listen_connected_ = true;
        } else {
            switch (GetLastError()) {
            case ERROR_IO_PENDING: return;
            case ERROR_PIPE_CONNECTED: listen_connected_ = true; break;
            default:
                // A host that came and went before it was taken in: start afresh.
                listen_connected_ = true;  // nothing pending to cancel
                close_listener();
                return;
            }
        }
        SetEvent(listen_event_);
    }

    void close_listener() {
        if (listener_ == INVALID_HANDLE_VALUE) return;
        if (!listen_connected_) {
            CancelIoEx(listener_, &listen_ov_);
            DWORD ignored = 0;
            GetOverlappedResult(listener_, &listen_ov_, &ignored, TRUE);
        }
        CloseHandle(listener_);
        listener_ = INVALID_HANDLE_VALUE;
    }

    // Takes in a connected host, reaps what has ended, and moves every
    // host's reads and writes on. With the lock held.
    void service() {
        if (listener_ != INVALID_HANDLE_VALUE) {
            ResetEvent(listen_event_);
            DWORD ignored = 0;
            if (!listen_connected_ && !GetOverlappedResult(listener_, &listen_ov_, &ignored, FALSE)) {
                if (GetLastError() != ERROR_IO_INCOMPLETE) close_listener();
            } else {
                take_in_host();
            }
        }
        if (listener_ == INVALID_HANDLE_VALUE && hosts_.size() < kMaxHosts) listen(0);
        for (auto it = hosts_.begin(); it != hosts_.end();) {
            const Host host = it->first;
            Instance &instance = *it->second;
            if (!instance.ended && !instance.gone) move_on(host, instance);
            if (instance.ended || instance.gone) {
                // What was sent before a disconnect still reaches a host that
                // reads; what the pipe does not take at once is dropped.
                if (instance.ended) {
                    std::erase_if(ready_, [host](const Event &event) { return event.host == host; });
                    pump_writes(instance);
                }
                it = hosts_.erase(it);
                ready_.push_back({Event::Kind::closed, host, {}});
                continue;
            }
            ++it;
        }
    }

    void take_in_host() {
        HANDLE read_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE write_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!read_done || !write_done) {
            // Not served without events of its own: it reads end of file.
            for (HANDLE handle : {read_done, write_done})
                if (handle) CloseHandle(handle);
            listen_connected_ = true;
            close_listener();
            return;
        }
        auto instance = std::make_unique<Instance>(listener_, read_done, write_done);
        listener_ = INVALID_HANDLE_VALUE;
        ULONG process = 0;
        if (GetNamedPipeClientProcessId(instance->pipe, &process)) instance->process = process;
        const Host host = next_host_++;
        ready_.push_back({Event::Kind::connected, host, {}});
        move_on(host, *instance);
        hosts_.emplace(host, std::move(instance));
    }

    // Collects what completed and starts what is next: at most one message
    // in per round, so that no host starves the others.
    void move_on(Host host, Instance &instance) {
        if (instance.reading) {
            DWORD count = 0;
            const BOOL done = GetOverlappedResult(instance.pipe, &instance.read, &count, FALSE);
            const DWORD error = done ? ERROR_SUCCESS : GetLastError();
            if (error == ERROR_IO_INCOMPLETE) {
                pump_writes(instance);
                return;
            }
            instance.reading = false;
            if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) {
                instance.gone = true;
                return;
            }
            // A longer message than this endpoint takes is cut short.
            const std::size_t room = kMaxMessage - std::min(kMaxMessage, instance.partial.size());
            instance.partial.insert(instance.partial.end(), instance.buffer.begin(),
                                    instance.buffer.begin() + std::min<std::size_t>(count, room));
            if (error == ERROR_SUCCESS) {
                ready_.push_back({Event::Kind::message, host, std::move(instance.partial)});
                instance.partial.clear();
            }
        }
        instance.read = {};
        instance.read.hEvent = instance.read_event;
        if (ReadFile(instance.pipe, instance.buffer.data(), Instance::kReadSize, nullptr, &instance.read) ||
            GetLastError() == ERROR_IO_PENDING || GetLastError() == ERROR_MORE_DATA)
            instance.reading = true;
        else
            instance.gone = true;
        pump_writes(instance);
    }

    // Writes from the outbox until one is held up or it is empty.
    static void pump_writes(Instance &instance) {
        for (;;) {
            if (instance.writing) {
                DWORD count = 0;
                const BOOL done = GetOverlappedResult(instance.pipe, &instance.write, &count, FALSE);
                if (!done && GetLastError() == ERROR_IO_INCOMPLETE) return;
                instance.writing = false;
                if (!done) {
                    drop_outbox(instance);
                    return;
                }
                instance.outbox_bytes -= instance.outbox.front().size();
                instance.outbox.pop_front();
            }
            if (instance.outbox.empty() || !instance.writable) return;
            instance.write = {};
            instance.write.hEvent = instance.write_event;
            const Bytes &message = instance.outbox.front();
            if (!WriteFile(instance.pipe, message.data(), static_cast<DWORD>(message.size()), nullptr,
                           &instance.write) &&
                GetLastError() != ERROR_IO_PENDING) {
                drop_outbox(instance);
                return;
            }
            instance.writing = true;
        }
    }

    static void drop_outbox(Instance &instance) {
        instance.writable = false;
        instance.outbox.clear();
        instance.outbox_bytes = 0;
    }

    // The host finds the pipe broken once the waiting thread has let go of it.
    void end(Instance &instance) {
        instance.ended = true;
        SetEvent(wake_);
    }

    std::string name_;
    HANDLE own_stop_ = nullptr;  // this endpoint's own stop, beside the daemon's
    HANDLE wake_ = nullptr;      // a send or disconnect from another thread has work for the wait
    HANDLE listen_event_ = nullptr;
    HANDLE listener_ = INVALID_HANDLE_VALUE;  // the instance waiting for the next host
    OVERLAPPED listen_ov_{};
    bool listen_connected_ = false;

    mutable std::mutex mutex_;  // the hosts and their events
    std::map<Host, std::unique_ptr<Instance>> hosts_;
    std::deque<Event> ready_;
    Host next_host_ = 1;
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
