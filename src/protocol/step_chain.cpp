#include "protocol/step_chain.h"

#include <optional>
#include <utility>

#include "protocol/exchange.h"
#include "session/exchange_guard.h"

namespace velkor {
namespace {

thread_local bool driving = false;
thread_local std::optional<ChainStep> queued;

void perform(Session &session, Workers &running, const ChainStep &step) {
    ExchangeGuard guard(session.exchange_lock);
    const Ticket now = session.command.current();
    // Ended by _DeviceClose or _Close since the step was prepared.
    if (now.serial != step.ticket.serial || now.state != step.ticket.state) return;
    if (step.opcode == kReadNextFrame) {
        protocol::receive_poll(session, running);
        return;
    }
    protocol::send(session, running, step.opcode, step.length);
    // The timer's one locked step for this command: the period of the step
    // before it was never restarted, and is replaced here.
    running.timer.arm(step.period_ms, step.ticket, session.command);
}

// Runs `first`, then every step the handlers leave behind, each under a guard
// of its own, so that the events of each step reach the host as the sequence
// goes on.
template <class First>
void drive(Session &session, Workers &running, First &&first) {
    driving = true;
    struct Done {
        ~Done() {
            driving = false;
            queued.reset();
        }
    } done;
    first();
    while (auto next = std::exchange(queued, std::nullopt)) perform(session, running, *next);
}

}  // namespace

void run_step(Session &session, const ChainStep &step) {
    if (driving) {
        queued = step;
        return;
    }
    // The workers are looked up once for the whole sequence.
    const auto running = session.workers();
    if (!running) return;
    drive(session, *running, [&] { perform(session, *running, step); });
}

void read_arrived_block(Session &session, Workers &running) {
    drive(session, running, [&] { protocol::receive_poll(session, running); });
}

}  // namespace velkor
