// The endpoint name of a USB device: where it is plugged in, not which device
// it is, so a device plugged in again at the same port gets the same name and
// keeps its place in the library's list.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace velkor::usbd {

// "usb-<bus>-<port path>", the hub ports joined by dots as the kernel names
// the device in sysfs: usb-1-3, usb-2-1.4.
std::string port_endpoint_name(unsigned bus, std::span<const std::uint8_t> ports);

}  // namespace velkor::usbd
