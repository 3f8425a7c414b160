#include "download_preflight.h"

#include <algorithm>
#include <cstdio>

#include "device_session.h"
#include "exit_codes.h"

namespace drova {
namespace {

// From this many gaps on, the summary suggests joining blocks.
constexpr std::size_t kManyGaps = 16;

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

std::string address_range(std::uint64_t first, std::uint64_t end) { return hex(first) + ".." + hex(end - 1); }

std::string address_range(const Image &image) {
    return address_range(image.blocks.front().address, image.blocks.back().end());
}

std::string area_name(const FlashTable &table, unsigned target) {
    if (target == table.sectors.size()) return "area " + std::to_string(target) + " (the staging area)";
    return "area " + std::to_string(target);
}

void require_area(const FlashTable &table, unsigned target, const std::string &consequence) {
    const std::size_t sectors = table.sectors.size();
    if (sectors == 0)
        throw Failure(exit_code::kWontFit, "the device's flash table lists no sectors, so there is no area " +
                                               std::to_string(target) + "; " + consequence);
    if (target > sectors)
        throw Failure(exit_code::kWontFit, "area " + std::to_string(target) + " does not exist: the device has "
                                           "sectors 0 to " + std::to_string(sectors - 1) + " and the staging area " +
                                           std::to_string(sectors) + "; " + consequence);
}

std::vector<std::string> preflight_download(const FlashTable &table, const Image &image, unsigned target,
                                            bool erase_first) {
    const std::size_t sectors = table.sectors.size();
    const auto refuse = [](const std::string &why) {
        throw Failure(exit_code::kWontFit, why + "; nothing was written");
    };
    require_area(table, target, "nothing was written");
    for (const auto &block : image.blocks)
        if (block.end() > 0x100000000ull)
            refuse("the image reaches " + hex(block.end() - 1) + ", past the 32-bit addresses a record carries (" +
                   hex(0) + ".." + hex(0xFFFFFFFFull) + ")");
    std::vector<std::string> notes;
    if (target == sectors) {
        if (erase_first) refuse("--erase: area " + std::to_string(target) + " is the staging area, not a sector");
        notes.push_back("area " + std::to_string(target) + " is the staging area: the image is only staged there, "
                        "no sector is programmed");
    } else if (!is_empty_sector(table.sectors[target]) && !erase_first) {
        refuse("sector " + std::to_string(target) + " is not empty: it holds " + contents_text(table.sectors[target]) +
               "; add --erase to erase it first");
    }
    notes.push_back("the flash table gives no sector sizes: the device itself checks that " + address_range(image) +
                    " fits " + area_name(table, target));
    return notes;
}

std::string image_summary(const Image &image, const std::string &into) {
    std::uint64_t largest_gap = 0;
    for (std::size_t k = 1; k < image.blocks.size(); ++k)
        largest_gap = std::max(largest_gap, image.blocks[k].address - image.blocks[k - 1].end());
    const std::size_t gaps = image.blocks.size() - 1;
    std::string summary = std::string(image_format_name(image.format)) + ": " + std::to_string(image.file_records) +
                          " records in " + std::to_string(image.blocks.size()) + " blocks, " +
                          std::to_string(image.data_bytes()) + " bytes, into " + into + "; addresses " +
                          address_range(image) + ", " + std::to_string(gaps) + (gaps == 1 ? " gap" : " gaps");
    if (gaps > 0) summary += " (largest " + std::to_string(largest_gap) + " bytes)";
    // Only a fill that drova would then take.
    if (gaps >= kManyGaps && largest_gap <= kMostFilledGap && gap_fill_bytes(image.blocks, largest_gap) <= kMostGapFill)
        summary += "\nmany blocks download slowly (each is a record of its own steps): --fill-gaps " +
                   std::to_string(largest_gap) + " joins them all, filling the gaps with 0xFF";
    return summary;
}

}  // namespace drova
