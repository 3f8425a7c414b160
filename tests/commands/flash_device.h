// A test device that keeps memory areas and carries out the maintenance
// commands on them, beside the connect and search answers of a healthy
// device. A test can put its own answer in place of the device's for any
// frame.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "support/scripted_device.h"

namespace velkor::testing {

using Bytes = std::vector<std::uint8_t>;
using InfoBlock = std::array<std::uint8_t, 168>;

// A 168-byte information block with this id and name.
InfoBlock info_block(std::uint32_t id, const char *name);

// Checksum as the device computes it: the byte sum folded into 1..255
// (0 only when it is 0), complemented.
std::uint8_t device_checksum(const Bytes &bytes);

class FlashDevice {
public:
    static constexpr std::uint32_t kSerial = 0x123456;

    // Answers for a frame instead of the device; nullopt lets the device answer.
    using Override = std::function<std::optional<std::vector<Block>>(const Block &frame)>;

    explicit FlashDevice(std::vector<InfoBlock> sectors = {}, std::uint32_t serial = kSerial);

    ScriptedDevice::Responder responder();
    void set_override(Override override_answer);

    Bytes memory(std::uint8_t area) const;
    // The answer to the next start-application commands.
    void set_start_answer(Bytes body);

private:
    std::vector<Block> answer(const Block &frame);
    Bytes &area(std::uint8_t number);

    mutable std::mutex lock_;
    std::vector<InfoBlock> sectors_;
    const std::uint32_t serial_;
    std::map<std::uint8_t, Bytes> areas_;
    std::uint8_t write_area_ = 0;
    std::uint32_t write_at_ = 0;
    Bytes start_answer_;
    Override override_;
};

}  // namespace velkor::testing
