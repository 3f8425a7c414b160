// Byte order of device data: words travel big-endian, and the library puts
// multi-byte values into wire order by reversing them in place.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace velkor {

// Swaps the first byte with the last, the second with the next-to-last, ...
inline void reverse_bytes(void *start, std::size_t length) {
    auto *bytes = static_cast<std::uint8_t *>(start);
    std::reverse(bytes, bytes + length);
}

inline std::uint32_t load_be32(const std::uint8_t *p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | std::uint32_t{p[3]};
}

inline void store_be32(std::uint8_t *p, std::uint32_t value) {
    p[0] = static_cast<std::uint8_t>(value >> 24);
    p[1] = static_cast<std::uint8_t>(value >> 16);
    p[2] = static_cast<std::uint8_t>(value >> 8);
    p[3] = static_cast<std::uint8_t>(value);
}

}  // namespace velkor
