#include "serial_argument.h"

#include <cctype>
#include <charconv>

namespace drova {
namespace {

std::optional<unsigned> digits(std::string_view text, int base) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

}  // namespace

// Fields: marker 2 in bits 23-22, y (0..3, written y + 47) in 21-20,
// m (0, 13, 14 or 15, one hex digit) in 19-16, n (1..65535, five digits) in 15-0.
std::optional<std::uint32_t> parse_serial_text(std::string_view text) {
    if (text.size() != 10 || std::toupper(static_cast<unsigned char>(text[0])) != 'K' ||
        std::toupper(static_cast<unsigned char>(text[1])) != 'V')
        return std::nullopt;
    for (std::size_t i = 2; i < 10; ++i)
        if (i != 4 && !std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
    const auto year = digits(text.substr(2, 2), 10);
    const auto month = digits(text.substr(4, 1), 16);
    const auto number = digits(text.substr(5, 5), 10);
    if (!year || *year < 47 || *year > 50) return std::nullopt;
    if (!month || (*month >= 1 && *month <= 12)) return std::nullopt;
    if (!number || *number == 0 || *number > 0xFFFF) return std::nullopt;
    return std::uint32_t{2} << 22 | (*year - 47) << 20 | *month << 16 | *number;
}

std::optional<std::uint32_t> parse_u32(std::string_view text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return digits(text.substr(2), 16);
    return digits(text, 10);
}

std::optional<std::uint32_t> parse_serial_argument(std::string_view text) {
    if (auto serial = parse_serial_text(text)) return serial;
    return parse_u32(text);
}

}  // namespace drova
