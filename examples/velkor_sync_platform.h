/*
 * The one thing velkor_sync.c needs of the OS: a lock with a condition to wait
 * on for a while. velkor_sync_posix.c (pthreads) and velkor_sync_win32.c (SRW
 * lock and condition variable, for MinGW and MSVC) implement it.
 */
#ifndef VELKOR_SYNC_PLATFORM_H
#define VELKOR_SYNC_PLATFORM_H

typedef struct VelkorSyncSignal VelkorSyncSignal;

/* NULL when out of resources. */
VelkorSyncSignal *velkor_sync_signal_create(void);
void velkor_sync_signal_free(VelkorSyncSignal *signal);
void velkor_sync_lock(VelkorSyncSignal *signal);
void velkor_sync_unlock(VelkorSyncSignal *signal);
/* With the lock held: wakes every waiter. */
void velkor_sync_wake(VelkorSyncSignal *signal);
/* With the lock held, which it gives up while it waits: 1 when timeout_ms
 * (more than 0) passed without a wake, else 0 (a wake may also be spurious). */
int velkor_sync_wait(VelkorSyncSignal *signal, int timeout_ms);

#endif /* VELKOR_SYNC_PLATFORM_H */
