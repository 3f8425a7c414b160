/*
 * A synchronous layer over the Velkor Control API for C hosts: one call per
 * command, which returns once the command has ended, with its outcome pair
 * and the library's text. It is built on the exports of Vevara_Rovo_dar.h
 * alone and is shipped as source, compiled into the host (share/velkor, or
 * the CMake package's velkor::sync): velkor_sync.c and velkor_sync_posix.c,
 * or velkor_sync_win32.c on Windows (for the DLL, with MinGW or MSVC).
 *
 * The layer owns the session's callback: start the session with
 * velkor_sync_open, not _Initialize, and end it with velkor_sync_close. Every
 * other export may still be called directly (reporting exports such as
 * _GetFoundDevices, _GetFlashSectors, _GetHintAboutDROVA; _StopDownload from
 * the hook). One command runs at a time, as in the library: a call made while
 * another thread's call runs is refused at once with VELKOR_ERR_BUSY and the
 * library's text, without reaching the library.
 *
 *   VelkorOutcome outcome;
 *   velkor_sync_open(NULL, NULL);
 *   if (velkor_sync_connect(0x8D0123, 6000, &outcome) != VELKOR_SYNC_OK)
 *       printf("connect: %s\n", outcome.text);
 */
#ifndef VELKOR_SYNC_H
#define VELKOR_SYNC_H

#include "Vevara_Rovo_dar.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What a call returns, and VelkorOutcome.result. */
enum {
    VELKOR_SYNC_OK = 0,        /* the command ended with (a, 0) */
    VELKOR_SYNC_FAILED = 1,    /* it ended with (a, 1) */
    VELKOR_SYNC_REFUSED = 2,   /* the library refused it: no pair ends it */
    VELKOR_SYNC_TIMED_OUT = 3  /* no event came for timeout_ms: the library may still end it */
};

enum { VELKOR_SYNC_TEXT_SIZE = 160 };

typedef struct VelkorOutcome {
    int result;   /* one of VELKOR_SYNC_* */
    int a, b;     /* the pair that ended the command; -1, -1 when none did */
    int error;    /* the error pair's code (VELKOR_ERR_*) the library gave for a failure or a refusal; -1: none */
    /* The library's text for error. Where the library gives no reason, what
     * that means: "no device found" for a search, "checksum of record N does
     * not match" for a download, "checksum does not match", or the library's
     * text for VELKOR_ERR_INVALID_ANSWER, which a bare failure stands for. */
    char text[VELKOR_SYNC_TEXT_SIZE];
} VelkorOutcome;

/* Sees every event pair on the library's notification thread, before the
 * waiting call is woken: for progress, or to call _StopDownload. It must not
 * call the layer, nor wait for a thread that may call velkor_sync_close. */
typedef void (*VelkorSyncHook)(void *context, int a, int b);

/* Starts the session with the layer's callback (_Initialize): 0, or 1 when the
 * library refused (a session runs already) or the layer's lock could not be
 * made. hook may be NULL. */
int velkor_sync_open(VelkorSyncHook hook, void *context);
/* Ends the session (_Close): no hook is called once it returns, and a call of
 * another thread still waiting returns VELKOR_SYNC_FAILED with
 * VELKOR_ERR_NOT_INITIALISED. Not from the hook. */
void velkor_sync_close(void);

/* Each command: timeout_ms is the longest wait for the command's next event
 * (a download reports every step); 0 or less waits for as long as it takes,
 * as the library ends every command it accepts. outcome may be NULL. */

/* Searches for 2 x unit_ms: VELKOR_SYNC_FAILED ("no device found") when none
 * answered; _GetFoundDevices gives the list. */
int velkor_sync_search(int unit_ms, int timeout_ms, VelkorOutcome *outcome);
/* Claims the found device with this serial number. */
int velkor_sync_connect(u32 serial_number, int timeout_ms, VelkorOutcome *outcome);
int velkor_sync_disconnect(int timeout_ms, VelkorOutcome *outcome);
int velkor_sync_address(TAddress address, int timeout_ms, VelkorOutcome *outcome);
int velkor_sync_read_info(int timeout_ms, VelkorOutcome *outcome);
int velkor_sync_flash_info(int timeout_ms, VelkorOutcome *outcome);
int velkor_sync_app_info(u32 id, int timeout_ms, VelkorOutcome *outcome);
int velkor_sync_erase(u8 sector, int timeout_ms, VelkorOutcome *outcome);
/* Runs the whole download; a failed step's pair comes first, then (3,1), which
 * ends it (also when the hook stopped it with _StopDownload). */
int velkor_sync_download(int target, TBinList *blocks, int timeout_ms, VelkorOutcome *outcome);
int velkor_sync_prg_data(BinBlock *block, int timeout_ms, VelkorOutcome *outcome);
int velkor_sync_program(u64 address, int area, int timeout_ms, VelkorOutcome *outcome);
int velkor_sync_checksum(u64 address, u32 length, u8 checksum, int area, int timeout_ms, VelkorOutcome *outcome);
/* Starting application 10 ends the connection: the call also waits for (10,0). */
int velkor_sync_start_app(u32 id, int timeout_ms, VelkorOutcome *outcome);
int velkor_sync_autostart(u32 id, int timeout_ms, VelkorOutcome *outcome);
/* Ends with (10,0) once the reset is sent. */
int velkor_sync_reset(int timeout_ms, VelkorOutcome *outcome);
int velkor_sync_write_serial(u32 serial_number, int timeout_ms, VelkorOutcome *outcome);

#ifdef __cplusplus
}
#endif

#endif /* VELKOR_SYNC_H */
