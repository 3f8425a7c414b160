// The page's files, built into drova from tools/gui/assets, or read from a
// folder while the page is being worked on (--assets-dir). Only the names
// built in are served either way.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace drova::gui {

struct Asset {
    const char *path;  // "/index.html"
    const char *type;  // its Content-Type
    const unsigned char *data;
    std::size_t size;
};

// The built-in file at `path` ("/" is /index.html); null for any other name.
const Asset *find_asset(std::string_view path);

}  // namespace drova::gui
