// What happens when the command timer runs out: the time-out handler of the
// command in flight, and the declaration of a lost link after three silent
// time-outs in a row, or at once when the link says its device has gone.
#pragma once

#include <cstdint>

namespace velkor {

struct Workers;

class Session;

// Installed in the command timer by _Initialize.
void dispatch_timeout(std::uint32_t serial);

// The link reported its device gone (end of file, a removed interface, a
// write refused for good): the command in flight ends now as its silent
// periods would end it. Inside a connection: (15,9), (10,0), the command's
// failure pair (and (3,1) for a download); before one: the command's own
// time-out. The caller holds the exchange.
void end_for_lost_device(Session &session, Workers &running);

// One more keep-alive failure of the connection held; the third in a row
// ends it with (15,9) and (10,0).
void count_keepalive_failure(Workers &running);

}  // namespace velkor
