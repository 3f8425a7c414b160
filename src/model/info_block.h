// The 168-byte information block of one flash sector or firmware application.
// It is kept exactly as the device sent it: its words stay big-endian and the
// getters convert them on every read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace velkor {

inline constexpr std::size_t kInfoBlockSize = 168;

// Byte offsets of the fields the library reads.
enum InfoBlockOffset : std::size_t {
    kInfoId = 0,
    kInfoName = 4,
    kInfoVersionA = 72,
    kInfoVersionB = 76,
    kInfoFwVersion = 88,
    kInfoVersionC = 92,
    kInfoVersionD = 96,
};
inline constexpr std::size_t kInfoNameSize = 64;

// Application ids with a meaning of their own; any other id names a firmware
// application.
inline constexpr std::uint32_t kEmptySectorId = 0xFFFFFFFFu;
inline constexpr std::uint32_t kSystemKind0 = 0;
inline constexpr std::uint32_t kSystemKind1 = 1;
inline constexpr std::uint32_t kSystemKind2 = 2;

// A view over one block; owns nothing.
class TCMoreInfo {
public:
    explicit TCMoreInfo(std::uint8_t *block) : block_(block) {}

    // The view of a record whose first field is its block pointer (a
    // TCInfoField, or a TCMoreInfo): what a host hands back to the library.
    static TCMoreInfo of_record(const void *record);

    std::uint8_t *block() const { return block_; }

    std::uint32_t id() const { return word(kInfoId); }
    std::uint32_t version_a() const { return word(kInfoVersionA); }
    std::uint32_t version_b() const { return word(kInfoVersionB); }
    std::uint32_t fw_version() const { return word(kInfoFwVersion); }
    std::uint32_t version_c() const { return word(kInfoVersionC); }
    std::uint32_t version_d() const { return word(kInfoVersionD); }

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

    void clear() { block_.fill(0); }
    void assign(std::span<const std::uint8_t, kInfoBlockSize> received);

private:
    TCMoreInfo info_;  // first field: the block pointer
    std::array<std::uint8_t, kInfoBlockSize> block_{};
};

}  // namespace velkor
