// Compatibility between this library, the device's FOS interface and the
// firmware applications on the device.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>

#include "model/flash_sector_list.h"
#include "model/version.h"

namespace velkor {

// The PC-FOS interface versions this library speaks.
inline constexpr std::array<std::uint32_t, 1> kSupportedFosIfcVersions{0x01010000u};

// A supported version or the wildcard; whole words, no field-wise match.
bool is_compatible_fos_ifc_version(std::uint32_t version);

// True when `sectors` holds application `app_id` in exactly `version`.
bool holds_fw_version(const FlashSectorList &sectors, std::uint32_t version, std::uint32_t app_id);

// What the application most recently started on the device supports: feature
// n is bit n mod 8 of byte n div 8, bytes in the order the device sent them.
// All zero from load, and from each start command until its answer.
class FirmwareFeatureSet {
public:
    static constexpr int kFeatureCount = 19;

    void clear() { bits_ = 0; }
    void assign(std::span<const std::uint8_t, 4> received);
    bool supports(int feature) const;

private:
    std::atomic<std::uint32_t> bits_{0};  // byte i at bits 8i to 8i+7
};

// The process's one feature set: it outlives sessions and disconnects.
FirmwareFeatureSet &firmware_features();

}  // namespace velkor
