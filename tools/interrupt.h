// Ctrl-C ends a long wait (keep-alive, scan, a command in flight) so that
// drova still disconnects the device and closes the session on its way out.
#pragma once

namespace drova {

class InterruptGuard {
public:
    InterruptGuard();   // catches SIGINT while it lives
    ~InterruptGuard();  // restores the previous handler
    InterruptGuard(const InterruptGuard &) = delete;
    InterruptGuard &operator=(const InterruptGuard &) = delete;
};

bool interrupted();

}  // namespace drova
