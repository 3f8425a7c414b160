// Firmware image files as drova downloads them: Intel HEX, Motorola S-record
// or raw binary, turned into the few large blocks a download sends. Every
// record a file holds would otherwise become a record of the download stream,
// each with its own address, data and checksum steps.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace drova {

// What is wrong with a file, with the line where it was found when it has lines.
class ImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// The file is fine, but the arguments given for it do not apply.
class ImageArgumentError : public ImageError {
public:
    using ImageError::ImageError;
};

enum class ImageFormat { automatic, intel_hex, s_record, binary };

// "auto", "ihex", "srec", "bin"; nullopt for anything else.
std::optional<ImageFormat> parse_image_format(std::string_view name);
const char *image_format_name(ImageFormat format);

// Data that belongs at one address: a record of a file, or a merged block.
struct Segment {
    std::uint32_t address = 0;
    std::vector<std::uint8_t> data;

    std::uint64_t end() const { return std::uint64_t{address} + data.size(); }
};

struct Image {
    ImageFormat format = ImageFormat::binary;
    std::vector<Segment> blocks;  // ascending, neither touching nor overlapping
    std::size_t file_records = 0; // data records the file held
    std::optional<std::uint32_t> start_address;  // from a start record, when the file has one
    std::string format_warning;  // the extension disagreed with the content

    std::uint64_t data_bytes() const;
};

// Parse text of the given format into data records, in file order. Throw
// ImageError naming the line and what is wrong with it.
std::vector<Segment> parse_intel_hex(std::string_view text, std::optional<std::uint32_t> *start_address = nullptr);
std::vector<Segment> parse_s_record(std::string_view text, std::optional<std::uint32_t> *start_address = nullptr);

// Sorts the records by address and joins those that continue one another.
// Throws ImageError when two records overlap.
std::vector<Segment> merge_segments(std::vector<Segment> records);

// Which format a file is in: by its first characters when they are those of
// Intel HEX or S-record, else by its extension (so that a damaged text file is
// reported rather than sent as raw data), else raw binary. `warning` says when
// the extension names another format than the content shows.
struct DetectedFormat {
    ImageFormat format = ImageFormat::binary;
    std::string warning;
};
DetectedFormat detect_image_format(const std::filesystem::path &path, std::string_view content);

// The largest gap --fill-gaps takes, and the most bytes of 0xFF it adds to an
// image in all: the flash table gives no sector sizes to hold it against,
// and a few records far apart must not turn into gigabytes.
inline constexpr std::uint32_t kMostFilledGap = 1u << 24;
inline constexpr std::uint64_t kMostGapFill = 16u << 20;

// The bytes that joining the gaps of at most `most_gap` would add.
std::uint64_t gap_fill_bytes(const std::vector<Segment> &blocks, std::uint64_t most_gap);

// Joins neighbouring blocks whose gap is at most `most_gap` bytes, filling the
// gap with 0xFF (erased flash): fewer, larger records download faster. Throws
// ImageError, before allocating anything, when that would add more than
// kMostGapFill bytes.
std::vector<Segment> fill_gaps(std::vector<Segment> blocks, std::uint32_t most_gap);

// A file's whole content; "-" is standard input. Throws ImageError when there
// is no such file, it is a directory or larger than `max_bytes`, or it cannot
// be read.
std::string read_whole_file(const std::filesystem::path &path, std::uintmax_t max_bytes);
// Reads and parses a file. `binary_address` places a raw binary file; it is an
// error with the other formats, whose records carry their own addresses.
Image load_image(const std::filesystem::path &path, ImageFormat format, std::optional<std::uint32_t> binary_address);
// The same for content already read (`name` only for messages and detection).
Image parse_image(const std::filesystem::path &name, std::string_view content, ImageFormat format,
                  std::optional<std::uint32_t> binary_address);

}  // namespace drova
