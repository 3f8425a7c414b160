// Where one device waits for its host: a SOCK_SEQPACKET socket in a directory
// (POSIX) or a message-mode named pipe (Windows). One host connection at a
// time; a host that connects meanwhile is turned away. Implemented once per
// OS in serve_posix.cpp and serve_win32.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "wire.h"

namespace velkor::sim {

class Endpoint {
public:
    virtual ~Endpoint() = default;  // closes the endpoint and removes its name

    enum class Received { message, timeout, closed, stopped };

    // Waits for a host. False when the daemon stops.
    virtual bool accept() = 0;
    // Waits up to `timeout_ms` (negative: without limit) for one host message.
    virtual Received receive(Bytes &message, int timeout_ms) = 0;
    // False when the host has gone.
    virtual bool send(std::span<const std::uint8_t> message) = 0;
    virtual void disconnect() = 0;
    // Waits `ms`; false when the daemon stops meanwhile.
    virtual bool pause(std::uint32_t ms) = 0;
    // From any thread: this endpoint's waits, now and later, return as when
    // the daemon stops (a bridge whose device went away).
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
