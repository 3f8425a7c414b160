/*
 * velkor_sync.h: each command export, then a wait for the pair that ends the
 * command, fed by the layer's callback. The callback never blocks for long:
 * it notes the pair under the lock and wakes the waiting call.
 */
#include "velkor_sync.h"

#include <stdio.h>
#include <string.h>

#include "velkor_sync_platform.h"

/* A refusal's reason is posted before the export returns and is delivered
 * within a round of the notification thread; some refusals post none. */
enum { REASON_WAIT_MS = 500, NONE = -1 };

static struct Layer {
    VelkorSyncSignal *signal;
    VelkorSyncHook hook;
    void *context;
    int open;              /* between velkor_sync_open and velkor_sync_close */
    int busy;              /* a call runs */
    /* The call's wait, as the callback fills it in. */
    int awaited;           /* the operation whose pair ends the command; NONE between calls */
    int then;              /* a pair that follows it (10,0 after a start of application 10); NONE */
    int ended, ended_a, ended_b, then_seen;
    int last_error;        /* the last error pair's code since the last step that succeeded */
    int failed_step;       /* a step that failed with no error pair before it */
    int records;           /* address steps that succeeded: the record a download is at */
    int failed_record;
    unsigned events, errors;
} layer;  /* zero until the first velkor_sync_open */

static void VELKOR_CALL on_event(int a, int b) {
    VelkorSyncHook hook;
    void *context;
    velkor_sync_lock(layer.signal);
    ++layer.events;
    if (a == VELKOR_EV_ERROR) {
        ++layer.errors;
        layer.last_error = b;
    } else if (layer.awaited != NONE && a == layer.awaited && !layer.ended) {
        layer.ended = 1;
        layer.ended_a = a;
        layer.ended_b = b;
    } else if (layer.then != NONE && a == layer.then && b == 0) {
        layer.then_seen = 1;
    } else if (b == 0 && a != VELKOR_EV_DISCONNECT) {
        /* Not a disconnect: a lost link posts (10,0) between its reason and the failure. */
        layer.last_error = NONE;
        layer.failed_step = NONE;
        if (a == VELKOR_EV_ADDRESS) ++layer.records;
    } else if (layer.last_error == NONE) {
        layer.failed_step = a;
        layer.failed_record = layer.records;
    }
    velkor_sync_wake(layer.signal);
    hook = layer.hook;
    context = layer.context;
    velkor_sync_unlock(layer.signal);
    if (hook != NULL) hook(context, a, b);
}

int velkor_sync_open(VelkorSyncHook hook, void *context) {
    if (layer.signal == NULL) layer.signal = velkor_sync_signal_create();
    if (layer.signal == NULL) return 1;
    velkor_sync_lock(layer.signal);
    if (layer.open) {
        velkor_sync_unlock(layer.signal);
        return 1;
    }
    /* No event comes before the first command: the hook is set before the session starts. */
    layer.hook = hook;
    layer.context = context;
    layer.awaited = layer.then = NONE;
    velkor_sync_unlock(layer.signal);
    if (_Initialize(on_event, NULL, 0) != 0) return 1;
    velkor_sync_lock(layer.signal);
    layer.open = 1;
    velkor_sync_unlock(layer.signal);
    return 0;
}

void velkor_sync_close(void) {
    if (layer.signal != NULL) {
        /* A call of another thread still waiting ends now: no event comes any more. */
        velkor_sync_lock(layer.signal);
        layer.open = 0;
        velkor_sync_wake(layer.signal);
        velkor_sync_unlock(layer.signal);
    }
    _Close();
    /* The lock stays for the next session: a call of another thread may still hold it. */
}

static void put_text(VelkorOutcome *outcome, const char *text) {
    snprintf(outcome->text, sizeof outcome->text, "%s", text != NULL ? text : "");
}

/* The outcome of a failure or a refusal: the library's reason, or what its absence means. */
static void explain(VelkorOutcome *outcome, int error, int operation, int failed_step, int failed_record) {
    outcome->error = error;
    if (error != NONE) {
        put_text(outcome, _GetErrorString(error));
    } else if (operation == VELKOR_EV_SEARCH) {
        put_text(outcome, "no device found");
    } else if (operation == VELKOR_EV_DOWNLOAD && failed_step == VELKOR_EV_CHECKSUM) {
        snprintf(outcome->text, sizeof outcome->text, "checksum of record %d does not match", failed_record);
    } else if (operation == VELKOR_EV_CHECKSUM) {
        put_text(outcome, "checksum does not match");
    } else {
        put_text(outcome, _GetErrorString(VELKOR_ERR_INVALID_ANSWER));
    }
}

static int finish(VelkorOutcome *outcome, int result) {
    outcome->result = result;
    return result;
}

/* One command: `issue` calls its export. */
typedef struct Command {
    int operation, then;
    int kind;
    u32 value, length;
    u64 address;
    int area;
    u8 byte;
    TAddress place;
    TBinList *blocks;
    BinBlock *block;
} Command;

