#include "usb/Usblink.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>

#include "usb/Usb.h"
#include "usb/usb_backend.h"

namespace velkor::usb {

using platform::Transfer;
using platform::TransferOutcome;
using platform::UsbConnection;

namespace {

// The link state of the process. Transfers run outside the lock on their own
// reference to the connection, so a close from another thread never pulls it
// away underneath them.
struct Link {
    std::mutex lock;
    std::shared_ptr<UsbConnection> connection;  // set exactly while open
    char current_path[kPathSize] = {};
    char open_path[kPathSize] = {};  // of the connection; a probe changes only current_path
};

Link &link() {
    static Link state;
    return state;
}

std::shared_ptr<UsbConnection> open_connection() {
    Link &state = link();
    std::lock_guard guard(state.lock);
    return state.connection;
}

void copy_path(char (&destination)[kPathSize], const char *path) {
    std::memset(destination, 0, kPathSize);
    std::memcpy(destination, path, strnlen(path, kPathSize - 1));
}

}  // namespace

DeviceHandle UsbOpen(int member) {
    Link &state = link();
    std::shared_ptr<UsbConnection> previous;
    {
        std::lock_guard guard(state.lock);
        previous = std::move(state.connection);
        std::memset(state.current_path, 0, kPathSize);
    }
    // The link holds one interface: the one it held is let go, not left open
    // and unreachable.
    if (previous) previous->close();

    if (!UsbFilterSet()) return kNoDevice;
    const auto backend = select_usb_backend();
    char path[kPathSize] = {};
    if (UsbGetDevicePath(backend.get(), member, path, kPathSize, nullptr) != kPathFound) return kNoDevice;
    std::shared_ptr<UsbConnection> opened = backend->open(path);
    if (!opened) return kNoDevice;
    const DeviceHandle handle = opened->handle();
    std::lock_guard guard(state.lock);
    state.connection = std::move(opened);
    copy_path(state.current_path, path);
    copy_path(state.open_path, path);
    return handle;
}

int UsbClose() {
    std::shared_ptr<UsbConnection> closing;
    {
        Link &state = link();
        std::lock_guard guard(state.lock);
        closing = std::move(state.connection);
    }
    if (!closing) return 1;
    return closing->close() ? 1 : 0;
}

bool UsbIsOpen() { return open_connection() != nullptr; }

bool UsbIsOpenAt(const char *path) {
    Link &state = link();
    std::lock_guard guard(state.lock);
    return state.connection != nullptr && std::strncmp(state.open_path, path, kPathSize) == 0;
}

const char *UsbCurrentDevicePath() { return link().current_path; }

void record_probed_path(const char *path) {
    Link &state = link();
    std::lock_guard guard(state.lock);
    copy_path(state.current_path, path);
}

namespace {

int read_on(UsbConnection *connection, void *buffer, std::uint32_t size, std::uint32_t *count,
            std::uint32_t wait_ms) {
    if (count != nullptr) *count = 0;
    if (connection == nullptr) return 0;
    const TransferOutcome outcome = connection->read(static_cast<std::uint8_t *>(buffer), size, wait_ms);
    if (outcome.result == Transfer::failed_in_flight) {
        std::printf("Error: %d\n", static_cast<int>(outcome.system_error));
        std::fflush(stdout);
    }
    if (outcome.result != Transfer::completed) return 0;
    if (count != nullptr) *count = outcome.count;
    return 1;
}

}  // namespace

int UsbRead(void *buffer, std::uint32_t size, std::uint32_t *count, std::uint32_t wait_ms) {
    return read_on(open_connection().get(), buffer, size, count, wait_ms);
}

int UsbWrite(const void *buffer, std::uint32_t size, std::uint32_t *count, std::uint32_t wait_ms) {
    if (count != nullptr) *count = 0;
    const auto connection = open_connection();
    if (!connection) return 0;
    const TransferOutcome outcome = connection->write(static_cast<const std::uint8_t *>(buffer), size, wait_ms);
    if (outcome.result != Transfer::completed) return 0;
    if (count != nullptr) *count = outcome.count;
    return 1;
}

bool LinkOpen(int member) { return UsbCountDevices() > 0 && UsbOpen(member) != kNoDevice; }

bool LinkClose() { return UsbClose() != 0; }

int LinkWrite(const void *buffer, std::uint32_t size) {
    // UsbWrite answers 0 for a closed link as well.
    if (size == 0) return 0;
    return UsbWrite(buffer, size, nullptr, 0);
}

int Poll(std::uint8_t *buffer, std::uint32_t *length) {
    const auto connection = open_connection();
    if (!connection) return 1;
    std::uint32_t count = 0;
    read_on(connection.get(), buffer, kBlockSize, &count, 0);
    if (count == 0) return 0;
    if (length != nullptr) *length = count;
    return 1;
}

// ---- TUSBThread ---------------------------------------------------------------

TUSBThread::TUSBThread() { start_gate_.wait(); }

TUSBThread::~TUSBThread() {
    CloseLink();
    // Resumed so that it ends: the body passes the gates and leaves.
    try {
        thread_ = WorkerThread([this] { Execute(); });
    } catch (const std::system_error &) {
    }
    thread_.finish();
    table_lock_.wait();
    for (auto &slot : receivers_) slot.reset();
    receiver_count_ = 0;
    table_lock_.release();
}

void TUSBThread::Execute() {
    start_gate_.wait();
    run_lock_.wait();
    // The receive loop would run here while the terminate flag is clear; the
    // thread is only ever resumed to end, so it never does.
    run_lock_.release();
    start_gate_.release();
}

int TUSBThread::Init(std::uint32_t buffer_size) {
    try {
        receive_buffer_.assign(buffer_size, 0);
    } catch (const std::bad_alloc &) {
        return 1;
    } catch (const std::length_error &) {
        return 1;
    }
    UsbSetInterface(kDeviceInterfaceClass, kInterfaceFilter);
    start_gate_.release();
    return 0;
}

const Registration *TUSBThread::RegisterReceiver(int index, Receiver receiver) {
    if (index < 0 || index >= kReceiverSlots) return nullptr;
    auto record = std::unique_ptr<Registration>(new (std::nothrow) Registration{index, receiver});
    if (!record) return nullptr;
    table_lock_.wait();
    const Registration *registered = nullptr;
    if (receiver_count_ < kReceiverSlots) {
        registered = record.get();
        receivers_[static_cast<std::size_t>(index)] = std::move(record);
        ++receiver_count_;
    }
    table_lock_.release();
    return registered;
}

int TUSBThread::Send(const std::uint8_t *block, std::uint32_t size) { return LinkWrite(block, size) == 1 ? 0 : 1; }

void TUSBThread::CloseLink() {
    start_gate_.release();
    if (UsbIsOpen()) UsbClose();
}

}  // namespace velkor::usb
