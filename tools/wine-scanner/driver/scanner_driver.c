/* Kernel-mode stand-in for the still-image driver: publishes the simulated
   scanner as \\.\usbscanN (and any other still-image devices the harness
   asks for), answers the descriptor request, carries bulk writes and reads
   to the scanner model, holds a request the model leaves unanswered until
   its handle's time-out, takes the handle's time-outs and pipe resets, and
   moves the scanner's link when the model leaves the bus and comes back.
   Test tooling only: it never ships. */
#include <ntddk.h>

#include "platform/byte_order.h"
#include "tools/wine-scanner/driver/control.h"
#include "tools/wine-scanner/driver/model_bridge.h"

#define IOCTL_GET_DEVICE_DESCRIPTOR 0x80002018
#define IOCTL_RESET_PIPE 0x8000201C
#define IOCTL_SET_TIMEOUT 0x8000202C
/* usbscan's PIPE_TYPE */
#define EVENT_PIPE 0
#define READ_DATA_PIPE 1
#define WRITE_DATA_PIPE 2
#define ALL_PIPE 3
/* A handle nobody set holds a request this long (usbscan's default). */
#define DEFAULT_TIMEOUT_S 120
#define HANDLE_POOL_TAG 0x68557546 /* 'FuUh' */
/* The deadline of a request held for ever. */
#define NEVER_TICKS 0x7FFFFFFFFFFFFFFFLL
#define LINK_POLL_MS 10
#define MAX_FOREIGN 16
/* Room for the wire trace: a whole update takes a few kilobytes, a thousand
   failed reads under 100 KB. */
#define TRACE_CAPACITY (8u << 20)
#define TRACE_POOL_TAG 0x74577546 /* 'FuWt' */
/* 100 ns units from 1601 to 1970 */
#define UNIX_EPOCH_IN_SYSTEM_TIME 116444736000000000LL

enum DeviceKind { KIND_CONTROL = 0, KIND_SCANNER = 1, KIND_FOREIGN = 2 };

typedef struct DeviceExtension {
    int kind;
    int32_t path;
    uint16_t vendorId;
    uint16_t productId;
    uint8_t descriptorFails;
} DeviceExtension;

/* What a handle on the scanner carries, from its open to its close: the
   path and the scanner's generation it was opened on, and the time-outs
   usbscan keeps per handle (seconds; 0 holds a request for ever). The event
   time-out is kept as usbscan keeps it, though no event request is
   played. */
typedef struct HandleContext {
    int32_t path;
    uint32_t generation;
    uint32_t timeoutRead;
    uint32_t timeoutWrite;
    uint32_t timeoutEvent;
} HandleContext;

static FAST_MUTEX g_lock;
static PDEVICE_OBJECT g_scanner;
static int32_t g_published = -1;    /* number of the scanner's link, -1 none */
static LONGLONG g_originTicks = -1; /* clock origin: the first open of a device */
static volatile LONG g_stopping;
static PVOID g_thread;
static ULONG g_tickIncrement; /* 100 ns units per tick */
static VOID(NTAPI* g_queryTickCount)(PLARGE_INTEGER);
static int g_configOk;
static uint32_t g_foreignCount;
static PDEVICE_OBJECT g_foreign[MAX_FOREIGN];
static uint8_t* g_trace; /* the wire trace, pcap from its first byte */
static uint32_t g_traceUsed;
static uint64_t g_traceRequests;
/* Requests the scanner leaves unanswered, each until its deadline (in
   ticks, in Tail.Overlay.DriverContext[0]) or its cancellation; linked
   through Tail.Overlay.ListEntry. */
static KSPIN_LOCK g_heldLock;
static LIST_ENTRY g_held;
static uint32_t g_heldCount;

static LONGLONG Ticks(void)
{
    LARGE_INTEGER count;
    if (g_queryTickCount) {
        g_queryTickCount(&count);
    } else {
        KeQueryTickCount(&count);
    }
    return count.QuadPart;
}

/* Milliseconds of the scanner's own time. The updater's run begins with its
   first open of a device path, so that is where the scanner's time starts;
   until then the scanner sits at its starting instant. Caller holds g_lock. */
