#include "sample_image.h"

#include <algorithm>

#include "Vevara_Rovo_dar.h"

namespace drova {
namespace {

void put_be32(std::vector<std::uint8_t> &bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

}  // namespace

std::vector<std::uint8_t> make_sample_application(const SampleApplication &application) {
    std::vector<std::uint8_t> image(VELKOR_INFO_BLOCK_SIZE + application.payload_bytes, 0);
    put_be32(image, VELKOR_INFO_ID, application.id);
    // The name field is 64 bytes; the library reads at most 63 of them.
    std::copy_n(application.name.begin(), std::min<std::size_t>(application.name.size(), 63), image.begin() + VELKOR_INFO_NAME);
    for (const std::size_t at : {VELKOR_INFO_VERSION_A, VELKOR_INFO_VERSION_B, VELKOR_INFO_VERSION_C, VELKOR_INFO_VERSION_D})
        put_be32(image, at, application.versions);
    put_be32(image, VELKOR_INFO_FW_VERSION, application.fw_version);
    std::copy(application.features.begin(), application.features.end(), image.begin() + kSampleFeaturesOffset);
    // A payload that is not all one value, so a misplaced byte changes a checksum.
    for (std::size_t i = VELKOR_INFO_BLOCK_SIZE; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>((i * 7 + (i >> 8)) & 0xFF);
    return image;
}

}  // namespace drova
