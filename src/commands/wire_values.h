// Values the maintenance commands put on the wire: the area-qualified address
// and the 8-bit one's-complement checksum.
#pragma once

#include <cstdint>
#include <span>

#include "model/byte_order.h"

namespace velkor {

// An area number above a 32-bit address; only the low byte of the area counts.
inline std::uint64_t area_address(std::uint32_t address, int area) {
    return std::uint64_t{static_cast<std::uint32_t>(area)} << 32 | address;
}

// Five bytes: the area number, then the address big-endian.
inline void store_area_address(std::uint8_t *wire, std::uint64_t qualified) {
    wire[0] = static_cast<std::uint8_t>(qualified >> 32);
    store_be32(wire + 1, static_cast<std::uint32_t>(qualified));
}

// Adds with end-around carry and complements the sum: the empty sequence gives
// 0xFF. The order of the bytes does not matter.
inline std::uint8_t ones_complement_checksum(std::span<const std::uint8_t> bytes) {
    unsigned sum = 0;
    for (const std::uint8_t byte : bytes) {
        const unsigned s = sum + byte;
        sum = (s + (s >> 8)) & 0xFFu;
    }
    return static_cast<std::uint8_t>(~sum);
}

}  // namespace velkor
