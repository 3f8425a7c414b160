#include "protocol/exchange.h"

#include <algorithm>
#include <cstring>

#include "api/session.h"
#include "session/exchange_guard.h"
#include "usb/Usblink.h"

namespace velkor::protocol {

void ExchangeBuffers::expect_command_echo(std::size_t length) {
    std::memcpy(expected_echo.data(), command.data(), length);
    echo_length = length;
}

namespace {

// Blocks still queued before a frame goes out answer an earlier frame (a late
// answer, one frame too many). Read as this frame's answer they would shift
// every later answer onto the command after it.
void discard_stale_blocks(ExchangeBuffers &buffers) {
    constexpr int kMostQueued = 64;  // bounded: a device cannot keep us here
    for (int i = 0; i < kMostQueued; ++i) {
        std::uint32_t count = 0;
        if (usb::Poll(buffers.receive.data(), &count) != 1 || count == 0) return;
    }
}

}  // namespace

void send(Session &session, std::uint8_t opcode, std::size_t length) {
    ExchangeGuard guard(session.exchange_lock);
    auto running = session.workers();
    if (!running) return;
    ExchangeBuffers &buffers = session.exchange;
    discard_stale_blocks(buffers);
    buffers.command[0] = opcode;
    build_frame(buffers.command.data(), length, buffers.frame.data());
    if (running->usb.Send(buffers.frame.data(), kFrameSize) != 0) return;
    // The device needs a moment to gather its flash table.
    if (opcode == kOpFlashInfo) session.sleep(500);
    receive_poll(session);
}

void receive_poll(Session &session) {
    ExchangeGuard guard(session.exchange_lock);
    ExchangeBuffers &buffers = session.exchange;
    std::uint32_t count = 0;
    if (usb::Poll(buffers.receive.data(), &count) != 1 || count < kHeaderSize + 1) return;
    const AnswerHeader header = read_answer_header(buffers.receive.data());
    if (header.length == 0) return;
    dispatch_response(session, header.channel, buffers.receive.data(), count);
}

void dispatch_response(Session &session, std::uint32_t channel, const std::uint8_t *frame, std::uint32_t count) {
    ExchangeGuard guard(session.exchange_lock);
    const Ticket ticket = session.command.current();
    if (channel != 0 && ticket.state != kSearch) return;
    if (count > kFrameSize) {
        session.post(VELKOR_EV_ERROR, VELKOR_ERR_BLOCK_SIZE);
        return;
    }
    // Only the bytes that arrived: a header that claims more never lets a
    // handler read what an earlier answer left in the buffer, and a block too
    // short for a header has no body and no header to read.
    const std::size_t delivered = count > kHeaderSize ? count - kHeaderSize : 0;
    const std::size_t length = delivered == 0 ? 0 : std::min<std::size_t>(read_answer_header(frame).length, delivered);
    ExchangeBuffers &buffers = session.exchange;
    if (length > 0) std::memmove(buffers.response.data(), frame + kHeaderSize, length);
    const auto running = session.workers();
    if (!running) return;
    if (ticket.state >= 0 && ticket.state < kIdle) {
        if (ResponseHandler handler = session.handlers()[static_cast<std::size_t>(ticket.state)].response)
            handler(session, *running, ticket, buffers.response.data(), length);
    }
    running->missed_responses = 3;
}

bool echo_matches(const Session &session, const std::uint8_t *body) {
    const ExchangeBuffers &buffers = session.exchange;
    return std::equal(buffers.expected_echo.begin(), buffers.expected_echo.begin() + buffers.echo_length, body);
}

}  // namespace velkor::protocol
