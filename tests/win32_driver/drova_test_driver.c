/*
 * A PnP driver for test machines: each root-enumerated device it serves
 * publishes an interface of the DROVA device interface class, and every
 * handle opened on that interface is one host connection to a device process
 * (drova-sim) over the named pipe that the device's registry key names
 * (value "DevicePipe" under its Device Parameters).
 *
 * It acts like the device's USB driver: a write completes once the frame is
 * handed over, a read pends until the device has a block and takes at most
 * 512 bytes of it (a longer block comes in several reads, as a bulk pipe
 * delivers it), blocks nobody reads yet are queued, and pending reads fail
 * when the device process hangs up or the device is removed.
 */
#include <ddk/ntifs.h>

#define POOL_TAG 0x61767244u /* "Drva" */
#define TRANSFER_SIZE 512      /* one bulk read at most */
#define MESSAGE_SIZE 4096      /* one pipe read */
#define MOST_QUEUED 256        /* blocks kept for a host that does not read */
#define PIPE_NAME_CHARS 200
#define WRITE_HAND_OVER_MS 200 /* a device process that takes no frame for this long is stuck */

static const GUID drova_interface_class = {
    0x8d96c3f0, 0x627c, 0x490d, {0xba, 0xa2, 0x3f, 0x7d, 0x1d, 0x78, 0x9f, 0x3d}};

struct device;

/* A block from the device that no read has taken (all of) yet. */
struct block {
    LIST_ENTRY entry;
    ULONG length;
    ULONG taken;
    UCHAR data[TRANSFER_SIZE];
};

/* One open handle: one host connection to the device process. */
struct link {
    LIST_ENTRY entry; /* in device->links */
    struct device *device;
    FILE_OBJECT *file;
    HANDLE pipe;
    HANDLE pump;       /* the thread that reads the pipe */
    HANDLE stop;       /* tells it to end */
    HANDLE read_done;  /* its pipe read */
    HANDLE write_done; /* the dispatch's pipe write */
    LIST_ENTRY reads;  /* pending read IRPs */
    LIST_ENTRY blocks;
    ULONG queued;
    LONG refs;       /* the handle's, and one per dispatch using it */
    BOOLEAN ended;   /* the device process hung up or the device went */
    BOOLEAN closing; /* its handle has gone: no new dispatch takes it */
};

struct device {
    DEVICE_OBJECT *self;
    DEVICE_OBJECT *lower;
    DEVICE_OBJECT *pdo;
    UNICODE_STRING interface_link;
    KSPIN_LOCK lock; /* every link's lists and flags */
    LIST_ENTRY links;
    LONG busy; /* dispatches running: a removal waits for them */
    BOOLEAN removed;
};

static void copy_bytes(void *to, const void *from, ULONG count) {
    UCHAR *d = to;
    const UCHAR *s = from;
    while (count--) *d++ = *s++;
}

static NTSTATUS finish(IRP *irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* ---- Reads ----------------------------------------------------------------- */

static void NTAPI cancel_read(DEVICE_OBJECT *device_object, IRP *irp) {
    struct device *device = device_object->DeviceExtension;
    KIRQL irql;

    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&device->lock, &irql);
    /* Taken off the list by whoever cleared the cancel routine too late:
     * the entry then points at itself. */
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&device->lock, irql);
    finish(irp, STATUS_CANCELLED, 0);
}

/* The next pending read that may still be completed, off the list. Under the lock. */
static IRP *take_read(struct link *link) {
    while (!IsListEmpty(&link->reads)) {
        LIST_ENTRY *entry = RemoveHeadList(&link->reads);
        IRP *irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL)) return irp;
        /* Its cancel routine runs now and removes it again. */
        InitializeListHead(entry);
    }
    return NULL;
}

/* Copies the head block's next bytes into the read. Under the lock. */
static ULONG fill_read(struct link *link, IRP *irp) {
    struct block *block = CONTAINING_RECORD(link->blocks.Flink, struct block, entry);
    ULONG room = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    ULONG count = block->length - block->taken;
    if (count > room) count = room;
    if (count > 0) copy_bytes(irp->AssociatedIrp.SystemBuffer, block->data + block->taken, count);
    block->taken += count;
    if (block->taken >= block->length) {
        RemoveEntryList(&block->entry);
        --link->queued;
        ExFreePoolWithTag(block, POOL_TAG);
    }
    return count;
}

