// TVIpAddress: an IPv4 address word.
#pragma once

#include <cstdint>
#include <string>

#include "model/version.h"

namespace velkor {

struct TVIpAddress {
    std::uint32_t address = 0;

    std::string text() const { return dotted_quad(address); }
};

}  // namespace velkor
