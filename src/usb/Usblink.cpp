#include "usb/Usblink.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
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
    std::condition_variable changed;  // an open or a close
    std::uint64_t generation = 0;     // counts opens and closes
    std::shared_ptr<UsbConnection> connection;  // set exactly while open
    char current_path[kPathSize] = {};
    char open_path[kPathSize] = {};  // of the connection; a probe changes only current_path
};

// Never destroyed: the link's thread of a session that was not closed may
// still wait on it while the process exits.
Link &link() {
    static Link *const state = new Link;
    return *state;
}

// Replaces the link's connection; the one it held is returned to be closed
// outside the lock.
std::shared_ptr<UsbConnection> replace_connection(Link &state, std::shared_ptr<UsbConnection> next) {
    std::shared_ptr<UsbConnection> previous = std::exchange(state.connection, std::move(next));
    ++state.generation;
    state.changed.notify_all();
    return previous;
}

void copy_path(char (&destination)[kPathSize], const char *path) {
    std::memset(destination, 0, kPathSize);
    std::memcpy(destination, path, strnlen(path, kPathSize - 1));
}

}  // namespace

Connection LinkConnection() {
    Link &state = link();
    std::lock_guard guard(state.lock);
    return state.connection;
}

DeviceHandle UsbOpen(int member) {
    Link &state = link();
    std::shared_ptr<UsbConnection> previous;
    {
        std::lock_guard guard(state.lock);
        previous = replace_connection(state, nullptr);
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
    replace_connection(state, std::move(opened));
    copy_path(state.current_path, path);
    copy_path(state.open_path, path);
    return handle;
}

int UsbClose() {
    std::shared_ptr<UsbConnection> closing;
    {
        Link &state = link();
        std::lock_guard guard(state.lock);
        if (!state.connection) return 1;
        closing = replace_connection(state, nullptr);
    }
    return closing->close() ? 1 : 0;
}

bool UsbIsOpen() { return LinkConnection() != nullptr; }

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

int write_on(UsbConnection *connection, const void *buffer, std::uint32_t size, std::uint32_t *count,
             std::uint32_t wait_ms) {
    if (count != nullptr) *count = 0;
    if (connection == nullptr) return 0;
    const TransferOutcome outcome = connection->write(static_cast<const std::uint8_t *>(buffer), size, wait_ms);
    if (outcome.result != Transfer::completed) return 0;
    if (count != nullptr) *count = outcome.count;
    return 1;
}

}  // namespace

int UsbRead(void *buffer, std::uint32_t size, std::uint32_t *count, std::uint32_t wait_ms) {
    return read_on(LinkConnection().get(), buffer, size, count, wait_ms);
}

int UsbWrite(const void *buffer, std::uint32_t size, std::uint32_t *count, std::uint32_t wait_ms) {
    return write_on(LinkConnection().get(), buffer, size, count, wait_ms);
}

bool LinkOpen(int member) { return UsbCountDevices() > 0 && UsbOpen(member) != kNoDevice; }

bool LinkClose() { return UsbClose() != 0; }

int LinkWrite(UsbConnection *link, const void *buffer, std::uint32_t size) {
    // A closed link answers 0 as well.
    if (size == 0) return 0;
    return write_on(link, buffer, size, nullptr, 0);
}

int LinkWrite(const void *buffer, std::uint32_t size) { return LinkWrite(LinkConnection().get(), buffer, size); }

int Poll(UsbConnection *link, std::uint8_t *buffer, std::uint32_t *length) {
    if (link == nullptr) return 1;
    std::uint32_t count = 0;
    read_on(link, buffer, kBlockSize, &count, 0);
    if (count == 0) return 0;
    if (length != nullptr) *length = count;
    return 1;
}

int Poll(std::uint8_t *buffer, std::uint32_t *length) { return Poll(LinkConnection().get(), buffer, length); }

// ---- TUSBThread ---------------------------------------------------------------

