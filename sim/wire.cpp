#include "wire.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace velkor::sim {

namespace {

constexpr const char *kOpcodeNames[] = {
    "connect",   "disconnect", "connect-ack", "disconnect-ack", "refused", "keep-alive",
    "query",     "flash-info", "app-info",    "write-serial",   "autostart", "erase",
    "address",   "data",       "program",     "checksum",       "start-app", "reset",
};

bool parse_unsigned(std::string_view text, unsigned long &out) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

const char *opcode_name(std::uint8_t opcode) {
    if (opcode < kConnect || opcode > kReset) return nullptr;
    return kOpcodeNames[opcode - kConnect];
}

std::optional<std::uint8_t> opcode_from_name(const std::string &name) {
    for (std::uint8_t op = kConnect; op <= kReset; ++op)
        if (name == kOpcodeNames[op - kConnect]) return op;
    return std::nullopt;
}

void put_be32(std::uint8_t *at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 24);
    at[1] = static_cast<std::uint8_t>(value >> 16);
    at[2] = static_cast<std::uint8_t>(value >> 8);
    at[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t get_be32(const std::uint8_t *at) {
    return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) | (std::uint32_t{at[2]} << 8) | at[3];
}

void append_be32(Bytes &out, std::uint32_t value) {
    std::uint8_t word[4];
    put_be32(word, value);
    out.insert(out.end(), word, word + 4);
}

void OnesComplementSum::add(std::span<const std::uint8_t> bytes) {
    unsigned sum = sum_;
    for (std::uint8_t b : bytes) {
        unsigned s = sum + b;
        sum = (s + (s >> 8)) & 0xFFu;
    }
    sum_ = static_cast<std::uint8_t>(sum);
}

std::uint8_t ones_complement_checksum(std::span<const std::uint8_t> bytes) {
    OnesComplementSum sum;
    sum.add(bytes);
    return sum.value();
}

std::uint8_t serial_word_checksum(std::uint32_t serial24) {
    std::uint8_t word[4];
    put_be32(word, serial24 & 0xFFFFFFu);
    return ones_complement_checksum(word);
}

std::optional<CommandFrame> parse_command_frame(std::span<const std::uint8_t> block) {
    if (block.size() != kFrameSize) return std::nullopt;
    CommandFrame frame;
    frame.channel = get_be32(&block[0]);
    frame.length = get_be32(&block[4]);
    frame.length_copy = get_be32(&block[16]);
    if (frame.length == 0 || frame.length > kMaxCommandLength || frame.length_copy != frame.length) return std::nullopt;
    frame.command = block.subspan(kHeaderSize, frame.length);
    return frame;
}

Bytes make_command_frame(std::span<const std::uint8_t> command) {
    Bytes frame(kFrameSize, 0);
    const auto n = static_cast<std::uint32_t>(std::min(command.size(), kMaxCommandLength));
    put_be32(&frame[4], n);
    put_be32(&frame[16], n);
    std::copy_n(command.begin(), n, frame.begin() + kHeaderSize);
    return frame;
}

Bytes make_answer_frame(std::span<const std::uint8_t> body, std::uint32_t channel) {
    Bytes frame(kHeaderSize + body.size(), 0);
    put_be32(&frame[0], channel);
    put_be32(&frame[4], static_cast<std::uint32_t>(body.size()));
    put_be32(&frame[16], static_cast<std::uint32_t>(body.size()));
    std::copy(body.begin(), body.end(), frame.begin() + kHeaderSize);
    return frame;
}

std::optional<std::span<const std::uint8_t>> answer_body(std::span<const std::uint8_t> frame) {
    if (frame.size() <= kHeaderSize) return std::nullopt;
    const std::uint32_t length = get_be32(&frame[4]);
    if (length == 0) return std::nullopt;
    return frame.subspan(kHeaderSize, std::min<std::size_t>(length, frame.size() - kHeaderSize));
}

std::optional<std::uint32_t> parse_version(const std::string &text) {
    std::uint32_t packed = 0;
    std::size_t start = 0;
    for (int field = 0; field < 4; ++field) {
        const std::size_t dot = text.find('.', start);
        const bool last = field == 3;
        if (last != (dot == std::string::npos)) return std::nullopt;
        unsigned long value = 0;
        const std::string_view part = std::string_view(text).substr(start, last ? std::string::npos : dot - start);
        if (!parse_unsigned(part, value) || value > 255) return std::nullopt;
        packed = (packed << 8) | static_cast<std::uint32_t>(value);
        start = dot + 1;
    }
    return packed;
}

std::string version_text(std::uint32_t version) {
    return std::to_string(version >> 24) + "." + std::to_string((version >> 16) & 0xFF) + "." +
           std::to_string((version >> 8) & 0xFF) + "." + std::to_string(version & 0xFF);
}

std::optional<std::uint32_t> parse_serial_text(const std::string &text) {
    if (text.size() != 10 || (text[0] != 'K' && text[0] != 'k') || (text[1] != 'V' && text[1] != 'v'))
        return std::nullopt;
    unsigned long year = 0, number = 0;
    if (!parse_unsigned(std::string_view(text).substr(2, 2), year) || year < 47 || year > 50) return std::nullopt;
    unsigned month = 0;
    switch (text[4]) {
    case '0': month = 0; break;
    case 'D': case 'd': month = 13; break;
    case 'E': case 'e': month = 14; break;
    case 'F': case 'f': month = 15; break;
    default: return std::nullopt;
    }
    if (!parse_unsigned(std::string_view(text).substr(5), number) || number == 0 || number > 0xFFFF)
        return std::nullopt;
    return 0x800000u | static_cast<std::uint32_t>((year - 47) << 20) | (month << 16) | static_cast<std::uint32_t>(number);
}

std::array<std::uint8_t, kInfoBlockSize> make_info_block(const AppInfoFields &fields) {
    std::array<std::uint8_t, kInfoBlockSize> block{};
    put_be32(&block[0], fields.id);
    std::memcpy(&block[4], fields.name.data(), std::min<std::size_t>(fields.name.size(), 63));
    put_be32(&block[72], fields.version_a);
    put_be32(&block[76], fields.version_b);
    put_be32(&block[88], fields.fw_version);
    put_be32(&block[92], fields.version_c);
    put_be32(&block[96], fields.version_d);
    std::copy(fields.features.begin(), fields.features.end(), block.begin() + kFeaturesOffset);
    return block;
}

AppInfoFields read_info_block(std::span<const std::uint8_t, kInfoBlockSize> block) {
    AppInfoFields fields;
    fields.id = get_be32(&block[0]);
    const auto name_end = std::find(block.begin() + 4, block.begin() + 4 + 63, std::uint8_t{0});
    fields.name.assign(block.begin() + 4, name_end);
    fields.version_a = get_be32(&block[72]);
    fields.version_b = get_be32(&block[76]);
    fields.fw_version = get_be32(&block[88]);
    fields.version_c = get_be32(&block[92]);
    fields.version_d = get_be32(&block[96]);
    std::copy_n(block.begin() + kFeaturesOffset, 4, fields.features.begin());
    return fields;
}

Bytes make_application_image(const AppInfoFields &fields, std::uint32_t payload_size) {
    const auto block = make_info_block(fields);
    Bytes image(block.begin(), block.end());
    image.reserve(image.size() + payload_size);
    for (std::uint32_t i = 0; i < payload_size; ++i) image.push_back(static_cast<std::uint8_t>(i * 7 + (i >> 8)));
    return image;
}

}  // namespace velkor::sim
