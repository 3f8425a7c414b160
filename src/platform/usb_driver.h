// The USB driver seam: one table of operations per backend, through which the
// lookup lists the interfaces of a device class and the link opens one and
// moves blocks over it. The OS supplies the device backend (Windows) and the
// message endpoints of the socket transport; the portable backends live in
// src/usb/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/interface_list.h"

namespace velkor::platform {

enum class Transfer {
    completed,          // finished at once, or within the wait
    not_completed,      // still pending when the wait ran out; cancelled
    end_of_file,        // the driver reported the end of the data; nothing cancelled
    failed,             // refused when issued
    failed_in_flight,   // accepted, then finished with the error in `system_error`
};

// A wait without limit.
inline constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;

// More blocks than any connection holds unread (the in-process queue 256, a
// socket's buffer about 200, a driver's a few): reading this many empties one.
inline constexpr std::uint32_t kMostQueuedBlocks = 4096;

struct TransferOutcome {
    Transfer result = Transfer::failed;
    std::uint32_t count = 0;         // bytes moved when completed
    std::uint32_t system_error = 0;  // for failed_in_flight
};

enum class Readiness {
    block,      // a read now completes at once
    ended,      // the connection has ended: a read finds end of file or fails
    timed_out,  // nothing came within the wait
};

// One opened interface. A device answers whenever it has something to say:
// a read takes what has arrived, and a write completes once the block is
// handed over, never waiting for the device's answer.
class UsbConnection {
public:
    virtual ~UsbConnection() = default;
    virtual TransferOutcome read(std::uint8_t *buffer, std::uint32_t size, std::uint32_t wait_ms) = 0;
    virtual TransferOutcome write(const std::uint8_t *buffer, std::uint32_t size, std::uint32_t wait_ms) = 0;
    // Waits up to `wait_ms` until a block is there to read, taking nothing.
    // Holds no lock that a read or write needs while it waits, and returns
    // at once when the connection is closed meanwhile.
    virtual Readiness wait_readable(std::uint32_t wait_ms) = 0;
    // Ends the connection; true when the close succeeded. Safe while another
    // thread is inside read or write, which then returns promptly; the
    // object itself must outlive them.
    virtual bool close() = 0;
    // The OS handle value the link reports for this connection (never -1).
    virtual std::intptr_t handle() const = 0;
};

class UsbBackend {
public:
    virtual ~UsbBackend() = default;
    // The path of the interface at `member` in the backend's listed order.
    virtual PathLookup interface_path(const InterfaceClassGuid &interface_class, std::uint32_t member,
                                      std::string &path) = 0;
    // Null when the path cannot be opened.
    virtual std::unique_ptr<UsbConnection> open(const std::string &path) = 0;
    // The device instance the system records for the interface at `path`
    // (Windows: the registry's "DeviceInstance" of the interface key, at most
    // 255 bytes), as stored; nullopt when there is none or it cannot be read.
    virtual std::optional<std::string> device_instance(const InterfaceClassGuid &, const std::string &) {
        return std::nullopt;
    }
};

// The Windows device backend (SetupDi lookup, overlapped file I/O); null where
// the OS has none.
UsbBackend *device_backend();

// ---- Socket device transport: message endpoints -------------------------

// A connected, message-preserving, two-way channel (AF_UNIX SOCK_SEQPACKET or
// a message-mode named pipe). Closes its end when destroyed.
class MessageChannel {
public:
    static constexpr std::size_t kMaxMessage = 4096;  // longer messages are cut to this

    enum class Receive { message, timed_out, closed };

    virtual ~MessageChannel() = default;
    // Waits up to `wait_ms` for one message.
    virtual Receive receive(std::vector<std::uint8_t> &message, std::uint32_t wait_ms) = 0;
    // Waits up to `wait_ms` until a receive would complete at once, taking
    // nothing; safe while another thread receives or sends.
    virtual Receive wait_readable(std::uint32_t wait_ms) = 0;
    // Sends one message; false when the peer is gone or it could not be sent
    // within `wait_ms` (0: only when it can be handed over at once).
    virtual bool send(const std::uint8_t *data, std::size_t size, std::uint32_t wait_ms) = 0;
    // Ends the connection from any thread: a waiting receive or send returns
    // at once and every later one reports the channel closed.
    virtual bool shut_down() = 0;
    virtual std::intptr_t handle() const = 0;
};

// Null when no device listens at `path` or it cannot take a connection.
std::unique_ptr<MessageChannel> connect_device_endpoint(const std::string &path);

}  // namespace velkor::platform
