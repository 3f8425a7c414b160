// drova gui: the page's HTTP server on 127.0.0.1, its routes, and the
// launch that prints the address and opens it.
#pragma once

#include <optional>
#include <string>

#include "commands.h"

namespace drova::gui {

struct GuiOptions {
    int port = 0;  // 0: one the system chooses
    bool open_browser = true;
    std::optional<std::string> assets_dir;
    std::optional<std::string> service_log;  // default: default_service_log()
};

// Serves until drova is interrupted (Ctrl-C, SIGTERM). The address, with the
// launch's token, is the first line on standard output.
void serve_gui(Runtime &runtime, const GuiOptions &options);

}  // namespace drova::gui
