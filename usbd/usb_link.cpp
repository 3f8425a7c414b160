#include "usb_link.h"

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace velkor::usbd {

namespace {

struct ConfigFree {
    void operator()(libusb_config_descriptor *config) const { libusb_free_config_descriptor(config); }
};

std::string failure(const char *what, int code) { return std::string(what) + ": " + libusb_error_name(code); }

// The first bulk endpoint of a direction on the interface's first setting.
std::optional<std::uint8_t> first_bulk_endpoint(const libusb_interface_descriptor &setting, bool in) {
    for (int i = 0; i < setting.bNumEndpoints; ++i) {
        const libusb_endpoint_descriptor &endpoint = setting.endpoint[i];
        const bool is_in = (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0;
        if ((endpoint.bmAttributes & 0x03) == LIBUSB_TRANSFER_TYPE_BULK && is_in == in) return endpoint.bEndpointAddress;
    }
    return std::nullopt;
}

bool has_bulk_endpoint(const libusb_interface_descriptor &setting, std::uint8_t address) {
    return std::any_of(setting.endpoint, setting.endpoint + setting.bNumEndpoints, [&](const auto &endpoint) {
        return endpoint.bEndpointAddress == address && (endpoint.bmAttributes & 0x03) == LIBUSB_TRANSFER_TYPE_BULK;
    });
}

}  // namespace

UsbLink::UsbLink(libusb_device *device, const DeviceSelector &selector) : interface_(selector.interface) {
    libusb_config_descriptor *raw_config = nullptr;
    if (const int code = libusb_get_active_config_descriptor(device, &raw_config); code != 0)
        throw std::runtime_error(failure("no active configuration", code));
    const std::unique_ptr<libusb_config_descriptor, ConfigFree> config(raw_config);
    const auto *interface = std::find_if(config->interface, config->interface + config->bNumInterfaces,
                                         [&](const libusb_interface &candidate) {
                                             return candidate.num_altsetting > 0 &&
                                                    candidate.altsetting[0].bInterfaceNumber == interface_;
                                         });
    if (interface == config->interface + config->bNumInterfaces)
        throw std::runtime_error("no interface " + std::to_string(interface_));
    const libusb_interface_descriptor &setting = interface->altsetting[0];
    const auto choose = [&](const std::optional<std::uint8_t> &configured, bool in) -> std::uint8_t {
        const char *direction = in ? "IN" : "OUT";
        if (configured) {
            if (!has_bulk_endpoint(setting, *configured))
                throw std::runtime_error("interface " + std::to_string(interface_) + " has no bulk " + direction +
                                         " endpoint " + std::to_string(*configured));
            return *configured;
        }
        const auto found = first_bulk_endpoint(setting, in);
        if (!found) throw std::runtime_error("interface " + std::to_string(interface_) + " has no bulk " + direction + " endpoint");
        return *found;
    };
    out_endpoint_ = choose(selector.out_endpoint, false);
    in_endpoint_ = choose(selector.in_endpoint, true);

    libusb_device_handle *raw_handle = nullptr;
    if (const int code = libusb_open(device, &raw_handle); code != 0) throw std::runtime_error(failure("cannot open", code));
    handle_.reset(raw_handle);
    libusb_set_auto_detach_kernel_driver(handle_.get(), 1);
    if (const int code = libusb_claim_interface(handle_.get(), interface_); code != 0)
        throw std::runtime_error(failure(("cannot claim interface " + std::to_string(interface_)).c_str(), code));
}

UsbLink::~UsbLink() { libusb_release_interface(handle_.get(), interface_); }

int UsbLink::clear_stall(bool in_endpoint) {
    return libusb_clear_halt(handle_.get(), in_endpoint ? in_endpoint_ : out_endpoint_);
}

}  // namespace velkor::usbd
