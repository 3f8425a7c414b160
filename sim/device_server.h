// Serves one simulated device on its endpoint until the daemon stops: each
// host message is one frame; the device's answer blocks go back as messages
// 0x01 + block, and the exchange ends with the single byte 0x00.
#pragma once

#include <functional>

#include "device_model.h"
#include "endpoint.h"

namespace velkor::sim {

inline constexpr std::uint8_t kBlockMessage = 0x01;
inline constexpr std::uint8_t kEndMessage = 0x00;

// One answer block as a block message, and the end message; false when the
// host has gone.
bool send_block(Endpoint &endpoint, std::span<const std::uint8_t> block);
bool send_end(Endpoint &endpoint);

// `after_exchange` runs after every answered host message (to save state).
void serve_device(Endpoint &endpoint, DeviceModel &model, const std::function<void()> &after_exchange);

}  // namespace velkor::sim
