#include "change_texts.h"

#include "download_preflight.h"
#include "exit_codes.h"

namespace drova {

std::string erase_change(const FlashTable &table, unsigned sector) {
    return "erase sector " + std::to_string(sector) + " (" + contents_text(table.sectors.at(sector)) + ") of " +
           table.device;
}

std::string download_change(const FlashTable &table, unsigned target, bool erase_first) {
    // The staging area's name says what it is; a sector's what it holds now.
    const std::string area = target < table.sectors.size()
                                 ? area_name(table, target) + " (" + contents_text(table.sectors[target]) + ")"
                                 : area_name(table, target);
    return std::string(erase_first ? "erase and " : "") + "download into " + area + " of " + table.device;
}

std::string autostart_change(const DeviceSession &session, std::uint32_t id) {
    // The empty-sector id names no application: the device then starts none by itself.
    const std::string what = id == kNoApplication ? std::string("clear the automatic start")
                                                  : "make application " + std::to_string(id) + " start automatically";
    return what + " on " + session.device_line(*session.api()._GetConnectInfo());
}

std::string write_serial_change(const DeviceSession &session, std::uint32_t serial) {
    return "write serial number " + session.serial_label(serial) + " into " +
           session.device_line(*session.api()._GetConnectInfo());
}

std::vector<std::string> check_new_serial(const DeviceSession &session, std::uint32_t serial, bool force_duplicate) {
    const std::string path = field_text(session.api()._GetConnectInfo()->devicePath);
    std::vector<std::string> warnings;
    // Two devices with one number cannot be told apart by serial number, and
    // every later selection of either would be refused as ambiguous.
    for (const auto &other : session.found_devices()) {
        if (other.serialNumber != serial || field_text(other.devicePath) == path) continue;
        const std::string duplicate =
            session.serial_label(serial) + " is already the serial number of " + session.device_line(other);
        if (!force_duplicate)
            throw Failure(exit_code::kAmbiguous, "write-serial: " + duplicate +
                                                     "; nothing was written (--force-duplicate writes it all the same)");
        warnings.push_back(duplicate + "; two devices with one number cannot be told apart by --serial or --index");
    }
    char text[32] = {};
    if (session.api()._SnConvertUint2Agt(serial, text, sizeof text) != 0)
        warnings.push_back(session.serial_label(serial) + " has no text form (KV...)");
    return warnings;
}

}  // namespace drova
