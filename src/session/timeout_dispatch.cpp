#include "session/timeout_dispatch.h"

#include "api/session.h"
#include "session/exchange_guard.h"

namespace velkor {

void count_keepalive_failure(Session &session) {
    if (--session.keepalive_failures == 0 && session.connection != kNotConnected) {
        session.keepalive_failures = 3;
        session.connection = kNotConnected;
        session.post(VELKOR_EV_ERROR, VELKOR_ERR_LINK_LOST);
        session.post(VELKOR_EV_DISCONNECT, 0);
    }
}

void dispatch_timeout(std::uint32_t serial) {
    Session &session = Session::instance();
    ExchangeGuard guard(session.exchange_lock);
    session.restart_timer();
    const Ticket ticket = session.command.current();
    // The period of a command that has ended since it was armed.
    if (ticket.serial != serial) return;

    // With the connection already gone (a reset while the command waited)
    // there is no link to declare lost: the command's own time-out gives it
    // the outcome it would otherwise never get.
    if (ticket.state != kSearch && ticket.state != kIdle && --session.missed_responses == 0 &&
        session.connection != kNotConnected) {
        if (!session.command.end(ticket)) return;
        session.keepalive_failures = 1;
        count_keepalive_failure(session);
        return;
    }
    if (ticket.state >= 0 && ticket.state < kIdle) {
        if (TimeoutHandler handler = session.handlers()[static_cast<std::size_t>(ticket.state)].timeout) {
            handler(session, ticket);
            return;
        }
    }
    session.command.end(ticket);
}

}  // namespace velkor
