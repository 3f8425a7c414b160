// What travels between a host and a DROVA device, seen from the device: the
// 512-byte command frame, answer frames, the opcodes, and the small encodings
// (big-endian words, the 8-bit one's-complement checksum, information blocks).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velkor::sim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t kFrameSize = 512;
inline constexpr std::size_t kHeaderSize = 20;
inline constexpr std::size_t kMaxCommandLength = kFrameSize - kHeaderSize;
inline constexpr std::size_t kInfoBlockSize = 168;
inline constexpr std::size_t kDeviceBlockSize = 348;
inline constexpr std::size_t kSearchBlockSize = 88;
inline constexpr std::size_t kRecordHeaderSize = 8;
inline constexpr std::uint32_t kEmptyId = 0xFFFFFFFFu;

enum Opcode : std::uint8_t {
    kConnect = 224,
    kDisconnect = 225,
    kConnectAck = 226,
    kDisconnectAck = 227,
    kRefused = 228,  // answer code only
    kKeepAlive = 229,
    kQuery = 230,
    kFlashInfo = 231,
    kAppInfo = 232,
    kWriteSerial = 233,
    kAutoStart = 234,
    kErase = 235,
    kAddress = 236,
    kData = 237,
    kProgram = 238,
    kChecksum = 239,
    kStartApp = 240,
    kReset = 241,
};

// Short lower-case name ("connect", "query", ...), or null for a byte that is
// not an opcode.
const char *opcode_name(std::uint8_t opcode);
std::optional<std::uint8_t> opcode_from_name(const std::string &name);

void put_be32(std::uint8_t *at, std::uint32_t value);
std::uint32_t get_be32(const std::uint8_t *at);
void append_be32(Bytes &out, std::uint32_t value);

// 8-bit one's-complement sum, complemented at the end: empty gives 0xFF.
class OnesComplementSum {
public:
    void add(std::span<const std::uint8_t> bytes);
    std::uint8_t value() const { return static_cast<std::uint8_t>(~sum_); }

private:
    std::uint8_t sum_ = 0;
};
std::uint8_t ones_complement_checksum(std::span<const std::uint8_t> bytes);

// The checksum byte that leads a serial number word on the wire.
std::uint8_t serial_word_checksum(std::uint32_t serial24);

// A frame as the host wrote it.
struct CommandFrame {
    std::uint32_t channel = 0;
    std::uint32_t length = 0;       // command bytes from offset 20
    std::uint32_t length_copy = 0;
    std::span<const std::uint8_t> command;  // opcode and payload, `length` bytes
    std::uint8_t opcode() const { return command[0]; }
};

// Null when the block is not a well-formed command frame: not 512 bytes, a
// length of 0 or past the frame, or a length copy that disagrees.
std::optional<CommandFrame> parse_command_frame(std::span<const std::uint8_t> block);

// A command frame as a host builds it (zero padding to 512 bytes).
Bytes make_command_frame(std::span<const std::uint8_t> command);

// An answer frame: 20-byte header (channel, body length, two zero words,
// body length again) and the body, without padding.
Bytes make_answer_frame(std::span<const std::uint8_t> body, std::uint32_t channel = 0);

// The body of an answer frame as a host reads it: the header's length, but no
// more than was delivered. Null when fewer than 21 bytes arrived or the
// length is 0.
std::optional<std::span<const std::uint8_t>> answer_body(std::span<const std::uint8_t> frame);

// Packed version A.B.C.D from text, e.g. "1.1.0.0".
std::optional<std::uint32_t> parse_version(const std::string &text);
std::string version_text(std::uint32_t version);

// Serial number from its text form (KV, two digits 47-50, one of 0 D E F,
// five digits 00001-65535).
std::optional<std::uint32_t> parse_serial_text(const std::string &text);

// The fields of an application's 168-byte information block that the device
// and its hosts interpret. Words are stored big-endian.
struct AppInfoFields {
    std::uint32_t id = kEmptyId;
    std::string name;
    std::uint32_t version_a = 0;
    std::uint32_t version_b = 0;
    std::uint32_t fw_version = 0;
    std::uint32_t version_c = 0;
    std::uint32_t version_d = 0;
    // Reported by the device when the application is started; byte k, bit j
    // is feature 8k + j.
    std::array<std::uint8_t, 4> features{};
};

inline constexpr std::size_t kFeaturesOffset = 100;

std::array<std::uint8_t, kInfoBlockSize> make_info_block(const AppInfoFields &fields);
AppInfoFields read_info_block(std::span<const std::uint8_t, kInfoBlockSize> block);

// An application image as a host downloads it: the information block, then
// `payload_size` bytes of a fixed pattern.
Bytes make_application_image(const AppInfoFields &fields, std::uint32_t payload_size);

}  // namespace velkor::sim
