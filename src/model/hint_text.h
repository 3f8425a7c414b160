// The multi-line description of a device that hosts show as a tooltip.
#pragma once

#include <string>

#include "Vevara_Rovo_dar.h"
#include "model/flash_sector_list.h"

namespace velkor {

// Which lines the description holds, and how they look.
enum HintFlag : int {
    kHintName = 0x2,
    kHintSerialNumber = 0x4,
    kHintHwVersion = 0x8,
    kHintFosIfcVersion = 0x10,
    kHintAutostart = 0x20,       // connected device only
    kHintEthernet = 0x100,
    kHintUdpIp = 0x200,
    kHintConfiguredBy = 0x400,
    kHintFirmwareApps = 0x800,   // connected device only
    kHintFlashSectors = 0x1000,  // connected device only
    kHintIndent = 0x2000,
    kHintBold = 0x4000,
};

// `connected_sectors` is the flash sector list when `info` describes the
// connected device, else null: the parts about the device's flash exist only
// for the device the session is connected to.
std::string hint_text(int flags, const TDROVAInfo &info, const FlashSectorList::List *connected_sectors);

}  // namespace velkor
