#include "session/error_text.h"

#include <array>
#include <atomic>
#include <cstdio>

namespace velkor {
namespace {

constexpr std::array<const char *, 17> kGeneralErrors = {
    "Initialisation error. Velkor Control Api hasn't been initialised!",
    "Can't disconnect. Try again!",
    "HW Device already connected to another host!",
    "Invalid serial number format.",
    "Disconnect first.",
    "Not connected. Connect first.",
    "HW Device responded invalid information.",
    "HW Device is not responding.",
    "HW Device responded a data block with invalid size.",
    "HW Device Search Timerout.",
    "Device is busy.",
    "Too long Timer Event delay (msec): ",
    "Can't find the specified HW Device.",
    "The HW Device is in other IP subnet.",
    "The HW Device has unsupported FOS version.",
    "Internal socket error.",
    "The network between the PC and the Device does not support enough long Ethernet Data field.",
};

constexpr std::array<const char *, 8> kApplicationStartErrors = {
    "An application is already running.",
    "Invalid Application Identifier.",
    "Application start refused by the device.",
    "Hardware version is not compatible.",
    "No compatible Logic found.",
    "FOS version is not compatible.",
    "Logic programming error.",
    "PCI initialization error.",
};

// Only ever points at one of the constant texts above, so a host holding the
// pointer from an earlier call keeps a valid text.
std::atomic<const char *> last_application_error{""};

}  // namespace

const char *error_text(int code) {
    if (code == 17) return last_application_error.load();
    if (code >= 0 && code < static_cast<int>(kGeneralErrors.size())) return kGeneralErrors[static_cast<std::size_t>(code)];
    thread_local char unknown[32];
    std::snprintf(unknown, sizeof unknown, "Unknown error #%d", code);
    return unknown;
}

void set_application_start_error(int status) {
    if (status >= 0 && status < static_cast<int>(kApplicationStartErrors.size()))
        last_application_error = kApplicationStartErrors[static_cast<std::size_t>(status)];
}

}  // namespace velkor
