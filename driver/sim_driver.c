/* The simulated device's driver: a WDM function driver for three
 * root-enumerated devices, the fax channel, the EWS channel and the control
 * interface of the device's user-mode service (see sim_protocol.h).
 *
 * It holds no fax logic. A host's read, write and device-control requests on
 * a channel are marked pending, with a cancel routine, and handed to the
 * service as messages; the service's answer completes them. A host's cancel
 * (CancelIo, or the end of its process) and the cleanup of its handle
 * complete its pending requests at once, and the service is told. Dispatch
 * routines never wait: under Wine they run in user mode, one after another,
 * inside the driver host.
 *
 * All state is the driver's, under one spin lock; requests are completed
 * only after it is released. */
#include <ddk/wdm.h>

#include "sim_protocol.h"

#define SIM_POOL_TAG 0x6D697354u /* 'Tsim' */

/* A channel request is failed with this when no service is attached: to the
 * host, ERROR_DEVICE_NOT_CONNECTED. */
#define SIM_STATUS_NO_SERVICE STATUS_DEVICE_NOT_CONNECTED

typedef enum SIM_ROLE { ROLE_FAX = 0, ROLE_EWS = 1, ROLE_CONTROL = 2 } SIM_ROLE;

typedef struct SIM_DEVICE {
    SIM_ROLE role;
    DEVICE_OBJECT *self;
    DEVICE_OBJECT *lower;
    UNICODE_STRING link; /* the device interface's symbolic link */
    BOOLEAN registered;
    BOOLEAN started;
} SIM_DEVICE;

/* A message waiting for the service to take it. A request's message points
 * at the host's request, which is pending meanwhile. */
typedef struct SIM_QUEUED {
    LIST_ENTRY entry;
    SIM_MESSAGE message;
    IRP *irp;
} SIM_QUEUED;

/* Where a pending host request keeps its bookkeeping. */
#define IRP_ID(irp) ((irp)->Tail.Overlay.DriverContext[0])
#define IRP_QUEUED(irp) ((irp)->Tail.Overlay.DriverContext[1])
#define IRP_KIND(irp) ((irp)->Tail.Overlay.DriverContext[2])
#define IRP_ROLE(irp) ((irp)->Tail.Overlay.DriverContext[3])

static KSPIN_LOCK g_lock;
static SIM_DEVICE *g_devices[3];     /* by role, while the device exists */
static FILE_OBJECT *g_service;       /* the service's handle, while attached */
static LIST_ENTRY g_takers;          /* SIMCTL_NEXT requests of the service */
static LIST_ENTRY g_messages;        /* SIM_QUEUED, oldest first */
static LIST_ENTRY g_outstanding;     /* host requests not yet completed */
static ULONG_PTR g_next_id;
static ULONG_PTR g_next_file;        /* host handles' identities, never reused */

/* A host handle's identity, given at its open: a file object's address may
 * come back for a later handle. */
#define FILE_ID(file) ((ULONG_PTR)(file)->FsContext)

/* ------------------------------------------------------------------------ */
/* Small helpers: no C runtime is linked. */

static void CopyBytes(void *to, const void *from, ULONG n) {
    RtlCopyMemory(to, from, n);
}

static WCHAR LowerW(WCHAR c) { return (c >= L'A' && c <= L'Z') ? (WCHAR)(c + (L'a' - L'A')) : c; }

/* Whether the zero-terminated wide text `w` equals the ASCII text `a`,
 * ignoring case. */
static BOOLEAN SameId(const WCHAR *w, ULONG w_chars, const char *a) {
    ULONG i;
    for (i = 0; i < w_chars; ++i) {
        if (LowerW(w[i]) != LowerW((WCHAR)(unsigned char)a[i])) return FALSE;
        if (a[i] == 0) return TRUE;
    }
    return FALSE;
}

/* Completes every request on `done` (linked through Tail.Overlay.ListEntry)
 * with the status already set in it. */
