#include "listen_socket.h"

#include <winsock2.h>

namespace drova::gui {

void listen_alone(std::uintptr_t socket) {
    // Windows' SO_REUSEADDR would let another process take the port over.
    BOOL yes = TRUE;
    ::setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&yes),
                 sizeof yes);
}

}  // namespace drova::gui
