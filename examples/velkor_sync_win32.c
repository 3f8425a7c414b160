/* velkor_sync_platform.h with an SRW lock and a condition variable (Windows
 * Vista and later), which MinGW and MSVC both have. */
#include "velkor_sync_platform.h"

#include <stdlib.h>
#include <windows.h>

struct VelkorSyncSignal {
    SRWLOCK lock;
    CONDITION_VARIABLE changed;
};

VelkorSyncSignal *velkor_sync_signal_create(void) {
    VelkorSyncSignal *signal = malloc(sizeof *signal);
    if (signal == NULL) return NULL;
    InitializeSRWLock(&signal->lock);
    InitializeConditionVariable(&signal->changed);
    return signal;
}

void velkor_sync_signal_free(VelkorSyncSignal *signal) { free(signal); }
void velkor_sync_lock(VelkorSyncSignal *signal) { AcquireSRWLockExclusive(&signal->lock); }
void velkor_sync_unlock(VelkorSyncSignal *signal) { ReleaseSRWLockExclusive(&signal->lock); }
void velkor_sync_wake(VelkorSyncSignal *signal) { WakeAllConditionVariable(&signal->changed); }

int velkor_sync_wait(VelkorSyncSignal *signal, int timeout_ms) {
    const DWORD wait = timeout_ms <= 0 ? INFINITE : (DWORD)timeout_ms;
    if (SleepConditionVariableSRW(&signal->changed, &signal->lock, wait, 0)) return 0;
    return GetLastError() == ERROR_TIMEOUT;
}
