// A device whose answers a test writes by hand: it records every block the
// host writes and answers each with what the test's responder returns.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "usb/in_process_device.h"

namespace velkor::testing {

using usb::Block;

// An answer frame: channel, length (the body's size unless given), body.
Block answer_frame(const std::vector<std::uint8_t> &body, std::uint32_t channel = 0);
Block answer_frame_claiming(const std::vector<std::uint8_t> &body, std::uint32_t claimed_length);

class ScriptedDevice : public usb::InProcessDevice {
public:
    using Responder = std::function<std::vector<Block>(const Block &frame)>;

    explicit ScriptedDevice(Responder responder = {}) : responder_(std::move(responder)) {}

    void respond_with(Responder responder);
    // The host's writes, whole frames.
    std::vector<Block> writes() const;
    std::vector<std::uint8_t> opcodes() const;
    void unplug();

    bool on_host_block(const std::uint8_t *data, std::size_t size, std::vector<Block> &answers) override;

private:
    mutable std::mutex lock_;
    Responder responder_;
    std::vector<Block> writes_;
    bool unplugged_ = false;
};

// A device report of 88 bytes, big-endian as a device sends it.
std::vector<std::uint8_t> device_report(std::uint32_t serial, std::uint32_t fos_version = 0x01010000,
                                        std::uint32_t status = 0, const std::string &name = "DROVA test");

}  // namespace velkor::testing
