// Which USB driver backend the lookup and the link use. The choice is made
// each time a lookup or an open runs: a backend installed here first; then the
// in-process backend while it is active (in_process_device.h); then the socket
// transport where the environment asks for it (VELKOR_USB_DIR; on POSIX
// always); else the OS's device backend.
#pragma once

#include <memory>

#include "platform/usb_driver.h"

namespace velkor::usb {

// For tests that stand in for a driver; null returns to the usual choice.
void install_usb_backend(std::shared_ptr<platform::UsbBackend> backend);

// Null only where no backend exists at all.
std::shared_ptr<platform::UsbBackend> select_usb_backend();

}  // namespace velkor::usb
