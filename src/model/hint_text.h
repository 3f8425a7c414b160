// The multi-line description of a device that hosts show as a tooltip.
#pragma once

#include <string>

#include "Vevara_Rovo_dar.h"
#include "model/flash_sector_list.h"

namespace velkor {

// `connected_sectors` is the flash sector list when `info` describes the
// connected device, else null: the parts about the device's flash exist only
// for the device the session is connected to.
std::string hint_text(int flags, const TDROVAInfo &info, const FlashSectorList::List *connected_sectors);

}  // namespace velkor