enum { SEARCH, CONNECT, DISCONNECT, ADDRESS, READ_INFO, FLASH_INFO, APP_INFO, ERASE, DOWNLOAD, PRG_DATA, PROGRAM,
       CHECKSUM, START_APP, AUTOSTART, RESET, WRITE_SERIAL };

static int issue(const Command *command) {
    switch (command->kind) {
    case SEARCH: return _FindDROVAs(-1, 0, (int)command->value);
    case CONNECT: return _Connect((int)command->value, -1, 0);
    case DISCONNECT: return _Disconnect();
    case ADDRESS: return _Address(command->place);
    case READ_INFO: return _ReadInfo();
    case FLASH_INFO: return _FlashInfo();
    case APP_INFO: return _AppInfo(command->value);
    case ERASE: return _Erase(command->byte);
    case DOWNLOAD: return _Download(command->area, command->blocks);
    case PRG_DATA: return _PrgData(command->block);
    case PROGRAM: return _Program(command->address, command->area);
    case CHECKSUM: return _CheckSum(command->address, command->length, command->byte, command->area);
    case START_APP: return _StartApp(command->value);
    case AUTOSTART: return _AutoStart(command->value);
    case RESET: return _Reset();
    case WRITE_SERIAL: return _Wrsn(command->value);
    default: return 1;
    }
}

/* With the lock held: waits until `done` holds, or an error pair comes after
 * `errors` when that ends the wait, or timeout_ms pass without an event, or
 * the session ends. 1 when it held, 2 for the error pair, 3 for the end of the
 * session, 0 when the time ran out. */
static int wait_until(const int *done, int timeout_ms, unsigned errors, int error_ends) {
    while (!*done) {
        const unsigned seen = layer.events;
        if (!layer.open) return 3;
        if (error_ends && layer.errors != errors) return 2;
        if (velkor_sync_wait(layer.signal, timeout_ms) && layer.events == seen && !*done) return 0;
    }
    return 1;
}

static int run(Command command, int timeout_ms, VelkorOutcome *given) {
    VelkorOutcome ignored;
    VelkorOutcome *outcome = given != NULL ? given : &ignored;
    unsigned errors_before;
    int accepted, result, waited = NONE;
    outcome->a = outcome->b = NONE;
    outcome->error = NONE;
    outcome->text[0] = '\0';
    if (layer.signal == NULL) {
        explain(outcome, VELKOR_ERR_NOT_INITIALISED, command.operation, NONE, 0);
        return finish(outcome, VELKOR_SYNC_REFUSED);
    }
    velkor_sync_lock(layer.signal);
    if (!layer.open) {
        /* Without a session the library posts nothing, not even its reason. */
        velkor_sync_unlock(layer.signal);
        explain(outcome, VELKOR_ERR_NOT_INITIALISED, command.operation, NONE, 0);
        return finish(outcome, VELKOR_SYNC_REFUSED);
    }
    if (layer.busy) {
        /* The library would refuse it as well; its own pairs must not reach the running call. */
        velkor_sync_unlock(layer.signal);
        explain(outcome, VELKOR_ERR_BUSY, command.operation, NONE, 0);
        return finish(outcome, VELKOR_SYNC_REFUSED);
    }
    layer.busy = 1;
    layer.awaited = command.operation;
    layer.then = command.then;
    layer.ended = layer.then_seen = 0;
    layer.last_error = layer.failed_step = NONE;
    layer.records = layer.failed_record = 0;
    errors_before = layer.errors;
    velkor_sync_unlock(layer.signal);

    /* Outside the lock: the export may run the whole command, events and all, before it returns. */
    accepted = issue(&command) == 0;

    velkor_sync_lock(layer.signal);
    /* A search refused returns 1, but so does one that finds no interface,
     * which still ends with its pair: for a search the reason decides. */
    if (!accepted && command.kind == SEARCH) {
        waited = wait_until(&layer.ended, timeout_ms, errors_before, 1);
        /* A reason and then the pair is a search all the same. */
        if (waited == 2) waited = wait_until(&layer.ended, REASON_WAIT_MS, errors_before, 0) ? 1 : 2;
        accepted = waited != 2;
    }
    if (!accepted) {
        /* Refused: the reason, when there is one, is on its way. */
        while (layer.errors == errors_before && !velkor_sync_wait(layer.signal, REASON_WAIT_MS)) {
        }
        explain(outcome, layer.errors != errors_before ? layer.last_error : NONE, command.operation, NONE, 0);
        if (layer.errors == errors_before) put_text(outcome, "refused by the library without a reason");
        result = VELKOR_SYNC_REFUSED;
    } else if ((waited = waited != NONE ? waited : wait_until(&layer.ended, timeout_ms, errors_before, 0)) == 0) {
        snprintf(outcome->text, sizeof outcome->text, "no event for %d ms", timeout_ms);
        result = VELKOR_SYNC_TIMED_OUT;
    } else if (waited == 3) {
        explain(outcome, VELKOR_ERR_NOT_INITIALISED, command.operation, NONE, 0);
        result = VELKOR_SYNC_FAILED;
    } else {
        outcome->a = layer.ended_a;
        outcome->b = layer.ended_b;
        if (layer.ended_b == 0) {
            result = VELKOR_SYNC_OK;
            if (command.then != NONE && wait_until(&layer.then_seen, timeout_ms, errors_before, 0) != 1) {
                snprintf(outcome->text, sizeof outcome->text, "no event for %d ms", timeout_ms);
                result = VELKOR_SYNC_TIMED_OUT;
            }
        } else {
            explain(outcome, layer.last_error, command.operation, layer.failed_step, layer.failed_record);
            result = VELKOR_SYNC_FAILED;
        }
    }
    layer.awaited = layer.then = NONE;
    layer.busy = 0;
    velkor_sync_unlock(layer.signal);
    return finish(outcome, result);
}

