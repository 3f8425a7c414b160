// Blocks a device has answered that no read has taken yet, oldest first.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/usb_driver.h"

namespace velkor::usb {

// A ring of slots whose buffers are kept for the next blocks, so a running
// exchange allocates nothing once its first blocks have passed.
class BlockQueue {
public:
    // A device that floods the link loses what lies beyond this.
    static constexpr std::size_t kMaxBlocks = 256;

    void push(const std::uint8_t *data, std::size_t size) {
        if (count_ == kMaxBlocks) return;
        slots_[(head_ + count_) % kMaxBlocks].assign(data, data + size);
        ++count_;
    }

    bool empty() const { return count_ == 0; }

    // The oldest block, cut to `size` bytes as a driver read delivers it.
    platform::TransferOutcome take(std::uint8_t *buffer, std::uint32_t size) {
        const std::vector<std::uint8_t> &block = slots_[head_];
        const auto count = static_cast<std::uint32_t>(std::min<std::size_t>(block.size(), size));
        std::copy_n(block.begin(), count, buffer);
        --count_;
        // Emptied, the ring starts over at its first slot: a link that waits
        // for each answer keeps reusing the same few buffers.
        head_ = count_ == 0 ? 0 : (head_ + 1) % kMaxBlocks;
        return {platform::Transfer::completed, count, 0};
    }

private:
    std::array<std::vector<std::uint8_t>, kMaxBlocks> slots_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

}  // namespace velkor::usb
