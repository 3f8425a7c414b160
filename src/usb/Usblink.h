// The USB link: the one open device interface, moved in blocks of up to 512
// bytes with zero-wait transfers, and TUSBThread, which owns the receive
// buffer and the receiver table. All reading happens on the caller's thread
// through Poll.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "session/worker_thread.h"

namespace velkor::usb {

using DeviceHandle = std::intptr_t;
inline constexpr DeviceHandle kNoDevice = -1;
inline constexpr std::uint32_t kBlockSize = 512;

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
// Reads one block of up to 512 bytes without waiting into `buffer` (at least
// 512 bytes). Closed link: 1, `length` untouched. Otherwise 1 with `length`
// set when a block of at least one byte arrived, else 0.
int Poll(std::uint8_t *buffer, std::uint32_t *length);

// The probe of UsbFindDeviceIndex leaves the path it opened here.
void record_probed_path(const char *path);

// A receiver gets (its index, the block, the block's length).
using Receiver = void (*)(int index, const std::uint8_t *block, std::uint32_t length);

struct Registration {
    int index;
    Receiver receiver;
};

// Created suspended and never resumed while the library runs: blocks reach the
// receivers only through the sender's Poll, never through a loop of this
// thread. Destruction resumes it only so that it ends.
class TUSBThread {
public:
    static constexpr int kReceiverSlots = 3;

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
    // Opens the start gate and closes the link.
    void CloseLink();

private:
    void Execute();

    // What the thread's own reads would fill; its allocation is what Init
    // can fail on.
    std::vector<std::uint8_t> receive_buffer_;
    platform::Mutex table_lock_;
    platform::Mutex start_gate_;  // held by the constructing thread until Init
    platform::Mutex run_lock_;    // held by the body while it runs
    std::uint32_t receiver_count_ = 0;
    std::array<std::unique_ptr<Registration>, kReceiverSlots> receivers_;
    WorkerThread thread_;
};

}  // namespace velkor::usb
