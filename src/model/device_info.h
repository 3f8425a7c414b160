// The 348-byte device information block (TDROVAInfo): the 88 bytes a device
// reports about itself, then the path of the USB interface that reaches it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "Vevara_Rovo_dar.h"

namespace velkor {

inline constexpr std::size_t kDeviceReportSize = 88;  // what a search answer carries
inline constexpr std::uint32_t kStatusFosIncompatible = 2;
inline constexpr std::uint32_t kNoAutostartApp = 0xFFFFFFFFu;

// A found-list entry from a search answer's 88 bytes (still big-endian) and
// the interface path it came through. An entry whose FOS interface version
// this library cannot serve is marked so that its status reads 2 once the
// entry is in host order.
TDROVAInfo make_found_entry(std::span<const std::uint8_t, kDeviceReportSize> report, std::string_view device_path);

// Puts a found-list entry into host order when the search ends: the words the
// library reads are converted (the reserved word is left as it came), and the
// serial number keeps its low 24 bits, 0xFFFFFF meaning none (0).
void found_entry_to_host_order(TDROVAInfo &entry);

}  // namespace velkor
