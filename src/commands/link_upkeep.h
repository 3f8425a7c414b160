// Addressing the device, keeping the link alive, forgetting the connection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Vevara_Rovo_dar.h"
#include "session/session.h"

namespace velkor {

inline constexpr std::uint32_t kAddressPeriodMs = 2000;
inline constexpr std::uint32_t kKeepAlivePeriodMs = 2000;

int address(Session &session, TAddress target);
// The address step with a ticket already in the address state.
void send_address(Session &session, const Ticket &ticket, TAddress target);
int comm_refresh(Session &session);
void device_close(Session &session);
char *device_name();

void on_address_answer(Session &, Workers &, const Ticket &, const std::uint8_t *body, std::size_t length);
void on_address_timeout(Session &, Workers &, const Ticket &);
void on_keepalive_answer(Session &, Workers &, const Ticket &, const std::uint8_t *body, std::size_t length);
void on_keepalive_timeout(Session &, Workers &, const Ticket &);

}  // namespace velkor
