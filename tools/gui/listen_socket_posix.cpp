#include "listen_socket.h"

#include <sys/socket.h>

namespace drova::gui {

void listen_alone(std::uintptr_t socket) {
    // A restart may bind the port while the last run's connections linger; nothing more.
    int yes = 1;
    ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

}  // namespace drova::gui
