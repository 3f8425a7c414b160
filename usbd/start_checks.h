// What drova-usbd says as it starts: which devices it waits for and where
// their endpoints go, and what on this machine will keep it from serving
// them, so that a daemon that serves nothing says why at once.
#pragma once

#include <string>
#include <vector>

#include "device_selector.h"

namespace velkor::usbd {

// "watching for 1a2b:3c4d (interface 0), ...; endpoints in DIR".
std::string watch_line(const std::vector<DeviceSelector> &devices, const std::string &dir);

// Creates the device directory when it is missing; then one warning per thing
// that keeps devices from being served: the USB device folder (/dev/bus/usb)
// missing or unreadable, the device directory not creatable or not writable.
std::vector<std::string> start_warnings(const std::string &usb_devices, const std::string &dir);

}  // namespace velkor::usbd
