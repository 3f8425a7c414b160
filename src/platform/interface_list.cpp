#include "platform/interface_list.h"

namespace velkor::platform {

std::optional<std::vector<std::string>> present_interfaces(const InterfaceClassGuid &interface_class, int members) {
    if (const auto location = socket_device_location()) {
        auto endpoints = list_device_endpoints(*location);
        if (endpoints && endpoints->size() > static_cast<std::size_t>(members)) endpoints->resize(members);
        return endpoints;
    }
    std::vector<std::string> paths;
    for (int member = 0; member < members; ++member) {
        std::string path;
        switch (class_interface_path(interface_class, static_cast<std::uint32_t>(member), path)) {
        case PathLookup::found: paths.push_back(std::move(path)); break;
        case PathLookup::no_interface: return paths;
        case PathLookup::list_failed: return std::nullopt;
        }
    }
    return paths;
}

}  // namespace velkor::platform
