// A USB bus emulated by umockdev, for tests and benchmarks without hardware
// (the program runs under umockdev-wrapper):
// DROVA devices made of the simulated device model, plugged into and pulled
// from ports of bus 1. A device's bulk OUT transfers reach its model as host
// blocks; its bulk IN transfers take the model's answer blocks, one block per
// transfer, as a device's firmware hands them to its USB controller. An IN
// transfer stays pending until the device has a block for it, and the device
// sends its blocks when its timing says: answers after a pause, the frames of
// one answer apart, frames nobody asked for.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
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
    // The next `count` bulk OUT transfers to the device at `port` stall
    // (those carrying a command with `opcode`, when given); the endpoint
    // stays halted until the host clears it.
    void stall_out(unsigned port, unsigned count, std::optional<std::uint8_t> opcode = std::nullopt);
    // Likewise for its bulk IN transfers; what the device has to send waits.
    void stall_in(unsigned port, unsigned count);

    struct Timing {
        // From a host block to the first frame of its answer, besides the
        // pause a delay fault of the model adds; unset: at once.
        std::function<std::chrono::microseconds(std::span<const std::uint8_t> block)> answer_after;
        // Between two frames of one answer.
        std::chrono::microseconds between_frames{0};
    };
    void set_timing(unsigned port, Timing timing);
    // A frame the device sends `after` from now without being asked; behind
    // what it is sending then.
    void send_unasked(unsigned port, sim::Bytes frame, std::chrono::microseconds after = {});
    // Bulk IN transfers submitted to the device at `port` and not yet given data.
    std::size_t pending_in_transfers(unsigned port);

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
