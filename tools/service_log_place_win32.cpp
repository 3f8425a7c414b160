#include <cstdlib>

#include "service_log.h"

namespace drova {

// The user's local application data, which roaming profiles do not carry.
std::filesystem::path default_service_log() {
    const char *local = std::getenv("LOCALAPPDATA");
    return std::filesystem::path(local != nullptr ? local : ".") / "drova" / "service-log.jsonl";
}

}  // namespace drova
