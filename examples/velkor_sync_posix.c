/* velkor_sync_platform.h with pthreads; the wait runs on the monotonic clock,
 * so that a change of the time of day neither ends it early nor stretches it. */
#include "velkor_sync_platform.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

struct VelkorSyncSignal {
    pthread_mutex_t lock;
    pthread_cond_t changed;
};

VelkorSyncSignal *velkor_sync_signal_create(void) {
    VelkorSyncSignal *signal = malloc(sizeof *signal);
    pthread_condattr_t attributes;
    if (signal == NULL) return NULL;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    if (pthread_mutex_init(&signal->lock, NULL) != 0) {
        free(signal);
        return NULL;
    }
    if (pthread_cond_init(&signal->changed, &attributes) != 0) {
        pthread_mutex_destroy(&signal->lock);
        free(signal);
        signal = NULL;
    }
    pthread_condattr_destroy(&attributes);
    return signal;
}

void velkor_sync_signal_free(VelkorSyncSignal *signal) {
    if (signal == NULL) return;
    pthread_cond_destroy(&signal->changed);
    pthread_mutex_destroy(&signal->lock);
    free(signal);
}

void velkor_sync_lock(VelkorSyncSignal *signal) { pthread_mutex_lock(&signal->lock); }
void velkor_sync_unlock(VelkorSyncSignal *signal) { pthread_mutex_unlock(&signal->lock); }
void velkor_sync_wake(VelkorSyncSignal *signal) { pthread_cond_broadcast(&signal->changed); }

int velkor_sync_wait(VelkorSyncSignal *signal, int timeout_ms) {
    struct timespec until;
    if (timeout_ms <= 0) {
        pthread_cond_wait(&signal->changed, &signal->lock);
        return 0;
    }
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += timeout_ms / 1000;
    until.tv_nsec += (long)(timeout_ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    return pthread_cond_timedwait(&signal->changed, &signal->lock, &until) == ETIMEDOUT;
}
