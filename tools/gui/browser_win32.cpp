#include "browser.h"

#include <windows.h>
#include <shellapi.h>

namespace drova::gui {

bool open_in_browser(const std::string &address) {
    // ShellExecute returns a value above 32 when it started something.
    const auto result = reinterpret_cast<INT_PTR>(
        ::ShellExecuteA(nullptr, "open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    return result > 32;
}

}  // namespace drova::gui