/* Gives queued blocks to pending reads; fails them all once the link has ended. */
static void serve_reads(struct link *link) {
    struct device *device = link->device;
    LIST_ENTRY done;
    KIRQL irql;
    IRP *irp;

    InitializeListHead(&done);
    KeAcquireSpinLock(&device->lock, &irql);
    while ((!IsListEmpty(&link->blocks) || link->ended) && (irp = take_read(link)) != NULL) {
        if (!IsListEmpty(&link->blocks)) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = fill_read(link, irp);
        } else {
            irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
            irp->IoStatus.Information = 0;
        }
        InsertTailList(&done, &irp->Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&device->lock, irql);
    while (!IsListEmpty(&done)) {
        irp = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

/* One message from the device process, as the bulk pipe would carry it. */
static void queue_message(struct link *link, const UCHAR *data, ULONG length) {
    struct device *device = link->device;
    ULONG offset = 0;
    KIRQL irql;

    do {
        ULONG count = length - offset > TRANSFER_SIZE ? TRANSFER_SIZE : length - offset;
        struct block *block = ExAllocatePoolWithTag(NonPagedPool, sizeof *block, POOL_TAG);
        if (!block) break;
        block->length = count;
        block->taken = 0;
        copy_bytes(block->data, data + offset, count);
        offset += count;
        KeAcquireSpinLock(&device->lock, &irql);
        InsertTailList(&link->blocks, &block->entry);
        if (++link->queued > MOST_QUEUED) {
            /* A host that never reads loses the oldest, as a device's FIFO overflows. */
            struct block *oldest = CONTAINING_RECORD(RemoveHeadList(&link->blocks), struct block, entry);
            --link->queued;
            ExFreePoolWithTag(oldest, POOL_TAG);
        }
        KeReleaseSpinLock(&device->lock, irql);
    } while (offset < length);
    serve_reads(link);
}

static void end_link(struct link *link) {
    KIRQL irql;
    KeAcquireSpinLock(&link->device->lock, &irql);
    link->ended = TRUE;
    KeReleaseSpinLock(&link->device->lock, irql);
    serve_reads(link);
}

static void NTAPI pump_pipe(void *context) {
    struct link *link = context;
    UCHAR *buffer = ExAllocatePoolWithTag(NonPagedPool, MESSAGE_SIZE, POOL_TAG);

    while (buffer) {
        IO_STATUS_BLOCK io;
        NTSTATUS status = ZwReadFile(link->pipe, link->read_done, NULL, NULL, &io, buffer, MESSAGE_SIZE, NULL, NULL);
        if (status == STATUS_PENDING) {
            HANDLE waits[2] = {link->read_done, link->stop};
            if (ZwWaitForMultipleObjects(2, waits, WaitAny, FALSE, NULL) != STATUS_WAIT_0) {
                IO_STATUS_BLOCK cancelled;
                ZwCancelIoFile(link->pipe, &cancelled);
                ZwWaitForSingleObject(link->read_done, FALSE, NULL);
                break;
            }
            status = io.Status;
        }
        /* A message longer than the buffer goes on in the next read. */
        if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW) break;
        queue_message(link, buffer, (ULONG)io.Information);
    }
    if (buffer) ExFreePoolWithTag(buffer, POOL_TAG);
    end_link(link);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/* ---- Links -------------------------------------------------------------------- */

static NTSTATUS read_pipe_name(struct device *device, WCHAR *name, ULONG chars) {
    static const WCHAR prefix[] = L"\\??\\pipe\\";
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + PIPE_NAME_CHARS * sizeof(WCHAR)];
    KEY_VALUE_PARTIAL_INFORMATION *value = (KEY_VALUE_PARTIAL_INFORMATION *)buffer;
    UNICODE_STRING value_name;
    ULONG length = 0, i, used = 0, value_chars;
    HANDLE key;
    NTSTATUS status;

    status = IoOpenDeviceRegistryKey(device->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (!NT_SUCCESS(status)) return status;
    RtlInitUnicodeString(&value_name, L"DevicePipe");
    status = ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, value, sizeof buffer, &length);
    ZwClose(key);
    if (!NT_SUCCESS(status)) return status;
    if (value->Type != REG_SZ) return STATUS_OBJECT_TYPE_MISMATCH;
    for (i = 0; prefix[i] && used + 1 < chars; ++i) name[used++] = prefix[i];
    value_chars = value->DataLength / sizeof(WCHAR);
    for (i = 0; i < value_chars && ((const WCHAR *)value->Data)[i] && used + 1 < chars; ++i)
        name[used++] = ((const WCHAR *)value->Data)[i];
    name[used] = 0;
    return i == 0 ? STATUS_OBJECT_NAME_INVALID : STATUS_SUCCESS;
}

static NTSTATUS connect_pipe(const WCHAR *name, HANDLE *pipe) {
    UNICODE_STRING path;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    FILE_PIPE_INFORMATION mode;
    NTSTATUS status = STATUS_PIPE_BUSY;
    int attempt;

    RtlInitUnicodeString(&path, name);
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    /* Every instance busy: drova-sim makes the next one as it takes a host. */
    for (attempt = 0; attempt < 20 && status == STATUS_PIPE_BUSY; ++attempt) {
        status = ZwCreateFile(pipe, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, NULL, 0, 0,
                              FILE_OPEN, FILE_NON_DIRECTORY_FILE, NULL, 0);
        if (status == STATUS_PIPE_BUSY) {
            LARGE_INTEGER pause;
            pause.QuadPart = -10 * 10000LL;
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
        }
    }
    if (!NT_SUCCESS(status)) return status;
    mode.ReadMode = FILE_PIPE_MESSAGE_MODE;
    mode.CompletionMode = FILE_PIPE_QUEUE_OPERATION;
    status = ZwSetInformationFile(*pipe, &io, &mode, sizeof mode, FilePipeInformation);
    if (!NT_SUCCESS(status)) ZwClose(*pipe);
    return status;
}

/* The last reference has gone: the pump is stopped and everything let go. */
static void destroy_link(struct link *link) {
    HANDLE *handles[] = {&link->pump, &link->stop, &link->read_done, &link->write_done, &link->pipe};
    unsigned i;
    if (link->pump) {
        ZwSetEvent(link->stop, NULL);
        ZwWaitForSingleObject(link->pump, FALSE, NULL);
    }
    end_link(link);
    for (i = 0; i < sizeof handles / sizeof handles[0]; ++i)
        if (*handles[i]) ZwClose(*handles[i]);
    while (!IsListEmpty(&link->blocks))
        ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(&link->blocks), struct block, entry), POOL_TAG);
    ExFreePoolWithTag(link, POOL_TAG);
}

