// Blocks of data for the device: the host's block list (TBinList) and the
// records of a download, each holding its own copy of the bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "Vevara_Rovo_dar.h"

namespace velkor {

struct OwnedBlock {
    std::uint32_t address = 0;  // host list: where the data belongs; download: the record's stream offset
    std::vector<std::uint8_t> data;

    std::uint32_t length() const { return static_cast<std::uint32_t>(data.size()); }
};

// A host block the library can copy: not null, with data unless it is empty.
inline bool readable(const BinBlock *block) {
    return block != nullptr && (block->Data != nullptr || block->Length == 0);
}

// Copies a readable host block; throws std::bad_alloc when it does not fit.
OwnedBlock copy_block(const BinBlock &block);

}  // namespace velkor

// What a C host builds with _BinListCreate and _BinListAdd.
struct TBinList {
    std::vector<velkor::OwnedBlock> blocks;
};
