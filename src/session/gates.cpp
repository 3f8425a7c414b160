#include "session/gates.h"

namespace velkor {
namespace {

bool refuse_uninitialised(Session &session) {
    if (session.initialised()) return false;
    session.post(VELKOR_EV_ERROR, VELKOR_ERR_NOT_INITIALISED);
    return true;
}

// Step 2 of the standard and connect gates. The command becomes the one in
// flight in the same atomic step that found the session idle, so two host
// threads can never both pass.
std::optional<Ticket> begin_if(Session &session, int command, int wanted_connection, int connection_error) {
    const bool idle = session.command.state() == kIdle;
    const bool connection_ok = session.connection_state() == wanted_connection;
    if (idle && connection_ok) {
        if (auto ticket = session.command.begin(command)) return ticket;
    }
    if (!idle || connection_ok) session.post(VELKOR_EV_ERROR, VELKOR_ERR_BUSY);
    if (!connection_ok) session.post(VELKOR_EV_ERROR, connection_error);
    return std::nullopt;
}

}  // namespace

std::optional<Ticket> standard_gate(Session &session, int command) {
    if (refuse_uninitialised(session)) return std::nullopt;
    return begin_if(session, command, kConnected, VELKOR_ERR_NOT_CONNECTED);
}

std::optional<Ticket> connect_gate(Session &session, int command) {
    if (refuse_uninitialised(session)) return std::nullopt;
    return begin_if(session, command, kNotConnected, VELKOR_ERR_DISCONNECT_FIRST);
}

std::optional<Ticket> keepalive_gate(Session &session, int command) {
    return begin_if(session, command, kConnected, VELKOR_ERR_NOT_CONNECTED);
}

std::optional<Ticket> search_gate(Session &session, int command) {
    if (refuse_uninitialised(session)) return std::nullopt;
    return session.command.begin(command);
}

std::shared_ptr<Workers> workers_of(Session &session, const Ticket &ticket) {
    auto running = session.workers();
    if (!running) session.command.end(ticket);
    return running;
}

std::optional<Ticket> chained_gate(Session &session, const Ticket &previous, int command) {
    return session.command.hand_over(previous, command);
}

}  // namespace velkor
