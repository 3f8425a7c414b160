// Opens an address in the system's browser, without waiting for it. One
// implementation per OS (browser_posix.cpp, browser_win32.cpp).
#pragma once

#include <string>

namespace drova::gui {

// False when no browser could be started; the address is printed anyway.
bool open_in_browser(const std::string &address);

}  // namespace drova::gui
