#include <cstdlib>

#include "service_log.h"

namespace drova {

// The XDG state directory: the place for logs that outlive a program's run.
std::filesystem::path default_service_log() {
    if (const char *state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/')
        return std::filesystem::path(state) / "drova" / "service-log.jsonl";
    const char *home = std::getenv("HOME");
    return std::filesystem::path(home != nullptr ? home : ".") / ".local" / "state" / "drova" / "service-log.jsonl";
}

}  // namespace drova
