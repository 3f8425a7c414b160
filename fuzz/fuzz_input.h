// Reads a fuzzer's input from front to back. Past its end every read gives
// zeros, so a short input is a complete one and seeds stay easy to write.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velkor::fuzzing {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    bool exhausted() const { return at_ >= size_; }
    std::size_t remaining() const { return size_ - std::min(at_, size_); }

    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() << 8 | byte()); }
    std::uint32_t u32() { return std::uint32_t{u16()} << 16 | u16(); }

    // `count` bytes; what the input no longer has is filled with a pattern.
    std::vector<std::uint8_t> bytes(std::size_t count) {
        std::vector<std::uint8_t> out(count);
        const std::size_t taken = std::min(count, remaining());
        std::copy_n(data_ + at_, taken, out.begin());
        at_ += taken;
        for (std::size_t k = taken; k < count; ++k) out[k] = static_cast<std::uint8_t>(k * 7 + 3);
        return out;
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace velkor::fuzzing
