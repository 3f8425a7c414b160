// A USB bus emulated by umockdev, for tests and benchmarks without hardware
// (the program runs under umockdev-wrapper):
// DROVA devices made of the simulated device model, plugged into and pulled
// from ports of bus 1. A device's bulk OUT transfers reach its model as host
// blocks; its bulk IN transfers take the model's answer blocks, one block per
// transfer, as a device's firmware hands them to its USB controller.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device_model.h"

namespace velkor::usbd {

class EmulatedUsb {
public:
    static constexpr std::uint16_t kVendor = 0x1d50;
    static constexpr std::uint16_t kProduct = 0x61f0;

    // False when the process does not run under umockdev's preload library.
    static bool available();

    EmulatedUsb();
    ~EmulatedUsb();
    EmulatedUsb(const EmulatedUsb &) = delete;
    EmulatedUsb &operator=(const EmulatedUsb &) = delete;

    // A device at port `port` of the root hub: sysfs entry, device node and
    // the hotplug event, as the kernel makes them.
    void plug(unsigned port, std::shared_ptr<sim::DeviceModel> model);
    // The device goes: its transfers in flight and every later one fail as
    // on a device pulled from its port, and the hotplug event follows.
    void unplug(unsigned port);
    // The next `count` bulk OUT transfers to the device at `port` stall; the
    // endpoint stays halted until the host clears it.
    void stall_out(unsigned port, unsigned count);

    struct Device;

private:
    struct Testbed;
    std::unique_ptr<Testbed> testbed_;
    std::map<unsigned, std::shared_ptr<Device>> plugged_;
    // Devices pulled out stay until the end: the bridge may still hold their nodes open.
    std::vector<std::shared_ptr<Device>> pulled_;
    unsigned next_address_ = 2;
};

}  // namespace velkor::usbd
