#include "interface_listing.h"

#include "device_session.h"
#include "platform/interface_list.h"
#include "usb/Usb.h"

namespace drova {

std::vector<ListedInterface> list_interfaces(const std::vector<TDROVAInfo> &found) {
    std::vector<ListedInterface> listed;
    std::vector<bool> placed(found.size(), false);
    const auto present =
        velkor::platform::present_interfaces(velkor::usb::kDeviceInterfaceClass, velkor::usb::kMemberIndexes);
    for (const std::string &path : present.value_or(std::vector<std::string>{})) {
        ListedInterface entry{path, std::nullopt};
        for (std::size_t index = 0; index < found.size() && !entry.found_index; ++index) {
            if (placed[index] || field_text(found[index].devicePath) != path) continue;
            placed[index] = true;
            entry.found_index = index;
        }
        listed.push_back(std::move(entry));
    }
    for (std::size_t index = 0; index < found.size(); ++index)
        if (!placed[index]) listed.push_back({field_text(found[index].devicePath), index});
    return listed;
}

}  // namespace drova
