// What a search saw on each interface present: the device that answered on
// it, or none. drova counts and shows interfaces, not answers, so that a
// device that stays silent (busy, hung, or no DROVA device at all) moves no
// other device to another index.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "velkor_api.h"

namespace drova {

struct ListedInterface {
    std::string path;
    std::optional<std::size_t> found_index;  // its entry among the found devices; none: it did not answer
};

// Every interface present now, in the order the library's lookup lists them,
// each with the entry of `found` that answered on it; entries whose interface
// has gone meanwhile follow. Only `found` when the interfaces cannot be listed.
std::vector<ListedInterface> list_interfaces(const std::vector<TDROVAInfo> &found);

}  // namespace drova
