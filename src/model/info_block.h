// The 168-byte information block of one flash sector or firmware application.
// It is kept exactly as the device sent it: its words stay big-endian and the
// getters convert them on every read.
#pragma once

#include <algorithm>
#include <iterator>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "Vevara_Rovo_dar.h"

namespace velkor {

inline constexpr std::size_t kInfoBlockSize = VELKOR_INFO_BLOCK_SIZE;
inline constexpr std::size_t kInfoNameSize = 64;

// Block ids: an empty sector, the three system kinds 0, 1 and 2, and any
// other id, which names a firmware application.
inline constexpr std::uint32_t kEmptySectorId = 0xFFFFFFFFu;
inline constexpr std::uint32_t kSystemKind0 = 0;
inline constexpr std::uint32_t kSystemKind2 = 2;
inline constexpr bool is_application_id(std::uint32_t id) { return id > kSystemKind2 && id != kEmptySectorId; }

// A view over one block; owns nothing.
class TCMoreInfo {
public:
    explicit TCMoreInfo(std::uint8_t *block) : block_(block) {}

    // The view of a record whose first field is its block pointer (a
    // TCInfoField, or a TCMoreInfo): what a host hands back to the library.
    static TCMoreInfo of_record(const void *record);

    std::uint8_t *block() const { return block_; }

    std::uint32_t id() const { return word(VELKOR_INFO_ID); }
    std::uint32_t version_a() const { return word(VELKOR_INFO_VERSION_A); }
    std::uint32_t version_b() const { return word(VELKOR_INFO_VERSION_B); }
    std::uint32_t fw_version() const { return word(VELKOR_INFO_FW_VERSION); }
    std::uint32_t version_c() const { return word(VELKOR_INFO_VERSION_C); }
    std::uint32_t version_d() const { return word(VELKOR_INFO_VERSION_D); }

    // Ends the name field with a zero byte in the block itself, so a name that
    // fills the field reads as its first 63 characters.
    std::string_view name() const;

private:
    std::uint32_t word(std::size_t offset) const;

    std::uint8_t *block_;  // first and only field: records are read by it
};

// A record that owns one block. Records are held by pointer and never move,
// because hosts keep their address and read the block pointer at offset 0.
class TCInfoField {
public:
    TCInfoField();  // a zeroed block
    explicit TCInfoField(std::span<const std::uint8_t, kInfoBlockSize> received);
    TCInfoField(const TCInfoField &) = delete;
    TCInfoField &operator=(const TCInfoField &) = delete;

    std::uint8_t *data() { return info_.block(); }
    const TCMoreInfo &info() const { return info_; }

    void clear() { std::fill(std::begin(block_), std::end(block_), std::uint8_t{0}); }
    void assign(std::span<const std::uint8_t, kInfoBlockSize> received);

private:
    TCMoreInfo info_;  // first field: the block pointer
    std::uint8_t block_[kInfoBlockSize]{};
};

}  // namespace velkor
