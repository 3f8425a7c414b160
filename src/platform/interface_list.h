// The interfaces of a device class that are present, as the lookup lists
// them: on the socket transport the endpoints at its location, otherwise
// (Windows) the interfaces the system lists for the class. Kept apart from
// the rest of the driver seam so that drova can list what the library would
// find without linking the library.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velkor::platform {

// A device interface class GUID, laid out like the Windows GUID.
struct InterfaceClassGuid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};

enum class PathLookup {
    found,
    list_failed,    // the list of present interfaces, or the detail of one, could not be had
    no_interface,   // nothing at this member index
};

// Where the socket transport finds its devices, read from VELKOR_USB_DIR each
// time the lookup runs. POSIX: always (a directory, /run/velkor/usb unless
// set). Windows: a pipe-name prefix, only while the variable is set; when it is
// not, the device backend serves.
std::optional<std::string> socket_device_location();

// The endpoint paths at `location`, sorted by name; nullopt when they cannot
// be listed. A location that does not exist lists nothing.
std::optional<std::vector<std::string>> list_device_endpoints(const std::string &location);

// The path of the class's interface at `member` in the order the system lists
// them (Windows SetupDi); no_interface where the OS has no such list.
PathLookup class_interface_path(const InterfaceClassGuid &interface_class, std::uint32_t member, std::string &path);

// The paths at member indexes 0 to `members` - 1, in member order, from the
// backend that serves now; nullopt when the list could not be had.
std::optional<std::vector<std::string>> present_interfaces(const InterfaceClassGuid &interface_class, int members);

}  // namespace velkor::platform
