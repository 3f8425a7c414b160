#include <gtest/gtest.h>

#include <deque>
#include <set>
#include <vector>

#include "Vevara_Rovo_dar.h"
#include "firmware_tree.h"
#include "model/info_block.h"
#include "model/test_blocks.h"

namespace velkor::testing {
namespace {

constexpr int kWarning = 7;
constexpr int kTop = FIRMWARE_TREE_NONE;

// Each entry: a top-level node over a record, one group with the three
// version fields, and a second group with versionC only. Nodes are indices
// into the shipped tree's array.
struct Entry {
    int top;
    int group;
    int b;
    int c;
    int d;
    int second_group;
    int second_c;
};

class ConsistencyCheck : public ::testing::Test {
protected:
    ConsistencyCheck() { firmware_tree_init(&tree_, nodes_.data(), static_cast<int>(nodes_.size())); }

    int add_top(void *record) { return firmware_tree_add(&tree_, kTop, record); }
    int add_group(int top) { return firmware_tree_add(&tree_, top, nullptr); }
    int add_field(int group, int offset) { return firmware_tree_add_field(&tree_, group, offset); }

    Entry add(const WireBlock &block) {
        TCInfoField &record = records_.emplace_back(block);
        const int top = add_top(&record);
        const int group = add_group(top);
        const int b = add_field(group, VELKOR_INFO_VERSION_B);
        const int c = add_field(group, VELKOR_INFO_VERSION_C);
        const int d = add_field(group, VELKOR_INFO_VERSION_D);
        const int second = add_group(top);
        const int second_c = add_field(second, VELKOR_INFO_VERSION_C);
        return {top, group, b, c, d, second, second_c};
    }

    void check(int top) { _ConsistencyCheck(&tree_.tree, firmware_tree_handle(&tree_, top), kWarning); }
    void check(const Entry &entry) { check(entry.top); }

    std::set<int> marked() const {
        std::set<int> nodes;
        for (int k = 0; k < tree_.count; ++k)
            if (nodes_[k].stateIndex == kWarning) nodes.insert(k);
        return nodes;
    }
    static std::set<int> field_c(const Entry &e) { return {e.top, e.group, e.c, e.second_group, e.second_c}; }

