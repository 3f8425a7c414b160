// Windows side of the USB driver seam: the device backend (SetupDi lookup,
// overlapped file I/O on the interface) and message-mode named pipes for the
// socket transport.
#include "platform/usb_driver_win32.h"

#include <setupapi.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>

namespace velkor::platform {

namespace {

constexpr const char *kPipeDirectory = "\\\\.\\pipe\\";
constexpr const char *kDeviceLocationVariable = "VELKOR_USB_DIR";
// drova-sim names its devices drova00, drova01, ...: as many as a host bench has.
constexpr int kProbedDaemonEndpoints = 16;

// ---- Device backend --------------------------------------------------------

class DeviceInfoList {
public:
    explicit DeviceInfoList(HDEVINFO set) : set_(set) {}
    ~DeviceInfoList() {
        if (valid()) SetupDiDestroyDeviceInfoList(set_);
    }
    DeviceInfoList(const DeviceInfoList &) = delete;
    DeviceInfoList &operator=(const DeviceInfoList &) = delete;
    bool valid() const { return set_ != INVALID_HANDLE_VALUE; }
    HDEVINFO get() const { return set_; }

private:
    HDEVINFO set_;
};

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
    OVERLAPPED overlapped{};
    Event read_done{true};    // manual reset
    Event write_done{false};  // auto reset
    std::unique_ptr<std::uint8_t[]> data;
    std::uint32_t capacity = 0;

    bool usable() const { return read_done.get() != nullptr && write_done.get() != nullptr; }
    bool fit(std::uint32_t size) {
        if (size <= capacity) return true;
        std::unique_ptr<std::uint8_t[]> larger(new (std::nothrow) std::uint8_t[size]);
        if (!larger) return false;
        data = std::move(larger);
        capacity = size;
        return true;
    }
};

class DeviceConnection final : public UsbConnection {
public:
    explicit DeviceConnection(HANDLE handle) : handle_(handle), opened_as_(handle) {}
    ~DeviceConnection() override { close(); }

    TransferOutcome read(std::uint8_t *buffer, std::uint32_t size, std::uint32_t wait_ms) override {
        return transfer(true, buffer, size, wait_ms);
    }
    TransferOutcome write(const std::uint8_t *buffer, std::uint32_t size, std::uint32_t wait_ms) override {
        return transfer(false, const_cast<std::uint8_t *>(buffer), size, wait_ms);
    }

    bool close() override {
        std::lock_guard guard(lock_);
        if (handle_ == INVALID_HANDLE_VALUE) return true;
        const BOOL closed = CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        return closed != FALSE;
    }

    std::intptr_t handle() const override { return reinterpret_cast<std::intptr_t>(opened_as_); }

private:
    TransferOutcome transfer(bool reading, std::uint8_t *buffer, std::uint32_t size, std::uint32_t wait_ms) {
        std::lock_guard guard(lock_);
        if (handle_ == INVALID_HANDLE_VALUE) return {};
        TransferRecord *record = record_for(size);
        if (record == nullptr) return {};
        record->overlapped = OVERLAPPED{};
        record->overlapped.hEvent = reading ? record->read_done.get() : record->write_done.get();
        ResetEvent(record->overlapped.hEvent);
        if (!reading && size > 0) std::memcpy(record->data.get(), buffer, size);
        OverlappedCalls &calls = overlapped_calls();
        DWORD count = 0;
        const BOOL done = reading ? calls.read_file(handle_, record->data.get(), size, &count, &record->overlapped)
                                  : calls.write_file(handle_, record->data.get(), size, &count, &record->overlapped);
        TransferOutcome outcome;
        if (done) {
            outcome = {Transfer::completed, count, 0};
        } else {
            const DWORD error = GetLastError();
            if (error == ERROR_HANDLE_EOF) {
                outcome = {Transfer::end_of_file, 0, 0};
            } else {
                if (error == ERROR_IO_PENDING) outcome = finish_pending(wait_ms);
                // Whatever the outcome, nothing of this transfer stays queued.
                calls.cancel_io(handle_);
            }
        }
        if (reading && outcome.result == Transfer::completed && outcome.count > 0)
            std::memcpy(buffer, record->data.get(), std::min<std::uint32_t>(outcome.count, size));
        return outcome;
    }

    // The connection's record, made on first use and after one was given up.
    TransferRecord *record_for(std::uint32_t size) {
        if (!record_) {
            record_.reset(new (std::nothrow) TransferRecord);
            if (!record_) return nullptr;
            if (!record_->usable()) {
                record_.reset();
                return nullptr;
            }
        }
        return record_->fit(std::max<std::uint32_t>(size, 1)) ? record_.get() : nullptr;
    }

    // Whether the transfer on the record ended within `wait_ms`.
    bool ended_within(std::uint32_t wait_ms) {
        return WaitForSingleObject(record_->overlapped.hEvent, wait_ms) == WAIT_OBJECT_0 &&
               HasOverlappedIoCompleted(&record_->overlapped);
    }

