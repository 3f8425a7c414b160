// What runs on the connected device: starting a firmware application, the
// application the device starts by itself, and a reset.
#pragma once

#include <cstddef>
#include <cstdint>

#include "session/session.h"

namespace velkor {

inline constexpr std::uint32_t kApplicationPeriodMs = 2000;

int start_app(Session &session, std::uint32_t id);
int auto_start(Session &session, std::uint32_t id);
int reset_device(Session &session);

void on_start_app_answer(Session &, Workers &, const Ticket &, const std::uint8_t *body, std::size_t length);
void on_start_app_timeout(Session &, Workers &, const Ticket &);
void on_auto_start_answer(Session &, Workers &, const Ticket &, const std::uint8_t *body, std::size_t length);
void on_auto_start_timeout(Session &, Workers &, const Ticket &);

}  // namespace velkor
