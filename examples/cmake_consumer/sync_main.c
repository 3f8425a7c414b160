/* The synchronous layer as the package installs it, compiled into a host: a
 * command the library refuses without a device returns its code and text. */
#include <stdio.h>

#include "velkor_sync.h"

int main(void) {
    VelkorOutcome outcome;
    if (velkor_sync_open(NULL, NULL) != 0) return 1;
    const int result = velkor_sync_erase(1, 5000, &outcome);
    velkor_sync_close();
    printf("erase: result %d, error %d: %s\n", result, outcome.error, outcome.text);
    return result == VELKOR_SYNC_REFUSED ? 0 : 1;
}
