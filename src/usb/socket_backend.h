// The socket device transport: a device is any process listening on a message
// endpoint. Each message the host sends is one block it wrote; each message
// the device sends is one block as a driver read delivers it, whenever the
// device has it. A write completes once its message is handed over.
#pragma once

#include <memory>
#include <string>

#include "platform/usb_driver.h"

namespace velkor::usb {

std::shared_ptr<platform::UsbBackend> make_socket_backend(std::string location);

}  // namespace velkor::usb
