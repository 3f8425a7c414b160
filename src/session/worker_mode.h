// How a session's three workers run: the command timer, the event delivery
// and the link's reads. Hosts get them on threads of their own. A driven
// session starts no thread: its caller runs each worker's round on its own
// thread, when it chooses, with the same code a thread would run. Fuzz
// targets drive sessions this way, on a clock that only they move, so that an
// input always runs the same way and no round waits for a thread or a sleep.
#pragma once

#include <cstddef>

namespace velkor {

enum class WorkerMode { threaded, driven };

// The mode of the sessions started from now on.
void set_worker_mode(WorkerMode mode);
WorkerMode current_worker_mode();

// One round of a worker of the running session, which must be driven. Each
// does nothing without a session.

// Ends the command whose period has run out on the session clock, as the
// timer's thread does at its poll; true when a period had run out.
bool drive_timer();
// Hands every queued event to the host, in order, without pacing; how many.
std::size_t drive_delivery();
// Reads and dispatches one block that has arrived on the link and that no
// sender's poll took; false when none had.
bool drive_link_read();

}  // namespace velkor
