/*
 * A small host of the Velkor Control API in C: search, connect to the device
 * found, describe it, read its flash sector table and check that the
 * firmware in it fits together, start a download and stop it once its first
 * data block is reported, disconnect. Each command is one call of the
 * synchronous layer (velkor_sync.h), which returns with the command's
 * outcome; the layer's hook prints every event as it arrives.
 *
 * Build: cc c_host_example.c firmware_tree.c velkor_sync.c velkor_sync_posix.c \
 *            $(pkg-config --cflags --libs velkor) -lpthread
 *   (the sources are in share/velkor of the install; Windows: velkor_sync_win32.c)
 * Run it against a simulated device:
 *   drova --sim firmware_table.json with-sim ./c_host_example
 */
#include <stdio.h>

#include "Vevara_Rovo_dar.h"
#include "firmware_tree.h"
#include "velkor_sync.h"

enum { WAIT_MS = 15000, MOST_SECTORS = 255, MOST_FOUND = 8, MARKED = 1 };

static volatile int stop_after_a_data_block;

/* Runs on the library's notification thread, for every event. The download's
 * stop comes from here (it could come from any thread). */
static void print_event(void *context, int a, int b) {
    (void)context;
    if (a == VELKOR_EV_PRGDATA && b == 0 && stop_after_a_data_block) {
        stop_after_a_data_block = 0;
        _StopDownload();
    }
    printf("event (%d,%d)\n", a, b);
    if (a == VELKOR_EV_ERROR) printf("  %s\n", _GetErrorString(b));
}

/* 1 when the command succeeded; otherwise says why, in the library's words. */
static int done(const char *what, int result, const VelkorOutcome *outcome) {
    if (result == VELKOR_SYNC_OK) return 1;
    fprintf(stderr, "%s: %s\n", what, outcome->text);
    return 0;
}

/* The name field as text: up to its first zero byte, odd bytes as '?'. */
static void print_name(const u8 *block) {
    for (int k = 0; k < 64 && block[VELKOR_INFO_NAME + k] != 0; ++k) {
        const u8 c = block[VELKOR_INFO_NAME + k];
        putchar(c >= 0x20 && c < 0x7F ? c : '?');
    }
}

static void print_version(const char *label, const u8 *block, int offset) {
    const u32 v = firmware_block_word(block, offset);
    if (v == 0xFFFEFDFCu) { /* the wildcard */
        printf(" %s Don't care", label);
        return;
    }
    printf(" %s %u.%u.%u.%u", label, (unsigned)(v >> 24), (unsigned)(v >> 16 & 0xFF), (unsigned)(v >> 8 & 0xFF),
           (unsigned)(v & 0xFF));
}

/* Lists the table _FlashInfo read and runs the consistency check for every
 * firmware entry over one tree of the whole table. */
static void check_flash_table(void) {
    static u8 blocks[MOST_SECTORS][VELKOR_INFO_BLOCK_SIZE];
    static FirmwareEntry entries[MOST_SECTORS];
    static FirmwareTreeNode nodes[MOST_SECTORS * FIRMWARE_TREE_NODES_PER_SECTOR];
    static const struct { int bit; const char *field; } fields[] = {
        {FIRMWARE_MARK_ID, "id"}, {FIRMWARE_MARK_VERSION_B, "versionB"},
        {FIRMWARE_MARK_VERSION_C, "versionC"}, {FIRMWARE_MARK_VERSION_D, "versionD"}};
    const int held = _GetFlashSectors(blocks, MOST_SECTORS);
    const int count = held < MOST_SECTORS ? held : MOST_SECTORS;
    FirmwareTree tree;
    firmware_tree_init(&tree, nodes, count * FIRMWARE_TREE_NODES_PER_SECTOR);
    for (int k = 0; k < count; ++k) {
        entries[k].block = blocks[k];
        firmware_tree_add_sector(&tree, &entries[k]);
    }
    printf("%d flash sectors; the staging area is area %d\n", count, count);
    for (int k = 0; k < count; ++k) {
        const u32 id = firmware_block_word(blocks[k], VELKOR_INFO_ID);
        if (id == 0xFFFFFFFFu) {
            printf("sector %d: empty\n", k);
            continue;
        }
        const int top = firmware_tree_top(&tree, k);
        /* Every mark lands below the entry checked, so it can be read at once. */
        _ConsistencyCheck(&tree.tree, firmware_tree_handle(&tree, top), MARKED);
        const int marks = firmware_tree_marks(&tree, top, MARKED);
        printf("sector %d: id %u '", k, (unsigned)id);
        print_name(blocks[k]);
        printf("'");
        print_version("firmware", blocks[k], VELKOR_INFO_FW_VERSION);
        print_version("versionC", blocks[k], VELKOR_INFO_VERSION_C);
        printf(marks == 0 ? ": fits\n" : ": marked");
        for (size_t f = 0; f < sizeof fields / sizeof fields[0]; ++f)
            if (marks & fields[f].bit) printf(" %s", fields[f].field);
        if (marks != 0) printf("\n");
    }
}

/* Sixteen blocks into the staging area, stopped once the first data block is
 * reported: the step then in flight is the last. */
static void download_and_stop(int staging_area) {
    static u8 data[16][64];
    VelkorOutcome outcome;
    TBinList *blocks = _BinListCreate();
    if (blocks == NULL) return;
    for (int k = 0; k < 16; ++k) {
        BinBlock block = {(u32)(k * 64), sizeof data[k], data[k]};
        _BinListAdd(blocks, &block);
    }
    stop_after_a_data_block = 1;
    if (velkor_sync_download(staging_area, blocks, WAIT_MS, &outcome) == VELKOR_SYNC_FAILED &&
        outcome.a == VELKOR_EV_DOWNLOAD)
        printf("download stopped before its end\n");
    _BinListFree(blocks);
}

int main(void) {
    static char description[4096];
    TDROVAInfo found[MOST_FOUND];
    VelkorOutcome outcome;
    if (velkor_sync_open(print_event, NULL) != 0) return 1;

    /* Search for 2 x 100 ms, then connect to the device found last, as the
     * library's own connect after a search does. */
    const int searched = done("search", velkor_sync_search(100, WAIT_MS, &outcome), &outcome);
    const int held = searched ? _GetFoundDevices(found, MOST_FOUND) : 0;
    const int count = held < MOST_FOUND ? held : MOST_FOUND;
    if (count == 0 || !done("connect", velkor_sync_connect(found[count - 1].serialNumber, WAIT_MS, &outcome), &outcome)) {
        fprintf(stderr, "no device could be connected\n");
        velkor_sync_close();
        return 1;
    }
    for (int i = 0; i < count; ++i) /* a name fills its field without a zero byte */
        printf("found %d: %.64s\n", i, found[i].deviceName);
    _GetHintAboutDROVA(VELKOR_HINT_NAME | VELKOR_HINT_SERIAL_NUMBER | VELKOR_HINT_HW_VERSION |
                           VELKOR_HINT_FOS_IFC_VERSION,
                       _GetConnectInfo(), description, sizeof description);
    printf("%s", description);

    if (done("flash information", velkor_sync_flash_info(WAIT_MS, &outcome), &outcome)) {
        check_flash_table();
        download_and_stop(_GetFlashSectors(NULL, 0));
    }

    const int disconnected = done("disconnect", velkor_sync_disconnect(WAIT_MS, &outcome), &outcome);
    velkor_sync_close();
    return disconnected ? 0 : 1;
}
