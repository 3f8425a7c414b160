// Windows side of the USB driver seam: the device backend (the system's list,
// overlapped file I/O on the interface) and message-mode named pipes for the
// socket transport.
#include "platform/usb_driver_win32.h"

#include "platform/interface_list.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace velkor::platform {

namespace {

// ---- Device backend --------------------------------------------------------

class Event {
public:
    explicit Event(bool manual_reset) : handle_(CreateEventA(nullptr, manual_reset, FALSE, nullptr)) {}
    ~Event() {
        if (handle_ != nullptr) CloseHandle(handle_);
    }
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// What an overlapped transfer hands to the driver: the record, the event it
// signals and the data, kept apart from the caller's buffer so that all of it
// can be left to a driver that never ends a cancelled transfer.
struct TransferRecord {
    explicit TransferRecord(bool manual_reset) : done(manual_reset) {}
    OVERLAPPED overlapped{};
    Event done;
    std::unique_ptr<std::uint8_t[]> data;
    std::uint32_t capacity = 0;

    bool usable() const { return done.get() != nullptr; }
    bool fit(std::uint32_t size) {
        if (size <= capacity) return true;
        std::unique_ptr<std::uint8_t[]> larger(new (std::nothrow) std::uint8_t[size]);
        if (!larger) return false;
        data = std::move(larger);
        capacity = size;
        return true;
    }
    void prepare() {
        overlapped = OVERLAPPED{};
        overlapped.hEvent = done.get();
        ResetEvent(done.get());
    }
    bool ended() const { return HasOverlappedIoCompleted(&overlapped); }
};

// Runs the reads of one connection on a thread of its own that lives as long
// as the connection. Windows cancels the I/O a thread issued when that thread
// ends, and a host may call the library from a thread that ends as soon as the
// export returns: the block the driver was handing over then was lost with it.
class ReadIssuer {
public:
    ReadIssuer() {
        try {
            thread_ = std::thread([this] { serve(); });
        } catch (const std::system_error &) {
            // Without one, reads are issued by their callers.
        }
    }
    ~ReadIssuer() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard guard(lock_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    ReadIssuer(const ReadIssuer &) = delete;
    ReadIssuer &operator=(const ReadIssuer &) = delete;

    // Runs `issue` on the connection's thread and returns once it has.
    void run(const std::function<void()> &issue) {
        if (!thread_.joinable()) return issue();
        std::unique_lock guard(lock_);
        task_ = &issue;
        changed_.notify_all();
        changed_.wait(guard, [this] { return task_ == nullptr; });
    }

private:
    void serve() {
        std::unique_lock guard(lock_);
        for (;;) {
            changed_.wait(guard, [this] { return stopping_ || task_ != nullptr; });
            if (task_ == nullptr) return;
            (*task_)();
            task_ = nullptr;
            changed_.notify_all();
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    const std::function<void()> *task_ = nullptr;
    bool stopping_ = false;
    std::thread thread_;
};

// One interface opened for overlapped I/O. One read is kept pending on it at
// all times, so the device's next block has somewhere to go whenever it comes;
// a read of the link takes what that read brought, and the link's loop waits
// on it. Writes complete at once or are cancelled.
class DeviceConnection final : public UsbConnection {
public:
    explicit DeviceConnection(HANDLE handle) : handle_(handle), opened_as_(handle) {}
    ~DeviceConnection() override {
        close();
        // A driver that never ended the cancelled read keeps its record.
        if (read_state_ == ReadState::pending) static_cast<void>(read_.release());
    }

    TransferOutcome read(std::uint8_t *buffer, std::uint32_t size, std::uint32_t wait_ms) override {
        std::unique_lock guard(lock_);
        if (handle_ == INVALID_HANDLE_VALUE) return {};
        issue_read();
        // A read that ended since it was issued is taken without a wait: a
        // connection no loop waits on (a search's) has no other way to it.
        if (read_state_ == ReadState::pending) {
            if (wait_ms != 0)
                wait_for_read(guard, wait_ms);
            else
                take_read_result();
        }
        switch (read_state_) {
        case ReadState::pending: return {Transfer::not_completed, 0, 0};
        case ReadState::ready: {
            const std::uint32_t count = std::min(read_count_, size);
            if (count > 0) std::memcpy(buffer, read_->data.get(), count);
            read_state_ = ReadState::idle;
            issue_read();
            return {Transfer::completed, count, 0};
        }
        case ReadState::end_of_file: read_state_ = ReadState::idle; return {Transfer::end_of_file, 0, 0};
        case ReadState::refused: read_state_ = ReadState::idle; return {};
        case ReadState::failed:
            read_state_ = ReadState::idle;
            return {Transfer::failed_in_flight, 0, read_error_};
        case ReadState::idle: break;
        }
        return {};
    }

    TransferOutcome write(const std::uint8_t *buffer, std::uint32_t size, std::uint32_t wait_ms) override {
        std::lock_guard guard(lock_);
        if (handle_ == INVALID_HANDLE_VALUE) return {};
        // The answer finds a read waiting for it.
        issue_read();
        if (!write_) {
            write_.reset(new (std::nothrow) TransferRecord(false));
            if (write_ && !write_->usable()) write_.reset();
        }
        if (!write_ || !write_->fit(std::max<std::uint32_t>(size, 1))) return {};
        write_->prepare();
        if (size > 0) std::memcpy(write_->data.get(), buffer, size);
        DWORD count = 0;
        if (overlapped_calls().write_file(handle_, write_->data.get(), size, &count, &write_->overlapped))
            return {Transfer::completed, count, 0};
        if (GetLastError() != ERROR_IO_PENDING) return {};
        if (WaitForSingleObject(write_->done.get(), wait_ms) == WAIT_OBJECT_0 && write_->ended()) {
            if (GetOverlappedResult(handle_, &write_->overlapped, &count, FALSE)) return {Transfer::completed, count, 0};
            return {};
        }
        return cancel_write();
    }

    Readiness wait_readable(std::uint32_t wait_ms) override {
        std::unique_lock guard(lock_);
        if (handle_ == INVALID_HANDLE_VALUE) return Readiness::ended;
        issue_read();
        if (read_state_ == ReadState::pending) wait_for_read(guard, wait_ms);
        switch (read_state_) {
        case ReadState::pending: return handle_ == INVALID_HANDLE_VALUE ? Readiness::ended : Readiness::timed_out;
        case ReadState::ready: return Readiness::block;
        default: return Readiness::ended;
        }
    }

    bool close() override {
        std::lock_guard guard(lock_);
        if (handle_ == INVALID_HANDLE_VALUE) return true;
        SetEvent(closed_.get());
        if (read_state_ == ReadState::pending) {
            overlapped_calls().cancel_io(handle_, &read_->overlapped);
            if (WaitForSingleObject(read_->done.get(), overlapped_calls().cancel_bound_ms) == WAIT_OBJECT_0 &&
                read_->ended())
                read_state_ = ReadState::idle;
        }
        const BOOL closed = CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        return closed != FALSE;
    }

    std::intptr_t handle() const override { return reinterpret_cast<std::intptr_t>(opened_as_); }

private:
    enum class ReadState {
        idle,         // no read issued
        pending,      // issued, not ended
        ready,        // ended with read_count_ bytes, not taken yet
        end_of_file,  // the driver reported the end of the data
        refused,      // refused when issued
        failed,       // accepted, then ended with read_error_
    };

    // Keeps one read pending: issues it when none is.
    void issue_read() {
        if (read_state_ != ReadState::idle) return;
        if (!read_) {
            read_.reset(new (std::nothrow) TransferRecord(true));
            if (read_ && (!read_->usable() || !read_->fit(kReadSize))) read_.reset();
            if (!read_) {
                read_state_ = ReadState::refused;
                return;
            }
        }
        read_->prepare();
        DWORD count = 0;
        DWORD error = ERROR_SUCCESS;
        issuer_.run([&] {
            if (!overlapped_calls().read_file(handle_, read_->data.get(), kReadSize, &count, &read_->overlapped))
                error = GetLastError();
        });
        if (error == ERROR_SUCCESS) {
            read_count_ = count;
            read_state_ = ReadState::ready;
            return;
        }
        switch (error) {
        case ERROR_IO_PENDING: read_state_ = ReadState::pending; break;
        case ERROR_HANDLE_EOF: read_state_ = ReadState::end_of_file; break;
        default: read_state_ = ReadState::refused; break;
        }
    }

    // Waits, without the lock, for the pending read to end or the connection
    // to close, then takes its result.
    void wait_for_read(std::unique_lock<std::mutex> &guard, std::uint32_t wait_ms) {
        const HANDLE watched[2] = {read_->done.get(), closed_.get()};
        guard.unlock();
        WaitForMultipleObjects(2, watched, FALSE, wait_ms == kWaitForever ? INFINITE : wait_ms);
        guard.lock();
        if (read_state_ == ReadState::pending && handle_ != INVALID_HANDLE_VALUE) take_read_result();
    }

    void take_read_result() {
        if (!read_->ended()) return;
        DWORD count = 0;
        if (GetOverlappedResult(handle_, &read_->overlapped, &count, FALSE)) {
            read_count_ = count;
            read_state_ = ReadState::ready;
            return;
        }
        const DWORD error = GetLastError();
        switch (error) {
        // Its thread has ended (one of the caller's, when the connection
        // could not start its own): issued again.
        case ERROR_OPERATION_ABORTED: read_state_ = ReadState::idle; issue_read(); break;
        case ERROR_HANDLE_EOF: read_state_ = ReadState::end_of_file; break;
        default: read_state_ = ReadState::failed; read_error_ = error; break;
        }
    }

    TransferOutcome cancel_write() {
        OverlappedCalls &calls = overlapped_calls();
        calls.cancel_io(handle_, &write_->overlapped);
        if (WaitForSingleObject(write_->done.get(), calls.cancel_bound_ms) != WAIT_OBJECT_0 || !write_->ended()) {
            // The driver still owns the record and may use it whenever it ends
            // the transfer: left to it rather than freed under it. The next
            // write makes a new one.
            static_cast<void>(write_.release());
            return {Transfer::not_completed, 0, 0};
        }
        // One that finished just before the cancel took effect has gone out.
        DWORD count = 0;
        if (GetOverlappedResult(handle_, &write_->overlapped, &count, FALSE)) return {Transfer::completed, count, 0};
        return {Transfer::not_completed, 0, 0};
    }

    static constexpr std::uint32_t kReadSize = 512;

    std::mutex lock_;
    HANDLE handle_;
    const HANDLE opened_as_;
    Event closed_{true};  // set by close(), ends a wait on the pending read
    std::unique_ptr<TransferRecord> read_;
    std::unique_ptr<TransferRecord> write_;
    ReadState read_state_ = ReadState::idle;
    std::uint32_t read_count_ = 0;
    DWORD read_error_ = 0;
    ReadIssuer issuer_;  // last: it ends first
};

class DeviceBackend final : public UsbBackend {
public:
    PathLookup interface_path(const InterfaceClassGuid &interface_class, std::uint32_t member,
                              std::string &path) override {
        return class_interface_path(interface_class, member, path);
    }

    std::optional<std::string> device_instance(const InterfaceClassGuid &interface_class,
                                               const std::string &path) override {
        // The interface's key is named by its path with "\\?\" written "##?#".
        if (path.size() < 4) return std::nullopt;
        std::string key_name = path;
        key_name[0] = key_name[1] = key_name[3] = '#';
        char key_path[512];
        const int length = std::snprintf(
            key_path, sizeof key_path,
            "SYSTEM\\CURRENTCONTROLSET\\CONTROL\\DEVICECLASSES\\{%4.2x-%2.2x-%2.2x-%.2x%.2x-%.2x%.2x%.2x%.2x%.2x%.2x}\\%s",
            static_cast<unsigned>(interface_class.data1), interface_class.data2, interface_class.data3,
            interface_class.data4[0], interface_class.data4[1], interface_class.data4[2], interface_class.data4[3],
            interface_class.data4[4], interface_class.data4[5], interface_class.data4[6], interface_class.data4[7],
            key_name.c_str());
        // A cut name would open another key.
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof key_path) return std::nullopt;
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return std::nullopt;
        // The system may store the text without its terminator.
        char value[256] = {};
        DWORD size = sizeof value - 1;
        const LONG read = RegQueryValueExA(key, "DeviceInstance", nullptr, nullptr, reinterpret_cast<BYTE *>(value), &size);
        RegCloseKey(key);
        if (read != ERROR_SUCCESS) return std::nullopt;
        return std::string(value, strnlen(value, std::min<std::size_t>(size, sizeof value - 1)));
    }

    std::unique_ptr<UsbConnection> open(const std::string &path) override {
        HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return nullptr;
        return std::make_unique<DeviceConnection>(handle);
    }
};

// ---- Named pipes of the socket transport ------------------------------------

// A read is kept pending on the pipe between receives, and what it brings
// waits for the next receive; a receive with a wait of 0 takes it or finds
// nothing. Safe for a receive on one thread while another waits for a
// message or sends.
class PipeChannel final : public MessageChannel {
public:
    explicit PipeChannel(HANDLE pipe) : pipe_(pipe), read_buffer_(kMaxMessage) {}

    ~PipeChannel() override {
        if (read_ == Read::pending) {
            DWORD count = 0;
            CancelIoEx(pipe_, &read_overlapped_);
            GetOverlappedResult(pipe_, &read_overlapped_, &count, TRUE);
        }
        CloseHandle(pipe_);
    }

    Receive receive(std::vector<std::uint8_t> &message, std::uint32_t wait_ms) override {
        const DWORD start = GetTickCount();
        std::unique_lock guard(lock_);
        for (;;) {
            switch (advance(guard, wait_ms, start)) {
            case Receive::closed: return Receive::closed;
            case Receive::timed_out: return Receive::timed_out;
            case Receive::message: break;
            }
            message.assign(read_buffer_.begin(), read_buffer_.begin() + read_count_);
            const bool cut = read_ == Read::cut;
            read_ = Read::none;
            if (cut) discard_rest_of_message();
            return Receive::message;
        }
    }

    Receive wait_readable(std::uint32_t wait_ms) override {
        std::unique_lock guard(lock_);
        return advance(guard, wait_ms, GetTickCount());
    }

    bool send(const std::uint8_t *data, std::size_t size, std::uint32_t wait_ms) override {
        if (closed_) return false;
        std::lock_guard sending(send_lock_);
        OVERLAPPED overlapped{};
        overlapped.hEvent = write_done_.get();
        ResetEvent(overlapped.hEvent);
        DWORD count = 0;
        if (WriteFile(pipe_, data, static_cast<DWORD>(size), &count, &overlapped)) return count == size;
        if (GetLastError() != ERROR_IO_PENDING) return false;
        const HANDLE watched[2] = {write_done_.get(), shut_down_event_.get()};
        if (WaitForMultipleObjects(2, watched, FALSE, wait_ms) != WAIT_OBJECT_0) {
            // Pending, so the cancel ends it; the record lives on this stack
            // until it has.
            CancelIoEx(pipe_, &overlapped);
            GetOverlappedResult(pipe_, &overlapped, &count, TRUE);
            return false;
        }
        return GetOverlappedResult(pipe_, &overlapped, &count, FALSE) && count == size;
    }

    bool shut_down() override {
        closed_ = true;
        return SetEvent(shut_down_event_.get()) != FALSE;
    }

    std::intptr_t handle() const override { return reinterpret_cast<std::intptr_t>(pipe_); }

private:
    enum class Read {
        none,     // no read issued
        pending,  // issued, not ended
        message,  // ended with a whole message of read_count_ bytes, not taken yet
        cut,      // ended with the first kMaxMessage bytes of a longer one
    };

    // Brings the read on until a message waits to be taken (message), the
    // wait from `start` runs out (timed_out) or the pipe is closed or broken.
    Receive advance(std::unique_lock<std::mutex> &guard, std::uint32_t wait_ms, DWORD start) {
        for (;;) {
            if (closed_) return Receive::closed;
            if (read_ == Read::message || read_ == Read::cut) return Receive::message;
            if (read_ == Read::none && !start_read()) {
                closed_ = true;
                return Receive::closed;
            }
            if (read_ != Read::pending) continue;
            if (!HasOverlappedIoCompleted(&read_overlapped_)) {
                const DWORD waited = GetTickCount() - start;
                DWORD left = wait_ms == kWaitForever ? INFINITE : waited >= wait_ms ? 0 : wait_ms - waited;
                // A message in the pipe behind the pending read completes it
                // in a moment (the system may hand it over asynchronously):
                // a poll that found nothing then would leave it to the next.
                if (left == 0 && message_waiting()) left = kHandOverBoundMs;
                if (left == 0) return Receive::timed_out;
                const HANDLE watched[2] = {read_done_.get(), shut_down_event_.get()};
                guard.unlock();
                const DWORD woken = WaitForMultipleObjects(2, watched, FALSE, left);
                guard.lock();
                if (woken == WAIT_TIMEOUT && read_ == Read::pending) return Receive::timed_out;
                continue;
            }
            if (!finish_read()) {
                closed_ = true;
                return Receive::closed;
            }
        }
    }

    bool message_waiting() const {
        DWORD available = 0;
        return PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr) && available > 0;
    }

    // False when the pipe is broken or closed. Only a read that is pending
    // signals later; one that ended at once has its result now.
    bool start_read() {
        read_overlapped_ = OVERLAPPED{};
        read_overlapped_.hEvent = read_done_.get();
        ResetEvent(read_overlapped_.hEvent);
        DWORD count = 0;
        if (ReadFile(pipe_, read_buffer_.data(), static_cast<DWORD>(read_buffer_.size()), &count, &read_overlapped_)) {
            read_count_ = count;
            read_ = Read::message;
            return true;
        }
        switch (GetLastError()) {
        case ERROR_IO_PENDING:
            read_ = Read::pending;
            return true;
        case ERROR_MORE_DATA:
            // A message read fills the whole buffer before it reports more.
            read_count_ = static_cast<DWORD>(read_buffer_.size());
            read_ = Read::cut;
            return true;
        default:
            return false;
        }
    }

    // The result of the pending read, which has ended; false when it failed.
    bool finish_read() {
        DWORD count = 0;
        if (GetOverlappedResult(pipe_, &read_overlapped_, &count, FALSE)) {
            read_count_ = count;
            read_ = Read::message;
            return true;
        }
        switch (GetLastError()) {
        case ERROR_MORE_DATA:
            read_count_ = static_cast<DWORD>(read_buffer_.size());
            read_ = Read::cut;
            return true;
        case ERROR_OPERATION_ABORTED:
            // Issued by a thread that has ended since; the message it waited
            // for is still in the pipe.
            read_ = Read::none;
            return true;
        default:
            return false;
        }
    }

    // A message longer than the buffer is cut; its rest is already in the
    // pipe and is read away. A failure here (the device hung up) shows in
    // the next receive.
    void discard_rest_of_message() {
        std::vector<std::uint8_t> rest(kMaxMessage);
        for (;;) {
            OVERLAPPED overlapped{};
            overlapped.hEvent = discard_done_.get();
            ResetEvent(overlapped.hEvent);
            if (ReadFile(pipe_, rest.data(), static_cast<DWORD>(rest.size()), nullptr, &overlapped)) return;
            DWORD error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                // Ends as soon as the pipe hands over the rest, or when the
                // channel is shut down meanwhile.
                const HANDLE watched[2] = {discard_done_.get(), shut_down_event_.get()};
                if (WaitForMultipleObjects(2, watched, FALSE, INFINITE) != WAIT_OBJECT_0)
                    CancelIoEx(pipe_, &overlapped);
                DWORD count = 0;
                if (GetOverlappedResult(pipe_, &overlapped, &count, TRUE)) return;
                error = GetLastError();
            }
            if (error != ERROR_MORE_DATA) return;
        }
    }