static void CompleteAll(LIST_ENTRY *done) {
    while (!IsListEmpty(done)) {
        LIST_ENTRY *e = RemoveHeadList(done);
        IRP *irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

static NTSTATUS CompleteNow(IRP *irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* Queues a message that needs no answer (under the lock). A notification
 * that cannot be allocated is lost; the service copes (it opens a session on
 * a handle's first request). */
static void Notify(ULONG kind, ULONG channel, FILE_OBJECT *file, ULONG_PTR request) {
    SIM_QUEUED *q = ExAllocatePoolWithTag(NonPagedPool, sizeof(*q), SIM_POOL_TAG);
    if (!q) return;
    RtlZeroMemory(q, sizeof(*q));
    q->message.kind = kind;
    q->message.channel = channel;
    q->message.file = FILE_ID(file);
    q->message.request = request;
    InsertTailList(&g_messages, &q->entry);
}

/* The input bytes of a pending host request. */
static const UCHAR *RequestInput(IRP *irp, ULONG *length) {
    IO_STACK_LOCATION *sp = IoGetCurrentIrpStackLocation(irp);
    *length = 0;
    if (sp->MajorFunction == IRP_MJ_WRITE) *length = sp->Parameters.Write.Length;
    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL) *length = sp->Parameters.DeviceIoControl.InputBufferLength;
    if (!irp->AssociatedIrp.SystemBuffer) *length = 0;
    return irp->AssociatedIrp.SystemBuffer;
}

/* Hands queued messages to waiting SIMCTL_NEXT requests (under the lock);
 * the requests answered go on `done`. */
static void Deliver(LIST_ENTRY *done) {
    while (!IsListEmpty(&g_messages) && !IsListEmpty(&g_takers)) {
        LIST_ENTRY *e = RemoveHeadList(&g_takers);
        IRP *taker = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        InitializeListHead(&taker->Tail.Overlay.ListEntry);
        if (!IoSetCancelRoutine(taker, NULL)) continue; /* its cancel routine completes it */

        SIM_QUEUED *q = CONTAINING_RECORD(RemoveHeadList(&g_messages), SIM_QUEUED, entry);
        IO_STACK_LOCATION *sp = IoGetCurrentIrpStackLocation(taker);
        const ULONG room = sp->Parameters.DeviceIoControl.OutputBufferLength - (ULONG)sizeof(SIM_MESSAGE);
        UCHAR *out = taker->AssociatedIrp.SystemBuffer;
        ULONG included = 0;
        if (q->irp) {
            ULONG length = 0;
            const UCHAR *in = RequestInput(q->irp, &length);
            included = length < room ? length : room;
            if (included) CopyBytes(out + sizeof(SIM_MESSAGE), in, included);
            IRP_QUEUED(q->irp) = NULL;
        }
        q->message.included = included;
        CopyBytes(out, &q->message, sizeof(SIM_MESSAGE));
        taker->IoStatus.Status = STATUS_SUCCESS;
        taker->IoStatus.Information = sizeof(SIM_MESSAGE) + included;
        InsertTailList(done, &taker->Tail.Overlay.ListEntry);
        ExFreePool(q);
    }
}

/* Takes a host request off every list (under the lock). If the service has
 * seen it, it is told that the request is gone. */
static void Forget(IRP *irp, BOOLEAN tell_service) {
    SIM_QUEUED *q = IRP_QUEUED(irp);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    if (q) {
        RemoveEntryList(&q->entry);
        ExFreePool(q);
        IRP_QUEUED(irp) = NULL;
    } else if (tell_service && g_service) {
        Notify(SIM_MSG_CANCELLED, (ULONG)(ULONG_PTR)IRP_ROLE(irp), IoGetCurrentIrpStackLocation(irp)->FileObject,
               (ULONG_PTR)IRP_ID(irp));
    }
}

/* Fails every host request, and drops every message (under the lock): the
 * service has gone. */
static void FailOutstanding(LIST_ENTRY *done) {
    while (!IsListEmpty(&g_outstanding)) {
        IRP *irp = CONTAINING_RECORD(g_outstanding.Flink, IRP, Tail.Overlay.ListEntry);
        Forget(irp, FALSE);
        if (!IoSetCancelRoutine(irp, NULL)) continue; /* being cancelled: its routine completes it */
        irp->IoStatus.Status = SIM_STATUS_NO_SERVICE;
        irp->IoStatus.Information = 0;
        InsertTailList(done, &irp->Tail.Overlay.ListEntry);
    }
    while (!IsListEmpty(&g_messages)) ExFreePool(CONTAINING_RECORD(RemoveHeadList(&g_messages), SIM_QUEUED, entry));
}

/* Enables or disables the two channel interfaces (not under the lock). */
static void SetChannelsPresent(BOOLEAN present) {
    int role;
    for (role = ROLE_FAX; role <= ROLE_EWS; ++role) {
        SIM_DEVICE *dev = g_devices[role];
        if (dev && dev->registered && dev->started) IoSetDeviceInterfaceState(&dev->link, present);
    }
}

/* The service has gone: every pending host request fails, the service's own
 * waiting requests end, and the device is no longer present. */
static void Detach(FILE_OBJECT *file) {
    LIST_ENTRY done;
    KIRQL irql;
    BOOLEAN was = FALSE;
    InitializeListHead(&done);
    KeAcquireSpinLock(&g_lock, &irql);
    if (g_service == file) {
        was = TRUE;
        g_service = NULL;
        FailOutstanding(&done);
        while (!IsListEmpty(&g_takers)) {
            IRP *taker = CONTAINING_RECORD(RemoveHeadList(&g_takers), IRP, Tail.Overlay.ListEntry);
            InitializeListHead(&taker->Tail.Overlay.ListEntry);
            if (!IoSetCancelRoutine(taker, NULL)) continue;
            taker->IoStatus.Status = STATUS_CANCELLED;
            taker->IoStatus.Information = 0;
            InsertTailList(&done, &taker->Tail.Overlay.ListEntry);
        }
    }
    KeReleaseSpinLock(&g_lock, irql);
    if (was) SetChannelsPresent(FALSE);
    CompleteAll(&done);
}

/* ------------------------------------------------------------------------ */
/* Cancel routines */

static void NTAPI CancelHostRequest(DEVICE_OBJECT *device, IRP *irp) {
    KIRQL irql;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&g_lock, &irql);
    Forget(irp, TRUE);
    {
        LIST_ENTRY done;
        InitializeListHead(&done);
        Deliver(&done);
        KeReleaseSpinLock(&g_lock, irql);
        CompleteAll(&done);
    }
    CompleteNow(irp, STATUS_CANCELLED, 0);
}

static void NTAPI CancelTaker(DEVICE_OBJECT *device, IRP *irp) {
    KIRQL irql;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&g_lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&g_lock, irql);
    CompleteNow(irp, STATUS_CANCELLED, 0);
}

/* Leaves `irp` pending with `routine` as its cancel routine, on `list`
 * (under the lock). False when it was cancelled already: then the caller
 * completes it. */
static BOOLEAN Park(IRP *irp, LIST_ENTRY *list, DRIVER_CANCEL *routine) {
    IoSetCancelRoutine(irp, routine);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) return FALSE;
    IoMarkIrpPending(irp);
    InsertTailList(list, &irp->Tail.Overlay.ListEntry);
    return TRUE;
}

