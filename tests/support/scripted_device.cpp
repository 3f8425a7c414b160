#include "support/scripted_device.h"

#include <algorithm>
#include <cstring>

namespace velkor::testing {
namespace {
void put_be32(std::uint8_t *p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}
}  // namespace

Block answer_frame_claiming(const std::vector<std::uint8_t> &body, std::uint32_t claimed_length) {
    Block frame(20 + body.size(), 0);
    put_be32(frame.data() + 4, claimed_length);
    put_be32(frame.data() + 16, claimed_length);
    std::memcpy(frame.data() + 20, body.data(), body.size());
    return frame;
}

Block answer_frame(const std::vector<std::uint8_t> &body, std::uint32_t channel) {
    Block frame = answer_frame_claiming(body, static_cast<std::uint32_t>(body.size()));
    put_be32(frame.data(), channel);
    return frame;
}

void ScriptedDevice::respond_with(Responder responder) {
    std::lock_guard guard(lock_);
    responder_ = std::move(responder);
}

std::vector<Block> ScriptedDevice::writes() const {
    std::lock_guard guard(lock_);
    return writes_;
}

std::vector<std::uint8_t> ScriptedDevice::opcodes() const {
    std::vector<std::uint8_t> result;
    for (const Block &frame : writes()) result.push_back(frame.size() > 20 ? frame[20] : 0);
    return result;
}

void ScriptedDevice::unplug() {
    std::lock_guard guard(lock_);
    unplugged_ = true;
}

bool ScriptedDevice::on_host_block(const std::uint8_t *data, std::size_t size, std::vector<Block> &answers) {
    Responder responder;
    Block frame(data, data + size);
    {
        std::lock_guard guard(lock_);
        if (unplugged_) return false;
        writes_.push_back(frame);
        responder = responder_;
    }
    if (responder) {
        for (Block &answer : responder(frame)) answers.push_back(std::move(answer));
    }
    return true;
}

std::vector<std::uint8_t> device_report(std::uint32_t serial, std::uint32_t fos_version, std::uint32_t status,
                                        const std::string &name) {
    std::vector<std::uint8_t> report(88, 0);
    put_be32(report.data(), fos_version);
    std::memcpy(report.data() + 4, name.data(), std::min<std::size_t>(name.size(), 63));
    put_be32(report.data() + 68, status);
    put_be32(report.data() + 72, serial);
    put_be32(report.data() + 76, 0x02000000);
    put_be32(report.data() + 80, 0xFFFFFFFF);
    return report;
}

}  // namespace velkor::testing
