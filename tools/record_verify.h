// Verify as drova runs it: each record of an image checksummed by the device
// where a download into the target put it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "device_session.h"
#include "download_stream.h"
#include "flash_table.h"
#include "image_file.h"

namespace drova {

struct RecordCheck {
    StreamRecord record;
    bool matches = true;
};

// One check per record, in stream order. A record the device holds otherwise
// is a result; anything else that ends a checksum throws Failure.
std::vector<RecordCheck> check_records(DeviceSession &session, const Image &image, unsigned target);

// "record 2 of 5", and "0x00000000..0x000000FF, 256 bytes" (or "end record").
std::string record_name(std::size_t index, std::size_t count);
std::string record_extent(const StreamRecord &record);

}  // namespace drova
