// The USB link: the one open device interface, moved in blocks of up to 512
// bytes with zero-wait transfers, and TUSBThread, which owns the receive
// buffer and the receiver table and runs the link's read loop. A command's
// sender polls once right after its write; a block that is not there yet is
// read and dispatched by the loop when it arrives.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "platform/usb_driver.h"
#include "session/worker_mode.h"
#include "session/worker_thread.h"

namespace velkor::usb {

using DeviceHandle = std::intptr_t;
inline constexpr DeviceHandle kNoDevice = -1;
inline constexpr std::uint32_t kBlockSize = 512;

using Connection = std::shared_ptr<platform::UsbConnection>;

// The open link's connection, or null: looked up once per exchange and used
// for its write and its reads.
Connection LinkConnection();

// Opens the interface at `member` and makes it the link, closing whatever the
// link held. The new handle, or kNoDevice; the current device path is zeroed
// first and holds the path only when the open succeeded.
DeviceHandle UsbOpen(int member);
// 1 when nothing was open, else whether the close succeeded (1/0).
int UsbClose();
bool UsbIsOpen();
// Whether the link is open to the interface at `path` (260 bytes at most).
bool UsbIsOpenAt(const char *path);
// The 260-byte path of the interface last opened or probed.
const char *UsbCurrentDevicePath();
// One transfer on the link within `wait_ms`: 1 when it completed, else 0.
// `count` (may be null) gets the bytes moved. A read that the driver
// accepted and then failed prints "Error: <code>" on standard output.
int UsbRead(void *buffer, std::uint32_t size, std::uint32_t *count, std::uint32_t wait_ms);
int UsbWrite(const void *buffer, std::uint32_t size, std::uint32_t *count, std::uint32_t wait_ms);

// True when an interface is present and `member` was opened.
bool LinkOpen(int member);
bool LinkClose();
// 0 when the link is closed or `size` is 0, else UsbWrite's result with no wait.
int LinkWrite(const void *buffer, std::uint32_t size);
int LinkWrite(platform::UsbConnection *link, const void *buffer, std::uint32_t size);
// Reads one block of up to 512 bytes without waiting into `buffer` (at least
// 512 bytes). Closed link: 1, `length` untouched. Otherwise 1 with `length`
// set when a block of at least one byte arrived, else 0.
int Poll(std::uint8_t *buffer, std::uint32_t *length);
int Poll(platform::UsbConnection *link, std::uint8_t *buffer, std::uint32_t *length);

// The probe of UsbFindDeviceIndex leaves the path it opened here.
void record_probed_path(const char *path);

// A receiver gets (its index, the block, the block's length).
using Receiver = void (*)(int index, const std::uint8_t *block, std::uint32_t length);

struct Registration {
    int index;
    Receiver receiver;
};

// Runs the link's read loop once started: whenever the open link has a block
// that no sender's poll has taken, or has ended, it tells `ReadBlock`, which
// reads and dispatches under the lock of the command exchange. It waits for
// the device holding no lock, and costs nothing while nothing arrives.
class TUSBThread {
public:
    static constexpr int kReceiverSlots = 3;

    // What the loop found on the open link, for the session `owner`: a block
    // to read and dispatch, or the connection's end (the device has gone, or
    // the link was closed). False once that session has ended, which ends
    // the loop.
    using ReadBlock = bool (*)(std::uint64_t owner, platform::Readiness found);

    // Throws std::system_error when a mutex cannot be created.
    TUSBThread();
    ~TUSBThread();
    TUSBThread(const TUSBThread &) = delete;
    TUSBThread &operator=(const TUSBThread &) = delete;

    // Allocates the receive buffer, sets the lookup's interface class and
    // filter, opens the start gate. 0, or 1 when the buffer cannot be had.
    int Init(std::uint32_t buffer_size);
    // The new registration, or null when the table is full (three calls made)
    // or `index` is outside 0 to 2.
    const Registration *RegisterReceiver(int index, Receiver receiver);
    // 0 when the block was written to the open link, else 1.
    int Send(const std::uint8_t *block, std::uint32_t size);
    int Send(platform::UsbConnection *link, const std::uint8_t *block, std::uint32_t size);
    // Opens the start gate and closes the link.
    void CloseLink();

    // Starts the read loop (after Init). Throws std::system_error when the
    // thread cannot be had. Driven, no thread is started: the owner calls
    // ReadArrived() for each round.
    void Start(ReadBlock read_block, std::uint64_t owner, WorkerMode mode = WorkerMode::threaded);
    // One round of the loop on the calling thread, without waiting: reads
    // and dispatches a block that is there, or tells of a link that ended.
    // False when there was nothing to tell.
    bool ReadArrived();
    // Ends the read loop, closing the link it waits on. Unless `join`, the
    // loop is let go and ends on its own: a caller that holds the exchange
    // must not wait for a loop that may be waiting for it.
    void Stop(bool join);

private:
    struct Loop;
    static void Execute(const std::shared_ptr<Loop> &loop);

    // The link's receive buffer; its allocation is what Init can fail on.
    // The loop reads into the exchange's own buffer, under its lock.
    std::vector<std::uint8_t> receive_buffer_;
    platform::Mutex table_lock_;
    std::uint32_t receiver_count_ = 0;
    std::array<std::unique_ptr<Registration>, kReceiverSlots> receivers_;
    std::shared_ptr<Loop> loop_;  // shared with the thread, which may outlive this object once let go
    WorkerThread thread_;
};

}  // namespace velkor::usb