    TransferOutcome finish_pending(std::uint32_t wait_ms) {
        DWORD count = 0;
        if (ended_within(wait_ms)) {
            if (GetOverlappedResult(handle_, &record_->overlapped, &count, FALSE))
                return {Transfer::completed, count, 0};
            return {Transfer::failed_in_flight, 0, static_cast<std::uint32_t>(GetLastError())};
        }
        OverlappedCalls &calls = overlapped_calls();
        calls.cancel_io(handle_);
        if (!ended_within(calls.cancel_bound_ms)) {
            // The driver still owns the record and may write into it whenever
            // it ends the transfer: leaked on purpose rather than freed under
            // it. The next transfer makes a new one.
            static_cast<void>(record_.release());
            return {Transfer::not_completed, 0, 0};
        }
        // One that finished just before the cancel took effect has moved its
        // data and counts.
        if (GetOverlappedResult(handle_, &record_->overlapped, &count, FALSE)) return {Transfer::completed, count, 0};
        return {Transfer::not_completed, 0, 0};
    }

    std::mutex lock_;
    HANDLE handle_;
    const HANDLE opened_as_;
    std::unique_ptr<TransferRecord> record_;
};

class DeviceBackend final : public UsbBackend {
public:
    PathLookup interface_path(const InterfaceClassGuid &interface_class, std::uint32_t member,
                              std::string &path) override {
        GUID guid;
        static_assert(sizeof guid == sizeof interface_class);
        std::memcpy(&guid, &interface_class, sizeof guid);
        DeviceInfoList list(SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
        if (!list.valid()) return PathLookup::list_failed;
        SP_DEVICE_INTERFACE_DATA interface_data{};
        interface_data.cbSize = sizeof interface_data;
        if (!SetupDiEnumDeviceInterfaces(list.get(), nullptr, &guid, member, &interface_data))
            return PathLookup::no_interface;

        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(list.get(), &interface_data, nullptr, 0, &required, nullptr);
        constexpr DWORD kFixedPart = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
        if (required <= kFixedPart) return PathLookup::list_failed;
        std::unique_ptr<std::uint8_t[]> record(new (std::nothrow) std::uint8_t[required]);
        if (!record) return PathLookup::list_failed;
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(record.get());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!SetupDiGetDeviceInterfaceDetailA(list.get(), &interface_data, detail, required, nullptr, nullptr))
            return PathLookup::list_failed;
        path.assign(detail->DevicePath, strnlen(detail->DevicePath, required - kFixedPart));
        return PathLookup::found;
    }

    std::unique_ptr<UsbConnection> open(const std::string &path) override {
        HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return nullptr;
        return std::make_unique<DeviceConnection>(handle);
    }
};

// ---- Named pipes of the socket transport ------------------------------------

class PipeChannel final : public MessageChannel {
public:
    explicit PipeChannel(HANDLE pipe) : pipe_(pipe), read_buffer_(kMaxMessage) {}

    ~PipeChannel() override {
        if (read_pending_) {
            DWORD count = 0;
            CancelIoEx(pipe_, &read_overlapped_);
            GetOverlappedResult(pipe_, &read_overlapped_, &count, TRUE);
        }
        CloseHandle(pipe_);
    }

    Receive receive(std::vector<std::uint8_t> &message, std::uint32_t wait_ms) override {
        const DWORD start = GetTickCount();
        for (;;) {
            if (closed_) return Receive::closed;
            DWORD count = 0;
            Read read = read_pending_ ? Read::pending : start_read(count);
            if (read == Read::pending) {
                const DWORD waited = GetTickCount() - start;
                const DWORD left = waited >= wait_ms ? 0 : wait_ms - waited;
                const HANDLE watched[2] = {read_done_.get(), shut_down_event_.get()};
                const DWORD woken = WaitForMultipleObjects(2, watched, FALSE, left);
                if (woken == WAIT_TIMEOUT) return Receive::timed_out;
                if (woken != WAIT_OBJECT_0) return Receive::closed;
                read_pending_ = false;
                read = finish_read(count);
                // The read was issued by a thread that has ended since; the
                // message it waited for is still in the pipe.
                if (read == Read::aborted) continue;
            }
            if (read == Read::failed) {
                closed_ = true;
                return Receive::closed;
            }
            message.assign(read_buffer_.begin(), read_buffer_.begin() + count);
            if (read == Read::cut) discard_rest_of_message();
            return Receive::message;
        }
    }

    bool send(const std::uint8_t *data, std::size_t size, std::uint32_t wait_ms) override {
        if (closed_) return false;
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
        pending,
        message,  // a whole message
        cut,      // the first kMaxMessage bytes of a longer one
        aborted,  // cancelled with the thread that issued it
        failed,   // the pipe is broken or closed
    };

