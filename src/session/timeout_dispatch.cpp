#include "session/timeout_dispatch.h"

#include "session/session.h"
#include "session/exchange_guard.h"

namespace velkor {
namespace {

// A connection exists to lose: held, or being given up. While connecting
// there is none yet, and the connect's own time-out reports the silence.
bool holds_connection(const Workers &running) {
    const int state = running.connection;
    return state == kConnected || state == kDisconnecting;
}

// The third silent period in a row inside a live connection: the link is
// lost, and the command in flight still ends with its own failure, so that
// a host waiting for it is told.
void lose_link(Session &session, Workers &running, const Ticket &ticket) {
    if (!session.command.end(ticket)) return;
    running.keepalive_failures = 1;
    count_keepalive_failure(running);
    const int event = session.handlers()[static_cast<std::size_t>(ticket.state)].failure_event;
    if (event >= 0) running.post(event, 1);
    end_failed_download(running);
}

}  // namespace

void count_keepalive_failure(Workers &running) {
    if (--running.keepalive_failures == 0 && running.connection != kNotConnected) {
        running.keepalive_failures = 3;
        running.connection = kNotConnected;
        running.post(VELKOR_EV_ERROR, VELKOR_ERR_LINK_LOST);
        running.post(VELKOR_EV_DISCONNECT, 0);
    }
}

namespace {

void run_timeout_handler(Session &session, Workers &running, const Ticket &ticket) {
    if (ticket.state >= 0 && ticket.state < kIdle) {
        if (TimeoutHandler handler = session.handlers()[static_cast<std::size_t>(ticket.state)].timeout) {
            handler(session, running, ticket);
            return;
        }
    }
    session.command.end(ticket);
}

}  // namespace

void end_for_lost_device(Session &session, Workers &running) {
    const Ticket ticket = session.command.current();
    // A search reads interfaces of its own, not the link. A command that has
    // not sent yet meets the loss in its own send, or opens a link of its own
    // (a connect between its gate and its first frame).
    if (ticket.state == kIdle || ticket.state == kSearch) return;
    if (session.exchange.awaiting_serial != ticket.serial) return;
    running.restart_timer(ticket);
    if (holds_connection(running)) {
        lose_link(session, running, ticket);
        return;
    }
    run_timeout_handler(session, running, ticket);
}

void dispatch_timeout(std::uint32_t serial) {
    Session &session = Session::instance();
    ExchangeGuard guard(session.exchange_lock);
    const Ticket ticket = session.command.current();
    // The period of a command that has ended since it was armed: nothing here
    // is its to touch, not even the timer, which may watch the next command.
    if (ticket.serial != serial) return;
    const auto running = session.workers();
    if (!running) return;
    running->restart_timer(ticket);

    const bool counted = ticket.state != kSearch && ticket.state != kIdle;
    if (counted && --running->missed_responses == 0 && holds_connection(*running)) {
        lose_link(session, *running, ticket);
        return;
    }
    run_timeout_handler(session, *running, ticket);
}

}  // namespace velkor
