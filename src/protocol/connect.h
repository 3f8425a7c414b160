// Claiming a device for this host and releasing it again.
#pragma once

#include <cstddef>
#include <cstdint>

#include "session/session.h"

namespace velkor::protocol {

inline constexpr std::uint32_t kConnectPeriodMs = 6000;
inline constexpr std::uint32_t kDisconnectPeriodMs = 2000;
inline constexpr std::size_t kConnectRequestLength = 479;

// Fills command bytes 1..478 of a connect request: mode, the identifier in
// memory order, 479 little-endian, then byte k holding k mod 256.
void build_connect_request(std::uint8_t *command, std::uint8_t mode, std::uint32_t random_id);

int connect(Session &session, int serial_number, int list_index, std::uint8_t mode);
int disconnect(Session &session);

void on_connect_answer(Session &, Workers &, const Ticket &, const std::uint8_t *body, std::size_t length);
void on_connect_timeout(Session &, Workers &, const Ticket &);
void on_disconnect_answer(Session &, Workers &, const Ticket &, const std::uint8_t *body, std::size_t length);
void on_disconnect_timeout(Session &, Workers &, const Ticket &);

}  // namespace velkor::protocol
