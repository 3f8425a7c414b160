// Serial numbers as a user types them: a number (decimal or 0x...) or the
// text form the library prints (KV47D00291).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace drova {

// The 24-bit serial number of a KV text, or nullopt when the text is not one.
std::optional<std::uint32_t> parse_serial_text(std::string_view text);
// A KV text or a 32-bit number; nullopt when it is neither. A number may be
// above 24 bits: whether that is acceptable is the caller's decision.
std::optional<std::uint32_t> parse_serial_argument(std::string_view text);
// A 32-bit number, decimal or 0x-prefixed hexadecimal.
std::optional<std::uint32_t> parse_u32(std::string_view text);

}  // namespace drova
