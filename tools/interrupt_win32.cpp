#include <windows.h>

#include <atomic>
#include <string>

#include "exit_codes.h"
#include "interrupt.h"

namespace drova {
namespace {

constexpr DWORD kNone = ~DWORD{0};
std::atomic<DWORD> received_event{kNone};

void say(const char *text) {
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::char_traits<char>::length(text)),
                &written, nullptr);
}

// Runs on a thread of its own that the console starts for each event.
BOOL WINAPI on_console_event(DWORD event) {
    DWORD none = kNone;
    if (!received_event.compare_exchange_strong(none, event)) {
        if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
            say("\ndrova: interrupted again, quitting at once\n");
            ::ExitProcess(exit_code::kInterrupted);
        }
        return TRUE;
    }
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        say("\ndrova: stopping after the step in flight (Ctrl-C again quits at once)\n");
        return TRUE;
    }
    // A closed console or a logoff ends the process when the handler returns:
    // give the main thread the time the system allows to disconnect.
    ::Sleep(4000);
    return TRUE;
}

}  // namespace

InterruptGuard::InterruptGuard() {
    received_event = kNone;
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

InterruptGuard::~InterruptGuard() { ::SetConsoleCtrlHandler(on_console_event, FALSE); }

bool interrupted() { return received_event != kNone; }

int interrupted_exit_status() {
    const DWORD event = received_event;
    // The exit status a POSIX shell shows for the matching signal.
    return event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT
               ? 128 + 1
               : exit_code::kInterrupted;
}

}  // namespace drova
