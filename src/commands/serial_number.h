// Writing the connected device's serial number.
#pragma once

#include <cstddef>
#include <cstdint>

#include "session/session.h"

namespace velkor {

inline constexpr std::uint32_t kWrsnPeriodMs = 2000;

// The serial number word: the checksum of the 24-bit number in its top byte.
std::uint32_t serial_number_word(std::uint32_t serial);

int write_serial_number(Session &session, std::uint32_t serial);

void on_write_serial_answer(Session &, Workers &, const Ticket &, const std::uint8_t *body, std::size_t length);
void on_write_serial_timeout(Session &, Workers &, const Ticket &);

}  // namespace velkor
