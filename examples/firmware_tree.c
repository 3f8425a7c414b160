/* The tree behind firmware_tree.h: handles are addresses of array elements,
 * so every operation is an index lookup. */
#include "firmware_tree.h"

#include <stddef.h>
#include <stdint.h>

static FirmwareTree *tree_of(void *context) { return (FirmwareTree *)context; }

static int index_of(const FirmwareTree *tree, TDCTreeNode *handle) {
    return (int)((FirmwareTreeNode *)(void *)handle - tree->nodes);
}

static TDCTreeNode *VELKOR_CALL get_first_node(void *context) {
    FirmwareTree *tree = tree_of(context);
    return firmware_tree_handle(tree, tree->firstTop);
}

static TDCTreeNode *VELKOR_CALL get_first_child(void *context, TDCTreeNode *node) {
    FirmwareTree *tree = tree_of(context);
    return firmware_tree_handle(tree, tree->nodes[index_of(tree, node)].firstChild);
}

static TDCTreeNode *VELKOR_CALL get_next_sibling(void *context, TDCTreeNode *node) {
    FirmwareTree *tree = tree_of(context);
    return firmware_tree_handle(tree, tree->nodes[index_of(tree, node)].nextSibling);
}

static TDCTreeNode *VELKOR_CALL get_parent(void *context, TDCTreeNode *node) {
    FirmwareTree *tree = tree_of(context);
    return firmware_tree_handle(tree, tree->nodes[index_of(tree, node)].parent);
}

static void *VELKOR_CALL get_data(void *context, TDCTreeNode *node) {
    FirmwareTree *tree = tree_of(context);
    return tree->nodes[index_of(tree, node)].data;
}

static void VELKOR_CALL set_state_index(void *context, TDCTreeNode *node, int stateIndex) {
    FirmwareTree *tree = tree_of(context);
    tree->nodes[index_of(tree, node)].stateIndex = stateIndex;
}

void firmware_tree_init(FirmwareTree *tree, FirmwareTreeNode *nodes, int capacity) {
    tree->tree.context = tree;
    tree->tree.getFirstNode = get_first_node;
    tree->tree.getFirstChild = get_first_child;
    tree->tree.getNextSibling = get_next_sibling;
    tree->tree.getParent = get_parent;
    tree->tree.getData = get_data;
    tree->tree.setStateIndex = set_state_index;
    tree->nodes = nodes;
    tree->count = 0;
    tree->capacity = capacity < 0 ? 0 : capacity;
    tree->firstTop = FIRMWARE_TREE_NONE;
    tree->lastTop = FIRMWARE_TREE_NONE;
}

int firmware_tree_add(FirmwareTree *tree, int parent, void *data) {
    if (tree->count >= tree->capacity) return FIRMWARE_TREE_NONE;
    if (parent != FIRMWARE_TREE_NONE && (parent < 0 || parent >= tree->count)) return FIRMWARE_TREE_NONE;
    const int index = tree->count++;
    FirmwareTreeNode *node = &tree->nodes[index];
    node->data = data;
    node->parent = parent;
    node->firstChild = node->lastChild = node->nextSibling = FIRMWARE_TREE_NONE;
    node->stateIndex = FIRMWARE_TREE_NONE;
    int *first = parent == FIRMWARE_TREE_NONE ? &tree->firstTop : &tree->nodes[parent].firstChild;
    int *last = parent == FIRMWARE_TREE_NONE ? &tree->lastTop : &tree->nodes[parent].lastChild;
    if (*last == FIRMWARE_TREE_NONE) *first = index;
    else tree->nodes[*last].nextSibling = index;
    *last = index;
    return index;
}

int firmware_tree_add_field(FirmwareTree *tree, int group, int offset) {
    if (group == FIRMWARE_TREE_NONE) return FIRMWARE_TREE_NONE; /* a field is never a top-level node */
    return firmware_tree_add(tree, group, (void *)(uintptr_t)offset);
}

int firmware_tree_add_sector(FirmwareTree *tree, FirmwareEntry *entry) {
    static const int offsets[] = {VELKOR_INFO_ID, VELKOR_INFO_VERSION_B, VELKOR_INFO_VERSION_C,
                                  VELKOR_INFO_VERSION_D};
    if (tree->capacity - tree->count < FIRMWARE_TREE_NODES_PER_SECTOR) return FIRMWARE_TREE_NONE;
    const int top = firmware_tree_add(tree, FIRMWARE_TREE_NONE, entry);
    for (size_t k = 0; k < sizeof offsets / sizeof offsets[0]; ++k)
        firmware_tree_add_field(tree, firmware_tree_add(tree, top, NULL), offsets[k]);
    return top;
}

int firmware_tree_top(const FirmwareTree *tree, int k) {
    if (k < 0) return FIRMWARE_TREE_NONE;
    int top = tree->firstTop;
    for (; top != FIRMWARE_TREE_NONE && k > 0; --k) top = tree->nodes[top].nextSibling;
    return top;
}

TDCTreeNode *firmware_tree_handle(FirmwareTree *tree, int index) {
    if (index < 0 || index >= tree->count) return NULL;
    return (TDCTreeNode *)(void *)&tree->nodes[index];
}

static int field_bit(uintptr_t offset) {
    switch (offset) {
    case VELKOR_INFO_VERSION_B: return FIRMWARE_MARK_VERSION_B;
    case VELKOR_INFO_VERSION_C: return FIRMWARE_MARK_VERSION_C;
    case VELKOR_INFO_VERSION_D: return FIRMWARE_MARK_VERSION_D;
    default: return 0;
    }
}

int firmware_tree_marks(const FirmwareTree *tree, int top, int stateIndex) {
    if (top < 0 || top >= tree->count) return 0;
    const FirmwareTreeNode *nodes = tree->nodes;
    int marks = 0;
    int first_group_fields = 0; /* field marks below the first child */
    for (int group = nodes[top].firstChild; group != FIRMWARE_TREE_NONE; group = nodes[group].nextSibling) {
        for (int field = nodes[group].firstChild; field != FIRMWARE_TREE_NONE; field = nodes[field].nextSibling) {
            if (nodes[field].stateIndex != stateIndex) continue;
            marks |= field_bit((uintptr_t)nodes[field].data);
            if (group == nodes[top].firstChild) ++first_group_fields;
        }
    }
    const int first = nodes[top].firstChild;
    if (first != FIRMWARE_TREE_NONE && nodes[first].stateIndex == stateIndex && first_group_fields == 0)
        marks |= FIRMWARE_MARK_ID;
    return marks;
}

u32 firmware_block_word(const u8 *block, int offset) {
    const u8 *p = block + offset;
    return (u32)p[0] << 24 | (u32)p[1] << 16 | (u32)p[2] << 8 | (u32)p[3];
}
