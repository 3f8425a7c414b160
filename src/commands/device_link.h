// Opening and closing the one link for the commands that talk to a device.
#pragma once

namespace velkor {
class Session;

// Closes the link when it is open.
void close_link(Session &session);

// Opens the link to the connected device when it is closed: after a connect
// (which closes its link) and after a command that closed it, the next command
// would otherwise send into nothing.
void open_link_to_connected_device(Session &session);

// Closes whatever is open and opens member `member` (which may be -1: then
// nothing opens).
bool reopen_link(Session &session, int member);

}  // namespace velkor
