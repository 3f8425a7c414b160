// The steps of a chained sequence (a download, an answer in several frames)
// each start from the handler of the step before. Sending from inside that
// handler would nest one call level per step, since the send reads and
// dispatches its answer before it returns. Instead a handler leaves its next
// step here, and the outermost caller on the same thread runs it once the
// current step has returned: a sequence of any length runs in constant stack
// depth, with its commands and events in the same order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "session/session.h"
#include "protocol/device_link.h"
#include "protocol/exchange.h"
#include "session/exchange_guard.h"

namespace velkor {

struct ChainStep {
    Ticket ticket;            // the command the step belongs to
    std::uint8_t opcode = 0;  // sent with `length` command bytes; kReadNextFrame: only read
    std::size_t length = 0;
    std::uint32_t period_ms = 0;  // armed once the send has returned
};

// Reads the next frame of a multi-frame answer instead of sending.
inline constexpr std::uint8_t kReadNextFrame = 0;

// Sends the command bytes prepared for `step` and arms its period, unless its
// command has ended meanwhile. Called while a step runs on this thread, it
// only records the step, to be run when the running one returns. The caller
// must not hold the exchange guard when it starts a sequence, so that the
// events of each step reach the host as the sequence goes on.
void run_step(Session &session, const ChainStep &step);

// Reads a block that has arrived on the link after its exchange's own read
// (the link's loop), dispatches it and runs the steps its handler starts.
void read_arrived_block(Session &session, Workers &running);

// Starts a command (or the next step of one) on the connected device:
// restarts the timer, opens the link when it is closed (a connect and the end
// of most commands close it), has `prepare` write the command bytes and the
// expected echo and return the command length, then runs the step.
template <class Prepare>
void start_step(Session &session, const Ticket &ticket, std::uint8_t opcode, std::uint32_t period_ms,
                Prepare &&prepare) {
    std::size_t length = 0;
    {
        ExchangeGuard guard(session.exchange_lock);
        const auto running = session.workers();
        if (!running) return;
        running->restart_timer(ticket);
        open_link_to_connected_device(session, *running);
        length = prepare(session.exchange);
    }
    run_step(session, {ticket, opcode, length, period_ms});
}

}  // namespace velkor
