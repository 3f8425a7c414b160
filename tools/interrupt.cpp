#include "interrupt.h"

#include <csignal>

namespace drova {
namespace {

volatile std::sig_atomic_t interrupt_seen = 0;
using Handler = void (*)(int);
Handler previous_handler = SIG_DFL;

extern "C" void on_interrupt(int) { interrupt_seen = 1; }

}  // namespace

InterruptGuard::InterruptGuard() {
    interrupt_seen = 0;
    previous_handler = std::signal(SIGINT, on_interrupt);
}

InterruptGuard::~InterruptGuard() { std::signal(SIGINT, previous_handler == SIG_ERR ? SIG_DFL : previous_handler); }

bool interrupted() { return interrupt_seen != 0; }

}  // namespace drova
