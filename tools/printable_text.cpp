#include "printable_text.h"

#include <cstdio>

namespace drova {

std::string printable_text(std::string_view bytes, bool keep_line_breaks) {
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            text += "\\\\";
        } else if ((byte >= 0x20 && byte < 0x7F) || (keep_line_breaks && byte == '\n')) {
            text += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            text += escaped;
        }
    }
    return text;
}

}  // namespace drova
