// Does one firmware entry of a host's tree fit the others? Conflicting fields
// get the host's state index, and so does every node above them.
#include <cstdint>
#include <optional>

#include "Vevara_Rovo_dar.h"
#include "model/info_block.h"
#include "model/version.h"

namespace velkor {

namespace {

class TreeWalk {
public:
    TreeWalk(const TDCTree &tree, int state_index) : tree_(tree), state_index_(state_index) {}

    TDCTreeNode *first_node() const { return tree_.getFirstNode(tree_.context); }
    TDCTreeNode *first_child(TDCTreeNode *node) const { return tree_.getFirstChild(tree_.context, node); }
    TDCTreeNode *next_sibling(TDCTreeNode *node) const { return tree_.getNextSibling(tree_.context, node); }
    void *data(TDCTreeNode *node) const { return tree_.getData(tree_.context, node); }

    // The block a top-level node stands for, if it carries one.
    std::optional<TCMoreInfo> block_of(TDCTreeNode *node) const {
        const void *record = data(node);
        if (record == nullptr) return std::nullopt;
        const TCMoreInfo info = TCMoreInfo::of_record(record);
        if (info.block() == nullptr) return std::nullopt;
        return info;
    }

    void mark(TDCTreeNode *node) const { tree_.setStateIndex(tree_.context, node, state_index_); }

    // In every group below `top`, the first field node showing `offset`,
    // with all its ancestors.
    void mark_field(TDCTreeNode *top, std::uintptr_t offset) const {
        for (TDCTreeNode *group = first_child(top); group; group = next_sibling(group)) {
            for (TDCTreeNode *field = first_child(group); field; field = next_sibling(field)) {
                if (reinterpret_cast<std::uintptr_t>(data(field)) != offset) continue;
                for (TDCTreeNode *marked = field; marked; marked = tree_.getParent(tree_.context, marked)) {
                    mark(marked);
                }
                break;
            }
        }
    }

private:
    const TDCTree &tree_;
    int state_index_;
};

bool differs_without_wildcard(std::uint32_t a, std::uint32_t b) { return !Version{a}.matches(Version{b}); }

bool complete(const TDCTree &tree) {
    return tree.getFirstNode && tree.getFirstChild && tree.getNextSibling && tree.getParent && tree.getData &&
           tree.setStateIndex;
}

}  // namespace

}  // namespace velkor

extern "C" VELKOR_API void VELKOR_CALL _ConsistencyCheck(TDCTree *tree, TDCTreeNode *node, int stateIndex) {
    using namespace velkor;
    if (tree == nullptr || node == nullptr || !complete(*tree)) return;
    const TreeWalk walk(*tree, stateIndex);
    const auto checked = walk.block_of(node);
    if (!checked) return;
    const TCMoreInfo p = *checked;
    const std::uint32_t id = p.id();
    const bool kind2 = id == kSystemKind2;
    const bool application = is_application_id(id);

    bool has_c = Version{p.version_c()}.is_wildcard();
    bool bad_b = false;
    bool bad_d = false;
    bool dup_c = false;
    for (TDCTreeNode *other = walk.first_node(); other; other = walk.next_sibling(other)) {
        if (other == node) continue;
        const auto q = walk.block_of(other);
        if (!q) continue;  // nothing to compare with
        const std::uint32_t other_id = q->id();
        if (!kind2 && id != kEmptySectorId && other_id == id) {
            if (TDCTreeNode *child = walk.first_child(node)) walk.mark(child);
            walk.mark(node);
        }
        const bool c_matches = other_id == kSystemKind2 && Version{q->version_c()}.matches(Version{p.version_c()});
        if (kind2) {
            if (other_id == kSystemKind0 && differs_without_wildcard(q->version_a(), p.version_d())) bad_d = true;
            if (c_matches) dup_c = true;
        } else if (application) {
            if (other_id == kSystemKind0 && differs_without_wildcard(q->version_b(), p.version_b())) bad_b = true;
            if (c_matches) has_c = true;
        }
    }
    if (dup_c) walk.mark_field(node, VELKOR_INFO_VERSION_C);
    if (bad_d) walk.mark_field(node, VELKOR_INFO_VERSION_D);
    if (bad_b) walk.mark_field(node, VELKOR_INFO_VERSION_B);
    if (!has_c && !kind2) walk.mark_field(node, VELKOR_INFO_VERSION_C);
}
