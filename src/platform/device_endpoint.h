// The device side of the socket transport, for programs that act as devices:
// one listening endpoint per device interface. Not part of the library itself.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/usb_driver.h"

namespace velkor::platform {

class DeviceEndpoint {
public:
    // Listens as `name` at `location` (a directory on POSIX, a pipe-name
    // prefix on Windows). Throws std::system_error when it cannot.
    DeviceEndpoint(const std::string &location, const std::string &name);
    ~DeviceEndpoint();
    DeviceEndpoint(const DeviceEndpoint &) = delete;
    DeviceEndpoint &operator=(const DeviceEndpoint &) = delete;

    // The next host connection, or null when none came within `wait_ms`.
    std::unique_ptr<MessageChannel> accept(std::uint32_t wait_ms);

    // The path the host's lookup lists for this endpoint.
    const std::string &path() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A location that nothing else uses: a new temporary directory (removed with
// its contents at the end) or a pipe-name prefix unique to this process.
class ScratchDeviceLocation {
public:
    ScratchDeviceLocation();
    ~ScratchDeviceLocation();
    ScratchDeviceLocation(const ScratchDeviceLocation &) = delete;
    ScratchDeviceLocation &operator=(const ScratchDeviceLocation &) = delete;

    const std::string &value() const { return value_; }

private:
    std::string value_;
};

// Sets VELKOR_USB_DIR for this process; null removes it.
void set_device_location(const char *location);

}  // namespace velkor::platform