// What the loop's thread uses; shared, so a loop that was let go outlives the
// TUSBThread that started it.
struct TUSBThread::Loop {
    platform::Mutex start_gate;  // held by the constructing thread until Init
    platform::Mutex run_lock;    // held by the body while it runs
    std::atomic<bool> stopping{false};
    ReadBlock read_block = nullptr;
    std::uint64_t owner = 0;
    std::uint64_t ended = ~std::uint64_t{0};  // the link generation last found ended, told once
};

namespace {

std::pair<Connection, std::uint64_t> current_link() {
    Link &state = link();
    std::lock_guard guard(state.lock);
    return {state.connection, state.generation};
}

// The open link once it is one the loop can wait on: not one found ended
// already. Null when the loop is to stop.
std::pair<Connection, std::uint64_t> wait_for_link(const std::atomic<bool> &stopping, std::uint64_t ended) {
    Link &state = link();
    std::unique_lock guard(state.lock);
    state.changed.wait(guard, [&] { return stopping || (state.connection && state.generation != ended); });
    if (stopping) return {nullptr, 0};
    return {state.connection, state.generation};
}

void wake_link_waiters() {
    Link &state = link();
    std::lock_guard guard(state.lock);
    state.changed.notify_all();
}

}  // namespace

TUSBThread::TUSBThread() : loop_(std::make_shared<Loop>()) { loop_->start_gate.wait(); }

TUSBThread::~TUSBThread() {
    Stop(true);
    table_lock_.wait();
    for (auto &slot : receivers_) slot.reset();
    receiver_count_ = 0;
    table_lock_.release();
}

void TUSBThread::Execute(const std::shared_ptr<Loop> &loop) {
    loop->start_gate.wait();
    loop->run_lock.wait();
    while (!loop->stopping) {
        const auto [connection, generation] = wait_for_link(loop->stopping, loop->ended);
        if (!connection) break;
        // Waits on the connection alone: a close of the link wakes it.
        const platform::Readiness found = connection->wait_readable(platform::kWaitForever);
        if (found == platform::Readiness::timed_out) continue;
        if (!loop->stopping && !loop->read_block(loop->owner, found)) loop->stopping = true;
        // Nothing more comes from an ended connection; the next open or close
        // gives the loop a link to wait on again.
        if (found == platform::Readiness::ended) loop->ended = generation;
    }
    loop->run_lock.release();
    loop->start_gate.release();
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
    loop_->start_gate.release();
    return 0;
}

void TUSBThread::Start(ReadBlock read_block, std::uint64_t owner, WorkerMode mode) {
    loop_->read_block = read_block;
    loop_->owner = owner;
    if (mode == WorkerMode::threaded) thread_ = WorkerThread([loop = loop_] { Execute(loop); });
}

bool TUSBThread::ReadArrived() {
    if (loop_->stopping || loop_->read_block == nullptr) return false;
    const auto [connection, generation] = current_link();
    if (!connection || generation == loop_->ended) return false;
    const platform::Readiness found = connection->wait_readable(0);
    if (found == platform::Readiness::timed_out) return false;
    if (!loop_->read_block(loop_->owner, found)) loop_->stopping = true;
    if (found == platform::Readiness::ended) loop_->ended = generation;
    return true;
}

void TUSBThread::Stop(bool join) {
    loop_->stopping = true;
    CloseLink();
    wake_link_waiters();
    if (join)
        thread_.finish();
    else
        thread_.let_go();
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

int TUSBThread::Send(UsbConnection *link, const std::uint8_t *block, std::uint32_t size) {
    return LinkWrite(link, block, size) == 1 ? 0 : 1;
}

int TUSBThread::Send(const std::uint8_t *block, std::uint32_t size) { return LinkWrite(block, size) == 1 ? 0 : 1; }

void TUSBThread::CloseLink() {
    loop_->start_gate.release();
    if (UsbIsOpen()) UsbClose();
}

}  // namespace velkor::usb
