// The refusal rules every command export applies before it changes anything.
// A gate that lets a command through has already made it the command in
// flight and hands back its ticket; a refusal has posted its reasons.
#pragma once

#include <memory>
#include <optional>

#include "session/session.h"

namespace velkor {

// Not initialised: (15,0). Busy or not connected: (15,10) and/or (15,5).
std::optional<Ticket> standard_gate(Session &session, int command);

// Not initialised: (15,0). Busy or not disconnected: (15,10) and/or (15,4).
std::optional<Ticket> connect_gate(Session &session, int command);

// The standard gate without its initialised test.
std::optional<Ticket> keepalive_gate(Session &session, int command);

// Not initialised: (15,0). Busy: refused without an event.
std::optional<Ticket> search_gate(Session &session, int command);

// The session a command that passed its gate runs in. When that session has
// ended meanwhile (_Close from another thread), the command ends with it and
// null comes back.
std::shared_ptr<Workers> workers_of(Session &session, const Ticket &ticket);

// A step of a chained sequence: the previous step's handler left the command
// in `expected`; continues it as `command` without a test.
std::optional<Ticket> chained_gate(Session &session, const Ticket &previous, int command);

}  // namespace velkor
