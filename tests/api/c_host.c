/* A host written in C, linked against the built library the way an
 * application links it: proves the header compiles as C and the library loads. */
#include <stdio.h>
#include <string.h>

#include "Vevara_Rovo_dar.h"

static int failures = 0;

static void check(int condition, const char *what) {
    if (!condition) {
        fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

static void VELKOR_CALL on_event(int a, int b) { (void)a; (void)b; }

int main(void) {
    check(sizeof(TDROVAInfo) == 348, "TDROVAInfo is 348 bytes");
    check(_Close() == 0, "_Close without a session");
    check(_Initialize(on_event, NULL, 0) == 0, "_Initialize");
    check(_Initialize(on_event, NULL, 0) == 1, "second _Initialize refused");
    check(_IsConnected() == 0, "not connected");
    check(strcmp(_GetErrorString(4), "Disconnect first.") == 0, "error text 4");
    check(strcmp(_GetErrorString(99), "Unknown error #99") == 0, "unknown error text");
    check(_GetConnectInfo() != NULL && _GetConnectInfo()->serialNumber == 0, "connected-device record");
    check(_GetConnectErrorInfo() == _GetConnectErrorInfo(), "connect-error record");
    check(_Close() == 0, "_Close");
    printf("c_host: %s\n", failures == 0 ? "ok" : "FAILED");
    return failures == 0 ? 0 : 1;
}
