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
#include "firmware_tree.h"
#include "fuzz_input.h"
#include "model/byte_order.h"

namespace velkor::fuzzing {
namespace {

using Block = std::array<std::uint8_t, VELKOR_INFO_BLOCK_SIZE>;

constexpr std::uint32_t kWildcard = 0xFFFEFDFC;
constexpr std::uint32_t kEmpty = 0xFFFFFFFF;

// What a host hangs on a top-level node: a record whose first field points
// to the block.
struct Record {
    std::uint8_t *block;
};

std::uint32_t word(const std::uint8_t *block, std::size_t offset) { return load_be32(block + offset); }

const std::uint8_t *block_of(const FirmwareTreeNode &node) {
    const auto *record = static_cast<const Record *>(node.data);
    return record ? record->block : nullptr;
}

bool versions_match(std::uint32_t a, std::uint32_t b) { return a == b || a == kWildcard || b == kWildcard; }

bool is_application(std::uint32_t id) { return id > 2 && id != kEmpty; }

// The rules, read plainly: the state index each node must end with.
class Expectation {
public:
    Expectation(const FirmwareTree &tree, int v)
        : nodes_(tree.nodes), v_(v), marks_(static_cast<std::size_t>(tree.count), FIRMWARE_TREE_NONE) {}

    void check(const std::vector<int> &tops, int n) {
        const std::uint8_t *p = block_of(nodes_[n]);
        if (p == nullptr) return;
        const std::uint32_t id = word(p, VELKOR_INFO_ID);
        bool has_c = word(p, VELKOR_INFO_VERSION_C) == kWildcard;
        bool bad_b = false, bad_d = false, dup_c = false;
        for (const int other : tops) {
            const std::uint8_t *q = other == n ? nullptr : block_of(nodes_[other]);
            if (q == nullptr) continue;
            const std::uint32_t other_id = word(q, VELKOR_INFO_ID);
            if (id != 2 && id != kEmpty && other_id == id) {
                if (nodes_[n].firstChild != FIRMWARE_TREE_NONE) mark(nodes_[n].firstChild);
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

    int state_of(int k) const { return marks_[static_cast<std::size_t>(k)]; }

private:
    void mark(int node) { marks_[static_cast<std::size_t>(node)] = v_; }
    void mark_field(int n, std::uintptr_t offset) {
        for (int group = nodes_[n].firstChild; group != FIRMWARE_TREE_NONE; group = nodes_[group].nextSibling) {
            for (int field = nodes_[group].firstChild; field != FIRMWARE_TREE_NONE; field = nodes_[field].nextSibling) {
                if (reinterpret_cast<std::uintptr_t>(nodes_[field].data) != offset) continue;
                for (int up = field; up != FIRMWARE_TREE_NONE; up = nodes_[up].parent) mark(up);
                break;
            }
        }
    }

    const FirmwareTreeNode *nodes_;
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
    // At most 8 entries of 1 + 3 groups x (1 + 3 fields) nodes.
    std::array<FirmwareTreeNode, 8 * 13> nodes;
    FirmwareTree tree;
    firmware_tree_init(&tree, nodes.data(), static_cast<int>(nodes.size()));
    const int top_count = 1 + in.byte() % 8;
    std::vector<std::unique_ptr<Block>> blocks;
    std::vector<std::unique_ptr<Record>> records;
    std::vector<int> tops;
    for (int t = 0; t < top_count; ++t) {
        auto block = std::make_unique<Block>();
        velkor::store_be32(block->data() + VELKOR_INFO_ID, pick_id(in));
        for (std::size_t offset : {VELKOR_INFO_VERSION_A, VELKOR_INFO_VERSION_B, VELKOR_INFO_VERSION_C,
                                   VELKOR_INFO_VERSION_D})
            velkor::store_be32(block->data() + offset, pick_version(in));
        const std::uint8_t carries = in.byte() % 8;
        records.push_back(std::make_unique<Record>(Record{carries == 1 ? nullptr : block->data()}));
        const int top = firmware_tree_add(&tree, FIRMWARE_TREE_NONE, carries == 0 ? nullptr : records.back().get());
        blocks.push_back(std::move(block));
        tops.push_back(top);
        const int groups = in.byte() % 4;
        for (int g = 0; g < groups; ++g) {
            const int group = firmware_tree_add(&tree, top, nullptr);
            const int fields = in.byte() % 4;
            for (int f = 0; f < fields; ++f) firmware_tree_add_field(&tree, group, static_cast<int>(pick_offset(in)));
        }
    }
    const std::uint8_t which = in.byte();
    const int v = static_cast<int>(in.byte());
    const int checked = which % 16 == 15 ? FIRMWARE_TREE_NONE : tops[which % tops.size()];
    TDCTreeNode *handle = firmware_tree_handle(&tree, checked);

    Expectation expected(tree, v);
    if (checked != FIRMWARE_TREE_NONE) expected.check(tops, checked);
    _ConsistencyCheck(&tree.tree, handle, v);
    for (int k = 0; k < tree.count; ++k)
        if (nodes[static_cast<std::size_t>(k)].stateIndex != expected.state_of(k))
            fail("the marks differ from the rules");
    _ConsistencyCheck(nullptr, handle, v);  // no tree: nothing to do
    return 0;
}
