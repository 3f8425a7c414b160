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

VelkorModule load_library_module(const char *path);
void pause_ms(unsigned ms);

/* Function and object pointers share a size on every target of the library. */
#define SLOT_IS(slot, function) same_address((slot), (void (*)(void))(function))
static int same_address(void *slot, void (*function)(void)) {
    void *address;
    memcpy(&address, &function, sizeof address);
    return slot == address;
}

/* Every entry point through the table _Test_Version_Compatibility returns. */
static void check_export_table(const char *library) {
    char message[80] = "untouched";
    VelkorModule module = load_library_module(library);
    void **table;
    check(module != NULL, "the library loads by its path");
    table = _Test_Version_Compatibility(module, message, (int)sizeof message);
    check(table != NULL, "every entry point is found");
    check(strcmp(message, "untouched") == 0, "no message on success");
    if (table == NULL) return;
    check(SLOT_IS(table[0], _Initialize), "slot 0 is _Initialize");
    check(SLOT_IS(table[13], _Connect), "slot 13 is _Connect");
    check(SLOT_IS(table[39], _DeviceClose), "slot 39 is _DeviceClose");
    check(table[34] == NULL && table[35] == NULL, "slots 34 and 35 stay empty");
    check(table[36] == NULL, "no flash sector list without a session");
    {
        const char *(VELKOR_CALL *error_string)(int);
        memcpy(&error_string, &table[28], sizeof error_string);
        check(error_string(5) == _GetErrorString(5), "calls go through the table");
    }
    check(_Initialize(on_event, NULL, 0) == 0, "_Initialize for the lists");
    check(table[36] != NULL && table[37] != NULL, "the session's lists");
    _Close();
}

int main(int argc, char **argv) {
    if (argc > 1) check_export_table(argv[1]);
    check(sizeof(TDROVAInfo) == 348, "TDROVAInfo is 348 bytes");
    check(_Close() == 0, "_Close without a session");
    check(_Initialize(on_event, NULL, 0) == 0, "_Initialize");
    check(_Initialize(on_event, NULL, 0) == 1, "second _Initialize refused");
    check(_IsConnected() == 0, "not connected");
    check(strcmp(_GetErrorString(4), "Disconnect first.") == 0, "error text 4");
    check(strcmp(_GetErrorString(99), "Unknown error #99") == 0, "unknown error text");
    check(_GetConnectInfo() != NULL && _GetConnectInfo()->serialNumber == 0, "connected-device record");
    check(_GetConnectErrorInfo() == _GetConnectErrorInfo(), "connect-error record");
    {
        unsigned char blocks[2][VELKOR_INFO_BLOCK_SIZE];
        check(_GetFlashSectors(blocks, 2) == 0, "no flash sector table before a _FlashInfo");
        check(_IsFlashTableComplete() == 0, "no complete table");
        check(_StopDownload() == 1, "no download to stop");
    }
    check(_Close() == 0, "_Close");
    check(_GetFlashSectors(NULL, 0) == 0 && _StopDownload() == 1, "the additions without a session");
    /* A host may end without _Close, its library's threads still waiting: the
     * process ends all the same. */
    check(_Initialize(on_event, NULL, 0) == 0, "_Initialize, left open at the end");
    pause_ms(200); /* the threads are waiting by now */
    printf("c_host: %s\n", failures == 0 ? "ok" : "FAILED");
    return failures == 0 ? 0 : 1;
}
