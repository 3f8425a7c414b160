#include "protocol/exchange.h"

#include <algorithm>
#include <cstring>

#include "protocol/step_chain.h"
#include "session/session.h"
#include "session/exchange_guard.h"
#include "session/timeout_dispatch.h"
#include "usb/Usblink.h"

namespace velkor::protocol {

void ExchangeBuffers::expect_command_echo(std::size_t length) {
    std::memcpy(expected_echo.data(), command.data(), length);
    echo_length = length;
}

namespace {

// Blocks still queued before a frame goes out answer an earlier frame (a late
// answer, one frame too many). Read as this frame's answer they would shift
// every later answer onto the command after it. Bounded by what any link can
// hold, so a device cannot keep us here and no queued block survives.
void discard_stale_blocks(platform::UsbConnection *link, ExchangeBuffers &buffers) {
    for (std::uint32_t i = 0; i < platform::kMostQueuedBlocks; ++i) {
        std::uint32_t count = 0;
        if (usb::Poll(link, buffers.receive.data(), &count) != 1 || count == 0) return;
    }
}

// The dispatcher, for a caller that holds the exchange.
void dispatch_held(Session &session, Workers &running, std::uint32_t channel, const std::uint8_t *frame,
                   std::uint32_t count) {
    const Ticket ticket = session.command.current();
    if (channel != 0 && ticket.state != kSearch) return;
    // A repeat or a late answer that the link's reader takes between a
    // command's gate and its frame (whose send drops what is queued) would
    // otherwise answer it. A search reads connections of its own.
    ExchangeBuffers &buffers = session.exchange;
    if (ticket.state != kSearch && ticket.state != kIdle && buffers.awaiting_serial != ticket.serial) return;
    if (count > kFrameSize) {
        running.post(VELKOR_EV_ERROR, VELKOR_ERR_BLOCK_SIZE);
        return;
    }
    // Only the bytes that arrived: a header that claims more never lets a
    // handler read what an earlier answer left in the buffer, and a block too
    // short for a header has no body and no header to read.
    const std::size_t delivered = count > kHeaderSize ? count - kHeaderSize : 0;
    const std::size_t length = delivered == 0 ? 0 : std::min<std::size_t>(read_answer_header(frame).length, delivered);
    if (length > 0) std::memmove(buffers.response.data(), frame + kHeaderSize, length);
    if (ticket.state >= 0 && ticket.state < kIdle) {
        if (ResponseHandler handler = session.handlers()[static_cast<std::size_t>(ticket.state)].response)
            handler(session, running, ticket, buffers.response.data(), length);
    }
    // Written only when it changes: the common case costs a plain load.
    if (running.missed_responses.load(std::memory_order_relaxed) != 3) running.missed_responses = 3;
}

// One block from `link`, dispatched, for a caller that holds the exchange;
// false when none was there.
bool receive_held(Session &session, Workers &running, platform::UsbConnection *link) {
    ExchangeBuffers &buffers = session.exchange;
    std::uint32_t count = 0;
    if (usb::Poll(link, buffers.receive.data(), &count) != 1 || count == 0) return false;
    if (count < kHeaderSize + 1) return true;
    const AnswerHeader header = read_answer_header(buffers.receive.data());
    if (header.length != 0) dispatch_held(session, running, header.channel, buffers.receive.data(), count);
    return true;
}

}  // namespace

bool receive_from(Session &session, Workers &running, platform::UsbConnection *link) {
    ExchangeGuard guard(session.exchange_lock);
    return receive_held(session, running, link);
}

void send(Session &session, Workers &running, std::uint8_t opcode, std::size_t length) {
    ExchangeGuard guard(session.exchange_lock);
    const usb::Connection link = usb::LinkConnection();
    ExchangeBuffers &buffers = session.exchange;
    discard_stale_blocks(link.get(), buffers);
    buffers.command[0] = opcode;
    build_frame(buffers.command.data(), length, buffers.frame.data());
    buffers.awaiting_serial = session.command.current().serial;
    if (running.usb.Send(link.get(), buffers.frame.data(), kFrameSize) != 0) {
        // Refused by a link whose device is known gone: no period to wait out.
        if (link && link->wait_readable(0) == platform::Readiness::ended) end_for_lost_device(session, running);
        return;
    }
    receive_held(session, running, link.get());
}

void send(Session &session, std::uint8_t opcode, std::size_t length) {
    ExchangeGuard guard(session.exchange_lock);
    if (const auto running = session.workers()) send(session, *running, opcode, length);
}

void receive_poll(Session &session, Workers &running) {
    ExchangeGuard guard(session.exchange_lock);
    receive_held(session, running, usb::LinkConnection().get());
}

bool read_link_block(std::uint64_t owner, platform::Readiness found) {
    Session &session = Session::instance();
    const auto running = session.workers();
    if (!running || running->generation != owner) return false;
    if (found == platform::Readiness::ended) {
        ExchangeGuard guard(session.exchange_lock);
        // A link the session closed itself, or replaced since, is no news.
        const usb::Connection link = usb::LinkConnection();
        if (link && link->wait_readable(0) == platform::Readiness::ended) end_for_lost_device(session, *running);
        return true;
    }
    read_arrived_block(session, *running);
    return true;
}

void dispatch_response(Session &session, Workers &running, std::uint32_t channel, const std::uint8_t *frame,
                       std::uint32_t count) {
    ExchangeGuard guard(session.exchange_lock);
    dispatch_held(session, running, channel, frame, count);
}

void dispatch_response(Session &session, std::uint32_t channel, const std::uint8_t *frame, std::uint32_t count) {
    ExchangeGuard guard(session.exchange_lock);
    if (const auto running = session.workers()) dispatch_response(session, *running, channel, frame, count);
}

bool echo_matches(const Session &session, const std::uint8_t *body) {
    const ExchangeBuffers &buffers = session.exchange;
    return std::equal(buffers.expected_echo.begin(), buffers.expected_echo.begin() + buffers.echo_length, body);
}

}  // namespace velkor::protocol
