#include "start_checks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace velkor::usbd {

std::string watch_line(const std::vector<DeviceSelector> &devices, const std::string &dir) {
    std::string line = "watching for";
    for (std::size_t k = 0; k < devices.size(); ++k) {
        char id[48];
        std::snprintf(id, sizeof id, "%s %04x:%04x (interface %u)", k == 0 ? "" : ",", devices[k].vendor,
                      devices[k].product, static_cast<unsigned>(devices[k].interface));
        line += id;
    }
    return line + "; endpoints in " + dir;
}

std::vector<std::string> start_warnings(const std::string &usb_devices, const std::string &dir) {
    std::vector<std::string> warnings;
    struct stat status {};
    // libusb opens the devices' nodes there: without it no device is ever found.
    if (::stat(usb_devices.c_str(), &status) != 0)
        warnings.push_back(usb_devices + " is missing (" + std::strerror(errno) +
                           "): libusb finds no USB device on this machine (a container without it, or no USB "
                           "controller)");
    else if (!S_ISDIR(status.st_mode))
        warnings.push_back(usb_devices + " is not a folder: libusb finds no USB device on this machine");
    else if (::access(usb_devices.c_str(), R_OK | X_OK) != 0)
        warnings.push_back(usb_devices + " cannot be read by this user (" + std::strerror(errno) +
                           "): libusb finds no USB device");

    std::error_code error;
    if (!std::filesystem::exists(dir, error) && !std::filesystem::create_directories(dir, error) && error)
        warnings.push_back("the device directory " + dir + " cannot be made (" + error.message() +
                           "): no device can be served");
    else if (!std::filesystem::is_directory(dir, error))
        warnings.push_back("the device directory " + dir + " is not a folder: no device can be served");
    else if (::access(dir.c_str(), W_OK | X_OK) != 0)
        warnings.push_back("the device directory " + dir + " is not writable by this user (" + std::strerror(errno) +
                           "): no device can be served");
    return warnings;
}

}  // namespace velkor::usbd
