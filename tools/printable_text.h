// Text that came from a device (names, interface paths, the library's hint
// lines about them) as drova prints it: bytes outside printable ASCII, and the
// backslash, written as \xNN (\\), so that no stray byte reaches a terminal.
#pragma once

#include <string>
#include <string_view>

namespace drova {

// With `keep_line_breaks`, '\n' stays a line break (for multi-line texts).
std::string printable_text(std::string_view bytes, bool keep_line_breaks = false);

}  // namespace drova
