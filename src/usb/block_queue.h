// Blocks a device has answered that no read has taken yet, oldest first.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "platform/usb_driver.h"

namespace velkor::usb {

class BlockQueue {
public:
    // A device that floods the link loses what lies beyond this.
    static constexpr std::size_t kMaxBlocks = 256;

    void push(const std::uint8_t *data, std::size_t size) {
        if (blocks_.size() < kMaxBlocks) blocks_.emplace_back(data, data + size);
    }

    bool empty() const { return blocks_.empty(); }

    // The oldest block, cut to `size` bytes as a driver read delivers it.
    platform::TransferOutcome take(std::uint8_t *buffer, std::uint32_t size) {
        const std::vector<std::uint8_t> &block = blocks_.front();
        const auto count = static_cast<std::uint32_t>(std::min<std::size_t>(block.size(), size));
        std::copy_n(block.begin(), count, buffer);
        blocks_.pop_front();
        return {platform::Transfer::completed, count, 0};
    }

private:
    std::deque<std::vector<std::uint8_t>> blocks_;
};

}  // namespace velkor::usb
