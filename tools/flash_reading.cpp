#include "flash_reading.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "required_exports.h"

namespace drova {
namespace {

// Firmware features are numbered 0 to 18.
constexpr int kFeatureCount = 19;

}  // namespace

void read_flash_table(DeviceSession &session) {
    require(session.api(), {"_FlashInfo"});
    session.run("flash information", VELKOR_EV_FLASHINFO, [&] { return session.api()._FlashInfo(); });
}

FlashTable fetched_table(DeviceSession &session) {
    const VelkorApi &api = session.api();
    require(api, {"_GetFlashSectors"});
    FlashTable table;
    table.device = session.device_line(*api._GetConnectInfo());
    const int count = api._GetFlashSectors(nullptr, 0);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::max(count, 0)) * VELKOR_INFO_BLOCK_SIZE);
    // No command runs between the two calls, so the count holds; never read past what was copied.
    const int copied = std::min(count, api._GetFlashSectors(bytes.data(), count));
    for (int k = 0; k < copied; ++k) {
        InfoBlock &block = table.sectors.emplace_back();
        const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(k) * VELKOR_INFO_BLOCK_SIZE;
        std::copy_n(from, block.size(), block.begin());
    }
    return table;
}

FlashTable current_table(DeviceSession &session) {
    read_flash_table(session);
    return fetched_table(session);
}

std::string feature_list(const VelkorApi &api) {
    std::string list;
    for (int feature = 0; feature < kFeatureCount; ++feature)
        if (api._IsSupportedFwFeature(feature) == 1) list += (list.empty() ? "" : " ") + std::to_string(feature);
    return list.empty() ? "none" : list;
}

}  // namespace drova
