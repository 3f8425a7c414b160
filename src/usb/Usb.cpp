#include "usb/Usb.h"

#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "usb/Usblink.h"
#include "usb/usb_backend.h"

namespace velkor::usb {

namespace {

struct LookupState {
    std::mutex lock;
    InterfaceClassGuid interface_class{};
    const char *filter = nullptr;
    bool instance_check = false;
};

LookupState &lookup_state() {
    static LookupState state;
    return state;
}

struct LookupSettings {
    InterfaceClassGuid interface_class;
    const char *filter;
    bool instance_check;
};

LookupSettings lookup_settings() {
    LookupState &state = lookup_state();
    std::lock_guard guard(state.lock);
    return {state.interface_class, state.filter, state.instance_check};
}

// The interface passes when its device instance, lower-cased, holds the
// filter text. The text is compared as it is: upper-case letters in it
// never match.
bool instance_admitted(platform::UsbBackend &backend, const LookupSettings &settings, const std::string &path) {
    std::optional<std::string> instance = backend.device_instance(settings.interface_class, path);
    if (!instance || settings.filter == nullptr) return false;
    for (char &c : *instance)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return instance->find(settings.filter) != std::string::npos;
}

}  // namespace

void UsbSetInterface(InterfaceClassGuid interface_class, const char *filter) {
    LookupState &state = lookup_state();
    std::lock_guard guard(state.lock);
    state.interface_class = interface_class;
    state.filter = filter;
}

bool UsbFilterSet() { return lookup_settings().filter != nullptr; }

void UsbSetInstanceCheck(bool on) {
    LookupState &state = lookup_state();
    std::lock_guard guard(state.lock);
    state.instance_check = on;
}

int UsbGetDevicePath(platform::UsbBackend *backend, int member, char *buffer, std::uint32_t size,
                     std::uint32_t *length) {
    if (length != nullptr) *length = 0;
    const LookupSettings settings = lookup_settings();
    if (backend == nullptr) return kLookupFailed;
    if (member < 0) return kNoInterface;
    std::string path;
    switch (backend->interface_path(settings.interface_class, static_cast<std::uint32_t>(member), path)) {
    case platform::PathLookup::list_failed:
        return kLookupFailed;
    case platform::PathLookup::no_interface:
        return kNoInterface;
    case platform::PathLookup::found:
        break;
    }
    // Every interface of the class is accepted while a filter text is set,
    // unless the device-instance check is switched on. The library leaves it
    // off: it lower-cases the instance name and looks for the library's
    // "vid_FFFF&pid_FFFF", which has upper-case letters, so it would admit
    // no interface at all.
    if (settings.filter == nullptr) return kRejected;
    if (settings.instance_check && !instance_admitted(*backend, settings, path)) return kRejected;
    if (length != nullptr) *length = static_cast<std::uint32_t>(path.size());
    if (buffer == nullptr) return kPathFound;
    if (path.size() >= size) return kPathTooLong;
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return kPathFound;
}

int UsbGetDevicePath(int member, char *buffer, std::uint32_t size, std::uint32_t *length) {
    return UsbGetDevicePath(select_usb_backend().get(), member, buffer, size, length);
}

int UsbCountDevices() {
    if (!UsbFilterSet()) return 0;
    const auto backend = select_usb_backend();
    int present = 0;
    for (int member = 0; member < kMemberIndexes; ++member)
        if (UsbGetDevicePath(backend.get(), member, nullptr, 0, nullptr) == kPathFound) ++present;
    return present;
}

int UsbListedIndex(const char *path) {
    if (path == nullptr || *path == '\0' || !UsbFilterSet()) return -1;
    const auto backend = select_usb_backend();
    char listed[kPathSize];
    for (int member = 0; member < kMemberIndexes; ++member) {
        const int found = UsbGetDevicePath(backend.get(), member, listed, kPathSize, nullptr);
        if (found == kNoInterface || found == kLookupFailed) return -1;
        if (found == kPathFound && std::strncmp(path, listed, kPathSize) == 0) return member;
    }
    return -1;
}

int UsbFindDeviceIndex(const char *path) {
    char probed[kPathSize] = {};
    if (path == nullptr || !UsbFilterSet()) return -1;
    const auto backend = select_usb_backend();
    for (int member = 0; member < kMemberIndexes; ++member) {
        if (UsbGetDevicePath(backend.get(), member, probed, kPathSize, nullptr) != kPathFound) continue;
        const auto probe = backend->open(probed);
        if (!probe) continue;
        record_probed_path(probed);
        probe->close();
        // Compared as texts: a shorter path that follows a longer one in
        // this buffer keeps the longer one's tail behind its terminator.
        if (std::strncmp(path, probed, kPathSize) == 0) return member;
    }
    return -1;
}

}  // namespace velkor::usb
