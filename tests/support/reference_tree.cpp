#include "support/reference_tree.h"

#include <algorithm>
#include <cstdint>

namespace velkor::testing {

namespace {

using Node = ReferenceTree::Node;

Node *node_of(TDCTreeNode *handle) { return reinterpret_cast<Node *>(handle); }

TDCTreeNode *first_of(const std::vector<std::unique_ptr<Node>> &nodes) {
    return nodes.empty() ? nullptr : nodes.front()->handle();
}

TDCTreeNode *VELKOR_CALL get_first_node(void *context) { return first_of(static_cast<Node *>(context)->children); }

TDCTreeNode *VELKOR_CALL get_first_child(void *, TDCTreeNode *node) { return first_of(node_of(node)->children); }

TDCTreeNode *VELKOR_CALL get_next_sibling(void *, TDCTreeNode *handle) {
    const auto &siblings = node_of(handle)->parent->children;
    const auto at = std::find_if(siblings.begin(), siblings.end(),
                                 [&](const auto &sibling) { return sibling->handle() == handle; });
    return at + 1 == siblings.end() ? nullptr : (*(at + 1))->handle();
}

TDCTreeNode *VELKOR_CALL get_parent(void *context, TDCTreeNode *node) {
    Node *parent = node_of(node)->parent;
    return parent == context ? nullptr : parent->handle();
}

void *VELKOR_CALL get_data(void *, TDCTreeNode *node) { return node_of(node)->data; }

void VELKOR_CALL set_state_index(void *, TDCTreeNode *node, int state_index) {
    node_of(node)->state_index = state_index;
}

void collect(const Node &node, std::vector<const Node *> &into) {
    for (const auto &child : node.children) {
        into.push_back(child.get());
        collect(*child, into);
    }
}

}  // namespace

Node &Node::add(void *child_data) {
    auto &child = *children.emplace_back(std::make_unique<Node>());
    child.data = child_data;
    child.parent = this;
    return child;
}

ReferenceTree::ReferenceTree()
    : interface_{&root_, get_first_node, get_first_child, get_next_sibling, get_parent, get_data, set_state_index} {}

Node &ReferenceTree::add_top(void *data) { return root_.add(data); }

Node &ReferenceTree::add_field(Node &group, std::size_t offset) {
    return group.add(reinterpret_cast<void *>(static_cast<std::uintptr_t>(offset)));
}

std::vector<const Node *> ReferenceTree::all_nodes() const {
    std::vector<const Node *> nodes;
    collect(root_, nodes);
    return nodes;
}

}  // namespace velkor::testing