static Command command_of(int kind, int operation) {
    Command command;
    memset(&command, 0, sizeof command);
    command.kind = kind;
    command.operation = operation;
    command.then = NONE;
    return command;
}

/* A command whose export takes one number. */
static int run_with_value(int kind, int operation, u32 value, int timeout_ms, VelkorOutcome *outcome) {
    Command command = command_of(kind, operation);
    command.value = value;
    return run(command, timeout_ms, outcome);
}

int velkor_sync_search(int unit_ms, int timeout_ms, VelkorOutcome *outcome) {
    return run_with_value(SEARCH, VELKOR_EV_SEARCH, (u32)unit_ms, timeout_ms, outcome);
}

int velkor_sync_connect(u32 serial_number, int timeout_ms, VelkorOutcome *outcome) {
    return run_with_value(CONNECT, VELKOR_EV_CONNECT, serial_number, timeout_ms, outcome);
}

int velkor_sync_disconnect(int timeout_ms, VelkorOutcome *outcome) {
    return run(command_of(DISCONNECT, VELKOR_EV_DISCONNECT), timeout_ms, outcome);
}

int velkor_sync_address(TAddress address, int timeout_ms, VelkorOutcome *outcome) {
    Command command = command_of(ADDRESS, VELKOR_EV_ADDRESS);
    command.place = address;
    return run(command, timeout_ms, outcome);
}

int velkor_sync_read_info(int timeout_ms, VelkorOutcome *outcome) {
    return run(command_of(READ_INFO, VELKOR_EV_READINFO), timeout_ms, outcome);
}

int velkor_sync_flash_info(int timeout_ms, VelkorOutcome *outcome) {
    return run(command_of(FLASH_INFO, VELKOR_EV_FLASHINFO), timeout_ms, outcome);
}

int velkor_sync_app_info(u32 id, int timeout_ms, VelkorOutcome *outcome) {
    return run_with_value(APP_INFO, VELKOR_EV_APPINFO, id, timeout_ms, outcome);
}

int velkor_sync_erase(u8 sector, int timeout_ms, VelkorOutcome *outcome) {
    Command command = command_of(ERASE, VELKOR_EV_ERASE);
    command.byte = sector;
    return run(command, timeout_ms, outcome);
}

int velkor_sync_download(int target, TBinList *blocks, int timeout_ms, VelkorOutcome *outcome) {
    Command command = command_of(DOWNLOAD, VELKOR_EV_DOWNLOAD);
    command.area = target;
    command.blocks = blocks;
    return run(command, timeout_ms, outcome);
}

int velkor_sync_prg_data(BinBlock *block, int timeout_ms, VelkorOutcome *outcome) {
    Command command = command_of(PRG_DATA, VELKOR_EV_PRGDATA);
    command.block = block;
    return run(command, timeout_ms, outcome);
}

int velkor_sync_program(u64 address, int area, int timeout_ms, VelkorOutcome *outcome) {
    Command command = command_of(PROGRAM, VELKOR_EV_PROGRAM);
    command.address = address;
    command.area = area;
    return run(command, timeout_ms, outcome);
}

int velkor_sync_checksum(u64 address, u32 length, u8 checksum, int area, int timeout_ms, VelkorOutcome *outcome) {
    Command command = command_of(CHECKSUM, VELKOR_EV_CHECKSUM);
    command.address = address;
    command.length = length;
    command.byte = checksum;
    command.area = area;
    return run(command, timeout_ms, outcome);
}

int velkor_sync_start_app(u32 id, int timeout_ms, VelkorOutcome *outcome) {
    Command command = command_of(START_APP, VELKOR_EV_STARTAPP);
    command.value = id;
    if (id == 10) command.then = VELKOR_EV_DISCONNECT;
    return run(command, timeout_ms, outcome);
}

int velkor_sync_autostart(u32 id, int timeout_ms, VelkorOutcome *outcome) {
    return run_with_value(AUTOSTART, VELKOR_EV_AUTOSTART, id, timeout_ms, outcome);
}

int velkor_sync_reset(int timeout_ms, VelkorOutcome *outcome) {
    return run(command_of(RESET, VELKOR_EV_DISCONNECT), timeout_ms, outcome);
}

int velkor_sync_write_serial(u32 serial_number, int timeout_ms, VelkorOutcome *outcome) {
    return run_with_value(WRITE_SERIAL, VELKOR_EV_WRSN, serial_number, timeout_ms, outcome);
}
