// Values the maintenance commands put on the wire: the area-qualified address
// and the 8-bit one's-complement checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
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
    // 256 and 2^64 are both 1 modulo 255, so adding whole 64-bit words with
    // end-around carry gives the same sum modulo 255 as adding the bytes,
    // eight at a time. Either sum is zero only when every byte is.
    std::uint64_t sum = 0;
    const auto add = [&sum](std::uint64_t value) {
        sum += value;
        sum += sum < value ? 1 : 0;
    };
    std::size_t at = 0;
    for (; at + 8 <= bytes.size(); at += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + at, sizeof word);
        add(word);
    }
    for (; at < bytes.size(); ++at) add(bytes[at]);
    // The byte sum with end-around carry lies in 1..255 once it is non-zero.
    const auto folded = static_cast<unsigned>(sum == 0 ? 0 : (sum - 1) % 255 + 1);
    return static_cast<std::uint8_t>(~folded);
}

}  // namespace velkor
