#include <signal.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstring>

#include "exit_codes.h"
#include "interrupt.h"

namespace drova {
namespace {

// SIGPIPE: the reader of drova's output went away; writing on would only fail.
constexpr std::array kSignals{SIGINT, SIGTERM, SIGHUP, SIGPIPE};

volatile std::sig_atomic_t received_signal = 0;
std::array<struct sigaction, kSignals.size()> previous{};

void say(const char *text) { [[maybe_unused]] const auto written = ::write(STDERR_FILENO, text, std::strlen(text)); }

extern "C" void on_signal(int signal) {
    if (received_signal == SIGINT && signal == SIGINT) {
        say("\ndrova: interrupted again, quitting at once\n");
        ::_exit(exit_code::kInterrupted);
    }
    if (received_signal != 0) return;
    received_signal = signal;
    if (signal == SIGINT) say("\ndrova: stopping after the step in flight (Ctrl-C again quits at once)\n");
}

}  // namespace

InterruptGuard::InterruptGuard() {
    received_signal = 0;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (std::size_t k = 0; k < kSignals.size(); ++k) ::sigaction(kSignals[k], &action, &previous[k]);
}

InterruptGuard::~InterruptGuard() {
    for (std::size_t k = 0; k < kSignals.size(); ++k) ::sigaction(kSignals[k], &previous[k], nullptr);
}

bool interrupted() { return received_signal != 0; }

int interrupted_exit_status() { return received_signal == 0 ? exit_code::kInterrupted : 128 + received_signal; }

}  // namespace drova
