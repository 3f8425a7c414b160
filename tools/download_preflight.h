// A download checked against the connected device's flash table before any
// frame is written: the target area exists, a sector that holds something is
// only overwritten with --erase, and every address is one a record can carry.
// What the table cannot tell (it gives no sector sizes) is said, not guessed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "flash_table.h"
#include "image_file.h"

namespace drova {

// Throws Failure(kWontFit) unless area `target` (a sector or the staging
// area) exists; the message ends with `consequence`, e.g. "nothing was written".
void require_area(const FlashTable &table, unsigned target, const std::string &consequence);

// Throws Failure(kWontFit) naming what does not fit; otherwise the notes to
// show (e.g. that the target is the staging area).
std::vector<std::string> preflight_download(const FlashTable &table, const Image &image, unsigned target,
                                            bool erase_first);

// "0x00010000..0x000100FF" for the bytes from `first` up to `end` (exclusive).
std::string address_range(std::uint64_t first, std::uint64_t end);
// The range from the image's first byte to its last.
std::string address_range(const Image &image);

// "area 3", "area 8 (the staging area)".
std::string area_name(const FlashTable &table, unsigned target);

// The image in one line: format, records, blocks, bytes, address range and
// gaps; a second line suggests --fill-gaps for an image of many gaps.
std::string image_summary(const Image &image, const std::string &into);

}  // namespace drova