static void put_link(struct link *link) {
    if (InterlockedDecrement(&link->refs) == 0) destroy_link(link);
}

static NTSTATUS open_link(struct device *device, FILE_OBJECT *file) {
    WCHAR name[PIPE_NAME_CHARS + 16];
    OBJECT_ATTRIBUTES attributes;
    struct link *link;
    NTSTATUS status;
    KIRQL irql;

    status = read_pipe_name(device, name, sizeof name / sizeof name[0]);
    if (!NT_SUCCESS(status)) return STATUS_DEVICE_NOT_CONNECTED;
    link = ExAllocatePoolWithTag(NonPagedPool, sizeof *link, POOL_TAG);
    if (!link) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(link, sizeof *link);
    link->device = device;
    link->file = file;
    link->refs = 1;
    InitializeListHead(&link->reads);
    InitializeListHead(&link->blocks);
    /* No device process on the pipe: the device does not answer. */
    status = connect_pipe(name, &link->pipe);
    if (!NT_SUCCESS(status)) {
        link->pipe = NULL;
        destroy_link(link);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    if (!NT_SUCCESS(ZwCreateEvent(&link->stop, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE)) ||
        !NT_SUCCESS(ZwCreateEvent(&link->read_done, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE)) ||
        !NT_SUCCESS(ZwCreateEvent(&link->write_done, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE)) ||
        !NT_SUCCESS(PsCreateSystemThread(&link->pump, THREAD_ALL_ACCESS, &attributes, NULL, NULL, pump_pipe, link))) {
        link->pump = NULL;
        destroy_link(link);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KeAcquireSpinLock(&device->lock, &irql);
    if (device->removed) {
        KeReleaseSpinLock(&device->lock, irql);
        destroy_link(link);
        return STATUS_DELETE_PENDING;
    }
    InsertTailList(&device->links, &link->entry);
    file->FsContext = link;
    KeReleaseSpinLock(&device->lock, irql);
    return STATUS_SUCCESS;
}

/* Its handle has gone, or its device: pending reads end now, the rest once
 * no dispatch uses it any more. */
static void close_link(struct link *link) {
    struct device *device = link->device;
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    if (link->closing) {
        KeReleaseSpinLock(&device->lock, irql);
        return;
    }
    link->closing = TRUE;
    RemoveEntryList(&link->entry);
    link->file->FsContext = NULL;
    KeReleaseSpinLock(&device->lock, irql);
    end_link(link);
    put_link(link);
}

/* The link of the IRP's handle, referenced; null once it is closing. */
static struct link *take_link(struct device *device, IRP *irp) {
    FILE_OBJECT *file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    struct link *link = NULL;
    KIRQL irql;
    if (!file) return NULL;
    KeAcquireSpinLock(&device->lock, &irql);
    link = file->FsContext;
    if (link && !link->closing)
        InterlockedIncrement(&link->refs);
    else
        link = NULL;
    KeReleaseSpinLock(&device->lock, irql);
    return link;
}

/* ---- Dispatch ------------------------------------------------------------------ */

/* Every dispatch but PnP and power runs between these: a removal waits until
 * none does before the device object goes. */
static BOOLEAN enter(struct device *device) {
    InterlockedIncrement(&device->busy);
    if (!device->removed) return TRUE;
    InterlockedDecrement(&device->busy);
    return FALSE;
}

static NTSTATUS leave(struct device *device, struct link *link, NTSTATUS status) {
    if (link) put_link(link);
    InterlockedDecrement(&device->busy);
    return status;
}

static NTSTATUS NTAPI dispatch_create(DEVICE_OBJECT *device_object, IRP *irp) {
    struct device *device = device_object->DeviceExtension;
    FILE_OBJECT *file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (!file) return finish(irp, STATUS_INVALID_PARAMETER, 0);
    if (!enter(device)) return finish(irp, STATUS_DELETE_PENDING, 0);
    return leave(device, NULL, finish(irp, open_link(device, file), 0));
}

/* Cleanup (the last handle has gone) and close alike. */
static NTSTATUS NTAPI dispatch_close(DEVICE_OBJECT *device_object, IRP *irp) {
    struct device *device = device_object->DeviceExtension;
    struct link *link;
    if (!enter(device)) return finish(irp, STATUS_SUCCESS, 0);
    link = take_link(device, irp);
    if (link) close_link(link);
    return leave(device, link, finish(irp, STATUS_SUCCESS, 0));
}

static NTSTATUS NTAPI dispatch_read(DEVICE_OBJECT *device_object, IRP *irp) {
    struct device *device = device_object->DeviceExtension;
    struct link *link;
    NTSTATUS status;
    ULONG count = 0;
    KIRQL irql;

    if (!enter(device)) return finish(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    link = take_link(device, irp);
    if (!link) return leave(device, NULL, finish(irp, STATUS_INVALID_HANDLE, 0));
    KeAcquireSpinLock(&device->lock, &irql);
    if (!IsListEmpty(&link->blocks)) {
        /* The device's block is here: the read ends at once. */
        count = fill_read(link, irp);
        status = STATUS_SUCCESS;
    } else if (link->ended) {
        status = STATUS_DEVICE_NOT_CONNECTED;
    } else {
        IoSetCancelRoutine(irp, cancel_read);
        if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) {
            status = STATUS_CANCELLED;
        } else {
            IoMarkIrpPending(irp);
            InsertTailList(&link->reads, &irp->Tail.Overlay.ListEntry);
            KeReleaseSpinLock(&device->lock, irql);
            return leave(device, link, STATUS_PENDING);
        }
    }
    KeReleaseSpinLock(&device->lock, irql);
    return leave(device, link, finish(irp, status, count));
}

static NTSTATUS NTAPI dispatch_write(DEVICE_OBJECT *device_object, IRP *irp) {
    struct device *device = device_object->DeviceExtension;
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    struct link *link;
    IO_STATUS_BLOCK io;
    NTSTATUS status;

    if (!enter(device)) return finish(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    link = take_link(device, irp);
    if (!link) return leave(device, NULL, finish(irp, STATUS_INVALID_HANDLE, 0));
    if (link->ended) return leave(device, link, finish(irp, STATUS_DEVICE_NOT_CONNECTED, 0));
    status = ZwWriteFile(link->pipe, link->write_done, NULL, NULL, &io, irp->AssociatedIrp.SystemBuffer, length, NULL,
                         NULL);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER limit;
        limit.QuadPart = -WRITE_HAND_OVER_MS * 10000LL;
        if (ZwWaitForSingleObject(link->write_done, FALSE, &limit) == STATUS_TIMEOUT) {
            IO_STATUS_BLOCK cancelled;
            ZwCancelIoFile(link->pipe, &cancelled);
            ZwWaitForSingleObject(link->write_done, FALSE, NULL);
        }
        status = io.Status;
    }
    if (!NT_SUCCESS(status)) {
        /* The device process is gone: so is the device, for this host. */
        if (status == STATUS_PIPE_BROKEN || status == STATUS_PIPE_DISCONNECTED || status == STATUS_PIPE_CLOSING)
            end_link(link);
        return leave(device, link, finish(irp, STATUS_DEVICE_NOT_CONNECTED, 0));
    }
    return leave(device, link, finish(irp, STATUS_SUCCESS, length));
}

static NTSTATUS NTAPI dispatch_other(DEVICE_OBJECT *device_object, IRP *irp) {
    (void)device_object;
    return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

/* The device has gone: every host's connection ends, and once no dispatch
 * runs any more the device object may go. */
static void device_gone(struct device *device) {
    KIRQL irql;

    KeAcquireSpinLock(&device->lock, &irql);
    device->removed = TRUE;
    KeReleaseSpinLock(&device->lock, irql);
    IoSetDeviceInterfaceState(&device->interface_link, FALSE);
    for (;;) {
        struct link *link = NULL;
        KeAcquireSpinLock(&device->lock, &irql);
        if (!IsListEmpty(&device->links)) {
            link = CONTAINING_RECORD(device->links.Flink, struct link, entry);
            InterlockedIncrement(&link->refs);
        }
        KeReleaseSpinLock(&device->lock, irql);
        if (!link) break;
        /* No close reaches this driver for the handles left open. */
        close_link(link);
        put_link(link);
    }
    while (device->busy > 0) {
        LARGE_INTEGER pause;
        pause.QuadPart = -1 * 10000LL;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
}

static NTSTATUS NTAPI dispatch_pnp(DEVICE_OBJECT *device_object, IRP *irp) {
    struct device *device = device_object->DeviceExtension;
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        IoSetDeviceInterfaceState(&device->interface_link, TRUE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        device_gone(device);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        device_gone(device);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(device->lower, irp);
        IoDetachDevice(device->lower);
        RtlFreeUnicodeString(&device->interface_link);
        IoDeleteDevice(device->self);
        return status;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(device->lower, irp);
}

static NTSTATUS NTAPI dispatch_power(DEVICE_OBJECT *device_object, IRP *irp) {
    struct device *device = device_object->DeviceExtension;
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(device->lower, irp);
}

static NTSTATUS NTAPI add_device(DRIVER_OBJECT *driver, DEVICE_OBJECT *pdo) {
    DEVICE_OBJECT *fdo;
    struct device *device;
    NTSTATUS status;

    status = IoCreateDevice(driver, sizeof *device, NULL, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    device = fdo->DeviceExtension;
    RtlZeroMemory(device, sizeof *device);
    device->self = fdo;
    device->pdo = pdo;
    KeInitializeSpinLock(&device->lock);
    InitializeListHead(&device->links);
    status = IoRegisterDeviceInterface(pdo, &drova_interface_class, NULL, &device->interface_link);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(fdo);
        return status;
    }
    device->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!device->lower) {
        RtlFreeUnicodeString(&device->interface_link);
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static void NTAPI driver_unload(DRIVER_OBJECT *driver) { (void)driver; }

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registry) {
    unsigned i;
    (void)registry;
    for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = dispatch_other;
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_close;
    driver->MajorFunction[IRP_MJ_READ] = dispatch_read;
    driver->MajorFunction[IRP_MJ_WRITE] = dispatch_write;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = driver_unload;
    return STATUS_SUCCESS;
}
