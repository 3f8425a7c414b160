#include "browser.h"

#include <spawn.h>
#include <sys/wait.h>

#include <thread>

extern char **environ;

namespace drova::gui {

bool open_in_browser(const std::string &address) {
    std::string program = "xdg-open";
    char *arguments[] = {program.data(), const_cast<char *>(address.c_str()), nullptr};
    pid_t child = 0;
    if (::posix_spawnp(&child, program.c_str(), nullptr, nullptr, arguments, environ) != 0) return false;
    // xdg-open hands the address on and ends; reap it without holding drova up.
    std::thread([child] { ::waitpid(child, nullptr, 0); }).detach();
    return true;
}

}  // namespace drova::gui
