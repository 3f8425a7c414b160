// The session's picture of the connected device's flash: one information
// block per sector, in sector order. The handler of the flash information
// command fills it while hosts may read it from their own threads, so every
// access holds the list still.
#pragma once

#include <cstddef>
#include <mutex>
#include <span>
#include <utility>

#include "model/info_block.h"
#include "model/var_list.h"

namespace velkor {

class FlashSectorList {
public:
    using List = TVarList<TCInfoField>;

    // Destroys every record.
    void clear() {
        std::lock_guard guard(lock_);
        list_.clear();
    }

    void append(std::span<const std::uint8_t, kInfoBlockSize> block) {
        std::lock_guard guard(lock_);
        list_.emplace(block);
    }

    std::size_t size() const {
        std::lock_guard guard(lock_);
        return list_.size();
    }

    // Calls `reader(const List &)` while no one changes the list.
    template <class Reader>
    decltype(auto) read(Reader &&reader) const {
        std::lock_guard guard(lock_);
        return std::forward<Reader>(reader)(std::as_const(list_));
    }

private:
    mutable std::mutex lock_;
    List list_;
};

}  // namespace velkor