/* ------------------------------------------------------------------------ */
/* The channels */

static NTSTATUS ChannelRequest(SIM_DEVICE *dev, IRP *irp) {
    IO_STACK_LOCATION *sp = IoGetCurrentIrpStackLocation(irp);
    SIM_QUEUED *q;
    LIST_ENTRY done;
    KIRQL irql;
    ULONG kind = SIM_MSG_READ;
    if (sp->MajorFunction == IRP_MJ_WRITE) kind = SIM_MSG_WRITE;
    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        /* Only buffered requests carry their data in the system buffer. */
        if ((sp->Parameters.DeviceIoControl.IoControlCode & 3u) != METHOD_BUFFERED)
            return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        kind = SIM_MSG_CONTROL;
    }

    q = ExAllocatePoolWithTag(NonPagedPool, sizeof(*q), SIM_POOL_TAG);
    if (!q) return CompleteNow(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    RtlZeroMemory(q, sizeof(*q));
    q->irp = irp;
    q->message.kind = kind;
    q->message.channel = (ULONG)dev->role;
    q->message.file = FILE_ID(sp->FileObject);
    if (kind == SIM_MSG_READ) q->message.out_length = sp->Parameters.Read.Length;
    if (kind == SIM_MSG_WRITE) q->message.in_length = sp->Parameters.Write.Length;
    if (kind == SIM_MSG_CONTROL) {
        q->message.code = sp->Parameters.DeviceIoControl.IoControlCode;
        q->message.in_length = sp->Parameters.DeviceIoControl.InputBufferLength;
        q->message.out_length = sp->Parameters.DeviceIoControl.OutputBufferLength;
    }

    InitializeListHead(&done);
    KeAcquireSpinLock(&g_lock, &irql);
    if (!g_service) {
        KeReleaseSpinLock(&g_lock, irql);
        ExFreePool(q);
        return CompleteNow(irp, SIM_STATUS_NO_SERVICE, 0);
    }
    q->message.request = ++g_next_id;
    IRP_ID(irp) = (PVOID)(ULONG_PTR)q->message.request;
    IRP_QUEUED(irp) = q;
    IRP_KIND(irp) = (PVOID)(ULONG_PTR)kind;
    IRP_ROLE(irp) = (PVOID)(ULONG_PTR)dev->role;
    if (!Park(irp, &g_outstanding, CancelHostRequest)) {
        KeReleaseSpinLock(&g_lock, irql);
        ExFreePool(q);
        return CompleteNow(irp, STATUS_CANCELLED, 0);
    }
    InsertTailList(&g_messages, &q->entry);
    Deliver(&done);
    KeReleaseSpinLock(&g_lock, irql);
    CompleteAll(&done);
    return STATUS_PENDING;
}

