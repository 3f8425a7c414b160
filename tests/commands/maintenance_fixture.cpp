#include "commands/maintenance_fixture.h"

#include <string>

namespace velkor::testing {

std::vector<InfoBlock> sector_blocks(std::size_t count) {
    std::vector<InfoBlock> blocks;
    for (std::size_t i = 0; i < count; ++i)
        blocks.push_back(info_block(static_cast<std::uint32_t>(100 + i), ("app " + std::to_string(i)).c_str()));
    return blocks;
}

void MaintenanceFixture::connect_device(std::vector<InfoBlock> sectors) {
    device = std::make_unique<FlashDevice>(std::move(sectors));
    scripted = attach("drova0", device->responder());
    connect_to(FlashDevice::kSerial);
}

void MaintenanceFixture::read_flash_table() {
    ASSERT_EQ(_FlashInfo(), 0);
    ASSERT_TRUE(events.wait_for({VELKOR_EV_FLASHINFO, 0}));
    ASSERT_TRUE(wait_idle());
    events.clear();
}

std::vector<Bytes> MaintenanceFixture::commands(std::size_t from) const {
    std::vector<Bytes> result;
    const auto frames = scripted->writes();
    for (std::size_t i = from; i < frames.size(); ++i) {
        const Block &frame = frames[i];
        const std::size_t length = std::size_t{frame[4]} << 24 | std::size_t{frame[5]} << 16 |
                                   std::size_t{frame[6]} << 8 | frame[7];
        result.emplace_back(frame.begin() + 20, frame.begin() + 20 + static_cast<std::ptrdiff_t>(length));
    }
    return result;
}

}  // namespace velkor::testing
