// One command exchange: write a frame, read one answer at once, hand its body
// to the handler of the command in flight.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol/frame.h"

namespace velkor {
class Session;
}

namespace velkor::protocol {

// The session's frame buffers. The command buffer keeps earlier payload bytes:
// a later, longer send carries them again.
struct ExchangeBuffers {
    std::array<std::uint8_t, kMaxCommandLength> command{};
    std::array<std::uint8_t, kMaxCommandLength> expected_echo{};
    std::size_t echo_length = 0;
    std::array<std::uint8_t, kFrameSize> frame{};
    std::array<std::uint8_t, kFrameSize> receive{};
    std::array<std::uint8_t, kFrameSize> response{};

    // The expected echo is the first `length` command bytes.
    void expect_command_echo(std::size_t length);
};

// Sends the first `length` command bytes with `opcode` in byte 0, then reads
// and dispatches one answer. Failures are silent: the command timer reports
// a missing answer.
void send(Session &session, std::uint8_t opcode, std::size_t length);

// Reads and dispatches one answer without sending.
void receive_poll(Session &session);

// Hands an answer of `count` bytes to the response handler of the command in
// flight. Also the link's receiver 0.
void dispatch_response(Session &session, std::uint32_t channel, const std::uint8_t *frame, std::uint32_t count);

// True when the body starts with the expected echo; the caller checks the
// length first.
bool echo_matches(const Session &session, const std::uint8_t *body);

}  // namespace velkor::protocol
