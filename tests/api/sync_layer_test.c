/*
 * The synchronous layer (examples/velkor_sync.h) against a simulated device
 * (sync_layer_device.json: its second checksum answer is off by one, it never
 * answers an application query), one row per command in the order a host
 * would issue them: the result, the pair that ended the command, the error
 * code and the text. Run by `drova --sim sync_layer_device.json with-sim`,
 * natively and under Wine.
 */
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "Vevara_Rovo_dar.h"
#include "velkor_sync.h"

enum { WAIT_MS = 15000, STAGING_AREA = 4, NO_PAIR = -1 };

static TDROVAInfo found[4];

/* A second thread's command while a download runs: the hook holds the
 * download at its first data block until that command has returned. */
static pthread_mutex_t second_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t second_changed = PTHREAD_COND_INITIALIZER;
static int second_wanted, second_done;
static VelkorOutcome second_outcome;

static void *second_thread(void *unused) {
    (void)unused;
    pthread_mutex_lock(&second_lock);
    while (!second_wanted) pthread_cond_wait(&second_changed, &second_lock);
    pthread_mutex_unlock(&second_lock);
    velkor_sync_read_info(WAIT_MS, &second_outcome);
    pthread_mutex_lock(&second_lock);
    second_done = 1;
    pthread_cond_broadcast(&second_changed);
    pthread_mutex_unlock(&second_lock);
    return NULL;
}

static int hold_first_data_block;

static void hook(void *context, int a, int b) {
    (void)context;
    if (a != VELKOR_EV_PRGDATA || b != 0 || !hold_first_data_block) return;
    hold_first_data_block = 0;
    pthread_mutex_lock(&second_lock);
    second_wanted = 1;
    pthread_cond_broadcast(&second_changed);
    while (!second_done) pthread_cond_wait(&second_changed, &second_lock);
    pthread_mutex_unlock(&second_lock);
}

static TBinList *blocks_of(int count) {
    static u8 data[3][300];
    TBinList *blocks = _BinListCreate();
    for (int k = 0; k < count; ++k) {
        BinBlock block = {(u32)(0x1000 * k), sizeof data[k], data[k]};
        memset(data[k], 0x40 + k, sizeof data[k]);
        _BinListAdd(blocks, &block);
    }
    return blocks;
}

static int download(int count, VelkorOutcome *outcome) {
    TBinList *blocks = blocks_of(count);
    const int result = velkor_sync_download(STAGING_AREA, blocks, WAIT_MS, outcome);
    _BinListFree(blocks);
    return result;
}

static int erase_before_connecting(VelkorOutcome *o) { return velkor_sync_erase(1, WAIT_MS, o); }
static int search(VelkorOutcome *o) {
    const int result = velkor_sync_search(50, WAIT_MS, o);
    _GetFoundDevices(found, 4);
    return result;
}
static int connect_nobody(VelkorOutcome *o) { return velkor_sync_connect(0x123456, WAIT_MS, o); }
static int connect_found(VelkorOutcome *o) { return velkor_sync_connect(found[0].serialNumber, WAIT_MS, o); }
static int read_info(VelkorOutcome *o) { return velkor_sync_read_info(WAIT_MS, o); }
static int flash_info(VelkorOutcome *o) { return velkor_sync_flash_info(WAIT_MS, o); }
static int serial_beyond_24_bits(VelkorOutcome *o) { return velkor_sync_write_serial(0x1000000, WAIT_MS, o); }
/* The first checksum: over erased bytes, asking for a checksum they do not have. */
static int checksum_differs(VelkorOutcome *o) {
    return velkor_sync_checksum((u64)STAGING_AREA << 32, 8, 0x01, STAGING_AREA, WAIT_MS, o);
}
/* The second checksum is answered off by one: record 1's, so record 1 is named. */
static int download_with_a_wrong_checksum(VelkorOutcome *o) { return download(2, o); }
static int download_while_a_second_thread_asks(VelkorOutcome *o) {
    pthread_t second;
    hold_first_data_block = 1;
    pthread_create(&second, NULL, second_thread, NULL);
    const int result = download(3, o);
    pthread_join(second, NULL);
    return result;
}
static int second_threads_command(VelkorOutcome *o) {
    *o = second_outcome;
    return o->result;
}
static int start_application_10(VelkorOutcome *o) {
    const int result = velkor_sync_start_app(10, WAIT_MS, o);
    return result == VELKOR_SYNC_OK && _IsConnected() ? -1 : result;
}
static int reconnect(VelkorOutcome *o) { return velkor_sync_connect(found[0].serialNumber, WAIT_MS, o); }
/* The device is pulled out as it takes the frame: the lost link's reason, though
 * a (10,0) stands between it and the command's failure pair. */
static int autostart_pulled_out(VelkorOutcome *o) {
    const int result = velkor_sync_autostart(10, WAIT_MS, o);
    return result == VELKOR_SYNC_FAILED && _IsConnected() ? -1 : result;
}
/* The device never answers: the layer's own wait ends it (the library's
 * period would end it 2 s later; the session closes first). */
