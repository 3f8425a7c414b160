// One memory area of the device: a flash sector or the staging area. Pages
// are allocated on first write, so large areas cost nothing until used; an
// untouched byte reads as erased flash, 0xFF.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "wire.h"

namespace velkor::sim {

class MemoryArea {
public:
    static constexpr std::uint32_t kPageSize = 4096;
    using Page = std::array<std::uint8_t, kPageSize>;

    enum class Kind {
        flash,  // programming can only clear bits; erase sets them again
        ram,    // writes replace the bytes
    };

    MemoryArea(Kind kind, std::uint32_t size) : kind_(kind), size_(size) {}

    Kind kind() const { return kind_; }
    std::uint32_t size() const { return size_; }
    bool contains(std::uint32_t address, std::uint64_t length) const {
        return address <= size_ && length <= size_ - address;
    }

    // Callers check `contains` first.
    Bytes read(std::uint32_t address, std::uint32_t length) const;
    void write(std::uint32_t address, std::span<const std::uint8_t> bytes);
    std::uint8_t checksum(std::uint32_t address, std::uint32_t length) const;
    void erase() { pages_.clear(); }

    // Pages that hold anything but 0xFF, for saving; and restoring one.
    std::vector<std::pair<std::uint32_t, const Page *>> written_pages() const;
    void restore_page(std::uint32_t index, const Page &page);

private:
    Kind kind_;
    std::uint32_t size_;
    std::map<std::uint32_t, std::unique_ptr<Page>> pages_;
};

}  // namespace velkor::sim
