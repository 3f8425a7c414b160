// Where one device waits for its hosts: a SOCK_SEQPACKET socket in a directory
// (POSIX) or a message-mode named pipe with an instance per host (Windows).
// Several hosts may be connected at once, as several programs may open one
// USB interface; which of them holds the device is the device's own business
// (the connect exchange), never the endpoint's. Implemented once per OS in
// serve_posix.cpp and serve_win32.cpp.
//
// What travels: a host message is one block as the host wrote it (the
// library's 512-byte frame); a device message is one block as a driver read
// delivers it, sent whenever the device has it. Nothing marks the end of an
// answer.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "wire.h"

namespace velkor::sim {

class Endpoint {
public:
    virtual ~Endpoint() = default;  // ends every connection, closes the endpoint and removes its name

    // One connected host, numbered from 1 in the order hosts came; never reused.
    using Host = std::uint32_t;

    struct Event {
        enum class Kind {
            connected,  // `host` has connected
            message,    // `host` sent `message`
            closed,     // `host` has gone (or was disconnected); nothing more comes from it
            timeout,    // the wait ran out
            stopped,    // the daemon or this endpoint was told to stop
        };
        Kind kind = Kind::timeout;
        Host host = 0;
        Bytes message;
    };

    // Waits up to `timeout_ms` (negative: without limit) for the next event.
    // One thread waits at a time.
    virtual Event wait(int timeout_ms) = 0;
    // One message to `host`, from any thread, also while another waits. False
    // when that host has gone. Never blocks: what a host does not read yet
    // waits in the endpoint, and a host that lets too much pile up is
    // disconnected.
    virtual bool send(Host host, std::span<const std::uint8_t> message) = 0;
    // Ends one host's connection: the host reads what was sent to it before
    // (as far as its connection takes it at once), then end of file. A closed
    // event follows for it; its messages not waited for yet are dropped.
    virtual void disconnect(Host host) = 0;
    // The process on the other end of `host`'s connection, as the OS reports
    // it; 0 when it cannot tell. Tells hosts apart that connect more than once.
    virtual std::uint64_t peer_process(Host host) const = 0;
    // From any thread: the wait, now and later, returns stopped (a bridge
    // whose device went away).
    virtual void stop() = 0;
    // The socket path / pipe name, for messages.
    virtual const std::string &address() const = 0;
};

// Where endpoints go when no directory (POSIX) or pipe name prefix (Windows) is given.
std::string default_endpoint_dir();

// Throws std::runtime_error with a message for the user when the endpoint
// cannot be made (directory missing and not creatable, name too long,
// served by another process, ...).
std::unique_ptr<Endpoint> open_endpoint(const std::string &dir, const std::string &name);

// SIGINT/SIGTERM (Windows: Ctrl-C, Ctrl-Break, console close) ask every
// endpoint wait to return as stopped.
void install_stop_handlers();
void request_stop();
bool stop_requested();

}  // namespace velkor::sim
