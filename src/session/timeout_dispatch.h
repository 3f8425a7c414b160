// What happens when the command timer runs out: the time-out handler of the
// command in flight, and the declaration of a lost link after three silent
// time-outs in a row.
#pragma once

#include <cstdint>

namespace velkor {

struct Workers;

// Installed in the command timer by _Initialize.
void dispatch_timeout(std::uint32_t serial);

// One more keep-alive failure of the connection held; the third in a row
// ends it with (15,9) and (10,0).
void count_keepalive_failure(Workers &running);

}  // namespace velkor
