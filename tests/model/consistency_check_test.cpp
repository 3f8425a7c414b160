#include <gtest/gtest.h>

#include <deque>
#include <set>

#include "Vevara_Rovo_dar.h"
#include "model/info_block.h"
#include "model/test_blocks.h"
#include "support/reference_tree.h"

namespace velkor::testing {
namespace {

using Node = ReferenceTree::Node;
constexpr int kWarning = 7;

// Each entry: a top-level node over a record, one group with the three
// version fields, and a second group with versionC only.
struct Entry {
    Node *top;
    Node *group;
    Node *b;
    Node *c;
    Node *d;
    Node *second_group;
    Node *second_c;
};

class ConsistencyCheck : public ::testing::Test {
protected:
    Entry add(const WireBlock &block) {
        TCInfoField &record = records_.emplace_back(block);
        Node &top = tree_.add_top(&record);
        Node &group = top.add(nullptr);
        Node &b = ReferenceTree::add_field(group, VELKOR_INFO_VERSION_B);
        Node &c = ReferenceTree::add_field(group, VELKOR_INFO_VERSION_C);
        Node &d = ReferenceTree::add_field(group, VELKOR_INFO_VERSION_D);
        Node &second = top.add(nullptr);
        Node &second_c = ReferenceTree::add_field(second, VELKOR_INFO_VERSION_C);
        return {&top, &group, &b, &c, &d, &second, &second_c};
    }

    void check(const Entry &entry) { _ConsistencyCheck(tree_.c_tree(), entry.top->handle(), kWarning); }

    std::set<const Node *> marked() const {
        std::set<const Node *> nodes;
        for (const Node *node : tree_.all_nodes()) {
            if (node->state_index == kWarning) nodes.insert(node);
        }
        return nodes;
    }
    static std::set<const Node *> field_c(const Entry &e) { return {e.top, e.group, e.c, e.second_group, e.second_c}; }

