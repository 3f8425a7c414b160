// A minimal tree control behind the C tree interface of the public header:
// nodes with a data pointer and a state index, for tests and examples.
#pragma once

#include <memory>
#include <vector>

#include "Vevara_Rovo_dar.h"

namespace velkor::testing {

class ReferenceTree {
public:
    static constexpr int kNoState = -1;

    struct Node {
        void *data = nullptr;
        int state_index = kNoState;
        Node *parent = nullptr;
        std::vector<std::unique_ptr<Node>> children;

        Node &add(void *child_data);
        TDCTreeNode *handle() { return reinterpret_cast<TDCTreeNode *>(this); }
    };

    ReferenceTree();
    ReferenceTree(const ReferenceTree &) = delete;
    ReferenceTree &operator=(const ReferenceTree &) = delete;

    Node &add_top(void *data);
    // A field node showing the block field at `offset`.
    static Node &add_field(Node &group, std::size_t offset);

    TDCTree *c_tree() { return &interface_; }
    // Every node, top-level first, each followed by its descendants.
    std::vector<const Node *> all_nodes() const;

private:
    Node root_;  // its children are the top-level nodes; never handed out
    TDCTree interface_{};
};

}  // namespace velkor::testing
