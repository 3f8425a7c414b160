#include "image_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "os_services.h"

namespace drova {
namespace {

// Larger files are no firmware image for a device with 8-bit area numbers and
// would only exhaust memory.
constexpr std::uintmax_t kMaxFileBytes = 256u << 20;

std::string hex32(std::uint64_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << std::uppercase << value;
    return out.str();
}

// The lines of a text file with their numbers, trailing white space (and the
// CR of CRLF files) removed, blank lines skipped.
class Lines {
public:
    explicit Lines(std::string_view text) : rest_(text) {}

    bool next(std::string_view &line) {
        while (!rest_.empty()) {
            const auto end = rest_.find('\n');
            line = rest_.substr(0, end);
            rest_ = end == std::string_view::npos ? std::string_view{} : rest_.substr(end + 1);
            ++number_;
            while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
            while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
            if (!line.empty()) return true;
        }
        return false;
    }

    [[noreturn]] void fail(const std::string &what) const {
        throw ImageError("line " + std::to_string(number_) + ": " + what);
    }

private:
    std::string_view rest_;
    std::size_t number_ = 0;
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The bytes of a run of hexadecimal digit pairs.
std::vector<std::uint8_t> decode_hex(std::string_view digits, const Lines &lines) {
    if (digits.size() % 2 != 0) lines.fail("odd number of hexadecimal digits");
    std::vector<std::uint8_t> bytes;
    bytes.reserve(digits.size() / 2);
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        const int high = hex_digit(digits[i]), low = hex_digit(digits[i + 1]);
        if (high < 0 || low < 0) lines.fail("'" + std::string(digits.substr(i, 2)) + "' is not a hexadecimal byte");
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return bytes;
}

std::uint32_t big_endian(const std::uint8_t *bytes, std::size_t count) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < count; ++i) value = value << 8 | bytes[i];
    return value;
}

void add_record(std::vector<Segment> &records, std::uint64_t address, const std::uint8_t *data, std::size_t size,
                const Lines &lines) {
    if (size == 0) return;
    if (address + size > 0x100000000ull) lines.fail("data runs past address 0xFFFFFFFF");
    records.push_back({static_cast<std::uint32_t>(address), {data, data + size}});
}

}  // namespace

std::uint64_t Image::data_bytes() const {
    std::uint64_t total = 0;
    for (const auto &block : blocks) total += block.data.size();
    return total;
}

std::optional<ImageFormat> parse_image_format(std::string_view name) {
    if (name == "auto") return ImageFormat::automatic;
    if (name == "ihex" || name == "hex") return ImageFormat::intel_hex;
    if (name == "srec") return ImageFormat::s_record;
    if (name == "bin" || name == "binary") return ImageFormat::binary;
    return std::nullopt;
}

const char *image_format_name(ImageFormat format) {
    switch (format) {
    case ImageFormat::automatic: return "auto";
    case ImageFormat::intel_hex: return "Intel HEX";
    case ImageFormat::s_record: return "Motorola S-record";
    case ImageFormat::binary: return "raw binary";
    }
    return "?";
}

std::vector<Segment> parse_intel_hex(std::string_view text, std::optional<std::uint32_t> *start_address) {
    enum : std::uint8_t { kData = 0, kEnd = 1, kSegmentBase = 2, kSegmentStart = 3, kLinearBase = 4, kLinearStart = 5 };
    std::vector<Segment> records;
    Lines lines(text);
    std::string_view line;
    std::uint64_t base = 0;
    bool ended = false;
    while (lines.next(line)) {
        if (ended) lines.fail("data after the end-of-file record");
        if (line.front() != ':') lines.fail("an Intel HEX record starts with ':'");
        const auto bytes = decode_hex(line.substr(1), lines);
        if (bytes.size() < 5) lines.fail("record too short");
        const std::size_t count = bytes[0];
        if (bytes.size() != count + 5)
            lines.fail("record says " + std::to_string(count) + " data bytes but holds " + std::to_string(bytes.size() - 5));
        std::uint8_t sum = 0;
        for (const auto b : bytes) sum = static_cast<std::uint8_t>(sum + b);
        if (sum != 0) lines.fail("checksum mismatch");
        const std::uint32_t offset = big_endian(&bytes[1], 2);
        const std::uint8_t type = bytes[3];
        const std::uint8_t *data = &bytes[4];
        const auto need = [&](std::size_t size, const char *what) {
            if (count != size) lines.fail(std::string(what) + " record must hold " + std::to_string(size) + " bytes");
        };
        switch (type) {
        case kData: add_record(records, base + offset, data, count, lines); break;
        case kEnd: need(0, "end-of-file"); ended = true; break;
        case kSegmentBase: need(2, "extended segment address"); base = std::uint64_t{big_endian(data, 2)} << 4; break;
        case kLinearBase: need(2, "extended linear address"); base = std::uint64_t{big_endian(data, 2)} << 16; break;
        case kSegmentStart:
            need(4, "start segment address");
            if (start_address) *start_address = (big_endian(data, 2) << 4) + big_endian(data + 2, 2);
            break;
        case kLinearStart:
            need(4, "start linear address");
            if (start_address) *start_address = big_endian(data, 4);
            break;
        default: lines.fail("unknown record type " + std::to_string(type));
        }
    }
    if (!ended) throw ImageError("no end-of-file record (:00000001FF): the file may be cut short");
    return records;
}

