#include "protocol/device_link.h"

#include "session/session.h"
#include "usb/Usb.h"
#include "usb/Usblink.h"

namespace velkor {

void close_link() {
    if (usb::UsbIsOpen()) usb::LinkClose();
}

bool reopen_link(int member) {
    close_link();
    return usb::LinkOpen(member);
}

void reopen_link_to_connected_device(Session &session, Workers &running) {
    const char *path = session.connected_device.devicePath;
    const int member = usb::UsbListedIndex(path);
    running.connected_member = member;
    // The list may change between the look-up and the open.
    if (reopen_link(member) && !usb::UsbIsOpenAt(path)) close_link();
}

void open_link_to_connected_device(Session &session, Workers &running) {
    if (usb::UsbIsOpenAt(session.connected_device.devicePath)) return;
    reopen_link_to_connected_device(session, running);
}

}  // namespace velkor
