// What drova reads from a connected device beyond its information block: the
// flash sector table, block for block as the device sent it, and the
// firmware features the running application reported.
#pragma once

#include <string>

#include "device_session.h"
#include "flash_table.h"

namespace drova {

// Asks the device for its flash table (_FlashInfo) and waits for it.
void read_flash_table(DeviceSession &session);
// The table that _FlashInfo read, named after the connected device.
FlashTable fetched_table(DeviceSession &session);
// read_flash_table, then fetched_table.
FlashTable current_table(DeviceSession &session);
// "0 9", or "none".
std::string feature_list(const VelkorApi &api);

}  // namespace drova
