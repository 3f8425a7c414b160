#include "commands/step_chain.h"

#include <optional>
#include <utility>

#include "protocol/exchange.h"
#include "session/exchange_guard.h"

namespace velkor {
namespace {

thread_local bool driving = false;
thread_local std::optional<ChainStep> queued;

void perform(Session &session, const ChainStep &step) {
    ExchangeGuard guard(session.exchange_lock);
    const Ticket now = session.command.current();
    // Ended by _DeviceClose or _Close since the step was prepared.
    if (now.serial != step.ticket.serial || now.state != step.ticket.state) return;
    if (step.opcode == kReadNextFrame) {
        protocol::receive_poll(session);
        return;
    }
    protocol::send(session, step.opcode, step.length);
    session.arm_timer(step.period_ms, step.ticket);
}

}  // namespace

void run_step(Session &session, const ChainStep &step) {
    if (driving) {
        queued = step;
        return;
    }
    driving = true;
    struct Done {
        ~Done() {
            driving = false;
            queued.reset();
        }
    } done;
    std::optional<ChainStep> next = step;
    while (next) {
        perform(session, *next);
        next = std::exchange(queued, std::nullopt);
    }
}

}  // namespace velkor
