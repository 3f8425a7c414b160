// Ctrl-C, a termination request, a closed terminal or a closed output pipe
// end drova's work so that it still disconnects the device and closes the
// session on its way out: a device is never left claimed by a drova that was
// stopped. The first request lets the command step in flight finish (a
// download is stopped through the library); a second Ctrl-C ends drova at
// once. One implementation per OS (interrupt_posix.cpp, interrupt_win32.cpp).
#pragma once

namespace drova {

class InterruptGuard {
public:
    InterruptGuard();   // catches the requests while it lives
    ~InterruptGuard();  // restores the previous handling
    InterruptGuard(const InterruptGuard &) = delete;
    InterruptGuard &operator=(const InterruptGuard &) = delete;
};

bool interrupted();
// The exit status for the request that arrived: 130 for Ctrl-C, 128 + the
// signal number for the others.
int interrupted_exit_status();

}  // namespace drova
