// What a change would do to a device, in the words drova asks about it: the
// command line's confirmation prompt and the GUI's dialog show the same text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device_session.h"
#include "flash_table.h"

namespace drova {

// The autostart id of a device that starts no application by itself.
inline constexpr std::uint32_t kNoApplication = 0xFFFFFFFF;

// "erase sector 3 (application id 4711 'Motor control') of <device>".
std::string erase_change(const FlashTable &table, unsigned sector);
// "erase and download into area 0 (application id 5 'Demo') of <device>".
std::string download_change(const FlashTable &table, unsigned target, bool erase_first);
std::string autostart_change(const DeviceSession &session, std::uint32_t id);
std::string write_serial_change(const DeviceSession &session, std::uint32_t serial);
// Throws Failure(kAmbiguous) unless `force_duplicate` when another found
// device already has `serial`; otherwise the warnings to show.
std::vector<std::string> check_new_serial(const DeviceSession &session, std::uint32_t serial, bool force_duplicate);

}  // namespace drova
