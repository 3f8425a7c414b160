// SHA-256, for the service log's record of which image went into a device.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace drova {

// The digest of `bytes` as 64 lowercase hexadecimal digits.
std::string sha256_hex(std::string_view bytes);

}  // namespace drova
