// Opening and closing the one link for the commands that talk to a device.
// The connected device is known by the interface path in the connected-device
// record, never by a list position: interfaces before it may come and go.
#pragma once

namespace velkor {
class Session;
struct Workers;

// Closes the link when it is open.
void close_link();

// Makes the link reach the connected device: a link already open to it stays
// open (a connect and the end of most commands close it); anything else is
// closed and the device's interface is opened wherever it is listed now. When
// it is listed nowhere, nothing is open and the command times out.
void open_link_to_connected_device(Session &session, Workers &running);

// The same, but an open link is closed and opened again.
void reopen_link_to_connected_device(Session &session, Workers &running);

// Closes whatever is open and opens member `member` (which may be -1: then
// nothing opens).
bool reopen_link(int member);

}  // namespace velkor
