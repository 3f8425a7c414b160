#include "model/fos_functions.h"

#include <algorithm>

#include "Vevara_Rovo_dar.h"
#include "session/session.h"

namespace velkor {

bool is_compatible_fos_ifc_version(std::uint32_t version) {
    return version == Version::kWildcard || std::ranges::find(kSupportedFosIfcVersions, version) !=
                                                kSupportedFosIfcVersions.end();
}

bool holds_fw_version(const FlashSectorList &sectors, std::uint32_t version, std::uint32_t app_id) {
    return sectors.read([&](const FlashSectorList::List &list) {
        return std::ranges::any_of(list, [&](const TCInfoField &sector) {
            return sector.info().id() == app_id && sector.info().fw_version() == version;
        });
    });
}

void FirmwareFeatureSet::assign(std::span<const std::uint8_t, 4> received) {
    bits_ = std::uint32_t{received[0]} | std::uint32_t{received[1]} << 8 | std::uint32_t{received[2]} << 16 |
            std::uint32_t{received[3]} << 24;
}

bool FirmwareFeatureSet::supports(int feature) const {
    if (feature < 0 || feature >= kFeatureCount) return false;
    return (bits_.load() >> feature & 1u) != 0;
}

FirmwareFeatureSet &firmware_features() {
    static FirmwareFeatureSet features;
    return features;
}

}  // namespace velkor

using velkor::Session;

extern "C" {

VELKOR_API u32 VELKOR_CALL _GetCompatibleFOSVersions(void) { return velkor::kSupportedFosIfcVersions[0]; }

VELKOR_API int VELKOR_CALL _IsCompatibleFOSIfcVersion(u32 version) {
    return velkor::is_compatible_fos_ifc_version(version) ? 1 : 0;
}

VELKOR_API bool8 VELKOR_CALL _HasCompatibleFWVersion(u32 version, u32 appId) {
    const auto workers = Session::instance().workers();
    if (!workers || workers->connection != velkor::kConnected) return 0;
    return velkor::holds_fw_version(workers->flash_sectors, version, appId) ? 1 : 0;
}

VELKOR_API int VELKOR_CALL _IsSupportedFwFeature(int feature) {
    return velkor::firmware_features().supports(feature) ? 1 : 0;
}

}  // extern "C"