/* The host's handle is cleaned up: its pending requests end now. */
static NTSTATUS ChannelCleanup(SIM_DEVICE *dev, IRP *irp) {
    IO_STACK_LOCATION *sp = IoGetCurrentIrpStackLocation(irp);
    LIST_ENTRY done, *e;
    KIRQL irql;
    InitializeListHead(&done);
    KeAcquireSpinLock(&g_lock, &irql);
    for (e = g_outstanding.Flink; e != &g_outstanding;) {
        IRP *pending = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        e = e->Flink;
        if (IoGetCurrentIrpStackLocation(pending)->FileObject != sp->FileObject) continue;
        if (!IoSetCancelRoutine(pending, NULL)) continue;
        Forget(pending, FALSE);
        pending->IoStatus.Status = STATUS_CANCELLED;
        pending->IoStatus.Information = 0;
        InsertTailList(&done, &pending->Tail.Overlay.ListEntry);
    }
    if (g_service) Notify(SIM_MSG_CLEANUP, (ULONG)dev->role, sp->FileObject, 0);
    Deliver(&done);
    KeReleaseSpinLock(&g_lock, irql);
    CompleteAll(&done);
    return CompleteNow(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS ChannelCreate(SIM_DEVICE *dev, IRP *irp) {
    IO_STACK_LOCATION *sp = IoGetCurrentIrpStackLocation(irp);
    LIST_ENTRY done;
    KIRQL irql;
    InitializeListHead(&done);
    KeAcquireSpinLock(&g_lock, &irql);
    sp->FileObject->FsContext = (PVOID)++g_next_file;
    if (g_service) {
        Notify(SIM_MSG_OPEN, (ULONG)dev->role, sp->FileObject, 0);
        Deliver(&done);
    }
    KeReleaseSpinLock(&g_lock, irql);
    CompleteAll(&done);
    return CompleteNow(irp, g_service ? STATUS_SUCCESS : SIM_STATUS_NO_SERVICE, 0);
}

/* ------------------------------------------------------------------------ */
/* The control interface */

static IRP *FindOutstanding(ULONGLONG id) {
    LIST_ENTRY *e;
    for (e = g_outstanding.Flink; e != &g_outstanding; e = e->Flink) {
        IRP *irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        if ((ULONGLONG)(ULONG_PTR)IRP_ID(irp) == id) return irp;
    }
    return NULL;
}

/* SIMCTL_COMPLETE: the service's answer to one host request. */
static NTSTATUS Answer(IRP *irp, const UCHAR *in, ULONG in_length) {
    SIM_COMPLETION c;
    const UCHAR *data = in + sizeof(SIM_COMPLETION);
    const ULONG data_length = in_length - (ULONG)sizeof(SIM_COMPLETION);
    IRP *host;
    LIST_ENTRY done;
    KIRQL irql;
    ULONG kind;
    CopyBytes(&c, in, sizeof(c));
    InitializeListHead(&done);
    KeAcquireSpinLock(&g_lock, &irql);
    host = FindOutstanding(c.request);
    if (!host || IRP_QUEUED(host) || !IoSetCancelRoutine(host, NULL)) {
        /* Gone already (cancelled, cleaned up), or never handed out. */
        KeReleaseSpinLock(&g_lock, irql);
        return CompleteNow(irp, STATUS_NOT_FOUND, 0);
    }
    RemoveEntryList(&host->Tail.Overlay.ListEntry);
    InitializeListHead(&host->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&g_lock, irql);

    kind = (ULONG)(ULONG_PTR)IRP_KIND(host);
    host->IoStatus.Status = (NTSTATUS)c.status;
    host->IoStatus.Information = 0;
    if (NT_SUCCESS(host->IoStatus.Status)) {
        IO_STACK_LOCATION *sp = IoGetCurrentIrpStackLocation(host);
        if (kind == SIM_MSG_WRITE) {
            const ULONG asked = sp->Parameters.Write.Length;
            host->IoStatus.Information = c.information < asked ? c.information : asked;
        } else {
            const ULONG room = kind == SIM_MSG_READ ? sp->Parameters.Read.Length
                                                    : sp->Parameters.DeviceIoControl.OutputBufferLength;
            const ULONG n = data_length < room ? data_length : room;
            if (n && host->AssociatedIrp.SystemBuffer) CopyBytes(host->AssociatedIrp.SystemBuffer, data, n);
            host->IoStatus.Information = host->AssociatedIrp.SystemBuffer ? n : 0;
        }
    }
    IoCompleteRequest(host, IO_NO_INCREMENT);
    return CompleteNow(irp, STATUS_SUCCESS, 0);
}

/* SIMCTL_FETCH: input bytes of a host request that did not fit its message. */
static NTSTATUS Fetch(IRP *irp, ULONG out_length) {
    SIM_FETCH f;
    IRP *host;
    KIRQL irql;
    ULONG length = 0, n = 0;
    UCHAR *buffer = irp->AssociatedIrp.SystemBuffer;
    CopyBytes(&f, buffer, sizeof(f));
    KeAcquireSpinLock(&g_lock, &irql);
    host = FindOutstanding(f.request);
    if (host) {
        const UCHAR *in = RequestInput(host, &length);
        if (f.offset < length) {
            n = length - f.offset;
            if (n > out_length) n = out_length;
            CopyBytes(buffer, in + f.offset, n);
        }
    }
    KeReleaseSpinLock(&g_lock, irql);
    return CompleteNow(irp, host ? STATUS_SUCCESS : STATUS_NOT_FOUND, n);
}

static NTSTATUS ControlRequest(IRP *irp) {
    IO_STACK_LOCATION *sp = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    const ULONG in_length = sp->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out_length = sp->Parameters.DeviceIoControl.OutputBufferLength;
    FILE_OBJECT *file = sp->FileObject;
    LIST_ENTRY done;
    KIRQL irql;

    if (code == SIMCTL_ATTACH) {
        BOOLEAN attached = FALSE;
        KeAcquireSpinLock(&g_lock, &irql);
        if (!g_service) {
            g_service = file;
            attached = TRUE;
        }
        KeReleaseSpinLock(&g_lock, irql);
        if (!attached) return CompleteNow(irp, g_service == file ? STATUS_SUCCESS : STATUS_DEVICE_BUSY, 0);
        SetChannelsPresent(TRUE);
        return CompleteNow(irp, STATUS_SUCCESS, 0);
    }
    if (g_service != file) return CompleteNow(irp, STATUS_INVALID_DEVICE_STATE, 0);
    switch (code) {
        case SIMCTL_DETACH:
            Detach(file);
            return CompleteNow(irp, STATUS_SUCCESS, 0);
        case SIMCTL_NEXT:
            if (out_length < sizeof(SIM_MESSAGE) || !irp->AssociatedIrp.SystemBuffer)
                return CompleteNow(irp, STATUS_BUFFER_TOO_SMALL, 0);
            InitializeListHead(&done);
            KeAcquireSpinLock(&g_lock, &irql);
            if (!Park(irp, &g_takers, CancelTaker)) {
                KeReleaseSpinLock(&g_lock, irql);
                return CompleteNow(irp, STATUS_CANCELLED, 0);
            }
            Deliver(&done);
            KeReleaseSpinLock(&g_lock, irql);
            CompleteAll(&done);
            return STATUS_PENDING;
        case SIMCTL_COMPLETE:
            if (in_length < sizeof(SIM_COMPLETION) || !irp->AssociatedIrp.SystemBuffer)
                return CompleteNow(irp, STATUS_INVALID_PARAMETER, 0);
            return Answer(irp, irp->AssociatedIrp.SystemBuffer, in_length);
        case SIMCTL_FETCH:
            if (in_length < sizeof(SIM_FETCH) || !irp->AssociatedIrp.SystemBuffer)
                return CompleteNow(irp, STATUS_INVALID_PARAMETER, 0);
            return Fetch(irp, out_length);
        default:
            return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

/* ------------------------------------------------------------------------ */
/* Dispatch */

static NTSTATUS NTAPI DispatchCreate(DEVICE_OBJECT *device, IRP *irp) {
    SIM_DEVICE *dev = device->DeviceExtension;
    if (dev->role == ROLE_CONTROL) return CompleteNow(irp, STATUS_SUCCESS, 0);
    return ChannelCreate(dev, irp);
}

static NTSTATUS NTAPI DispatchClose(DEVICE_OBJECT *device, IRP *irp) {
    SIM_DEVICE *dev = device->DeviceExtension;
    /* A handle closed without a cleanup first is cleaned up now: a service
     * handle detaches, a host handle's requests end. */
    if (dev->role == ROLE_CONTROL) {
        Detach(IoGetCurrentIrpStackLocation(irp)->FileObject);
        return CompleteNow(irp, STATUS_SUCCESS, 0);
    }
    return ChannelCleanup(dev, irp);
}

static NTSTATUS NTAPI DispatchCleanup(DEVICE_OBJECT *device, IRP *irp) {
    SIM_DEVICE *dev = device->DeviceExtension;
    if (dev->role == ROLE_CONTROL) {
        Detach(IoGetCurrentIrpStackLocation(irp)->FileObject);
        return CompleteNow(irp, STATUS_SUCCESS, 0);
    }
    return ChannelCleanup(dev, irp);
}

static NTSTATUS NTAPI DispatchIo(DEVICE_OBJECT *device, IRP *irp) {
    SIM_DEVICE *dev = device->DeviceExtension;
    IO_STACK_LOCATION *sp = IoGetCurrentIrpStackLocation(irp);
    if (dev->role == ROLE_CONTROL) {
        if (sp->MajorFunction != IRP_MJ_DEVICE_CONTROL) return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return ControlRequest(irp);
    }
    return ChannelRequest(dev, irp);
}

static NTSTATUS NTAPI DispatchPower(DEVICE_OBJECT *device, IRP *irp) {
    SIM_DEVICE *dev = device->DeviceExtension;
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(dev->lower, irp);
}

static NTSTATUS NTAPI DispatchPnp(DEVICE_OBJECT *device, IRP *irp) {
    SIM_DEVICE *dev = device->DeviceExtension;
    IO_STACK_LOCATION *sp = IoGetCurrentIrpStackLocation(irp);
    DEVICE_OBJECT *lower = dev->lower;
    NTSTATUS status;
    switch (sp->MinorFunction) {
        case IRP_MN_START_DEVICE:
            dev->started = TRUE;
            /* The control interface is there from the start; a channel only
             * while a service serves it. */
            if (dev->registered && (dev->role == ROLE_CONTROL || g_service))
                IoSetDeviceInterfaceState(&dev->link, TRUE);
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_STOP_DEVICE:
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        case IRP_MN_REMOVE_DEVICE:
            if (dev->role == ROLE_CONTROL && g_service) Detach(g_service);
            if (dev->registered) {
                IoSetDeviceInterfaceState(&dev->link, FALSE);
                RtlFreeUnicodeString(&dev->link);
                dev->registered = FALSE;
            }
            {
                KIRQL irql;
                KeAcquireSpinLock(&g_lock, &irql);
                if (g_devices[dev->role] == dev) g_devices[dev->role] = NULL;
                KeReleaseSpinLock(&g_lock, irql);
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            status = IoCallDriver(lower, irp);
            IoDetachDevice(lower);
            IoDeleteDevice(device);
            return status;
        default:
            break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

/* ------------------------------------------------------------------------ */
/* Devices */

static const GUID kFaxClass = {0x783E1D39, 0x8E60, 0x4E98, {0xA9, 0x47, 0xE2, 0xDE, 0x68, 0x8F, 0x17, 0x71}};
static const GUID kEwsClass = {0xB72F809C, 0xA9CD, 0x4094, {0x8C, 0x69, 0xCE, 0x34, 0x99, 0x47, 0xDF, 0xAC}};
static const GUID kControlClass = SIM_CONTROL_INTERFACE_INIT;

/* Which of the three devices `pdo` is, from its first hardware identity. */
static NTSTATUS RoleOf(DEVICE_OBJECT *pdo, SIM_ROLE *role) {
    WCHAR ids[128];
    ULONG needed = 0;
    NTSTATUS status;
    RtlZeroMemory(ids, sizeof(ids));
    status = IoGetDeviceProperty(pdo, DevicePropertyHardwareID, sizeof(ids) - sizeof(WCHAR), ids, &needed);
    if (!NT_SUCCESS(status)) return status;
    if (SameId(ids, 127, SIM_HWID_FAX)) *role = ROLE_FAX;
    else if (SameId(ids, 127, SIM_HWID_EWS)) *role = ROLE_EWS;
    else if (SameId(ids, 127, SIM_HWID_CONTROL)) *role = ROLE_CONTROL;
    else return STATUS_NOT_SUPPORTED;
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI AddDevice(DRIVER_OBJECT *driver, DEVICE_OBJECT *pdo) {
    static const GUID *const classes[3] = {&kFaxClass, &kEwsClass, &kControlClass};
    DEVICE_OBJECT *fdo = NULL;
    SIM_DEVICE *dev;
    SIM_ROLE role;
    KIRQL irql;
    NTSTATUS status = RoleOf(pdo, &role);
    if (!NT_SUCCESS(status)) return status;
    if (g_devices[role]) return STATUS_DEVICE_BUSY; /* one simulated device only */

    status = IoCreateDevice(driver, sizeof(SIM_DEVICE), NULL, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE,
                            &fdo);
    if (!NT_SUCCESS(status)) return status;
    dev = fdo->DeviceExtension;
    RtlZeroMemory(dev, sizeof(*dev));
    dev->role = role;
    dev->self = fdo;
    status = IoRegisterDeviceInterface(pdo, classes[role], NULL, &dev->link);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(fdo);
        return status;
    }
    dev->registered = TRUE;
    dev->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!dev->lower) {
        RtlFreeUnicodeString(&dev->link);
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    KeAcquireSpinLock(&g_lock, &irql);
    g_devices[role] = dev;
    KeReleaseSpinLock(&g_lock, irql);
    return STATUS_SUCCESS;
}

static void NTAPI Unload(DRIVER_OBJECT *driver) { (void)driver; }

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registry) {
    (void)registry;
    KeInitializeSpinLock(&g_lock);
    InitializeListHead(&g_takers);
    InitializeListHead(&g_messages);
    InitializeListHead(&g_outstanding);
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_READ] = DispatchIo;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchIo;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchIo;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
