// Packed version numbers: one word A.B.C.D with A in the top byte. There is no
// ordering; the wildcard matches every version.
#pragma once

#include <cstdint>
#include <string>

namespace velkor {

// The four bytes of `word` in decimal, most significant first, joined by ".".
std::string dotted_quad(std::uint32_t word);

struct Version {
    static constexpr std::uint32_t kWildcard = 0xFFFEFDFCu;  // 255.254.253.252, "Don't care"

    std::uint32_t word = 0;

    constexpr bool is_wildcard() const { return word == kWildcard; }
    // Equal words, or either one the wildcard.
    constexpr bool matches(Version other) const { return word == other.word || is_wildcard() || other.is_wildcard(); }
    // "A.B.C.D" in decimal, or "Don't care" for the wildcard.
    std::string text() const;
};

}  // namespace velkor
