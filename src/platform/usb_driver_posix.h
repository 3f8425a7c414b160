// POSIX parts of the USB driver seam that the device side of the socket
// transport shares.
#pragma once

#include <memory>

#include "platform/usb_driver.h"

namespace velkor::platform {

// Takes over a connected AF_UNIX SOCK_SEQPACKET socket.
std::unique_ptr<MessageChannel> adopt_seqpacket_socket(int fd);

}  // namespace velkor::platform
