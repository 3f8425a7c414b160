// One device interface opened through libusb: claimed, with the bulk OUT
// endpoint the host's blocks go to and the bulk IN endpoint answers come from.
// Released and closed when the object goes, which must be after every
// transfer on it has been reaped.
#pragma once

#include <libusb.h>

#include <cstdint>
#include <memory>

#include "device_selector.h"

namespace velkor::usbd {

class UsbLink {
public:
    // Throws std::runtime_error saying what failed (open, claim, no bulk
    // endpoint of a direction).
    UsbLink(libusb_device *device, const DeviceSelector &selector);
    ~UsbLink();
    UsbLink(const UsbLink &) = delete;
    UsbLink &operator=(const UsbLink &) = delete;

    libusb_device_handle *handle() const { return handle_.get(); }
    std::uint8_t out_endpoint() const { return out_endpoint_; }
    std::uint8_t in_endpoint() const { return in_endpoint_; }
    // After a stall: the endpoint takes transfers again. A blocking call;
    // libusb's error code, 0 when cleared.
    int clear_stall(bool in_endpoint);

private:
    struct HandleClose {
        void operator()(libusb_device_handle *handle) const { libusb_close(handle); }
    };

    std::unique_ptr<libusb_device_handle, HandleClose> handle_;
    int interface_ = 0;
    std::uint8_t out_endpoint_ = 0;
    std::uint8_t in_endpoint_ = 0;
};

}  // namespace velkor::usbd
