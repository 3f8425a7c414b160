#include "model/version.h"

namespace velkor {

std::string dotted_quad(std::uint32_t word) {
    return std::to_string(word >> 24) + '.' + std::to_string(word >> 16 & 0xFFu) + '.' +
           std::to_string(word >> 8 & 0xFFu) + '.' + std::to_string(word & 0xFFu);
}

std::string Version::text() const { return is_wildcard() ? "Don't care" : dotted_quad(word); }

}  // namespace velkor
