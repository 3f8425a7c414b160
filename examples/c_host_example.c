/*
 * A small host of the Velkor Control API in C: search, connect to the device
 * found, describe it, read its flash sector table and check that the
 * firmware in it fits together, start a download and stop it once its first
 * data block is reported, disconnect. Events arrive on a thread of the
 * library; the callback queues them and wakes the host thread, which waits
 * for the event that ends each command.
 *
 * Build: cc c_host_example.c firmware_tree.c $(pkg-config --cflags --libs velkor) -lpthread
 * Run it against a simulated device:
 *   drova --sim firmware_table.json with-sim ./c_host_example
 */
#include <pthread.h>
#include <stdio.h>
#include <time.h>

#include "Vevara_Rovo_dar.h"
#include "firmware_tree.h"

enum { QUEUE_SIZE = 64, WAIT_SECONDS = 15, MOST_SECTORS = 255, MARKED = 1 };

static pthread_mutex_t queue_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t queue_changed = PTHREAD_COND_INITIALIZER;
static int queue[QUEUE_SIZE][2];
static int queue_head, queue_count;
static volatile int stop_after_a_data_block;

/* Runs on the library's notification thread. The download runs on the thread
 * that called _Download, so the stop comes from here (or another thread). */
static void VELKOR_CALL on_event(int a, int b) {
    if (a == VELKOR_EV_PRGDATA && b == 0 && stop_after_a_data_block) {
        stop_after_a_data_block = 0;
        _StopDownload();
    }
    pthread_mutex_lock(&queue_lock);
    if (queue_count < QUEUE_SIZE) {
        queue[(queue_head + queue_count) % QUEUE_SIZE][0] = a;
        queue[(queue_head + queue_count) % QUEUE_SIZE][1] = b;
        ++queue_count;
    }
    pthread_cond_signal(&queue_changed);
    pthread_mutex_unlock(&queue_lock);
}

/* Waits for the event (operation, b) and returns b: 0 success, 1 failure,
 * -1 when nothing came. An error event before it is printed with its text. */
static int wait_for(int operation) {
    struct timespec deadline = {time(NULL) + WAIT_SECONDS, 0};
    int result = -1;
    pthread_mutex_lock(&queue_lock);
    while (result < 0) {
        while (queue_count == 0)
            if (pthread_cond_timedwait(&queue_changed, &queue_lock, &deadline) != 0) {
                pthread_mutex_unlock(&queue_lock);
                return -1;
            }
        const int a = queue[queue_head][0], b = queue[queue_head][1];
        queue_head = (queue_head + 1) % QUEUE_SIZE;
        --queue_count;
        printf("event (%d,%d)\n", a, b);
        if (a == VELKOR_EV_ERROR) printf("  %s\n", _GetErrorString(b));
        if (a == operation) result = b;
    }
    pthread_mutex_unlock(&queue_lock);
    return result;
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
    TBinList *blocks = _BinListCreate();
    if (blocks == NULL) return;
    for (int k = 0; k < 16; ++k) {
        BinBlock block = {(u32)(k * 64), sizeof data[k], data[k]};
        _BinListAdd(blocks, &block);
    }
    stop_after_a_data_block = 1;
    if (_Download(staging_area, blocks) == 0 && wait_for(VELKOR_EV_DOWNLOAD) == 1)
        printf("download stopped before its end\n");
    _BinListFree(blocks);
}

int main(void) {
    static char description[4096];
    if (_Initialize(on_event, NULL, 0) != 0) return 1;

    /* Search for 2 x 100 ms, then let the library connect to the device found. */
    _FindDROVAs(0, 0, 100);
    if (wait_for(VELKOR_EV_SEARCH) != 0 || wait_for(VELKOR_EV_CONNECT) != 0) {
        fprintf(stderr, "no device could be connected\n");
        _Close();
        return 1;
    }
    TDROVAInfo found[8];
    const int count = _GetFoundDevices(found, 8);
    for (int i = 0; i < count && i < 8; ++i) /* a name fills its field without a zero byte */
        printf("found %d: %.64s\n", i, found[i].deviceName);
    _GetHintAboutDROVA(VELKOR_HINT_NAME | VELKOR_HINT_SERIAL_NUMBER | VELKOR_HINT_HW_VERSION |
                           VELKOR_HINT_FOS_IFC_VERSION,
                       _GetConnectInfo(), description, sizeof description);
    printf("%s", description);

    if (_FlashInfo() == 0 && wait_for(VELKOR_EV_FLASHINFO) == 0) {
        check_flash_table();
        download_and_stop(_GetFlashSectors(NULL, 0));
    } else {
        fprintf(stderr, "the flash sector table could not be read\n");
    }

    const int disconnected = _Disconnect() == 0 && wait_for(VELKOR_EV_DISCONNECT) == 0;
    _Close();
    return disconnected ? 0 : 1;
}
