// Windows parts of the USB driver seam that the device side of the socket
// transport and the tests share.
#pragma once

#include <windows.h>

#include <memory>

#include "platform/usb_driver.h"

namespace velkor::platform {

// How long a cancelled transfer may take to end. A driver ends one within
// milliseconds; past this one it is taken never to end, and the transfer's
// record and buffer are left to it.
inline constexpr DWORD kCancelledTransferBoundMs = 250;

// The overlapped calls the device backend issues, so that a test can watch
// or stand in for the driver.
struct OverlappedCalls {
    BOOL(WINAPI *read_file)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) = ReadFile;
    BOOL(WINAPI *write_file)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) = WriteFile;
    BOOL(WINAPI *cancel_io)(HANDLE, LPOVERLAPPED) = CancelIoEx;
    DWORD cancel_bound_ms = kCancelledTransferBoundMs;
};
OverlappedCalls &overlapped_calls();

// Takes over a connected message-mode pipe handle opened for overlapped I/O
// (either end).
std::unique_ptr<MessageChannel> adopt_named_pipe(HANDLE pipe);

}  // namespace velkor::platform
