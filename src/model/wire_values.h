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

// The 8-bit one's-complement sum of a run of bytes taken in pieces, in any
// order: bytes are added with end-around carry and the sum is complemented.
// 256 is 1 modulo 255, so the bytes' sum modulo 255 is the sum of the run's
// 32-bit words taken as numbers, whichever way it is cut: those are added
// into 64 bits, which no run of up to 4 GiB fills, and folded at the end.
// Either sum is zero only when every byte is.
class OnesComplementSum {
public:
    void add(std::span<const std::uint8_t> bytes) {
        const std::uint8_t *from = bytes.data();
        const std::size_t words = bytes.size() / 4;
        std::uint64_t sum = sum_;
        for (std::size_t i = 0; i < words; ++i) {
            std::uint32_t word;
            std::memcpy(&word, from + 4 * i, sizeof word);
            sum += word;
        }
        for (std::size_t at = 4 * words; at < bytes.size(); ++at) sum += from[at];
        sum_ = sum;
    }

    // Copies `bytes` to `destination` and adds them while they are at hand.
    void copy_and_add(std::uint8_t *destination, std::span<const std::uint8_t> bytes) {
        if (!bytes.empty()) std::memcpy(destination, bytes.data(), bytes.size());
        add(bytes);
    }

    // The checksum of everything added: the empty sequence gives 0xFF.
    std::uint8_t checksum() const {
        // The byte sum with end-around carry lies in 1..255 once it is non-zero.
        const auto folded = static_cast<unsigned>(sum_ == 0 ? 0 : (sum_ - 1) % 255 + 1);
        return static_cast<std::uint8_t>(~folded);
    }

private:
    std::uint64_t sum_ = 0;
};

inline std::uint8_t ones_complement_checksum(std::span<const std::uint8_t> bytes) {
    OnesComplementSum sum;
    sum.add(bytes);
    return sum.checksum();
}

}  // namespace velkor
