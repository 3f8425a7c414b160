// The session's picture of one device's flash: one information block per
// sector, in sector order, with the count the device announced and the device
// it came from. The handler of the flash information command fills it while
// hosts may read it from their own threads, so every access holds the list
// still.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <span>
#include <utility>

#include "Vevara_Rovo_dar.h"
#include "model/info_block.h"
#include "model/var_list.h"

namespace velkor {

class FlashSectorList {
public:
    using List = TVarList<TCInfoField>;

    // Destroys every record; the table then describes no device.
    void clear() {
        std::lock_guard guard(lock_);
        forget();
    }

    // Empties the table for a new reading of `device`'s flash.
    void begin_reading(const TDROVAInfo &device) {
        std::lock_guard guard(lock_);
        forget();
        serial_ = device.serialNumber;
        std::memcpy(path_, device.devicePath, sizeof path_);
    }

    // One frame of the reading: the count it announces and its blocks.
    // True when the table now holds exactly the announced count.
    bool add_frame(std::size_t announced, std::span<const std::uint8_t> blocks) {
        std::lock_guard guard(lock_);
        for (std::size_t at = 0; at + kInfoBlockSize <= blocks.size(); at += kInfoBlockSize)
            list_.emplace(std::span<const std::uint8_t, kInfoBlockSize>(blocks.data() + at, kInfoBlockSize));
        announced_ = announced;
        complete_ = list_.size() == announced;
        return complete_;
    }

    void append(std::span<const std::uint8_t, kInfoBlockSize> block) {
        std::lock_guard guard(lock_);
        list_.emplace(block);
    }

    // A table of another device (another serial number or path) is dropped:
    // nothing of it may be taken for `device`'s flash.
    void keep_only_for(const TDROVAInfo &device) {
        std::lock_guard guard(lock_);
        if (!describes(device) || serial_ != device.serialNumber) forget();
    }

    // The sector count of `device` when the table holds all of its sectors;
    // 0 when the last reading broke off or was of another device.
    std::size_t complete_count_for(const TDROVAInfo &device) const {
        std::lock_guard guard(lock_);
        return complete_ && describes(device) ? announced_ : 0;
    }

    bool complete() const {
        std::lock_guard guard(lock_);
        return complete_;
    }

    std::size_t size() const {
        std::lock_guard guard(lock_);
        return list_.size();
    }

    // Copies up to `max` blocks, byte for byte as received, to `dst` (room for
    // `max` blocks); returns how many blocks the table holds.
    std::size_t copy_blocks(std::uint8_t *dst, std::size_t max) const {
        std::lock_guard guard(lock_);
        const std::size_t copied = dst == nullptr ? 0 : std::min(max, list_.size());
        for (std::size_t i = 0; i < copied; ++i)
            std::memcpy(dst + i * kInfoBlockSize, list_[i].info().block(), kInfoBlockSize);
        return list_.size();
    }

    // The list itself, for hosts that read it as the library's own list type
    // (the export table hands it out). They read it without the lock, as the
    // list has always been read, while no _FlashInfo runs.
    List *list_for_hosts() { return &list_; }

    // Calls `reader(const List &)` while no one changes the list.
    template <class Reader>
    decltype(auto) read(Reader &&reader) const {
        std::lock_guard guard(lock_);
        return std::forward<Reader>(reader)(std::as_const(list_));
    }

private:
    void forget() {
        list_.clear();
        announced_ = 0;
        complete_ = false;
        serial_ = 0;
        std::memset(path_, 0, sizeof path_);
    }
    bool describes(const TDROVAInfo &device) const {
        return std::strncmp(path_, device.devicePath, sizeof path_) == 0;
    }

    mutable std::mutex lock_;
    List list_;
    std::size_t announced_ = 0;
    bool complete_ = false;
    std::uint32_t serial_ = 0;  // of the device read
    char path_[sizeof TDROVAInfo{}.devicePath] = {};
};

}  // namespace velkor
