// The records a download sends, as the library lays them out: one per block
// (its address and length, 8 bytes, before the data), then an end record of
// 8 zero bytes unless the target is area 1, each at its offset in the stream.
// The device checks and keeps each record whole, so a record's checksum
// there tells whether it arrived intact.
#pragma once

#include <cstdint>
#include <vector>

#include "image_file.h"

namespace drova {

struct StreamRecord {
    std::uint32_t offset = 0;  // in the stream, which is where the device keeps it
    std::uint32_t length = 0;  // header and data
    std::uint8_t checksum = 0; // one's-complement checksum of header and data
    const Segment *block = nullptr;  // null for the end record
};

std::vector<StreamRecord> stream_records(const std::vector<Segment> &blocks, unsigned target);

}  // namespace drova
