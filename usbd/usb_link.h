// One device interface opened through libusb: claimed, with the bulk OUT
// endpoint the host's blocks go to and the bulk IN endpoint answers come from.
// Released and closed when the object goes.
#pragma once

#include <libusb.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

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

    enum class Outcome { done, timed_out, stalled, gone, failed };
    struct Result {
        Outcome outcome;
        std::size_t length = 0;
        std::string error;  // libusb's name of the error, unless done
    };

    // One bulk transfer each way; `limit` is at least 1 ms.
    Result send(std::span<const std::uint8_t> block, std::chrono::milliseconds limit);
    Result receive(std::span<std::uint8_t> buffer, std::chrono::milliseconds limit);
    // After a stall: the endpoint takes transfers again.
    void clear_stall(bool in_endpoint);

private:
    struct HandleClose {
        void operator()(libusb_device_handle *handle) const { libusb_close(handle); }
    };

    Result transfer(std::uint8_t endpoint, std::uint8_t *data, std::size_t length, std::chrono::milliseconds limit);

    std::unique_ptr<libusb_device_handle, HandleClose> handle_;
    int interface_ = 0;
    std::uint8_t out_endpoint_ = 0;
    std::uint8_t in_endpoint_ = 0;
};

}  // namespace velkor::usbd
