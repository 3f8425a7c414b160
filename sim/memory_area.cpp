#include "memory_area.h"

#include <algorithm>

namespace velkor::sim {

namespace {

// Calls `visit(page or null, offset in page, count)` for each page piece of a range.
template <typename Pages, typename Visit>
void for_each_piece(Pages &pages, std::uint32_t address, std::uint64_t length, Visit visit) {
    while (length > 0) {
        const std::uint32_t index = address / MemoryArea::kPageSize;
        const std::uint32_t offset = address % MemoryArea::kPageSize;
        const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, MemoryArea::kPageSize - offset));
        auto it = pages.find(index);
        visit(it == pages.end() ? nullptr : it->second.get(), offset, count);
        address += count;
        length -= count;
    }
}

}  // namespace

Bytes MemoryArea::read(std::uint32_t address, std::uint32_t length) const {
    Bytes out;
    out.reserve(length);
    for_each_piece(pages_, address, length, [&](const Page *page, std::uint32_t offset, std::uint32_t count) {
        if (page)
            out.insert(out.end(), page->begin() + offset, page->begin() + offset + count);
        else
            out.insert(out.end(), count, 0xFF);
    });
    return out;
}

void MemoryArea::write(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::uint32_t at = address + static_cast<std::uint32_t>(done);
        const std::uint32_t offset = at % kPageSize;
        const std::size_t count = std::min<std::size_t>(bytes.size() - done, kPageSize - offset);
        auto &slot = pages_[at / kPageSize];
        if (!slot) {
            slot = std::make_unique<Page>();
            slot->fill(0xFF);
        }
        for (std::size_t i = 0; i < count; ++i) {
            std::uint8_t &cell = (*slot)[offset + i];
            cell = kind_ == Kind::flash ? static_cast<std::uint8_t>(cell & bytes[done + i]) : bytes[done + i];
        }
        done += count;
    }
}

std::uint8_t MemoryArea::checksum(std::uint32_t address, std::uint32_t length) const {
    static const Page erased = [] {
        Page page;
        page.fill(0xFF);
        return page;
    }();
    OnesComplementSum sum;
    for_each_piece(pages_, address, length, [&](const Page *page, std::uint32_t offset, std::uint32_t count) {
        sum.add(std::span<const std::uint8_t>((page ? *page : erased).data() + offset, count));
    });
    return sum.value();
}

std::vector<std::pair<std::uint32_t, const MemoryArea::Page *>> MemoryArea::written_pages() const {
    std::vector<std::pair<std::uint32_t, const Page *>> out;
    for (const auto &[index, page] : pages_)
        if (std::any_of(page->begin(), page->end(), [](std::uint8_t b) { return b != 0xFF; }))
            out.emplace_back(index, page.get());
    return out;
}

void MemoryArea::restore_page(std::uint32_t index, const Page &page) {
    pages_[index] = std::make_unique<Page>(page);
}

}  // namespace velkor::sim
