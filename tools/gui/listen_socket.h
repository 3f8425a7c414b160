// The listening socket's options: drova gui's port is its own. Another
// process that binds the same port (SO_REUSEPORT, which cpp-httplib sets by
// default) would receive some of the page's requests, cookie included. One
// implementation per OS (listen_socket_posix.cpp, listen_socket_win32.cpp).
#pragma once

#include <cstdint>

namespace drova::gui {

// Given to the server for the socket it is about to bind.
void listen_alone(std::uintptr_t socket);

}  // namespace drova::gui
