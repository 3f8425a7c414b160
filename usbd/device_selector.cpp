#include "device_selector.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <string_view>

namespace velkor::usbd {

namespace {

std::optional<unsigned long> parse_unsigned(std::string_view text, int base) {
    if (base == 16 && (text.starts_with("0x") || text.starts_with("0X"))) text.remove_prefix(2);
    unsigned long value = 0;
    if (text.empty()) return std::nullopt;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::uint16_t usb_id(std::string_view text, const std::string &where) {
    const auto value = parse_unsigned(text, 16);
    if (!value || *value > 0xFFFF) throw ConfigError(where + ": \"" + std::string(text) + "\" is no 16-bit hexadecimal id");
    return static_cast<std::uint16_t>(*value);
}

std::uint8_t interface_number(unsigned long value, const std::string &where) {
    if (value > 255) throw ConfigError(where + ": interface " + std::to_string(value) + " is past 255");
    return static_cast<std::uint8_t>(value);
}

// An endpoint address of the given direction: 1-15, with bit 7 for IN.
std::uint8_t endpoint_address(const nlohmann::json &value, bool in, const std::string &where) {
    std::optional<unsigned long> number;
    if (value.is_number_unsigned()) number = value.get<unsigned long>();
    if (value.is_string()) number = parse_unsigned(value.get<std::string>(), 16);
    if (!number || (*number & 0x7F) == 0 || (*number & 0x7F) > 15 || ((*number & 0x80) != 0) != in || *number > 0xFF)
        throw ConfigError(where + ": not a bulk " + (in ? "IN" : "OUT") + " endpoint address (" +
                          (in ? "0x81-0x8f" : "0x01-0x0f") + ")");
    return static_cast<std::uint8_t>(*number);
}

std::string id_text(const nlohmann::json &value, const std::string &where) {
    if (!value.is_string()) throw ConfigError(where + ": expected a hexadecimal text such as \"1a2b\"");
    return value.get<std::string>();
}

DeviceSelector device_from_json(const nlohmann::json &entry, const std::string &where) {
    if (!entry.is_object()) throw ConfigError(where + ": expected an object");
    DeviceSelector device;
    bool has_vendor = false, has_product = false;
    for (const auto &[key, value] : entry.items()) {
        const std::string at = where + "." + key;
        if (key == "vendor") {
            device.vendor = usb_id(id_text(value, at), at);
            has_vendor = true;
        } else if (key == "product") {
            device.product = usb_id(id_text(value, at), at);
            has_product = true;
        } else if (key == "interface") {
            if (!value.is_number_unsigned()) throw ConfigError(at + ": expected a number");
            device.interface = interface_number(value.get<unsigned long>(), at);
        } else if (key == "out_endpoint") {
            device.out_endpoint = endpoint_address(value, false, at);
        } else if (key == "in_endpoint") {
            device.in_endpoint = endpoint_address(value, true, at);
        } else {
            throw ConfigError(at + ": unknown key");
        }
    }
    if (!has_vendor || !has_product) throw ConfigError(where + ": needs \"vendor\" and \"product\"");
    return device;
}

}  // namespace

DeviceSelector parse_device_argument(const std::string &text) {
    const std::string where = "--device " + text;
    const auto first = text.find(':');
    if (first == std::string::npos) throw ConfigError(where + ": expected VID:PID[:INTERFACE]");
    const auto second = text.find(':', first + 1);
    DeviceSelector device;
    device.vendor = usb_id(std::string_view(text).substr(0, first), where);
    device.product = usb_id(std::string_view(text).substr(first + 1, second == std::string::npos ? std::string::npos
                                                                                              : second - first - 1),
                            where);
    if (second != std::string::npos) {
        const auto number = parse_unsigned(std::string_view(text).substr(second + 1), 10);
        if (!number) throw ConfigError(where + ": the interface is a decimal number");
        device.interface = interface_number(*number, where);
    }
    return device;
}

UsbdConfig parse_usbd_config(const std::string &json_text) {
    nlohmann::json root;
    try {
        root = nlohmann::json::parse(json_text);
    } catch (const nlohmann::json::exception &e) {
        throw ConfigError(std::string("not valid JSON: ") + e.what());
    }
    if (!root.is_object()) throw ConfigError("expected an object with \"devices\"");
    UsbdConfig config;
    bool has_devices = false;
    for (const auto &[key, value] : root.items()) {
        if (key == "devices") {
            if (!value.is_array()) throw ConfigError("devices: expected a list");
            for (std::size_t i = 0; i < value.size(); ++i)
                config.devices.push_back(device_from_json(value[i], "devices[" + std::to_string(i) + "]"));
            has_devices = true;
        } else if (key == "dir") {
            if (!value.is_string() || value.get<std::string>().empty()) throw ConfigError("dir: expected a directory");
            config.dir = value.get<std::string>();
        } else if (key == "gap_ms") {
            if (!value.is_number_unsigned() || value.get<unsigned long>() > 60000)
                throw ConfigError("gap_ms: expected milliseconds, 0-60000");
            config.gap_ms = value.get<unsigned>();
        } else {
            throw ConfigError(key + ": unknown key");
        }
    }
    if (!has_devices) throw ConfigError("devices: missing");
    return config;
}

}  // namespace velkor::usbd
