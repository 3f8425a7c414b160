#include "port_name.h"

namespace velkor::usbd {

std::string port_endpoint_name(unsigned bus, std::span<const std::uint8_t> ports) {
    std::string name = "usb-" + std::to_string(bus) + "-";
    for (std::size_t i = 0; i < ports.size(); ++i) {
        if (i != 0) name += '.';
        name += std::to_string(ports[i]);
    }
    return name;
}

}  // namespace velkor::usbd
