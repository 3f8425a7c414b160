#include "commands/flash_device.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "protocol/protocol_fixture.h"

namespace velkor::testing {
namespace {

// Two blocks make a frame of 358 bytes; three would not fit the 512 bytes of
// a transfer with the 20-byte header in front.
constexpr int kBlocksPerFrame = 2;

std::uint32_t be32(const std::uint8_t *p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

Bytes be32_bytes(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v)};
}

}  // namespace

InfoBlock info_block(std::uint32_t id, const char *name) {
    InfoBlock block{};
    const Bytes word = be32_bytes(id);
    std::copy(word.begin(), word.end(), block.begin());
    std::memcpy(block.data() + 4, name, std::min<std::size_t>(std::strlen(name), 63));
    return block;
}

std::uint8_t device_checksum(const Bytes &bytes) {
    const std::uint64_t total = std::accumulate(bytes.begin(), bytes.end(), std::uint64_t{0});
    const auto folded = static_cast<std::uint8_t>(total == 0 ? 0 : (total - 1) % 255 + 1);
    return static_cast<std::uint8_t>(~folded);
}

FlashDevice::FlashDevice(std::vector<InfoBlock> sectors, std::uint32_t serial)
    : sectors_(std::move(sectors)), serial_(serial) {}

ScriptedDevice::Responder FlashDevice::responder() {
    return [this](const Block &frame) { return answer(frame); };
}

void FlashDevice::set_override(Override override_answer) {
    std::lock_guard guard(lock_);
    override_ = std::move(override_answer);
}

Bytes FlashDevice::memory(std::uint8_t number) const {
    std::lock_guard guard(lock_);
    const auto found = areas_.find(number);
    return found == areas_.end() ? Bytes{} : found->second;
}

void FlashDevice::set_start_answer(Bytes body) {
    std::lock_guard guard(lock_);
    start_answer_ = std::move(body);
}

Bytes &FlashDevice::area(std::uint8_t number) { return areas_[number]; }

std::vector<Block> FlashDevice::answer(const Block &frame) {
    Override override_answer;
    {
        std::lock_guard guard(lock_);
        override_answer = override_;
    }
    if (override_answer) {
        if (auto answers = override_answer(frame)) return *answers;
    }
    std::lock_guard guard(lock_);
    const std::uint8_t *command = frame.data() + 20;
    const std::uint32_t length = be32(frame.data() + 4);
    const auto echo = [&](std::size_t n) { return answer_frame(Bytes(command, command + n)); };
    switch (command[0]) {
    case 0xE7: {
        std::vector<Block> frames;
        std::size_t next = 0;
        do {
            Bytes body{0xE7, static_cast<std::uint8_t>(sectors_.size())};
            for (int k = 0; k < kBlocksPerFrame && next < sectors_.size(); ++k, ++next)
                body.insert(body.end(), sectors_[next].begin(), sectors_[next].end());
            frames.push_back(answer_frame(body));
        } while (next < sectors_.size());
        return frames;
    }
    case 0xE9:
    case 0xEA:
        return {echo(5)};
    case 0xEB:
        area(command[1]).clear();
        return {answer_frame({0xEB, 0x00})};
    case 0xEC:
        write_area_ = command[1];
        write_at_ = be32(command + 2);
        return {echo(6)};
    case 0xED: {
        const std::uint32_t chunk = length - 1;
        Bytes &memory = area(write_area_);
        if (memory.size() < write_at_ + chunk) memory.resize(write_at_ + chunk, 0xFF);
        std::copy(command + 1, command + 1 + chunk, memory.begin() + write_at_);
        write_at_ += chunk;
        Bytes body{0xED};
        const Bytes size = be32_bytes(chunk);
        body.insert(body.end(), size.begin(), size.end());
        return {answer_frame(body)};
    }
    case 0xEE: {
        const std::uint32_t at = be32(command + 2);
        const Bytes &staging = area(static_cast<std::uint8_t>(sectors_.size()));
        if (staging.size() < at + 8) return {answer_frame({0xEE, 0xFF})};
        const std::uint32_t record = 8 + be32(staging.data() + at + 4);
        Bytes copy(staging.begin() + at, staging.begin() + at + record);
        Bytes &target = area(command[1]);
        if (target.size() < at + record) target.resize(at + record, 0xFF);
        std::copy(copy.begin(), copy.end(), target.begin() + at);
        return {answer_frame({0xEE, 0x00})};
    }
    case 0xEF: {
        const std::uint32_t at = be32(command + 2);
        const std::uint32_t count = be32(command + 6);
        const Bytes &memory = area(command[1]);
        Bytes range(count, 0xFF);
        for (std::uint32_t i = 0; i < count && at + i < memory.size(); ++i) range[i] = memory[at + i];
        return {answer_frame({0xEF, device_checksum(range)})};
    }
    case 0xF0:
        return {answer_frame(start_answer_)};
    case 0xF1:
        return {};
    default:
        return CooperativeDevice{serial_}(frame);
    }
}

}  // namespace velkor::testing
