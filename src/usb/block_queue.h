// Blocks a device has sent that no read has taken yet, oldest first, each with
// the moment it reaches the host.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/usb_driver.h"

namespace velkor::usb {

// A ring of slots whose buffers are kept for the next blocks, so a running
// exchange allocates nothing once its first blocks have passed.
class BlockQueue {
public:
    using Moment = std::chrono::steady_clock::time_point;

    // A device that floods the link loses what lies beyond this.
    static constexpr std::size_t kMaxBlocks = 256;

    // A block arrives no earlier than the one before it: a device sends in order.
    void push(const std::uint8_t *data, std::size_t size, Moment arrives = Moment::min()) {
        if (count_ == kMaxBlocks) return;
        Slot &slot = slots_[(head_ + count_) % kMaxBlocks];
        slot.bytes.assign(data, data + size);
        slot.arrives = count_ == 0 ? arrives : std::max(arrives, last_arrival_);
        last_arrival_ = slot.arrives;
        ++count_;
    }

    bool empty() const { return count_ == 0; }
    std::size_t size() const { return count_; }
    // When the oldest block arrives; Moment::max() when none is queued.
    Moment next_arrival() const { return count_ == 0 ? Moment::max() : slots_[head_].arrives; }
    bool arrived(Moment now) const { return count_ != 0 && slots_[head_].arrives <= now; }

    // Everything queued has arrived by `now`.
    void arrive_all(Moment now) {
        for (std::size_t i = 0; i < count_; ++i) {
            Slot &slot = slots_[(head_ + i) % kMaxBlocks];
            slot.arrives = std::min(slot.arrives, now);
        }
        last_arrival_ = std::min(last_arrival_, now);
    }

    // The oldest block, cut to `size` bytes as a driver read delivers it.
    platform::TransferOutcome take(std::uint8_t *buffer, std::uint32_t size) {
        const std::vector<std::uint8_t> &block = slots_[head_].bytes;
        const auto count = static_cast<std::uint32_t>(std::min<std::size_t>(block.size(), size));
        std::copy_n(block.begin(), count, buffer);
        --count_;
        // Emptied, the ring starts over at its first slot: a link that waits
        // for each answer keeps reusing the same few buffers.
        head_ = count_ == 0 ? 0 : (head_ + 1) % kMaxBlocks;
        return {platform::Transfer::completed, count, 0};
    }

private:
    struct Slot {
        std::vector<std::uint8_t> bytes;
        Moment arrives;
    };
    std::array<Slot, kMaxBlocks> slots_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    Moment last_arrival_ = Moment::min();
};

}  // namespace velkor::usb
