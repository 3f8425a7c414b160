// Which USB devices the bridge serves: vendor and product id, the interface,
// and optionally its bulk endpoints, from `--device VID:PID[:INTERFACE]` or
// from the JSON configuration (see usbd/README.md).
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace velkor::usbd {

class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct DeviceSelector {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::uint8_t interface = 0;
    // Endpoint addresses (0x01, 0x81, ...); unset: the interface's first bulk
    // OUT and first bulk IN endpoint.
    std::optional<std::uint8_t> out_endpoint;
    std::optional<std::uint8_t> in_endpoint;
};

struct UsbdConfig {
    std::vector<DeviceSelector> devices;
    std::optional<std::string> dir;
    std::optional<unsigned> gap_ms;  // read and ignored: the bridge no longer waits for gaps
};

// "VID:PID" or "VID:PID:INTERFACE", hexadecimal ids (an optional 0x), the
// interface number decimal. Throws ConfigError naming the argument.
DeviceSelector parse_device_argument(const std::string &text);

// Throws ConfigError naming the offending key.
UsbdConfig parse_usbd_config(const std::string &json_text);

}  // namespace velkor::usbd
