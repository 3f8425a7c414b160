// 168-byte information blocks as a device would send them.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "Vevara_Rovo_dar.h"
#include "model/byte_order.h"
#include "model/info_block.h"

namespace velkor::testing {

inline constexpr std::uint32_t W = 0xFFFEFDFCu;  // the wildcard version

class WireBlock {
public:
    explicit WireBlock(std::uint32_t id) { store_be32(&bytes_[VELKOR_INFO_ID], id); }

    WireBlock &name(std::string_view text) {
        std::memcpy(&bytes_[VELKOR_INFO_NAME], text.data(), std::min(text.size(), kInfoNameSize));
        return *this;
    }
    WireBlock &version_a(std::uint32_t v) { return word(VELKOR_INFO_VERSION_A, v); }
    WireBlock &version_b(std::uint32_t v) { return word(VELKOR_INFO_VERSION_B, v); }
    WireBlock &fw_version(std::uint32_t v) { return word(VELKOR_INFO_FW_VERSION, v); }
    WireBlock &version_c(std::uint32_t v) { return word(VELKOR_INFO_VERSION_C, v); }
    WireBlock &version_d(std::uint32_t v) { return word(VELKOR_INFO_VERSION_D, v); }

    const std::uint8_t *data() const { return bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }
    operator std::span<const std::uint8_t, kInfoBlockSize>() const { return bytes_; }

private:
    WireBlock &word(std::size_t offset, std::uint32_t value) {
        store_be32(&bytes_[offset], value);
        return *this;
    }

    std::array<std::uint8_t, kInfoBlockSize> bytes_{};
};

}  // namespace velkor::testing
