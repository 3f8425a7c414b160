/*
 * A small host of the Velkor Control API in C: search, connect to the device
 * found, describe it, disconnect. Events arrive on a thread of the library;
 * the callback queues them and wakes the host thread, which waits for the
 * event that ends each command.
 *
 * Build: cc c_host_example.c $(pkg-config --cflags --libs velkor) -lpthread
 * Run it against a simulated device: drova with-sim ./c_host_example
 */
#include <pthread.h>
#include <stdio.h>
#include <time.h>

#include "Vevara_Rovo_dar.h"

enum { QUEUE_SIZE = 64, WAIT_SECONDS = 15 };

static pthread_mutex_t queue_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t queue_changed = PTHREAD_COND_INITIALIZER;
static int queue[QUEUE_SIZE][2];
static int queue_head, queue_count;

/* Runs on the library's notification thread. */
static void VELKOR_CALL on_event(int a, int b) {
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

    const int disconnected = _Disconnect() == 0 && wait_for(VELKOR_EV_DISCONNECT) == 0;
    _Close();
    return disconnected ? 0 : 1;
}
