// The in-process backend behind in_process_device.h.
#pragma once

#include <memory>

#include "platform/usb_driver.h"

namespace velkor::usb {

// True while a device is attached or the backend is selected.
bool in_process_backend_active();
std::shared_ptr<platform::UsbBackend> in_process_backend();

}  // namespace velkor::usb
