// The device hint text over any information block, flags and buffer size:
// for a block of the found list, for the connected-device record with a
// flash table of any blocks, and for no block at all. The text must end
// within the caller's buffer, be the start of the full text, and be made of
// the parts of its flags in their order, each independent of the others; the
// flash table stays as the device sent it.
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Vevara_Rovo_dar.h"
#include "driven_session.h"
#include "fuzz_input.h"
#include "model/byte_order.h"

namespace velkor::fuzzing {
namespace {

constexpr int kStyleBits = VELKOR_HINT_INDENT | VELKOR_HINT_BOLD;
constexpr int kConnectedOnly = VELKOR_HINT_AUTOSTART | VELKOR_HINT_FIRMWARE_APPS | VELKOR_HINT_FLASH_SECTORS;
// The parts in the order they are written.
constexpr int kParts[] = {VELKOR_HINT_NAME,        VELKOR_HINT_SERIAL_NUMBER, VELKOR_HINT_HW_VERSION,
                          VELKOR_HINT_FOS_IFC_VERSION, VELKOR_HINT_AUTOSTART,  VELKOR_HINT_ETHERNET,
                          VELKOR_HINT_UDP_IP,      VELKOR_HINT_CONFIGURED_BY, VELKOR_HINT_FLASH_SECTORS,
                          VELKOR_HINT_FIRMWARE_APPS};
constexpr std::size_t kLarge = 1 << 16;

std::string hint(int flags, const TDROVAInfo *info) {
    std::vector<char> text(kLarge, '\x7f');
    _GetHintAboutDROVA(flags, info, text.data(), static_cast<int>(text.size()));
    if (std::memchr(text.data(), '\0', text.size()) == nullptr) fail("the full text was not ended");
    return text.data();
}

void check(int flags, const TDROVAInfo *info, int max, bool null_destination, bool connected) {
    const std::string full = hint(flags, info);

    // Exactly `max` bytes, so a write past them shows.
    std::vector<char> text(static_cast<std::size_t>(max > 0 ? max : 1), '\x7f');
    _GetHintAboutDROVA(flags, info, null_destination ? nullptr : text.data(), max);
    if (null_destination || max < 1) {
        if (text[0] != '\x7f') fail("a buffer that was not offered was written to");
    } else {
        if (std::memchr(text.data(), '\0', text.size()) == nullptr) fail("the text was not ended within max bytes");
        if (std::string(text.data()) != full.substr(0, static_cast<std::size_t>(max - 1)))
            fail("a short buffer did not get the start of the text");
    }

    if (info == nullptr) {
        if (!full.empty()) fail("no block, yet a text");
        return;
    }
    std::string parts;
    for (const int part : kParts) {
        if (flags & part) parts += hint(part | (flags & kStyleBits), info);
    }
    if (parts != full) fail("the text is not its parts in their order");
    if (!connected && full != hint(flags & ~kConnectedOnly, info))
        fail("a block of the found list got parts of the connected device");

    if (flags & VELKOR_HINT_NAME) {
        const std::string name(info->deviceName, strnlen(info->deviceName, sizeof info->deviceName));
        const std::string open = flags & VELKOR_HINT_BOLD ? "<b>" : "";
        const std::string close = flags & VELKOR_HINT_BOLD ? "</b>" : "";
        if (hint(VELKOR_HINT_NAME | (flags & kStyleBits), info) != open + "HW Device: " + close + name + "\n")
            fail("the name line is not the name field up to its end");
    }
}

struct HintFuzzer {
    DrivenSession driven;  // the connected-device record and the flash table live in the session

    void run(FuzzInput &in) {
        const std::uint8_t shape = in.byte();
        int flags = static_cast<int>(in.u32());
        if (shape & 0x10) flags &= 0x7FFF;
        int max = 0;
        switch (shape >> 5 & 3) {
        case 0: max = static_cast<int>(in.byte() % 4) - 1; break;   // -1, 0, 1, 2
        case 1: max = static_cast<int>(in.byte() % 64); break;
        default: max = static_cast<int>(in.u16() % 2048); break;
        }
        const bool null_destination = shape & 0x80;

        const auto raw = in.bytes(sizeof(TDROVAInfo));
        switch ((shape & 3) % 3) {
        case 0:
            check(flags, nullptr, max, null_destination, false);
            break;
        case 1: {
            auto found = std::make_unique<TDROVAInfo>();
            std::memcpy(found.get(), raw.data(), sizeof(TDROVAInfo));
            check(flags, found.get(), max, null_destination, false);
            break;
        }
        default: {
            Session &session = driven.session();
            std::memcpy(&session.connected_device, raw.data(), sizeof(TDROVAInfo));
            auto &sectors = session.workers()->flash_sectors;
            sectors.clear();
            const int count = in.byte() % 6;
            for (int k = 0; k < count; ++k) {
                auto block = in.bytes(VELKOR_INFO_BLOCK_SIZE);
                // Empty sectors and the autostart application are worth meeting.
                const std::uint8_t id_shape = in.byte();
                if (id_shape % 3 == 0) std::memset(block.data(), 0xFF, 4);
                if (id_shape % 3 == 1) store_be32(block.data(), session.connected_device.autostartAppId);
                sectors.append(std::span<const std::uint8_t, VELKOR_INFO_BLOCK_SIZE>(block.data(), block.size()));
            }
            std::vector<std::uint8_t> table(static_cast<std::size_t>(count) * VELKOR_INFO_BLOCK_SIZE);
            sectors.copy_blocks(table.data(), static_cast<std::size_t>(count));
            check(flags, &session.connected_device, max, null_destination, true);
            std::vector<std::uint8_t> after(table.size());
            sectors.copy_blocks(after.data(), static_cast<std::size_t>(count));
            if (after != table) fail("describing the device changed its stored flash table");
            break;
        }
        }
    }
};

}  // namespace
}  // namespace velkor::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static velkor::fuzzing::HintFuzzer fuzzer;
    velkor::fuzzing::FuzzInput in(data, size);
    fuzzer.run(in);
    return 0;
}
