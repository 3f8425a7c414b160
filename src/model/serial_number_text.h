// The text form of a 24-bit serial number, e.g. KV47D00291.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velkor {

// Text given to a caller for a value that has no text form.
inline constexpr const char *kInvalidSerialText = "SN_INVALID";

// Bits 23-22 must be 2 (the marker), bits 21-20 give the year (y + 47),
// bits 19-16 the month digit (0, D, E or F) and bits 15-0 a number from 1.
std::optional<std::string> serial_number_text(std::uint32_t value);

}  // namespace velkor
