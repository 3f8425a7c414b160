#include "model/hint_text.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>

#include "session/session.h"
#include "model/caller_text.h"
#include "model/device_info.h"
#include "model/ip_address.h"
#include "model/serial_number_text.h"
#include "model/version.h"

namespace velkor {

namespace {

// Decimal, zero-padded to at least six digits.
std::string padded_serial_number(std::uint32_t value) {
    std::string digits = std::to_string(value);
    if (digits.size() < 6) digits.insert(0, 6 - digits.size(), '0');
    return digits;
}

// The name getter ends the name inside the block it reads: it reads a copy,
// so that the table keeps the blocks as the device sent them.
std::string name_of(const TCInfoField &sector) {
    std::array<std::uint8_t, kInfoBlockSize> copy;
    std::memcpy(copy.data(), sector.info().block(), kInfoBlockSize);
    return std::string(TCMoreInfo(copy.data()).name());
}

void append_autostart(std::string &text, std::uint32_t app_id, const FlashSectorList::List &sectors) {
    if (!sectors.empty() && app_id != kNoAutostartApp) {
        for (const TCInfoField &sector : sectors) {
            if (sector.info().id() == app_id) {
                text.append(name_of(sector)).append("\n");
                return;
            }
        }
        return;  // an id the device does not hold: the line stays without value
    }
    text.append(app_id == kNoAutostartApp ? "N/A" : std::to_string(app_id)).append("\n");
}

}  // namespace

std::string hint_text(int flags, const TDROVAInfo &info, const FlashSectorList::List *connected_sectors) {
    const std::string open = flags & VELKOR_HINT_BOLD ? "<b>" : "";
    const std::string close = flags & VELKOR_HINT_BOLD ? "</b>" : "";
    const std::string indent = flags & VELKOR_HINT_INDENT ? "  " : "";
    const auto label = [&](const char *name) { return open + name + close; };

    std::string text;
    if (flags & VELKOR_HINT_NAME) {
        // The field may be full: the name never reaches past it.
        const std::string_view name(std::begin(info.deviceName),
                                    std::find(std::begin(info.deviceName), std::end(info.deviceName), '\0'));
        text.append(label("HW Device: ")).append(name).append("\n");
    }
    if (flags & VELKOR_HINT_SERIAL_NUMBER) {
        const auto serial = serial_number_text(info.serialNumber);
        text.append(label("Serial Number: ")).append(serial ? *serial : padded_serial_number(info.serialNumber));
        text.append("\n");
    }
    if (flags & VELKOR_HINT_HW_VERSION) {
        text.append(label("Hardware version: ")).append(Version{info.hwVersion}.text()).append("\n");
    }
    if (flags & VELKOR_HINT_FOS_IFC_VERSION) {
        text.append(label("PC-FOS interface version: ")).append(Version{info.fosIfcVersion}.text()).append("\n");
    }
    if ((flags & VELKOR_HINT_AUTOSTART) && connected_sectors) {
        text.append(label("Autostart application: "));
        append_autostart(text, info.autostartAppId, *connected_sectors);
    }
    if (flags & VELKOR_HINT_ETHERNET) {
        text.append(label("Ethernet Settings:")).append("\n");
        text.append(indent + indent + "Use Automatic configuration: \n");
    }
    if (flags & VELKOR_HINT_UDP_IP) {
        text.append(label("UDP/IP Settings:")).append("\n");
        text.append(indent + indent + label("Use DHCP: ") + "\n");
        text.append(indent + indent + "Max. Ethernet data length: \n");
        const TVIpAddress configured;
        text.append(label("Configured IP address:")).append(" " + configured.text() + "\n");
    }
    if (flags & VELKOR_HINT_CONFIGURED_BY) text.append(label("Configured by:"));
    if ((flags & VELKOR_HINT_FLASH_SECTORS) && connected_sectors) {
        text.append(label("Flash Sectors:")).append("\n");
        for (const TCInfoField &sector : *connected_sectors) {
            const std::uint32_t id = sector.info().id();
            if (id == kEmptySectorId) {
                text.append(indent + "Empty\n");
            } else {
                text.append(indent).append(name_of(sector));
                text.append(" (" + std::to_string(static_cast<std::int32_t>(id)) + ")\n");
            }
        }
    }
    if ((flags & VELKOR_HINT_FIRMWARE_APPS) && connected_sectors) {
        text.append(label("Firmware Applications:")).append("\n");
        for (const TCInfoField &sector : *connected_sectors) {
            if (sector.info().id() != kEmptySectorId) text.append(indent).append(name_of(sector)).append("\n");
        }
    }
    return text;
}

}  // namespace velkor

extern "C" VELKOR_API void VELKOR_CALL _GetHintAboutDROVA(int flags, const TDROVAInfo *info, char *dst, int max) {
    using velkor::FlashSectorList;
    using velkor::Session;
    std::string text;
    Session &session = Session::instance();
    if (info == nullptr) {
        // nothing to describe: the empty text
    } else if (info != &session.connected_device) {
        text = velkor::hint_text(flags, *info, nullptr);
    } else if (const auto workers = session.workers()) {
        text = workers->flash_sectors.read(
            [&](const FlashSectorList::List &sectors) { return velkor::hint_text(flags, *info, &sectors); });
    } else {
        const FlashSectorList::List no_sectors;
        text = velkor::hint_text(flags, *info, &no_sectors);
    }
    velkor::copy_to_caller(text, dst, max);
}
