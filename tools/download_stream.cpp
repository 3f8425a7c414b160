#include "download_stream.h"

#include <array>

#include "model/wire_values.h"

namespace drova {

std::vector<StreamRecord> stream_records(const std::vector<Segment> &blocks, unsigned target) {
    constexpr std::size_t kHeader = 8;
    std::vector<StreamRecord> records;
    std::uint32_t offset = 0;
    const auto add = [&](const Segment *block) {
        std::vector<std::uint8_t> bytes(kHeader);
        if (block != nullptr) {
            velkor::store_be32(bytes.data(), block->address);
            velkor::store_be32(bytes.data() + 4, static_cast<std::uint32_t>(block->data.size()));
            bytes.insert(bytes.end(), block->data.begin(), block->data.end());
        }
        const auto length = static_cast<std::uint32_t>(bytes.size());
        records.push_back({offset, length, velkor::ones_complement_checksum(bytes), block});
        offset += length;
    };
    for (const auto &block : blocks) add(&block);
    if (target != 1) add(nullptr);
    return records;
}

}  // namespace drova
