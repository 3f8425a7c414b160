// The 512-byte frame in which every command and answer travels: a 20-byte
// big-endian header (channel, length, two reserved words, length copy), then
// the command or answer bytes, then zero padding.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velkor::protocol {

inline constexpr std::size_t kFrameSize = 512;
inline constexpr std::size_t kHeaderSize = 20;
inline constexpr std::size_t kMaxCommandLength = kFrameSize - kHeaderSize;  // 492

enum Opcode : std::uint8_t {
    kOpConnect = 0xE0,
    kOpDisconnect = 0xE1,
    kOpConnectAck = 0xE2,
    kOpDisconnectAck = 0xE3,
    kAnswerRefused = 0xE4,
    kOpKeepAlive = 0xE5,
    kOpDeviceQuery = 0xE6,
    kOpFlashInfo = 0xE7,
    kOpAppInfo = 0xE8,
    kOpWriteSerial = 0xE9,
    kOpAutoStart = 0xEA,
    kOpErase = 0xEB,
    kOpAddress = 0xEC,
    kOpProgramData = 0xED,
    kOpProgram = 0xEE,
    kOpCheckSum = 0xEF,
    kOpStartApp = 0xF0,
    kOpReset = 0xF1,
};

// Writes the whole frame for the first `length` command bytes (length ≤ 492).
void build_frame(const std::uint8_t *command, std::size_t length, std::uint8_t *frame);

struct AnswerHeader {
    std::uint32_t channel;
    std::uint32_t length;  // body bytes from offset 20; 0 = no answer
};
AnswerHeader read_answer_header(const std::uint8_t *frame);

}  // namespace velkor::protocol