static int no_answer(VelkorOutcome *o) { return velkor_sync_app_info(5, 200, o); }

static const struct Row {
    const char *name;
    int (*call)(VelkorOutcome *outcome);
    int result, a, b, error;
    const char *text;  /* NULL: the library's text for error */
} rows[] = {
    {"erase before connecting", erase_before_connecting, VELKOR_SYNC_REFUSED, NO_PAIR, NO_PAIR, VELKOR_ERR_NOT_CONNECTED, NULL},
    {"search", search, VELKOR_SYNC_OK, VELKOR_EV_SEARCH, 0, -1, ""},
    {"connect to a serial number nobody has", connect_nobody, VELKOR_SYNC_REFUSED, NO_PAIR, NO_PAIR,
     VELKOR_ERR_NO_SUCH_DEVICE, NULL},
    {"connect", connect_found, VELKOR_SYNC_OK, VELKOR_EV_CONNECT, 0, -1, ""},
    {"connect while connected", connect_found, VELKOR_SYNC_REFUSED, NO_PAIR, NO_PAIR, VELKOR_ERR_DISCONNECT_FIRST, NULL},
    {"read information", read_info, VELKOR_SYNC_OK, VELKOR_EV_READINFO, 0, -1, ""},
    {"serial number beyond 24 bits", serial_beyond_24_bits, VELKOR_SYNC_REFUSED, NO_PAIR, NO_PAIR,
     VELKOR_ERR_SERIAL_FORMAT, NULL},
    {"flash information", flash_info, VELKOR_SYNC_OK, VELKOR_EV_FLASHINFO, 0, -1, ""},
    {"checksum that does not match", checksum_differs, VELKOR_SYNC_FAILED, VELKOR_EV_CHECKSUM, 1, -1,
     "checksum does not match"},
    {"download whose checksum the device does not find", download_with_a_wrong_checksum, VELKOR_SYNC_FAILED,
     VELKOR_EV_DOWNLOAD, 1, -1, "checksum of record 1 does not match"},
    {"download while a second thread issues a command", download_while_a_second_thread_asks, VELKOR_SYNC_OK,
     VELKOR_EV_DOWNLOAD, 0, -1, ""},
    {"the second thread's command", second_threads_command, VELKOR_SYNC_REFUSED, NO_PAIR, NO_PAIR, VELKOR_ERR_BUSY,
     NULL},
    {"start of application 10, which ends the connection", start_application_10, VELKOR_SYNC_OK, VELKOR_EV_STARTAPP,
     0, -1, ""},
    {"connect again", reconnect, VELKOR_SYNC_OK, VELKOR_EV_CONNECT, 0, -1, ""},
    {"automatic start as the device is pulled out", autostart_pulled_out, VELKOR_SYNC_FAILED, VELKOR_EV_AUTOSTART, 1,
     VELKOR_ERR_LINK_LOST, NULL},
    {"connect once the device is back", reconnect, VELKOR_SYNC_OK, VELKOR_EV_CONNECT, 0, -1, ""},
    {"no answer within the layer's wait", no_answer, VELKOR_SYNC_TIMED_OUT, NO_PAIR, NO_PAIR, -1, "no event for 200 ms"},
};

int main(void) {
    int failures = 0;
    if (velkor_sync_open(hook, NULL) != 0) {
        printf("FAIL: the session did not open\n");
        return 1;
    }
    for (size_t k = 0; k < sizeof rows / sizeof rows[0]; ++k) {
        const struct Row *row = &rows[k];
        VelkorOutcome outcome;
        memset(&outcome, 0x5A, sizeof outcome);
        const int result = row->call(&outcome);
        const char *text = row->text != NULL ? row->text : _GetErrorString(row->error);
        const int right = result == row->result && outcome.result == row->result && outcome.a == row->a &&
                          outcome.b == row->b && outcome.error == row->error && strcmp(outcome.text, text) == 0;
        printf("%s %s: result %d, pair (%d,%d), error %d, '%s'\n", right ? "ok  " : "FAIL", row->name, result,
               outcome.a, outcome.b, outcome.error, outcome.text);
        if (!right) {
            printf("     expected result %d, pair (%d,%d), error %d, '%s'\n", row->result, row->a, row->b, row->error,
                   text);
            ++failures;
        }
    }
    velkor_sync_close();
    /* Without a session: refused at once, as the library would. */
    VelkorOutcome closed;
    if (velkor_sync_read_info(WAIT_MS, &closed) != VELKOR_SYNC_REFUSED || closed.error != VELKOR_ERR_NOT_INITIALISED) {
        printf("FAIL after closing: result %d, error %d\n", closed.result, closed.error);
        ++failures;
    }
    printf("%d of %d rows failed\n", failures, (int)(sizeof rows / sizeof rows[0]));
    return failures == 0 ? 0 : 1;
}
