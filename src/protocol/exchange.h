// One command exchange: write a frame, read one answer at once, hand its body
// to the handler of the command in flight. An answer that is not there at that
// read is read by the link's loop when it arrives (read_link_block). The
// session's workers and the link's connection are looked up once per exchange
// and handed down.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/usb_driver.h"
#include "protocol/frame.h"

namespace velkor {
class Session;
struct Workers;
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
    // The command (or step) that awaits an answer on the link: the one whose
    // frame went out last, or a step that reads on after it. A command that
    // has not sent yet awaits nothing there: a block that comes meanwhile is
    // a stale one, and a device lost on the link is no news of it.
    std::uint32_t awaiting_serial = ~std::uint32_t{0};

    // The expected echo is the first `length` command bytes.
    void expect_command_echo(std::size_t length);
};

// Sends the first `length` command bytes with `opcode` in byte 0, then reads
// and dispatches one answer if one is there. Failures are silent: the command
// timer reports a missing answer.
void send(Session &session, Workers &running, std::uint8_t opcode, std::size_t length);
void send(Session &session, std::uint8_t opcode, std::size_t length);

// Reads and dispatches one answer without sending, if one is there.
void receive_poll(Session &session, Workers &running);

// The same on a connection other than the link's (the search's own). False
// when no block was there to read.
bool receive_from(Session &session, Workers &running, platform::UsbConnection *connection);

// The link's loop found a block, or the link's end, for the session made by
// _Initialize number `owner`: reads and dispatches the block, or ends the
// command in flight at once when its device has gone. False once that
// session has ended.
bool read_link_block(std::uint64_t owner, platform::Readiness found);

// Hands an answer of `count` bytes to the response handler of the command in
// flight. Also the link's receiver 0.
void dispatch_response(Session &session, Workers &running, std::uint32_t channel, const std::uint8_t *frame,
                       std::uint32_t count);
void dispatch_response(Session &session, std::uint32_t channel, const std::uint8_t *frame, std::uint32_t count);

// True when the body starts with the expected echo; the caller checks the
// length first.
bool echo_matches(const Session &session, const std::uint8_t *body);

}  // namespace velkor::protocol
