#include "model/info_block.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "model/byte_order.h"

namespace velkor {

// Hosts hand records back as untyped pointers and the library reads the block
// pointer from their first word.
static_assert(std::is_standard_layout_v<TCMoreInfo> && sizeof(TCMoreInfo) == sizeof(void *));
static_assert(std::is_standard_layout_v<TCInfoField>);

TCMoreInfo TCMoreInfo::of_record(const void *record) {
    std::uint8_t *block = nullptr;
    std::memcpy(&block, record, sizeof block);
    return TCMoreInfo(block);
}

std::uint32_t TCMoreInfo::word(std::size_t offset) const { return load_be32(block_ + offset); }

std::string_view TCMoreInfo::name() const {
    block_[VELKOR_INFO_NAME + kInfoNameSize - 1] = 0;
    return reinterpret_cast<const char *>(block_ + VELKOR_INFO_NAME);
}

// The view is pointed at the block once the block exists.
TCInfoField::TCInfoField() : info_(nullptr) { info_ = TCMoreInfo(block_); }

TCInfoField::TCInfoField(std::span<const std::uint8_t, kInfoBlockSize> received) : TCInfoField() { assign(received); }

void TCInfoField::assign(std::span<const std::uint8_t, kInfoBlockSize> received) {
    std::copy(received.begin(), received.end(), std::begin(block_));
}

}  // namespace velkor
