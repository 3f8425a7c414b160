// The consistency check over any tree: top-level entries of every kind with
// versions that match, differ or are wildcards, groups and field nodes at any
// offset, entries without a block. The marks the library sets must be
// exactly those of a plain reading of the rules, computed here on the tree
// itself.
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "Vevara_Rovo_dar.h"
#include "driven_session.h"
#include "fuzz_input.h"
#include "model/byte_order.h"
#include "support/reference_tree.h"

namespace velkor::fuzzing {
namespace {

using Node = testing::ReferenceTree::Node;
using Block = std::array<std::uint8_t, VELKOR_INFO_BLOCK_SIZE>;

constexpr std::uint32_t kWildcard = 0xFFFEFDFC;
constexpr std::uint32_t kEmpty = 0xFFFFFFFF;

// What a host hangs on a top-level node: a record whose first field points
// to the block.
struct Record {
    std::uint8_t *block;
};

std::uint32_t word(const std::uint8_t *block, std::size_t offset) { return load_be32(block + offset); }

const std::uint8_t *block_of(const Node &node) {
    const auto *record = static_cast<const Record *>(node.data);
    return record ? record->block : nullptr;
}

bool versions_match(std::uint32_t a, std::uint32_t b) { return a == b || a == kWildcard || b == kWildcard; }

bool is_application(std::uint32_t id) { return id > 2 && id != kEmpty; }

// The rules, read plainly: the state index each node must end with.
class Expectation {
public:
    Expectation(const std::vector<const Node *> &all, int v) : all_(all), v_(v), marks_(all.size(), -1) {}

    void check(const std::vector<Node *> &tops, const Node &n) {
        const std::uint8_t *p = block_of(n);
        if (p == nullptr) return;
        const std::uint32_t id = word(p, VELKOR_INFO_ID);
        bool has_c = word(p, VELKOR_INFO_VERSION_C) == kWildcard;
        bool bad_b = false, bad_d = false, dup_c = false;
        for (const Node *other : tops) {
            const std::uint8_t *q = other == &n ? nullptr : block_of(*other);
            if (q == nullptr) continue;
            const std::uint32_t other_id = word(q, VELKOR_INFO_ID);
            if (id != 2 && id != kEmpty && other_id == id) {
                if (!n.children.empty()) mark(*n.children.front());
                mark(n);
            }
            const bool c_matches =
                other_id == 2 && versions_match(word(q, VELKOR_INFO_VERSION_C), word(p, VELKOR_INFO_VERSION_C));
            if (id == 2) {
                if (other_id == 0 && !versions_match(word(q, VELKOR_INFO_VERSION_A), word(p, VELKOR_INFO_VERSION_D)))
                    bad_d = true;
                if (c_matches) dup_c = true;
            }
            if (is_application(id)) {
                if (other_id == 0 && !versions_match(word(q, VELKOR_INFO_VERSION_B), word(p, VELKOR_INFO_VERSION_B)))
                    bad_b = true;
                if (c_matches) has_c = true;
            }
        }
        if (dup_c) mark_field(n, VELKOR_INFO_VERSION_C);
        if (bad_d) mark_field(n, VELKOR_INFO_VERSION_D);
        if (bad_b) mark_field(n, VELKOR_INFO_VERSION_B);
        if (!has_c && id != 2) mark_field(n, VELKOR_INFO_VERSION_C);
    }

    int state_of(std::size_t k) const { return marks_[k]; }

private:
    void mark(const Node &node) {
        for (std::size_t k = 0; k < all_.size(); ++k)
            if (all_[k] == &node) marks_[k] = v_;
    }
    void mark_field(const Node &n, std::uintptr_t offset) {
        for (const auto &group : n.children) {
            for (const auto &field : group->children) {
                if (reinterpret_cast<std::uintptr_t>(field->data) != offset) continue;
                for (const Node *up = field.get(); up != nullptr && up->parent != nullptr; up = up->parent) mark(*up);
                break;
            }
        }
    }

    const std::vector<const Node *> &all_;
    int v_;
    std::vector<int> marks_;
};

std::uint32_t pick_id(FuzzInput &in) {
    static constexpr std::uint32_t ids[] = {0, 1, 2, kEmpty, 5, 6};
    const std::uint8_t choice = in.byte() % 7;
    return choice < 6 ? ids[choice] : in.u32();
}

std::uint32_t pick_version(FuzzInput &in) {
    static constexpr std::uint32_t versions[] = {kWildcard, 0x01000000, 0x02000000};
    const std::uint8_t choice = in.byte() % 4;
    return choice < 3 ? versions[choice] : in.u32();
}

std::uintptr_t pick_offset(FuzzInput &in) {
    static constexpr std::uintptr_t offsets[] = {VELKOR_INFO_VERSION_B, VELKOR_INFO_VERSION_C, VELKOR_INFO_VERSION_D,
                                                 VELKOR_INFO_VERSION_A};
    const std::uint8_t choice = in.byte() % 5;
    return choice < 4 ? offsets[choice] : in.byte();
}

}  // namespace
}  // namespace velkor::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace velkor::fuzzing;
    FuzzInput in(data, size);
    velkor::testing::ReferenceTree tree;
    const int top_count = 1 + in.byte() % 8;
    std::vector<std::unique_ptr<Block>> blocks;
    std::vector<std::unique_ptr<Record>> records;
    std::vector<Node *> tops;
    for (int t = 0; t < top_count; ++t) {
        auto block = std::make_unique<Block>();
        velkor::store_be32(block->data() + VELKOR_INFO_ID, pick_id(in));
        for (std::size_t offset : {VELKOR_INFO_VERSION_A, VELKOR_INFO_VERSION_B, VELKOR_INFO_VERSION_C,
                                   VELKOR_INFO_VERSION_D})
            velkor::store_be32(block->data() + offset, pick_version(in));
        const std::uint8_t carries = in.byte() % 8;
        records.push_back(std::make_unique<Record>(Record{carries == 1 ? nullptr : block->data()}));
        Node &top = tree.add_top(carries == 0 ? nullptr : records.back().get());
        blocks.push_back(std::move(block));
        tops.push_back(&top);
        const int groups = in.byte() % 4;
        for (int g = 0; g < groups; ++g) {
            Node &group = top.add(nullptr);
            const int fields = in.byte() % 4;
            for (int f = 0; f < fields; ++f) velkor::testing::ReferenceTree::add_field(group, pick_offset(in));
        }
    }
    const std::uint8_t which = in.byte();
    const int v = static_cast<int>(in.byte());
    Node *checked = which % 16 == 15 ? nullptr : tops[which % tops.size()];

    const auto all = tree.all_nodes();
    Expectation expected(all, v);
    if (checked != nullptr) expected.check(tops, *checked);
    _ConsistencyCheck(tree.c_tree(), checked ? checked->handle() : nullptr, v);
    for (std::size_t k = 0; k < all.size(); ++k)
        if (all[k]->state_index != expected.state_of(k)) fail("the marks differ from the rules");
    _ConsistencyCheck(nullptr, checked ? checked->handle() : nullptr, v);  // no tree: nothing to do
    return 0;
}
