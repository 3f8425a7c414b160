// Text copied into a buffer the caller owns.
#pragma once

#include <algorithm>
#include <cstring>
#include <string_view>

namespace velkor {

// Writes the first max - 1 characters of `text` and a zero byte into `dst`.
// Nothing is written when there is nowhere to write (null or max < 1).
inline void copy_to_caller(std::string_view text, char *dst, int max) {
    if (dst == nullptr || max < 1) return;
    const std::size_t length = std::min(text.size(), static_cast<std::size_t>(max) - 1);
    std::memcpy(dst, text.data(), length);
    dst[length] = '\0';
}

}  // namespace velkor
