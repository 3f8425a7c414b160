#include "model/device_info.h"

#include <algorithm>
#include <cstring>

#include "model/byte_order.h"
#include "model/fos_functions.h"

namespace velkor {

static_assert(sizeof(TDROVAInfo) == 348);
static_assert(offsetof(TDROVAInfo, status) == 68 && offsetof(TDROVAInfo, serialNumber) == 72 &&
              offsetof(TDROVAInfo, hwVersion) == 76 && offsetof(TDROVAInfo, autostartAppId) == 80 &&
              offsetof(TDROVAInfo, reserved) == 84 && offsetof(TDROVAInfo, devicePath) == kDeviceReportSize);

namespace {

// A word stored as it came over the wire, in host order.
std::uint32_t from_wire(std::uint32_t stored) {
    std::uint8_t bytes[4];
    std::memcpy(bytes, &stored, sizeof bytes);
    return load_be32(bytes);
}

}  // namespace

TDROVAInfo make_found_entry(std::span<const std::uint8_t, kDeviceReportSize> report, std::string_view device_path) {
    TDROVAInfo entry{};
    std::memcpy(&entry, report.data(), report.size());
    if (!is_compatible_fos_ifc_version(load_be32(report.data()))) {
        std::uint8_t status[4];
        store_be32(status, kStatusFosIncompatible);
        std::memcpy(&entry.status, status, sizeof status);
    }
    const std::size_t length = std::min(device_path.size(), sizeof entry.devicePath - 1);
    std::memcpy(entry.devicePath, device_path.data(), length);
    return entry;
}

void found_entry_to_host_order(TDROVAInfo &entry) {
    entry.fosIfcVersion = from_wire(entry.fosIfcVersion);
    entry.status = from_wire(entry.status);
    entry.autostartAppId = from_wire(entry.autostartAppId);
    entry.hwVersion = from_wire(entry.hwVersion);
    const std::uint32_t serial = from_wire(entry.serialNumber) & 0xFFFFFFu;
    entry.serialNumber = serial == 0xFFFFFFu ? 0 : serial;
}

}  // namespace velkor