    ReferenceTree tree_;
    std::deque<TCInfoField> records_;
};

TEST_F(ConsistencyCheck, AnEntryAloneNeedsAWildcardVersionC) {
    const Entry app = add(WireBlock(40).version_c(5));
    check(app);
    EXPECT_EQ(marked(), field_c(app));
}

TEST_F(ConsistencyCheck, AloneWithWildcardOrAsKind2NothingIsMarked) {
    const Entry app = add(WireBlock(40).version_c(W));
    check(app);
    const Entry kind2 = add(WireBlock(2).version_c(5));
    check(kind2);
    EXPECT_TRUE(marked().empty());
}

TEST_F(ConsistencyCheck, SystemAndEmptyEntriesAreMarkedAtVersionCUnlessWildcard) {
    const Entry kind0 = add(WireBlock(0).version_c(1));
    const Entry empty = add(WireBlock(kEmptySectorId).version_c(W));
    check(kind0);
    check(empty);
    EXPECT_EQ(marked(), field_c(kind0));
}

TEST_F(ConsistencyCheck, DuplicateApplicationIdsMarkTheEntryAndItsFirstChild) {
    const Entry app = add(WireBlock(40).version_c(W));
    add(WireBlock(40).version_c(W));
    add(WireBlock(41).version_c(W));
    check(app);
    EXPECT_EQ(marked(), (std::set<const Node *>{app.top, app.group}));
}

TEST_F(ConsistencyCheck, DuplicateEmptyEntriesAreNoConflict) {
    const Entry empty = add(WireBlock(kEmptySectorId).version_c(W));
    add(WireBlock(kEmptySectorId).version_c(W));
    check(empty);
    EXPECT_TRUE(marked().empty());
}

TEST_F(ConsistencyCheck, Kind2EntriesConflictOnlyByVersionC) {
    const Entry first = add(WireBlock(2).version_c(5));
    add(WireBlock(2).version_c(6));
    check(first);
    EXPECT_TRUE(marked().empty());  // same id is allowed for kind 2
    add(WireBlock(2).version_c(W));
    check(first);
    EXPECT_EQ(marked(), field_c(first));
}

TEST_F(ConsistencyCheck, Kind2VersionDMustMatchKind0VersionA) {
    const Entry kind2 = add(WireBlock(2).version_c(5).version_d(0x01000000));
    add(WireBlock(0).version_a(0x01000000));
    check(kind2);
    EXPECT_TRUE(marked().empty());
    add(WireBlock(0).version_a(0x02000000));
    check(kind2);
    EXPECT_EQ(marked(), (std::set<const Node *>{kind2.top, kind2.group, kind2.d}));
}

TEST_F(ConsistencyCheck, WildcardsNeverConflictOnVersionAOrD) {
    const Entry kind2 = add(WireBlock(2).version_c(5).version_d(W));
    add(WireBlock(0).version_a(0x02000000));
    add(WireBlock(2).version_c(6).version_d(0x01000000));
    add(WireBlock(0).version_a(W));
    check(kind2);
    EXPECT_TRUE(marked().empty());
}

TEST_F(ConsistencyCheck, ApplicationsNeedKind0VersionBAndAMatchingKind2) {
    const Entry app = add(WireBlock(40).version_b(3).version_c(5));
    add(WireBlock(0).version_b(4));
    add(WireBlock(2).version_c(6));
    check(app);
    std::set<const Node *> expected = field_c(app);
    expected.insert(app.b);
    EXPECT_EQ(marked(), expected);
}

TEST_F(ConsistencyCheck, ApplicationsFitWithMatchingOrWildcardVersions) {
    const Entry app = add(WireBlock(40).version_b(W).version_c(5));
    add(WireBlock(0).version_b(4));
    add(WireBlock(2).version_c(W));
    check(app);
    const Entry exact = add(WireBlock(41).version_b(4).version_c(6));
    add(WireBlock(2).version_c(6));
    check(exact);
    add(WireBlock(0).version_b(W));
    check(exact);
    EXPECT_TRUE(marked().empty());
}

TEST_F(ConsistencyCheck, AGroupWithoutTheFieldIsPassedOver) {
    TCInfoField &record = records_.emplace_back(WireBlock(40).version_c(5));
    Node &top = tree_.add_top(&record);
    Node &without = top.add(nullptr);
    ReferenceTree::add_field(without, VELKOR_INFO_VERSION_B);
    Node &with = top.add(nullptr);
    Node &first_c = ReferenceTree::add_field(with, VELKOR_INFO_VERSION_C);
    ReferenceTree::add_field(with, VELKOR_INFO_VERSION_C);  // only the first per group
    _ConsistencyCheck(tree_.c_tree(), top.handle(), kWarning);
    EXPECT_EQ(marked(), (std::set<const Node *>{&top, &with, &first_c}));
}

TEST_F(ConsistencyCheck, MarksAreNeverCleared) {
    const Entry app = add(WireBlock(40).version_c(5));
    app.b->state_index = 3;
    check(app);
    EXPECT_EQ(app.b->state_index, 3);
    EXPECT_EQ(app.c->state_index, kWarning);
}

TEST_F(ConsistencyCheck, IncompleteInputChangesNothing) {
    const Entry app = add(WireBlock(40).version_c(5));
    Node &bare = tree_.add_top(nullptr);  // a top-level node without a record
    TCMoreInfo no_block(nullptr);
    Node &blockless = tree_.add_top(&no_block);
    _ConsistencyCheck(nullptr, app.top->handle(), kWarning);
    _ConsistencyCheck(tree_.c_tree(), nullptr, kWarning);
    _ConsistencyCheck(tree_.c_tree(), bare.handle(), kWarning);
    _ConsistencyCheck(tree_.c_tree(), blockless.handle(), kWarning);
    TDCTree partial = *tree_.c_tree();
    partial.getParent = nullptr;
    _ConsistencyCheck(&partial, app.top->handle(), kWarning);
    EXPECT_TRUE(marked().empty());
    check(app);  // the nodes without a block are skipped as others
    EXPECT_EQ(marked(), field_c(app));
}

}  // namespace
}  // namespace velkor::testing