std::vector<Segment> parse_s_record(std::string_view text, std::optional<std::uint32_t> *start_address) {
    std::vector<Segment> records;
    Lines lines(text);
    std::string_view line;
    bool ended = false;
    std::size_t data_records = 0;
    while (lines.next(line)) {
        if (ended) lines.fail("data after the termination record");
        if (line.size() < 2 || (line[0] != 'S' && line[0] != 's') || hex_digit(line[1]) < 0 || hex_digit(line[1]) > 9)
            lines.fail("an S-record starts with S and a type digit");
        const int type = line[1] - '0';
        const auto bytes = decode_hex(line.substr(2), lines);
        if (bytes.empty() || bytes.size() != std::size_t{bytes[0]} + 1)
            lines.fail("byte count does not match the record's length");
        std::uint8_t sum = 0;
        for (std::size_t i = 0; i + 1 < bytes.size(); ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
        if (static_cast<std::uint8_t>(~sum) != bytes.back()) lines.fail("checksum mismatch");

        static constexpr std::size_t kAddressSize[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
        const std::size_t address_size = kAddressSize[type];
        if (address_size == 0) lines.fail("record type S4 is reserved");
        if (bytes.size() < 2 + address_size) lines.fail("record too short for its address");
        const std::uint32_t address = big_endian(&bytes[1], address_size);
        const std::uint8_t *data = &bytes[1 + address_size];
        const std::size_t size = bytes.size() - 2 - address_size;
        switch (type) {
        case 0: break;  // header text
        case 1: case 2: case 3:
            ++data_records;
            add_record(records, address, data, size, lines);
            break;
        case 5: case 6:
            if (address != data_records)
                lines.fail("count record says " + std::to_string(address) + " data records, the file has " +
                           std::to_string(data_records));
            break;
        default:  // 7, 8, 9
            if (start_address) *start_address = address;
            ended = true;
        }
    }
    if (!ended) throw ImageError("no termination record (S7, S8 or S9): the file may be cut short");
    return records;
}

std::vector<Segment> merge_segments(std::vector<Segment> records) {
    std::stable_sort(records.begin(), records.end(),
                     [](const Segment &a, const Segment &b) { return a.address < b.address; });
    std::vector<Segment> blocks;
    for (auto &record : records) {
        if (!blocks.empty() && record.address < blocks.back().end())
            throw ImageError("data at " + hex32(record.address) + " overlaps data already given for " +
                             hex32(blocks.back().address) + ".." + hex32(blocks.back().end() - 1));
        if (!blocks.empty() && record.address == blocks.back().end()) {
            auto &into = blocks.back().data;
            into.insert(into.end(), record.data.begin(), record.data.end());
        } else {
            blocks.push_back(std::move(record));
        }
    }
    return blocks;
}

namespace {

std::optional<ImageFormat> format_by_extension(const std::filesystem::path &path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char *hex : {".hex", ".ihx", ".ihex", ".h86"})
        if (extension == hex) return ImageFormat::intel_hex;
    for (const char *srec : {".srec", ".s19", ".s28", ".s37", ".mot", ".mhx", ".s"})
        if (extension == srec) return ImageFormat::s_record;
    if (extension == ".bin" || extension == ".img") return ImageFormat::binary;
    return std::nullopt;
}

// Only the text formats can be recognised; anything else may be raw binary.
std::optional<ImageFormat> format_by_content(std::string_view content) {
    const auto first = content.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return std::nullopt;
    if (content[first] == ':' && first + 1 < content.size() && hex_digit(content[first + 1]) >= 0)
        return ImageFormat::intel_hex;
    if (content[first] == 'S' && first + 2 < content.size() && hex_digit(content[first + 1]) >= 0 &&
        hex_digit(content[first + 1]) <= 9 && hex_digit(content[first + 2]) >= 0)
        return ImageFormat::s_record;
    return std::nullopt;
}

}  // namespace

DetectedFormat detect_image_format(const std::filesystem::path &path, std::string_view content) {
    const auto by_extension = format_by_extension(path);
    const auto by_content = format_by_content(content);
    if (!by_content) return {by_extension.value_or(ImageFormat::binary), {}};
    if (by_extension && *by_extension != *by_content)
        return {*by_content, "the extension " + path.extension().string() + " says " +
                                 image_format_name(*by_extension) + " but the content is " +
                                 image_format_name(*by_content) + ": read as " + image_format_name(*by_content) +
                                 " (--format chooses otherwise)"};
    return {*by_content, {}};
}

Image parse_image(const std::filesystem::path &name, std::string_view content, ImageFormat format,
                  std::optional<std::uint32_t> binary_address) {
    Image image;
    if (format == ImageFormat::automatic) {
        auto detected = detect_image_format(name, content);
        image.format = detected.format;
        image.format_warning = std::move(detected.warning);
    } else {
        image.format = format;
    }
    if (binary_address && image.format != ImageFormat::binary)
        throw ImageArgumentError(std::string("--address places raw binary files only; this is ") +
                         image_format_name(image.format) + ", whose records carry their addresses");
    std::vector<Segment> records;
    switch (image.format) {
    case ImageFormat::intel_hex: records = parse_intel_hex(content, &image.start_address); break;
    case ImageFormat::s_record: records = parse_s_record(content, &image.start_address); break;
    default: {
        const std::uint32_t address = binary_address.value_or(0);
        if (std::uint64_t{address} + content.size() > 0x100000000ull)
            throw ImageError(std::to_string(content.size()) + " bytes at " + hex32(address) +
                             " run past address 0xFFFFFFFF");
        if (!content.empty()) records.push_back({address, {content.begin(), content.end()}});
    }
    }
    image.file_records = records.size();
    image.blocks = merge_segments(std::move(records));
    if (image.blocks.empty()) throw ImageError("the file holds no data");
    return image;
}

std::uint64_t gap_fill_bytes(const std::vector<Segment> &blocks, std::uint64_t most_gap) {
    std::uint64_t fill = 0;
    for (std::size_t k = 1; k < blocks.size(); ++k) {
        const std::uint64_t gap = blocks[k].address - blocks[k - 1].end();
        if (gap <= most_gap) fill += gap;
    }
    return fill;
}

std::vector<Segment> fill_gaps(std::vector<Segment> blocks, std::uint32_t most_gap) {
    const std::uint64_t fill = gap_fill_bytes(blocks, most_gap);
    if (fill > kMostGapFill)
        throw ImageError("--fill-gaps " + std::to_string(most_gap) + " would add " + std::to_string(fill) +
                         " bytes of 0xFF, more than the " + std::to_string(kMostGapFill >> 20) +
                         " MiB drova fills into an image; give a smaller gap");
    std::vector<Segment> joined;
    for (auto &block : blocks) {
        if (!joined.empty() && block.address - joined.back().end() <= most_gap) {
            auto &into = joined.back().data;
            into.resize(block.address - joined.back().address, 0xFF);
            into.insert(into.end(), block.data.begin(), block.data.end());
        } else {
            joined.push_back(std::move(block));
        }
    }
    return joined;
}

std::string read_whole_file(const std::filesystem::path &path, std::uintmax_t max_bytes) {
    if (path == "-") {
        use_binary_standard_input();
        std::string content;
        char buffer[65536];
        for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, stdin)) > 0;) {
            content.append(buffer, got);
            if (content.size() > max_bytes) throw ImageError("larger than " + std::to_string(max_bytes >> 20) + " MiB");
        }
        if (std::ferror(stdin)) throw ImageError("read error");
        return content;
    }
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (error || !std::filesystem::exists(status)) throw ImageError("no such file");
    if (std::filesystem::is_directory(status)) throw ImageError("is a directory");
    const auto size = std::filesystem::file_size(path, error);
    if (!error && size > max_bytes) throw ImageError("larger than " + std::to_string(max_bytes >> 20) + " MiB");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ImageError("cannot be read");
    std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) throw ImageError("read error");
    return content;
}

Image load_image(const std::filesystem::path &path, ImageFormat format, std::optional<std::uint32_t> binary_address) {
    return parse_image(path, read_whole_file(path, kMaxFileBytes), format, binary_address);
}

}  // namespace drova
