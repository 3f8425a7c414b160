#include "commands/device_link.h"

#include "api/session.h"
#include "usb/Usblink.h"

namespace velkor {

void close_link(Session &) {
    if (usb::UsbIsOpen()) usb::LinkClose();
}

void open_link_to_connected_device(Session &session) {
    if (!usb::UsbIsOpen()) usb::LinkOpen(session.connected_member);
}

bool reopen_link(Session &session, int member) {
    close_link(session);
    return usb::LinkOpen(member);
}

}  // namespace velkor
