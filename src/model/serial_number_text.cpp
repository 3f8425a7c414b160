#include "model/serial_number_text.h"

#include <cstdio>

#include "Vevara_Rovo_dar.h"
#include "model/caller_text.h"

namespace velkor {

std::optional<std::string> serial_number_text(std::uint32_t value) {
    if (value >= 0x1000000u || (value >> 22) != 2) return std::nullopt;
    const unsigned year = value >> 20 & 0x3u;
    const unsigned month = value >> 16 & 0xFu;
    const unsigned number = value & 0xFFFFu;
    if ((month >= 1 && month <= 12) || number == 0) return std::nullopt;
    char text[16];
    std::snprintf(text, sizeof text, "KV%02u%1X%05u", year + 47, month, number);
    return text;
}

}  // namespace velkor

extern "C" VELKOR_API int VELKOR_CALL _SnConvertUint2Agt(u32 value, char *text, int max) {
    const auto converted = velkor::serial_number_text(value);
    velkor::copy_to_caller(converted ? *converted : velkor::kInvalidSerialText, text, max);
    return converted ? 0 : 1;
}