    // Only a read that is pending signals later; one that ended at once has
    // its result now (a failed one never sets the event).
    Read start_read(DWORD &count) {
        read_overlapped_ = OVERLAPPED{};
        read_overlapped_.hEvent = read_done_.get();
        ResetEvent(read_overlapped_.hEvent);
        if (ReadFile(pipe_, read_buffer_.data(), static_cast<DWORD>(read_buffer_.size()), &count, &read_overlapped_))
            return Read::message;
        switch (GetLastError()) {
        case ERROR_IO_PENDING:
            read_pending_ = true;
            return Read::pending;
        case ERROR_MORE_DATA:
            // A message read fills the whole buffer before it reports more.
            count = static_cast<DWORD>(read_buffer_.size());
            return Read::cut;
        default:
            return Read::failed;
        }
    }

    // The result of the pending read, which has ended.
    Read finish_read(DWORD &count) {
        if (GetOverlappedResult(pipe_, &read_overlapped_, &count, FALSE)) return Read::message;
        switch (GetLastError()) {
        case ERROR_MORE_DATA: return Read::cut;
        case ERROR_OPERATION_ABORTED: return Read::aborted;
        default: return Read::failed;
        }
    }

    // A message longer than the buffer is cut; its rest is already in the
    // pipe and is read away. A failure here (the device hung up) shows in
    // the next receive.
    void discard_rest_of_message() {
        for (;;) {
            OVERLAPPED overlapped{};
            overlapped.hEvent = read_done_.get();
            ResetEvent(overlapped.hEvent);
            if (ReadFile(pipe_, read_buffer_.data(), static_cast<DWORD>(read_buffer_.size()), nullptr, &overlapped))
                return;
            DWORD error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                // Ends as soon as the pipe hands over the rest, or when the
                // channel is shut down meanwhile.
                const HANDLE watched[2] = {read_done_.get(), shut_down_event_.get()};
                if (WaitForMultipleObjects(2, watched, FALSE, INFINITE) != WAIT_OBJECT_0)
                    CancelIoEx(pipe_, &overlapped);
                DWORD count = 0;
                if (GetOverlappedResult(pipe_, &overlapped, &count, TRUE)) return;
                error = GetLastError();
            }
            if (error != ERROR_MORE_DATA) return;
        }
    }

    const HANDLE pipe_;
    Event read_done_{true};
    Event write_done_{true};
    Event shut_down_event_{true};
    OVERLAPPED read_overlapped_{};
    bool read_pending_ = false;
    std::vector<std::uint8_t> read_buffer_;
    std::atomic<bool> closed_{false};
};

std::string pipe_path(const std::string &name) { return kPipeDirectory + name; }

bool pipe_exists(const std::string &path) {
    // A pipe whose instances are all busy exists as well.
    return WaitNamedPipeA(path.c_str(), 1) || GetLastError() == ERROR_SEM_TIMEOUT;
}

// In name order, as a listing would give them.
const std::vector<std::string> &probed_endpoint_names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all;
        for (char digit = '0'; digit <= '9'; ++digit) all.emplace_back(1, digit);
        for (int number = 0; number < kProbedDaemonEndpoints; ++number)
            all.push_back("drova" + std::string(number < 10 ? "0" : "") + std::to_string(number));
        return all;
    }();
    return names;
}

}  // namespace

OverlappedCalls &overlapped_calls() {
    static OverlappedCalls calls;
    return calls;
}

UsbBackend *device_backend() {
    static DeviceBackend backend;
    return &backend;
}

// From the process environment, not the C runtime's copy of it: a host may
// set the variable with SetEnvironmentVariableA or through a runtime of its own.
std::optional<std::string> socket_device_location() {
    std::string value;
    DWORD needed = GetEnvironmentVariableA(kDeviceLocationVariable, nullptr, 0);
    while (needed > 0) {
        value.resize(needed);
        const DWORD got = GetEnvironmentVariableA(kDeviceLocationVariable, value.data(), needed);
        if (got < needed) {
            value.resize(got);  // 0 when removed meanwhile
            break;
        }
        needed = got;  // grown meanwhile
    }
    if (value.empty()) return std::nullopt;
    return value;
}

std::optional<std::vector<std::string>> list_device_endpoints(const std::string &prefix) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA((std::string(kPipeDirectory) + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES) return names;
        if (error != ERROR_BAD_DEV_TYPE) return std::nullopt;
        // This system cannot list its pipes (Wine): only the usual names are
        // found, the prefix with one digit or with the daemon's "drovaNN".
        for (const std::string &name : probed_endpoint_names()) {
            const std::string path = pipe_path(prefix + name);
            if (pipe_exists(path)) names.push_back(path);
        }
        return names;
    }
    do {
        if (_strnicmp(found.cFileName, prefix.c_str(), prefix.size()) == 0) names.emplace_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    for (auto &name : names) name = pipe_path(name);
    return names;
}

std::unique_ptr<MessageChannel> connect_device_endpoint(const std::string &path) {
    HANDLE pipe = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
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