static uint64_t NowMs(void)
{
    if (g_originTicks < 0) {
        return 0;
    }
    return (uint64_t)((Ticks() - g_originTicks) * (LONGLONG)g_tickIncrement / 10000);
}

static void LinkName(UNICODE_STRING* name, WCHAR* buffer, USHORT room, int32_t number)
{
    /* "\DosDevices\usbscan" and the number in decimal, no leading zeros. */
    static const WCHAR prefix[] = L"\\DosDevices\\usbscan";
    WCHAR digits[12];
    int n = 0;
    USHORT i = 0;
    uint32_t value = (uint32_t)number;
    do {
        digits[n++] = (WCHAR)(L'0' + value % 10);
        value /= 10;
    } while (value != 0 && n < 12);
    while (prefix[i] != 0 && i + 1 < room) {
        buffer[i] = prefix[i];
        ++i;
    }
    while (n > 0 && i + 1 < room) {
        buffer[i++] = digits[--n];
    }
    buffer[i] = 0;
    name->Buffer = buffer;
    name->Length = (USHORT)(i * sizeof(WCHAR));
    name->MaximumLength = (USHORT)(room * sizeof(WCHAR));
}

static NTSTATUS Publish(int32_t number, const WCHAR* deviceName)
{
    WCHAR buffer[40];
    UNICODE_STRING link, target;
    LinkName(&link, buffer, 40, number);
    RtlInitUnicodeString(&target, deviceName);
    return IoCreateSymbolicLink(&link, &target);
}

static void Unpublish(int32_t number)
{
    WCHAR buffer[40];
    UNICODE_STRING link;
    LinkName(&link, buffer, 40, number);
    IoDeleteSymbolicLink(&link);
}

#define SCANNER_DEVICE_NAME L"\\Device\\FwuSimScanner"

/* Appends one device request to the wire trace, in the very bytes the
   simulated host writes; time stamps are the PC's real clock. A request
   that does not fit is left out. Caller holds g_lock. */
static void TraceRecord(uint16_t address, uint8_t kind, uint32_t size, const uint8_t* outData, uint32_t status,
                        uint32_t count, const uint8_t* inData, uint16_t vendorId, uint16_t productId)
{
    LARGE_INTEGER now;
    if (g_trace == NULL || address == 0 || TRACE_CAPACITY - g_traceUsed < BridgeTraceRoom()) {
        return;
    }
    KeQuerySystemTime(&now);
    g_traceUsed += BridgeTraceRequest(++g_traceRequests, (uint64_t)(now.QuadPart - UNIX_EPOCH_IN_SYSTEM_TIME) / 10,
                                      address, kind, size, outData, status, count, inData, vendorId, productId,
                                      g_trace + g_traceUsed, TRACE_CAPACITY - g_traceUsed);
}

static HandleContext* HandleOf(PFILE_OBJECT file)
{
    return file == NULL ? NULL : (HandleContext*)file->FsContext;
}

/* The device address of the device a handle was opened on: the path and
   the scanner's generation then, kept with the handle at the open. */
static uint16_t HandleAddress(DeviceExtension* ext, PFILE_OBJECT file)
{
    HandleContext* handle = HandleOf(file);
    if (ext->kind == KIND_FOREIGN) {
        return BridgeTraceAddress(ext->path, 0);
    }
    if (handle == NULL) {
        return 0;
    }
    return BridgeTraceAddress(handle->path, handle->generation);
}

/* Makes the scanner's link follow the model: none while it is off the bus,
   its current number while it is on. Caller holds g_lock. */
static void SyncLink(void)
{
    int32_t path = -1;
    if (!BridgePresent(NowMs(), &path)) {
        path = -1;
    }
    if (path == g_published) {
        return;
    }
    if (g_published >= 0) {
        Unpublish(g_published);
    }
    g_published = -1;
    if (path >= 0 && NT_SUCCESS(Publish(path, SCANNER_DEVICE_NAME))) {
        g_published = path;
    }
}

static void ExpireHeld(void);

