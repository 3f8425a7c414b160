// The socket device transport: a device is any process listening on a
// message endpoint. After each block the host writes, the device sends zero or
// more block messages (0x01, then the block) and one end message (0x00); the
// write completes when the end message has arrived.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/usb_driver.h"

namespace velkor::usb {

// The longest a write waits for the device's end message: the longest command
// period. Past it the write completes and what arrives later is queued.
inline constexpr std::chrono::milliseconds kDefaultAnswerBound{30000};

// Tests shorten the bound; it applies to writes that start afterwards.
void set_answer_bound(std::chrono::milliseconds bound);

std::shared_ptr<platform::UsbBackend> make_socket_backend(std::string location);

}  // namespace velkor::usb
