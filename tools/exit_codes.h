// drova's exit statuses: one per kind of failure, so that scripts can tell
// them apart. `drova --help` and the README list them.
#pragma once

namespace drova::exit_code {

inline constexpr int kOk = 0;
inline constexpr int kInternal = 1;
inline constexpr int kUsage = 2;            // bad arguments; no device was touched
inline constexpr int kBadFile = 3;          // an image or table file that cannot be read or parsed; no device was touched
inline constexpr int kLibrary = 4;          // the library cannot be loaded or lacks an export
inline constexpr int kSimulator = 5;        // the simulated device did not start
inline constexpr int kNoDevice = 6;         // no device answered, or the selection matches none
inline constexpr int kSilent = 7;           // the library reported no outcome in time
inline constexpr int kInconsistent = 8;     // the consistency check marked an entry of the flash table
inline constexpr int kAmbiguous = 9;        // a serial number several found devices share, a change with several found and none chosen, or a number to write that another found device has
inline constexpr int kOperationFailed = 10; // + the event's operation a: (a, 1) ended the command (10..24)
inline constexpr int kNotConfirmed = 25;    // a command that changes a device was not confirmed; nothing was changed
inline constexpr int kWontFit = 26;         // the image does not fit the device's flash table; nothing was written
inline constexpr int kDeviceLost = 27;      // the device went away mid-command (pulled out, its link broke)
inline constexpr int kRefusedSilently = 39; // the library refused a command without giving a reason
inline constexpr int kRefused = 40;         // + the error code of the (15, code) event that refused it (40..57)
inline constexpr int kInterrupted = 130;    // Ctrl-C; 128 + the signal for SIGTERM (143), SIGHUP (129), SIGPIPE (141)

}  // namespace drova::exit_code
