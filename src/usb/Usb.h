// Device lookup: the interfaces of one device interface class that are
// present, each known by its member index, its position in the order the
// driver backend lists them. Only member indexes 0 to 9 are examined.
#pragma once

#include <cstdint>

#include "platform/usb_driver.h"

namespace velkor::usb {

using platform::InterfaceClassGuid;

inline constexpr InterfaceClassGuid kDeviceInterfaceClass{
    0x8d96c3f0, 0x627c, 0x490d, {0xba, 0xa2, 0x3f, 0x7d, 0x1d, 0x78, 0x9f, 0x3d}};
inline constexpr const char *kInterfaceFilter = "vid_FFFF&pid_FFFF";
inline constexpr std::uint32_t kPathSize = 260;  // every buffer that holds a path
inline constexpr int kMemberIndexes = 10;

// Results of UsbGetDevicePath.
enum PathResult : int {
    kPathTooLong = 0,   // found, but the path does not fit the buffer; nothing copied
    kPathFound = 1,     // found; copied when a buffer was given
    kLookupFailed = 2,  // the list of present interfaces or the interface's detail could not be had
    kNoInterface = 3,   // nothing at this member index
    kRejected = 4,      // not accepted: no filter text is set, or the device-instance check refused it
};

// Stores the class and the filter text (by reference; the text must outlive
// the lookup). While the filter is null the lookup finds nothing.
void UsbSetInterface(InterfaceClassGuid interface_class, const char *filter);
bool UsbFilterSet();

// The device-instance check of the path lookup: an interface is admitted only
// when the device instance the system records for it, lower-cased, contains
// the filter text (otherwise kRejected). Off unless switched on; the library
// never does, since its own filter text cannot match a lower-cased name.
void UsbSetInstanceCheck(bool on);

// The path of the interface at `member`. `buffer` and `length` may be null;
// the length excludes the terminator.
int UsbGetDevicePath(int member, char *buffer, std::uint32_t size, std::uint32_t *length);
// The same on a backend already chosen (null: none exists).
int UsbGetDevicePath(platform::UsbBackend *backend, int member, char *buffer, std::uint32_t size,
                     std::uint32_t *length);

// How many of the member indexes 0 to 9 have an interface (0 to 10).
int UsbCountDevices();

// The member index at which the interface with `path` is listed now, or -1.
// Nothing is opened: a device that another link holds is found as well.
int UsbListedIndex(const char *path);

// The member index whose interface has the path held in the 260-byte buffer
// `path`, or -1. Each interface found is opened as a probe (its path becomes
// the current device path of the link, whose own state stays as it was).
int UsbFindDeviceIndex(const char *path);

}  // namespace velkor::usb