static VOID NTAPI LinkThread(PVOID context)
{
    LARGE_INTEGER pause;
    (void)context;
    pause.QuadPart = -(LONGLONG)LINK_POLL_MS * 10000;
    while (!g_stopping) {
        ExAcquireFastMutex(&g_lock);
        SyncLink();
        ExReleaseFastMutex(&g_lock);
        ExpireHeld();
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* A handle on the scanner is alive while the scanner is on the bus in the
   generation it was opened in: a power cycle kills every older handle, as
   unplugging a real device does. Caller holds g_lock. */
static int HandleAlive(PFILE_OBJECT file, uint64_t now)
{
    int32_t path;
    HandleContext* handle = HandleOf(file);
    if (handle == NULL) {
        return 0;
    }
    if (!BridgePresent(now, &path)) {
        return 0;
    }
    return handle->generation == BridgeGeneration(now);
}

/* A new handle on the scanner: where it was opened, and usbscan's default
   time-outs. Caller holds g_lock. */
static NTSTATUS OpenHandle(PFILE_OBJECT file, int32_t path, uint32_t generation)
{
    HandleContext* handle = (HandleContext*)ExAllocatePoolWithTag(NonPagedPool, sizeof *handle, HANDLE_POOL_TAG);
    if (handle == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    handle->path = path;
    handle->generation = generation;
    handle->timeoutRead = DEFAULT_TIMEOUT_S;
    handle->timeoutWrite = DEFAULT_TIMEOUT_S;
    handle->timeoutEvent = DEFAULT_TIMEOUT_S;
    file->FsContext = handle;
    return STATUS_SUCCESS;
}

/* ---- requests the scanner never answers ---- */

static LONGLONG DeadlineAfter(uint32_t seconds)
{
    if (seconds == 0) {
        return NEVER_TICKS;
    }
    return Ticks() + (LONGLONG)seconds * 10000000 / (LONGLONG)g_tickIncrement;
}

/* Moves onto `taken` every held request of `file` (any file when NULL)
   whose deadline is at or before `now` (any deadline when 0). One whose
   cancellation has begun stays: its cancel routine takes it out. */
static void TakeHeld(PFILE_OBJECT file, LONGLONG now, LIST_ENTRY* taken)
{
    KIRQL irql;
    LIST_ENTRY *entry, *next;
    InitializeListHead(taken);
    KeAcquireSpinLock(&g_heldLock, &irql);
    for (entry = g_held.Flink; entry != &g_held; entry = next) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        next = entry->Flink;
        if (file != NULL && IoGetCurrentIrpStackLocation(irp)->FileObject != file) {
            continue;
        }
        if (now != 0 && (LONGLONG)(LONG_PTR)irp->Tail.Overlay.DriverContext[0] > now) {
            continue;
        }
        if (IoSetCancelRoutine(irp, NULL) == NULL) {
            continue;
        }
        RemoveEntryList(entry);
        --g_heldCount;
        InsertTailList(taken, entry);
    }
    KeReleaseSpinLock(&g_heldLock, irql);
}

static void CompleteTaken(LIST_ENTRY* taken, NTSTATUS status)
{
    while (!IsListEmpty(taken)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(taken), IRP, Tail.Overlay.ListEntry);
        Complete(irp, status, 0);
    }
}

/* A process that ends, is killed or cancels its I/O while a request is
   held: Wine cancels the request, and it ends at once. */
static VOID NTAPI CancelHeld(PDEVICE_OBJECT device, PIRP irp)
{
    KIRQL irql;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&g_heldLock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    --g_heldCount;
    KeReleaseSpinLock(&g_heldLock, irql);
    Complete(irp, STATUS_CANCELLED, 0);
}

/* Keeps a request the scanner will never answer pending until `deadline`,
   as usbscan holds it for the handle's time-out. */
static NTSTATUS Hold(PIRP irp, LONGLONG deadline)
{
    KIRQL irql;
    IoMarkIrpPending(irp);
    irp->Tail.Overlay.DriverContext[0] = (PVOID)(LONG_PTR)deadline;
    KeAcquireSpinLock(&g_heldLock, &irql);
    IoSetCancelRoutine(irp, CancelHeld);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        KeReleaseSpinLock(&g_heldLock, irql);
        Complete(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    InsertTailList(&g_held, &irp->Tail.Overlay.ListEntry);
    ++g_heldCount;
    KeReleaseSpinLock(&g_heldLock, irql);
    return STATUS_PENDING;
}

/* Ends every held request whose handle's time-out has passed. A real
   usbscan cancels the transfer and fails the request; with which status
   it does so is unverified here. STATUS_IO_TIMEOUT is the one Win32
   reports as ERROR_SEM_TIMEOUT (121), what the updater's logic and the
   simulated PC take for a transfer given up at its time-out. */
static void ExpireHeld(void)
{
    LIST_ENTRY taken;
    TakeHeld(NULL, Ticks(), &taken);
    CompleteTaken(&taken, STATUS_IO_TIMEOUT);
}

static NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp)
{
    DeviceExtension* ext = (DeviceExtension*)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_SUCCESS;
    if (ext->kind == KIND_CONTROL) {
        return Complete(irp, STATUS_SUCCESS, 0);
    }
    ExAcquireFastMutex(&g_lock);
    if (g_originTicks < 0) {
        g_originTicks = Ticks();
    }
    if (ext->kind == KIND_SCANNER) {
        uint64_t now = NowMs();
        int32_t path;
        /* The link can lag the model by one turn of the link thread: an
           open that arrives while the scanner is off the bus fails as a
           missing path does. */
        SyncLink();
        if (!BridgePresent(now, &path)) {
            status = STATUS_OBJECT_NAME_NOT_FOUND;
        } else if (stack->FileObject != NULL) {
            status = OpenHandle(stack->FileObject, path, BridgeGeneration(now));
        }
    }
    ExReleaseFastMutex(&g_lock);
    return Complete(irp, status, 0);
}

static NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp)
{
    LIST_ENTRY taken;
    (void)device;
    /* The handle's last user let go: nothing it left waiting may wait on. */
    TakeHeld(IoGetCurrentIrpStackLocation(irp)->FileObject, 0, &taken);
    CompleteTaken(&taken, STATUS_CANCELLED);
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    DeviceExtension* ext = (DeviceExtension*)device->DeviceExtension;
    if (ext->kind == KIND_SCANNER && file != NULL && file->FsContext != NULL) {
        ExFreePoolWithTag(file->FsContext, HANDLE_POOL_TAG);
        file->FsContext = NULL;
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

/* Completes a transfer as the model says it went. A failed call fails the
   IRP. An outcome that cannot be fetched is completed with STATUS_TIMEOUT:
   a success code, so the WriteFile/ReadFile call returns success, but not
   STATUS_SUCCESS, so GetOverlappedResult reports failure. A completion that
   is never signalled cannot be played from here: the platform signals the
   event of every completed request. */
static NTSTATUS CompleteTransfer(PIRP irp, const BridgeTransfer* t)
{
    if (!t->callOk) {
        return Complete(irp, STATUS_UNSUCCESSFUL, 0);
    }
    if (!t->resultOk) {
        return Complete(irp, STATUS_TIMEOUT, t->count);
    }
    return Complete(irp, STATUS_SUCCESS, t->count);
}

static NTSTATUS NTAPI DispatchReadWrite(PDEVICE_OBJECT device, PIRP irp)
{
    DeviceExtension* ext = (DeviceExtension*)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    BridgeTransfer t = {0, 0, 0, 0, 0};
    uint64_t now;
    uint32_t timeoutS = 0;
    int alive;
    uint8_t* buffer = (uint8_t*)irp->AssociatedIrp.SystemBuffer;
    int write = stack->MajorFunction == IRP_MJ_WRITE;
    uint32_t size = write ? stack->Parameters.Write.Length : stack->Parameters.Read.Length;
    uint8_t kind = write ? 1 : 2;
    if (ext->kind != KIND_SCANNER) {
        ExAcquireFastMutex(&g_lock);
        TraceRecord(HandleAddress(ext, stack->FileObject), kind, size, buffer, BridgeTraceStatusNotSupported(), 0, NULL,
                    0, 0);
        ExReleaseFastMutex(&g_lock);
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    ExAcquireFastMutex(&g_lock);
    now = NowMs();
    alive = HandleAlive(stack->FileObject, now);
    if (alive) {
        if (write) {
            BridgeWrite(now, buffer, size, &t);
        } else {
            BridgeRead(now, buffer, size, &t);
        }
        TraceRecord(HandleAddress(ext, stack->FileObject), kind, size, buffer, BridgeTraceStatus(&t),
                    t.callOk ? t.count : 0, buffer, 0, 0);
        timeoutS = write ? HandleOf(stack->FileObject)->timeoutWrite : HandleOf(stack->FileObject)->timeoutRead;
    } else {
        TraceRecord(HandleAddress(ext, stack->FileObject), kind, size, buffer, BridgeTraceStatusGone(), 0, NULL, 0, 0);
    }
    ExReleaseFastMutex(&g_lock);
    /* A handle from before a power cycle talks to nobody: the model never
       sees the call, as no scanner would. */
    if (!alive) {
        return Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    if (!t.answered) {
        return Hold(irp, DeadlineAfter(timeoutS));
    }
    return CompleteTransfer(irp, &t);
}

static NTSTATUS DescriptorRequest(DeviceExtension* ext, PIRP irp, PIO_STACK_LOCATION stack)
{
    uint16_t vendorId = ext->vendorId, productId = ext->productId;
    uint8_t fails = ext->descriptorFails;
    uint16_t* out = (uint16_t*)irp->AssociatedIrp.SystemBuffer;
    uint16_t address;
    int alive = 1;
    ExAcquireFastMutex(&g_lock);
    address = HandleAddress(ext, stack->FileObject);
    if (ext->kind == KIND_SCANNER) {
        alive = HandleAlive(stack->FileObject, NowMs());
        BridgeDescriptor(&vendorId, &productId, &fails);
    }
    if (!alive) {
        TraceRecord(address, 0, 0, NULL, BridgeTraceStatusGone(), 0, NULL, 0, 0);
    } else if (fails) {
        TraceRecord(address, 0, 0, NULL, BridgeTraceStatusFailed(), 0, NULL, 0, 0);
    } else {
        TraceRecord(address, 0, 0, NULL, 0, 18, NULL, vendorId, productId);
    }
    ExReleaseFastMutex(&g_lock);
    if (!alive) {
        return Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    if (fails) {
        return Complete(irp, STATUS_UNSUCCESSFUL, 0);
    }
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < 8 || out == NULL) {
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    out[0] = vendorId;
    out[1] = productId;
    out[2] = 0x0100; /* release 1.00 */
    out[3] = 0;
    return Complete(irp, STATUS_SUCCESS, 8);
}

static NTSTATUS ControlRequest(PIRP irp, PIO_STACK_LOCATION stack)
{
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void* out = irp->AssociatedIrp.SystemBuffer;
    if (code == FWU_SIM_IOCTL_SNAPSHOT) {
        uint32_t size;
        ExAcquireFastMutex(&g_lock);
        size = BridgeSnapshot(NULL, 0);
        if (out != NULL && room >= size) {
            BridgeSnapshot(out, room);
        }
        ExReleaseFastMutex(&g_lock);
        if (out == NULL || room < size) {
            return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        return Complete(irp, STATUS_SUCCESS, size);
    }
    if (code == FWU_SIM_IOCTL_TRACE) {
        uint32_t offset, n = 0, i;
        if (out == NULL || stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(uint32_t)) {
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        }
        offset = *(const uint32_t*)out;
        ExAcquireFastMutex(&g_lock);
        if (g_trace != NULL && offset < g_traceUsed) {
            n = g_traceUsed - offset < room ? g_traceUsed - offset : room;
        }
        for (i = 0; i < n; ++i) {
            ((uint8_t*)out)[i] = g_trace[offset + i];
        }
        ExReleaseFastMutex(&g_lock);
        return Complete(irp, STATUS_SUCCESS, n);
    }
    if (code == FWU_SIM_IOCTL_STATE) {
        FwuSimDriverState* state = (FwuSimDriverState*)out;
        KIRQL irql;
        if (out == NULL || room < sizeof(FwuSimDriverState)) {
            return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        ExAcquireFastMutex(&g_lock);
        state->nowMs = NowMs();
        state->started = g_originTicks >= 0;
        state->publishedPath = g_published;
        state->configOk = g_configOk;
        state->foreignCount = g_foreignCount;
        state->modelSize = BridgeSnapshot(NULL, 0);
        ExReleaseFastMutex(&g_lock);
        KeAcquireSpinLock(&g_heldLock, &irql);
        state->heldRequests = g_heldCount;
        KeReleaseSpinLock(&g_heldLock, irql);
        return Complete(irp, STATUS_SUCCESS, sizeof(FwuSimDriverState));
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

/* IOCTL_SET_TIMEOUT: USBSCAN_TIMEOUT {read, write, event} in seconds, for
   this handle alone. Taken on a handle the scanner's power cycle killed as
   well: the simulated PC takes it there too. */
static NTSTATUS SetTimeoutRequest(PIRP irp, PIO_STACK_LOCATION stack)
{
    const uint8_t* in = (const uint8_t*)irp->AssociatedIrp.SystemBuffer;
    HandleContext* handle = HandleOf(stack->FileObject);
    if (handle == NULL || in == NULL || stack->Parameters.DeviceIoControl.InputBufferLength < 12) {
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    ExAcquireFastMutex(&g_lock);
    handle->timeoutRead = GetLe32(in);
    handle->timeoutWrite = GetLe32(in + 4);
    handle->timeoutEvent = GetLe32(in + 8);
    ExReleaseFastMutex(&g_lock);
    return Complete(irp, STATUS_SUCCESS, 0);
}

/* IOCTL_RESET_PIPE: a PIPE_TYPE. Clears a halt in the model, which keeps it
   across handles as a device does. A handle the power cycle killed reaches
   no scanner, yet the request succeeds, as on the simulated PC. */
static NTSTATUS ResetPipeRequest(PIRP irp, PIO_STACK_LOCATION stack)
{
    const uint8_t* in = (const uint8_t*)irp->AssociatedIrp.SystemBuffer;
    uint32_t pipe;
    if (in == NULL || stack->Parameters.DeviceIoControl.InputBufferLength < 4) {
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    pipe = GetLe32(in);
    if (pipe > ALL_PIPE) {
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    ExAcquireFastMutex(&g_lock);
    if (HandleAlive(stack->FileObject, NowMs())) {
        if (pipe == READ_DATA_PIPE || pipe == ALL_PIPE) {
            BridgeResetPipe(1);
        }
        if (pipe == WRITE_DATA_PIPE || pipe == ALL_PIPE) {
            BridgeResetPipe(0);
        }
    }
    ExReleaseFastMutex(&g_lock);
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchIoctl(PDEVICE_OBJECT device, PIRP irp)
{
    DeviceExtension* ext = (DeviceExtension*)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (ext->kind == KIND_CONTROL) {
        return ControlRequest(irp, stack);
    }
    if (code == IOCTL_GET_DEVICE_DESCRIPTOR) {
        return DescriptorRequest(ext, irp, stack);
    }
    /* Another maker's driver knows neither request, as on the simulated PC. */
    if (code == IOCTL_SET_TIMEOUT && ext->kind == KIND_SCANNER) {
        return SetTimeoutRequest(irp, stack);
    }
    if (code == IOCTL_RESET_PIPE && ext->kind == KIND_SCANNER) {
        return ResetPipeRequest(irp, stack);
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

/* ---- configuration from the service key ---- */

typedef struct ValueSource {
    HANDLE key;
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 1024];
} ValueSource;

static ValueSource g_values;

static int ReadValue(void* context, const char* name, void* buffer, uint32_t size)
{
    ValueSource* source = (ValueSource*)context;
    WCHAR wide[64];
    UNICODE_STRING valueName;
    ULONG got = 0;
    KEY_VALUE_PARTIAL_INFORMATION* info = (KEY_VALUE_PARTIAL_INFORMATION*)source->buffer;
    uint32_t i = 0, n;
    while (name[i] != 0 && i + 1 < 64) {
        wide[i] = (WCHAR)(unsigned char)name[i];
        ++i;
    }
    wide[i] = 0;
    RtlInitUnicodeString(&valueName, wide);
    if (!NT_SUCCESS(
            ZwQueryValueKey(source->key, &valueName, KeyValuePartialInformation, info, sizeof source->buffer, &got))) {
        return -1;
    }
    n = info->DataLength;
    if (n <= size) {
        for (i = 0; i < n; ++i) {
            ((UCHAR*)buffer)[i] = info->Data[i];
        }
    }
    return (int)n;
}

/* "foreignDevices": 12-byte records, i32 path, u16 vendor, u16 product, u32
   flags (bit 0: the descriptor request fails). */
static void CreateForeignDevices(PDRIVER_OBJECT driver)
{
    uint8_t raw[MAX_FOREIGN * 12];
    int got = ReadValue(&g_values, "foreignDevices", raw, sizeof raw);
    int count, i;
    if (got <= 0 || got > (int)sizeof raw || got % 12 != 0) {
        return;
    }
    count = got / 12;
    for (i = 0; i < count; ++i) {
        const uint8_t* p = raw + 12 * i;
        static WCHAR names[MAX_FOREIGN][32];
        static const WCHAR base[] = L"\\Device\\FwuSimForeign";
        UNICODE_STRING name;
        PDEVICE_OBJECT device;
        DeviceExtension* ext;
        int j = 0;
        while (base[j] != 0) {
            names[i][j] = base[j];
            ++j;
        }
        names[i][j++] = (WCHAR)(L'A' + i);
        names[i][j] = 0;
        RtlInitUnicodeString(&name, names[i]);
        if (!NT_SUCCESS(
                IoCreateDevice(driver, sizeof(DeviceExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device))) {
            continue;
        }
        device->Flags |= DO_BUFFERED_IO;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        ext = (DeviceExtension*)device->DeviceExtension;
        ext->kind = KIND_FOREIGN;
        ext->path = (int32_t)GetLe32(p);
        ext->vendorId = GetLe16(p + 4);
        ext->productId = GetLe16(p + 6);
        ext->descriptorFails = (uint8_t)(p[8] & 1);
        g_foreign[g_foreignCount++] = device;
        Publish(ext->path, names[i]);
    }
}

static NTSTATUS CreateDevice(PDRIVER_OBJECT driver, const WCHAR* deviceName, int kind, PDEVICE_OBJECT* created)
{
    UNICODE_STRING name;
    PDEVICE_OBJECT device;
    NTSTATUS status;
    RtlInitUnicodeString(&name, deviceName);
    status = IoCreateDevice(driver, sizeof(DeviceExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    ((DeviceExtension*)device->DeviceExtension)->kind = kind;
    *created = device;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    OBJECT_ATTRIBUTES attributes;
    UNICODE_STRING routine, controlLink, controlName;
    PDEVICE_OBJECT control;
    HANDLE thread;
    NTSTATUS status;

    ExInitializeFastMutex(&g_lock);
    KeInitializeSpinLock(&g_heldLock);
    InitializeListHead(&g_held);
    g_trace = (uint8_t*)ExAllocatePoolWithTag(NonPagedPool, TRACE_CAPACITY, TRACE_POOL_TAG);
    if (g_trace != NULL) {
        g_traceUsed = BridgeTraceHeader(g_trace);
    }
    RtlInitUnicodeString(&routine, L"KeQueryTickCount");
    g_queryTickCount = (VOID(NTAPI*)(PLARGE_INTEGER))MmGetSystemRoutineAddress(&routine);
    g_tickIncrement = KeQueryTimeIncrement();

    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchIoctl;

    InitializeObjectAttributes(&attributes, registryPath, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    if (NT_SUCCESS(ZwOpenKey(&g_values.key, KEY_READ, &attributes))) {
        g_configOk = BridgeConfigure(ReadValue, &g_values);
        CreateForeignDevices(driver);
        ZwClose(g_values.key);
    } else {
        g_configOk = BridgeConfigure(NULL, NULL);
    }

    status = CreateDevice(driver, FWU_SIM_CONTROL_DEVICE, KIND_CONTROL, &control);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlInitUnicodeString(&controlLink, FWU_SIM_CONTROL_LINK);
    RtlInitUnicodeString(&controlName, FWU_SIM_CONTROL_DEVICE);
    IoCreateSymbolicLink(&controlLink, &controlName);

    status = CreateDevice(driver, SCANNER_DEVICE_NAME, KIND_SCANNER, &g_scanner);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ExAcquireFastMutex(&g_lock);
    SyncLink();
    ExReleaseFastMutex(&g_lock);

    status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, LinkThread, NULL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, NULL, KernelMode, &g_thread, NULL);
    ZwClose(thread);
    return STATUS_SUCCESS;
}