    std::vector<FirmwareTreeNode> nodes_ = std::vector<FirmwareTreeNode>(128);
    FirmwareTree tree_;
    std::deque<TCInfoField> records_;
};

TEST_F(ConsistencyCheck, AnEntryAloneNeedsAWildcardVersionC) {
    const Entry app = add(WireBlock(40).version_c(5));
    check(app);
    EXPECT_EQ(marked(), field_c(app));
    // The first group is marked through its field: no duplicate id.
    EXPECT_EQ(firmware_tree_marks(&tree_, app.top, kWarning), FIRMWARE_MARK_VERSION_C);
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
    EXPECT_EQ(marked(), (std::set<int>{app.top, app.group}));
    EXPECT_EQ(firmware_tree_marks(&tree_, app.top, kWarning), FIRMWARE_MARK_ID);
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
    EXPECT_EQ(marked(), (std::set<int>{kind2.top, kind2.group, kind2.d}));
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
    std::set<int> expected = field_c(app);
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
    const int top = add_top(&record);
    const int without = add_group(top);
    add_field(without, VELKOR_INFO_VERSION_B);
    const int with = add_group(top);
    const int first_c = add_field(with, VELKOR_INFO_VERSION_C);
    add_field(with, VELKOR_INFO_VERSION_C);  // only the first per group
    check(top);
    EXPECT_EQ(marked(), (std::set<int>{top, with, first_c}));
}

TEST_F(ConsistencyCheck, MarksAreNeverCleared) {
    const Entry app = add(WireBlock(40).version_c(5));
    nodes_[app.b].stateIndex = 3;
    check(app);
    EXPECT_EQ(nodes_[app.b].stateIndex, 3);
    EXPECT_EQ(nodes_[app.c].stateIndex, kWarning);
}

TEST_F(ConsistencyCheck, IncompleteInputChangesNothing) {
    const Entry app = add(WireBlock(40).version_c(5));
    const int bare = add_top(nullptr);  // a top-level node without a record
    TCMoreInfo no_block(nullptr);
    const int blockless = add_top(&no_block);
    _ConsistencyCheck(nullptr, firmware_tree_handle(&tree_, app.top), kWarning);
    _ConsistencyCheck(&tree_.tree, nullptr, kWarning);
    check(bare);
    check(blockless);
    TDCTree partial = tree_.tree;
    partial.getParent = nullptr;
    _ConsistencyCheck(&partial, firmware_tree_handle(&tree_, app.top), kWarning);
    EXPECT_TRUE(marked().empty());
    check(app);  // the nodes without a block are skipped as others
    EXPECT_EQ(marked(), field_c(app));
}

// The shape firmware_tree_add_sector builds, as drova and the C host example
// use it: what the check marked reads back as FIRMWARE_MARK_* bits.
TEST_F(ConsistencyCheck, TheSectorShapeReadsBackWhatWasMarked) {
    struct Row {
        const char *what;
        std::vector<WireBlock> table;
        std::vector<int> marks;  // per sector, after checking every non-empty one
    };
    const std::vector<Row> rows = {
        {"consistent",
         {WireBlock(0).version_a(1).version_b(2).version_c(W), WireBlock(2).version_c(3).version_d(1),
          WireBlock(40).version_b(2).version_c(3), WireBlock(kEmptySectorId)},
         {0, 0, 0, 0}},
        {"duplicate id",
         {WireBlock(40).version_c(W), WireBlock(40).version_c(W), WireBlock(kEmptySectorId)},
         {FIRMWARE_MARK_ID, FIRMWARE_MARK_ID, 0}},
        {"duplicate id and versionB",
         {WireBlock(0).version_b(1).version_c(W), WireBlock(40).version_b(2).version_c(W),
          WireBlock(40).version_b(1).version_c(W)},
         {0, FIRMWARE_MARK_ID | FIRMWARE_MARK_VERSION_B, FIRMWARE_MARK_ID}},
        {"kind 2: versionD and a versionC twice",
         {WireBlock(0).version_a(1).version_c(W), WireBlock(2).version_c(3).version_d(2),
          WireBlock(2).version_c(3).version_d(1)},
         {0, FIRMWARE_MARK_VERSION_C | FIRMWARE_MARK_VERSION_D, FIRMWARE_MARK_VERSION_C}},
        {"application without a kind-2 versionC",
         {WireBlock(2).version_c(3), WireBlock(40).version_c(4)},
         {0, FIRMWARE_MARK_VERSION_C}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        records_.clear();
        std::vector<FirmwareEntry> entries(row.table.size());
        firmware_tree_init(&tree_, nodes_.data(), static_cast<int>(row.table.size()) * FIRMWARE_TREE_NODES_PER_SECTOR);
        for (std::size_t k = 0; k < row.table.size(); ++k) {
            entries[k].block = records_.emplace_back(row.table[k]).data();
            const int top = firmware_tree_add_sector(&tree_, &entries[k]);
            ASSERT_EQ(top, firmware_tree_top(&tree_, static_cast<int>(k)));
        }
        EXPECT_EQ(firmware_tree_add_sector(&tree_, &entries[0]), FIRMWARE_TREE_NONE);  // the array is full
        EXPECT_EQ(firmware_tree_top(&tree_, static_cast<int>(row.table.size())), FIRMWARE_TREE_NONE);
        for (std::size_t k = 0; k < row.table.size(); ++k)
            if (firmware_block_word(entries[k].block, VELKOR_INFO_ID) != kEmptySectorId)
                check(firmware_tree_top(&tree_, static_cast<int>(k)));
        for (std::size_t k = 0; k < row.table.size(); ++k)
            EXPECT_EQ(firmware_tree_marks(&tree_, firmware_tree_top(&tree_, static_cast<int>(k)), kWarning),
                      row.marks[k])
                << "sector " << k;
    }
    EXPECT_EQ(firmware_tree_add(&tree_, 500, nullptr), FIRMWARE_TREE_NONE);  // no such parent
    EXPECT_EQ(firmware_tree_add_field(&tree_, kTop, VELKOR_INFO_VERSION_C), FIRMWARE_TREE_NONE);
    EXPECT_EQ(firmware_tree_top(&tree_, -1), FIRMWARE_TREE_NONE);
}

}  // namespace
}  // namespace velkor::testing
