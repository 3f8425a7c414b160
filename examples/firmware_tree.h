/*
 * A host tree for _ConsistencyCheck, kept in an array of nodes the caller
 * owns: no allocation, no C++, nothing but the public header. Compile
 * firmware_tree.c into the host.
 *
 * The usual shape, built by firmware_tree_add_sector, is one top-level node
 * per flash sector and below it one group per field kind, each holding its
 * field node:
 *
 *   sector           data: a FirmwareEntry (its first field is the block)
 *     id group       the first child: a duplicate id marks it and the sector
 *       id           offset VELKOR_INFO_ID, never marked by itself
 *     versionB group
 *       versionB     offset VELKOR_INFO_VERSION_B
 *     versionC group
 *       versionC     offset VELKOR_INFO_VERSION_C
 *     versionD group
 *       versionD     offset VELKOR_INFO_VERSION_D
 *
 * Any other shape can be built node by node with firmware_tree_add.
 *
 *   FirmwareTreeNode nodes[FIRMWARE_TREE_NODES_PER_SECTOR * 8];
 *   FirmwareTree tree;
 *   firmware_tree_init(&tree, nodes, 8 * FIRMWARE_TREE_NODES_PER_SECTOR);
 *   top = firmware_tree_add_sector(&tree, &entries[k]);   (for each sector k)
 *   _ConsistencyCheck(&tree.tree, firmware_tree_handle(&tree, top), 1);
 *   marks = firmware_tree_marks(&tree, top, 1);            (FIRMWARE_MARK_* bits)
 */
#ifndef VELKOR_FIRMWARE_TREE_H
#define VELKOR_FIRMWARE_TREE_H

#include "Vevara_Rovo_dar.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    FIRMWARE_TREE_NONE = -1,             /* no node; also the state of a node never marked */
    FIRMWARE_TREE_NODES_PER_SECTOR = 9   /* what firmware_tree_add_sector takes */
};

/* What firmware_tree_marks found marked below a top-level node. */
enum {
    FIRMWARE_MARK_ID = 0x1,        /* the first child alone: the id is held by another entry too */
    FIRMWARE_MARK_VERSION_B = 0x2,
    FIRMWARE_MARK_VERSION_C = 0x4,
    FIRMWARE_MARK_VERSION_D = 0x8
};

/* What a top-level node's data points at: _ConsistencyCheck reads the block
 * pointer in its first field. */
typedef struct FirmwareEntry {
    u8 *block; /* VELKOR_INFO_BLOCK_SIZE bytes as _GetFlashSectors copies them, or null */
} FirmwareEntry;

/* Links are indices into the array, FIRMWARE_TREE_NONE for none. */
typedef struct FirmwareTreeNode {
    void *data;     /* top level: the entry record; field: the offset; group: null */
    int parent;
    int firstChild;
    int lastChild;
    int nextSibling;
    int stateIndex; /* FIRMWARE_TREE_NONE until _ConsistencyCheck sets one */
} FirmwareTreeNode;

/* Hand &tree.tree to _ConsistencyCheck. Its context is the FirmwareTree
 * itself, so the struct must not move once initialised. */
typedef struct FirmwareTree {
    TDCTree tree;
    FirmwareTreeNode *nodes;
    int count;
    int capacity;
    int firstTop;
    int lastTop;
} FirmwareTree;

/* An empty tree over nodes[0 .. capacity - 1]. */
void firmware_tree_init(FirmwareTree *tree, FirmwareTreeNode *nodes, int capacity);
/* Appends a node below parent (FIRMWARE_TREE_NONE: at the top level) and
 * returns its index, or FIRMWARE_TREE_NONE when the array is full or parent
 * is not a node. */
int firmware_tree_add(FirmwareTree *tree, int parent, void *data);
/* A field node showing the block field at offset. */
int firmware_tree_add_field(FirmwareTree *tree, int group, int offset);
/* A top-level node for entry with its four groups and fields; the index of
 * the top-level node, or FIRMWARE_TREE_NONE when fewer than
 * FIRMWARE_TREE_NODES_PER_SECTOR nodes are left. */
int firmware_tree_add_sector(FirmwareTree *tree, FirmwareEntry *entry);
/* The k-th top-level node (0 first), or FIRMWARE_TREE_NONE. */
int firmware_tree_top(const FirmwareTree *tree, int k);
/* The handle of a node for _ConsistencyCheck, null for FIRMWARE_TREE_NONE. */
TDCTreeNode *firmware_tree_handle(FirmwareTree *tree, int index);
/* FIRMWARE_MARK_* bits for the fields below top whose node holds
 * stateIndex, and FIRMWARE_MARK_ID when top's first child holds it while no
 * field node below that child does. */
int firmware_tree_marks(const FirmwareTree *tree, int top, int stateIndex);

/* The big-endian word at offset of a block. */
u32 firmware_block_word(const u8 *block, int offset);

#ifdef __cplusplus
}
#endif

#endif /* VELKOR_FIRMWARE_TREE_H */