    static constexpr DWORD kHandOverBoundMs = 100;

    const HANDLE pipe_;
    std::mutex lock_;       // the read's state
    std::mutex send_lock_;  // one write at a time on write_done_
    Event read_done_{true};
    Event discard_done_{true};
    Event write_done_{true};
    Event shut_down_event_{true};
    OVERLAPPED read_overlapped_{};
    Read read_ = Read::none;
    DWORD read_count_ = 0;
    std::vector<std::uint8_t> read_buffer_;
    std::atomic<bool> closed_{false};
};

}  // namespace

OverlappedCalls &overlapped_calls() {
    static OverlappedCalls calls;
    return calls;
}

UsbBackend *device_backend() {
    static DeviceBackend backend;
    return &backend;
}

std::unique_ptr<MessageChannel> connect_device_endpoint(const std::string &path) {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    // Every instance busy: the device's server makes the next one as it takes
    // the last host, so a short wait for it is enough; a server that makes
    // none is not waited for longer.
    for (int attempt = 0; attempt < 3 && pipe == INVALID_HANDLE_VALUE; ++attempt) {
        pipe = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                           nullptr);
        if (pipe == INVALID_HANDLE_VALUE && (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeA(path.c_str(), 50)))
            return nullptr;
    }
    if (pipe == INVALID_HANDLE_VALUE) return nullptr;
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
        CloseHandle(pipe);
        return nullptr;
    }
    return adopt_named_pipe(pipe);
}

std::unique_ptr<MessageChannel> adopt_named_pipe(HANDLE pipe) { return std::make_unique<PipeChannel>(pipe); }

}  // namespace velkor::platform
