// POSIX: devices are AF_UNIX SOCK_SEQPACKET sockets in a directory; there is
// no system list of interface classes.
#include "platform/interface_list.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace velkor::platform {

namespace {

constexpr const char *kDefaultDeviceDirectory = "/run/velkor/usb";

bool is_socket(int directory, const char *name) {
    struct stat info {};
    return ::fstatat(directory, name, &info, 0) == 0 && S_ISSOCK(info.st_mode);
}

}  // namespace

std::optional<std::string> socket_device_location() {
    const char *value = std::getenv("VELKOR_USB_DIR");
    return std::string(value != nullptr && *value != '\0' ? value : kDefaultDeviceDirectory);
}

std::optional<std::vector<std::string>> list_device_endpoints(const std::string &location) {
    DIR *directory = ::opendir(location.c_str());
    if (directory == nullptr) {
        if (errno == ENOENT) return std::vector<std::string>{};
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (const dirent *entry = ::readdir(directory)) {
        if (is_socket(::dirfd(directory), entry->d_name)) names.emplace_back(entry->d_name);
    }
    ::closedir(directory);
    std::sort(names.begin(), names.end());
    const std::string prefix = location.ends_with('/') ? location : location + '/';
    for (auto &name : names) name = prefix + name;
    return names;
}

PathLookup class_interface_path(const InterfaceClassGuid &, std::uint32_t, std::string &) {
    return PathLookup::no_interface;
}

}  // namespace velkor::platform
