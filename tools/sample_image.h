// A firmware application image for the demo: its 168-byte information block
// (the layout the header's VELKOR_INFO_* offsets give, words big-endian), then
// a payload. The device lists a sector by the information block at the start
// of the image downloaded into it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace drova {

struct SampleApplication {
    std::uint32_t id = 4711;
    std::string name = "drova demo application";
    std::uint32_t fw_version = 0x01020003;  // 1.2.0.3
    std::uint32_t versions = 0xFFFEFDFC;    // the versions it offers and requires: "Don't care"
    // Bytes 100 to 103: the feature set the simulated device reports when it
    // starts the application (bit n of the 32 = feature n).
    std::array<std::uint8_t, 4> features{0x05, 0x01, 0x00, 0x00};
    std::uint32_t payload_bytes = 16 * 1024;
};

inline constexpr std::size_t kSampleFeaturesOffset = 100;

std::vector<std::uint8_t> make_sample_application(const SampleApplication &application);

}  // namespace drova
