/* veltra_testhid.sys: a HID minidriver that plays USB HID devices for tests under Wine.
 *
 * Each root-enumerated node (ROOT\VID_xxxx&PID_xxxx&MI_xx\NNNN) becomes one HID device whose
 * vendor, product and interface come from its instance id: interface 0 has the pendant's feature
 * report (id 6, 8 bytes), any other its input report (id 4, 6 bytes). A control device,
 * \\.\VeltraTestHid, feeds input reports, logs feature reports and switches behaviours.
 *
 * hidclass takes over the driver's create, close, read, write and device-control entries when the
 * minidriver registers; the control device belongs to the same driver object, so those entries
 * are wrapped afterwards and route by device object.
 *
 * Each request, hidclass's or the control device's, is one function and one line of its table
 * (hid_requests, control_requests). */
#include <ddk/wdm.h>

#include "testhid_ioctl.h"
#include "testhid_build_id.h"

/* MinGW-w64 lacks hidport.h and its hidclass.h has wrong minidriver codes: the documented ones. */
#define HID_CTL(id, method) ((0x0Bu << 16) | ((id) << 2) | (method))
#define IOCTL_HID_GET_DEVICE_DESCRIPTOR HID_CTL(0, METHOD_NEITHER)
#define IOCTL_HID_GET_REPORT_DESCRIPTOR HID_CTL(1, METHOD_NEITHER)
#define IOCTL_HID_READ_REPORT HID_CTL(2, METHOD_NEITHER)
#define IOCTL_HID_WRITE_REPORT HID_CTL(3, METHOD_NEITHER)
#define IOCTL_HID_GET_STRING HID_CTL(4, METHOD_NEITHER)
#define IOCTL_HID_ACTIVATE_DEVICE HID_CTL(7, METHOD_NEITHER)
#define IOCTL_HID_DEACTIVATE_DEVICE HID_CTL(8, METHOD_NEITHER)
#define IOCTL_HID_GET_DEVICE_ATTRIBUTES HID_CTL(9, METHOD_NEITHER)
#define IOCTL_HID_SET_FEATURE HID_CTL(100, METHOD_IN_DIRECT)
#define IOCTL_HID_GET_FEATURE HID_CTL(100, METHOD_OUT_DIRECT)
#define IOCTL_HID_SET_OUTPUT_REPORT HID_CTL(101, METHOD_IN_DIRECT)
#define IOCTL_HID_GET_INPUT_REPORT HID_CTL(104, METHOD_OUT_DIRECT)

#define HID_STRING_ID_IMANUFACTURER 14
#define HID_STRING_ID_IPRODUCT 15
#define HID_STRING_ID_ISERIALNUMBER 16

typedef struct {
    ULONG Revision;
    PDRIVER_OBJECT DriverObject;
    PUNICODE_STRING RegistryPath;
    ULONG DeviceExtensionSize;
    BOOLEAN DevicesArePolled;
    UCHAR Reserved[3];
} HID_MINIDRIVER_REGISTRATION;

typedef struct {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT NextDeviceObject;
    PVOID MiniDeviceExtension;
} HID_DEVICE_EXTENSION;

typedef struct {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
    USHORT Reserved[11];
} HID_DEVICE_ATTRIBUTES;

#pragma pack(push, 1)
typedef struct {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdHID;
    UCHAR bCountry;
    UCHAR bNumDescriptors;
    UCHAR bReportType;
    USHORT wReportLength;
} HID_DESCRIPTOR;
#pragma pack(pop)

typedef struct {
    PUCHAR reportBuffer;
    ULONG reportBufferLen;
    UCHAR reportId;
} HID_XFER_PACKET;

NTSTATUS NTAPI HidRegisterMinidriver(HID_MINIDRIVER_REGISTRATION *registration);
NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registry);

static const UCHAR feature_descriptor[] = {
    0x06, 0x00, 0xFF,       /* usage page (vendor 0xFF00) */
    0x09, 0x01,             /* usage 1 */
    0xA1, 0x01,             /* collection (application) */
    0x85, 0x06,             /*   report id 6 */
    0x09, 0x02,             /*   usage 2 */
    0x15, 0x00,             /*   logical minimum 0 */
    0x26, 0xFF, 0x00,       /*   logical maximum 255 */
    0x75, 0x08,             /*   report size 8 */
    0x95, 0x07,             /*   report count 7 */
    0xB1, 0x02,             /*   feature (data, variable, absolute) */
    0xC0,                   /* end collection */
};

static const UCHAR input_descriptor[] = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,
    0x85, 0x04,             /*   report id 4 */
    0x09, 0x03, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
    0x95, 0x05,             /*   report count 5 */
    0x81, 0x02,             /*   input (data, variable, absolute) */
    0xC0,
};

typedef struct {
    UCHAR length;
    UCHAR data[TESTHID_MAX_REPORT];
} report;

/* One HID device, the minidriver extension of its hidclass device object. */
struct device {
    LIST_ENTRY entry; /* in `devices` */
    DEVICE_OBJECT *fdo;
    DEVICE_OBJECT *lower;
    testhid_device_id id;
    /* Guards what follows, so that a feed or a read on one device never waits for another. */
    KSPIN_LOCK lock;
    /* Changed under devices_lock and this lock both, so that either lock is enough to read them. */
    BOOLEAN started;
    BOOLEAN removed;
    LIST_ENTRY reads; /* IOCTL_HID_READ_REPORT waiting for a report */
    LIST_ENTRY held;  /* feature reports held by TESTHID_HOLD_FEATURES */
    ULONG queue_head;
    ULONG queue_count;
    report queue[TESTHID_QUEUE_LENGTH];
    report last_input;
    report last_feature;
};

/* Locks are taken in this order and released before any IRP is completed: devices_lock, one
 * device's lock, then control_lock or log_lock; never two devices' locks at once. */

/* The list of devices. A behaviour change holds it while it visits them, so that two changes
 * cannot interleave their visits and let go of a report that the later one holds. */
static KSPIN_LOCK devices_lock;
static LIST_ENTRY devices;
/* The behaviour and the counters belong to the control device and apply to every device at
 * once (a refusal count is shared by all of them): a lock of their own. */
static KSPIN_LOCK control_lock;
static testhid_behaviour behaviour;
static ULONG fed, delivered, dropped;
/* The log numbers the feature reports of every device in one sequence: a lock of its own. */
static KSPIN_LOCK log_lock;
static testhid_log_entry log_ring[TESTHID_LOG_LENGTH];
static ULONG log_next = 1;  /* sequence of the next entry */
static ULONG log_first = 1; /* oldest sequence still held */

static DEVICE_OBJECT *control;
static PDRIVER_DISPATCH hid_dispatch[IRP_MJ_MAXIMUM_FUNCTION + 1];
/* hal's, looked up so that the driver imports nothing but ntoskrnl and hidclass; it is the clock
 * of user-mode QueryPerformanceCounter. */
static LARGE_INTEGER (NTAPI *query_counter)(LARGE_INTEGER *frequency);

static struct device *device_of(DEVICE_OBJECT *fdo)
{
    return ((HID_DEVICE_EXTENSION *)fdo->DeviceExtension)->MiniDeviceExtension;
}

static void complete(IRP *irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

/* ---- The control device's state ------------------------------------------------------------- */

static ULONG behaviour_flags(void)
{
    ULONG flags;
    KIRQL irql;
    KeAcquireSpinLock(&control_lock, &irql);
    flags = behaviour.flags;
    KeReleaseSpinLock(&control_lock, irql);
    return flags;
}

/* What the behaviour makes of the next feature report; a refusal of the count is used up. */
static UCHAR next_feature_outcome(void)
{
    UCHAR outcome = TESTHID_ACCEPTED;
    KIRQL irql;
    KeAcquireSpinLock(&control_lock, &irql);
    if (behaviour.refuse_count) {
        --behaviour.refuse_count;
        outcome = TESTHID_REFUSED;
    } else if (behaviour.flags & TESTHID_REFUSE_ALL) {
        outcome = TESTHID_REFUSED;
    } else if (behaviour.flags & TESTHID_HOLD_FEATURES) {
        outcome = TESTHID_HELD;
    }
    KeReleaseSpinLock(&control_lock, irql);
    return outcome;
}

static void count(ULONG *counter, ULONG n)
{
    KIRQL irql;
    KeAcquireSpinLock(&control_lock, &irql);
    *counter += n;
    KeReleaseSpinLock(&control_lock, irql);
}

static LONGLONG now(void)
{
    return query_counter ? query_counter(NULL).QuadPart : 0;
}

static void log_report(struct device *dev, LONGLONG stamp, UCHAR kind, UCHAR outcome,
                       const UCHAR *data, ULONG length)
{
    testhid_log_entry *e;
    KIRQL irql;
    ULONG i;
    KeAcquireSpinLock(&log_lock, &irql);
    e = &log_ring[log_next % TESTHID_LOG_LENGTH];
    e->qpc = stamp;
    e->sequence = log_next;
    e->device = dev->id;
    e->kind = kind;
    e->outcome = outcome;
    e->length = (UCHAR)(length > 255 ? 255 : length);
    e->reserved = 0;
    for (i = 0; i < sizeof(e->data); ++i) e->data[i] = i < length && data ? data[i] : 0;
    ++log_next;
    if (log_next - log_first > TESTHID_LOG_LENGTH) log_first = log_next - TESTHID_LOG_LENGTH;
    KeReleaseSpinLock(&log_lock, irql);
}

/* ---- Pending IRPs of a device, under its lock ------------------------------------------------- */

static void NTAPI cancel_queued(DEVICE_OBJECT *device, IRP *irp)
{
    struct device *dev = irp->Tail.Overlay.DriverContext[0];
    KIRQL irql;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&dev->lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&dev->lock, irql);
    complete(irp, STATUS_CANCELLED, 0);
}

/* STATUS_PENDING: queued (or already being cancelled, which completes it); STATUS_CANCELLED:
 * cancelled before it was queued, the caller completes it. The IRP carries its device, whose
 * lock the cancel routine takes. */
static NTSTATUS queue_irp(struct device *dev, LIST_ENTRY *list, IRP *irp)
{
    irp->Tail.Overlay.DriverContext[0] = dev;
    IoSetCancelRoutine(irp, cancel_queued);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) return STATUS_CANCELLED;
    IoMarkIrpPending(irp);
    if (irp->Cancel) InitializeListHead(&irp->Tail.Overlay.ListEntry);
    else InsertTailList(list, &irp->Tail.Overlay.ListEntry);
    return STATUS_PENDING;
}

/* The first queued IRP whose cancel routine has not started. */
static IRP *pop_irp(LIST_ENTRY *list)
{
    while (!IsListEmpty(list)) {
        LIST_ENTRY *entry = RemoveHeadList(list);
        IRP *irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL)) return irp;
        InitializeListHead(entry);
    }
    return NULL;
}

/* Moves every queued IRP of `list` to `done`, to be completed after the lock. */
static void take_all(LIST_ENTRY *list, LIST_ENTRY *done, NTSTATUS status)
{
    IRP *irp;
    while ((irp = pop_irp(list))) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        InsertTailList(done, &irp->Tail.Overlay.ListEntry);
    }
}

static void complete_all(LIST_ENTRY *done)
{
    while (!IsListEmpty(done)) {
        IRP *irp = CONTAINING_RECORD(RemoveHeadList(done), IRP, Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

/* A pending read takes the report. */
static void fill_read(IRP *irp, const UCHAR *data, ULONG length, LIST_ENTRY *done)
{
    ULONG room = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG n = length < room ? length : room;
    RtlCopyMemory(irp->UserBuffer, data, n);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = n;
    InsertTailList(done, &irp->Tail.Overlay.ListEntry);
    count(&delivered, 1);
}

/* Queued reports go to pending reads for as long as both last. */
static void drain(struct device *dev, LIST_ENTRY *done)
{
    IRP *irp;
    if (behaviour_flags() & TESTHID_HOLD_READS) return;
    while (dev->queue_count && (irp = pop_irp(&dev->reads))) {
        report *r = &dev->queue[dev->queue_head];
        fill_read(irp, r->data, r->length, done);
        dev->queue_head = (dev->queue_head + 1) % TESTHID_QUEUE_LENGTH;
        --dev->queue_count;
    }
}

/* The device is gone, everything pending on it fails. */
static void gone(struct device *dev, LIST_ENTRY *done)
{
    dev->removed = TRUE;
    dev->queue_count = 0;
    take_all(&dev->reads, done, STATUS_DELETE_PENDING);
    take_all(&dev->held, done, STATUS_DELETE_PENDING);
}

/* The started device with this id, returned with its lock taken (KeReleaseSpinLock(&dev->lock,
 * *irql) releases it), or NULL. Its lock is taken before the list's is let go, so that its
 * removal, which takes both, waits until the caller is done with it. */
static struct device *lock_device(const testhid_device_id *id, KIRQL *irql)
{
    struct device *found = NULL;
    LIST_ENTRY *e;
    KeAcquireSpinLock(&devices_lock, irql);
    for (e = devices.Flink; e != &devices && !found; e = e->Flink) {
        struct device *dev = CONTAINING_RECORD(e, struct device, entry);
        if (!dev->removed && dev->started && dev->id.vendor == id->vendor && dev->id.product == id->product &&
            dev->id.interface_no == id->interface_no && dev->id.instance == id->instance)
            found = dev;
    }
    if (!found) {
        KeReleaseSpinLock(&devices_lock, *irql);
        return NULL;
    }
    KeAcquireSpinLockAtDpcLevel(&found->lock);
    KeReleaseSpinLockFromDpcLevel(&devices_lock);
    return found;
}

/* ---- The minidriver ------------------------------------------------------------------------ */

static ULONG copy_string(const WCHAR *text, void *buffer, ULONG size)
{
    ULONG n = 0, room = size / sizeof(WCHAR);
    WCHAR *out = buffer;
    if (!room) return 0;
    while (text[n] && n + 1 < room) {
        out[n] = text[n];
        ++n;
    }
    out[n] = 0;
    return (n + 1) * sizeof(WCHAR);
}

/* One function per request that hidclass sends. It returns the status to complete the IRP with
 * and sets `information` for a success; STATUS_PENDING means it kept the IRP, which may already
 * be completed by then, so nobody touches it again. */
typedef NTSTATUS hid_request(struct device *dev, IRP *irp, ULONG_PTR *information);

static ULONG output_length(IRP *irp)
{
    return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

static BOOLEAN is_feature_interface(const struct device *dev)
{
    return dev->id.interface_no == 0;
}

static const UCHAR *report_descriptor(const struct device *dev, USHORT *size)
{
    *size = is_feature_interface(dev) ? sizeof(feature_descriptor) : sizeof(input_descriptor);
    return is_feature_interface(dev) ? feature_descriptor : input_descriptor;
}

static NTSTATUS copy_out(IRP *irp, const void *data, ULONG size, ULONG_PTR *information)
{
    if (output_length(irp) < size) return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(irp->UserBuffer, data, size);
    *information = size;
    return STATUS_SUCCESS;
}

static NTSTATUS get_device_descriptor(struct device *dev, IRP *irp, ULONG_PTR *information)
{
    USHORT size;
    HID_DESCRIPTOR desc = {sizeof(HID_DESCRIPTOR), 0x21, 0x0111, 0, 1, 0x22, 0};
    report_descriptor(dev, &size);
    desc.wReportLength = size;
    return copy_out(irp, &desc, sizeof(desc), information);
}

static NTSTATUS get_report_descriptor(struct device *dev, IRP *irp, ULONG_PTR *information)
{
    USHORT size;
    const UCHAR *descriptor = report_descriptor(dev, &size);
    return copy_out(irp, descriptor, size, information);
}

static NTSTATUS get_device_attributes(struct device *dev, IRP *irp, ULONG_PTR *information)
{
    HID_DEVICE_ATTRIBUTES attributes;
    RtlZeroMemory(&attributes, sizeof(attributes));
    attributes.Size = sizeof(attributes);
    attributes.VendorID = dev->id.vendor;
    attributes.ProductID = dev->id.product;
    attributes.VersionNumber = 0x0100;
    return copy_out(irp, &attributes, sizeof(attributes), information);
}

static NTSTATUS get_string(struct device *dev, IRP *irp, ULONG_PTR *information)
{
    /* The string id is the value itself, not a pointer to it. */
    ULONG id = (ULONG)(ULONG_PTR)IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer
               & 0xFFFF;
    static const WCHAR hex[] = L"0123456789ABCDEF";
    WCHAR serial[] = L"0000";
    const WCHAR *text = NULL;
    serial[2] = hex[(dev->id.instance >> 4) & 0xF];
    serial[3] = hex[dev->id.instance & 0xF];
    /* Wine 8's hidclass asks with 1, 2 and 3. */
    if (id == HID_STRING_ID_IMANUFACTURER || id == 1) text = L"Veltra";
    if (id == HID_STRING_ID_IPRODUCT || id == 2)
        text = is_feature_interface(dev) ? L"Veltra test HID (feature)" : L"Veltra test HID (input)";
    if (id == HID_STRING_ID_ISERIALNUMBER || id == 3) text = serial;
    if (!text) return STATUS_INVALID_PARAMETER;
    *information = copy_string(text, irp->UserBuffer, output_length(irp));
    return *information ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
}

static NTSTATUS read_report(struct device *dev, IRP *irp, ULONG_PTR *information)
{
    LIST_ENTRY done;
    NTSTATUS status;
    KIRQL irql;

    InitializeListHead(&done);
    KeAcquireSpinLock(&dev->lock, &irql);
    if (dev->removed) {
        status = STATUS_DELETE_PENDING;
    } else {
        status = queue_irp(dev, &dev->reads, irp);
        if (status == STATUS_PENDING) drain(dev, &done);
    }
    KeReleaseSpinLock(&dev->lock, irql);
    complete_all(&done);
    return status;
}

/* A report the host sends: logged with what the behaviour made of it. */
static NTSTATUS receive_report(struct device *dev, IRP *irp, UCHAR kind, ULONG_PTR *information)
{
    HID_XFER_PACKET *packet = irp->UserBuffer;
    LONGLONG stamp = now();
    NTSTATUS status;
    UCHAR outcome;
    ULONG length;
    KIRQL irql;

    if (!packet || !packet->reportBuffer) return STATUS_INVALID_PARAMETER;
    length = packet->reportBufferLen;
    /* Under the device's lock from the decision to the queueing, so that a behaviour change,
     * which visits the device afterwards, lets go of a report it held. */
    KeAcquireSpinLock(&dev->lock, &irql);
    if (dev->removed) {
        status = STATUS_DELETE_PENDING;
        outcome = 0;
    } else if (kind != TESTHID_SET_FEATURE) {
        status = STATUS_SUCCESS;
        outcome = TESTHID_ACCEPTED;
    } else if ((outcome = next_feature_outcome()) == TESTHID_REFUSED) {
        status = STATUS_UNSUCCESSFUL;
    } else if (outcome == TESTHID_HELD) {
        status = queue_irp(dev, &dev->held, irp);
    } else {
        ULONG n = length < TESTHID_MAX_REPORT ? length : TESTHID_MAX_REPORT;
        RtlCopyMemory(dev->last_feature.data, packet->reportBuffer, n);
        dev->last_feature.length = (UCHAR)n;
        status = STATUS_SUCCESS;
    }
    if (outcome) log_report(dev, stamp, kind, outcome, packet->reportBuffer, length);
    KeReleaseSpinLock(&dev->lock, irql);
    if (status == STATUS_SUCCESS) *information = length;
    return status;
}

static NTSTATUS set_feature(struct device *dev, IRP *irp, ULONG_PTR *information)
{
    return receive_report(dev, irp, TESTHID_SET_FEATURE, information);
}

static NTSTATUS write_report(struct device *dev, IRP *irp, ULONG_PTR *information)
{
    return receive_report(dev, irp, TESTHID_WRITE_REPORT, information);
}

static NTSTATUS set_output_report(struct device *dev, IRP *irp, ULONG_PTR *information)
{
    return receive_report(dev, irp, TESTHID_SET_OUTPUT, information);
}

/* The last report of its kind, with the report id the host asked for. */
static NTSTATUS send_report(struct device *dev, IRP *irp, const report *source, ULONG_PTR *information)
{
    HID_XFER_PACKET *packet = irp->UserBuffer;
    ULONG n;
    KIRQL irql;
    if (!packet || !packet->reportBuffer || !packet->reportBufferLen) return STATUS_INVALID_PARAMETER;
    KeAcquireSpinLock(&dev->lock, &irql);
    RtlZeroMemory(packet->reportBuffer, packet->reportBufferLen);
    n = source->length < packet->reportBufferLen ? source->length : packet->reportBufferLen;
    RtlCopyMemory(packet->reportBuffer, source->data, n);
    packet->reportBuffer[0] = packet->reportId;
    KeReleaseSpinLock(&dev->lock, irql);
    *information = packet->reportBufferLen;
    return STATUS_SUCCESS;
}

static NTSTATUS get_feature(struct device *dev, IRP *irp, ULONG_PTR *information)
{
    return send_report(dev, irp, &dev->last_feature, information);
}

static NTSTATUS get_input_report(struct device *dev, IRP *irp, ULONG_PTR *information)
{
    return send_report(dev, irp, &dev->last_input, information);
}

static NTSTATUS accept(struct device *dev, IRP *irp, ULONG_PTR *information)
{
    return STATUS_SUCCESS;
}

static const struct {
    ULONG code;
    hid_request *handle;
} hid_requests[] = {
    {IOCTL_HID_GET_DEVICE_DESCRIPTOR, get_device_descriptor},
    {IOCTL_HID_GET_REPORT_DESCRIPTOR, get_report_descriptor},
    {IOCTL_HID_GET_DEVICE_ATTRIBUTES, get_device_attributes},
    {IOCTL_HID_GET_STRING, get_string},
    {IOCTL_HID_READ_REPORT, read_report},
    {IOCTL_HID_SET_FEATURE, set_feature},
    {IOCTL_HID_WRITE_REPORT, write_report},
    {IOCTL_HID_SET_OUTPUT_REPORT, set_output_report},
    {IOCTL_HID_GET_FEATURE, get_feature},
    {IOCTL_HID_GET_INPUT_REPORT, get_input_report},
    {IOCTL_HID_ACTIVATE_DEVICE, accept},
    {IOCTL_HID_DEACTIVATE_DEVICE, accept},
};

static NTSTATUS NTAPI internal_ioctl(DEVICE_OBJECT *device, IRP *irp)
{
    ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    ULONG_PTR information = 0;
    ULONG i;

    for (i = 0; i < RTL_NUMBER_OF(hid_requests); ++i)
        if (hid_requests[i].code == code) {
            status = hid_requests[i].handle(device_of(device), irp, &information);
            break;
        }
    if (status != STATUS_PENDING) complete(irp, status, information);
    return status;
}

/* ---- Plug and play ------------------------------------------------------------------------- */

static NTSTATUS query_id(DEVICE_OBJECT *pdo, BUS_QUERY_ID_TYPE type, WCHAR *out, ULONG chars)
{
    IO_STATUS_BLOCK io;
    IO_STACK_LOCATION *stack;
    KEVENT event;
    IRP *irp;
    ULONG i;

    out[0] = 0;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pdo, NULL, 0, NULL, &event, &io);
    if (!irp) return STATUS_NO_MEMORY;
    stack = IoGetNextIrpStackLocation(irp);
    stack->MinorFunction = IRP_MN_QUERY_ID;
    stack->Parameters.QueryId.IdType = type;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    if (IoCallDriver(pdo, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    if (!NT_SUCCESS(io.Status) || !io.Information) return io.Status;
    for (i = 0; i + 1 < chars && ((WCHAR *)io.Information)[i]; ++i) out[i] = ((WCHAR *)io.Information)[i];
    out[i] = 0;
    ExFreePool((void *)io.Information);
    return STATUS_SUCCESS;
}

static ULONG hex_after(const WCHAR *text, const WCHAR *tag, ULONG digits)
{
    ULONG value = 0, i, j;
    for (i = 0; text[i]; ++i) {
        for (j = 0; tag[j] && (text[i + j] | 0x20) == (tag[j] | 0x20); ++j) {}
        if (tag[j]) continue;
        for (i += j; digits-- && text[i]; ++i) {
            WCHAR c = text[i] | 0x20;
            if (c >= '0' && c <= '9') value = value * 16 + (c - '0');
            else if (c >= 'a' && c <= 'f') value = value * 16 + (c - 'a' + 10);
            else break;
        }
        return value;
    }
    return 0;
}

static NTSTATUS NTAPI add_device(DRIVER_OBJECT *driver, DEVICE_OBJECT *fdo)
{
    HID_DEVICE_EXTENSION *ext = fdo->DeviceExtension;
    struct device *dev = ext->MiniDeviceExtension;
    WCHAR id[200];
    KIRQL irql;

    RtlZeroMemory(dev, sizeof(*dev));
    dev->fdo = fdo;
    dev->lower = ext->NextDeviceObject;
    KeInitializeSpinLock(&dev->lock);
    InitializeListHead(&dev->reads);
    InitializeListHead(&dev->held);
    /* ROOT\VID_10CE&PID_EB93&MI_01, then 0000 */
    query_id(ext->PhysicalDeviceObject, BusQueryDeviceID, id, sizeof(id) / sizeof(id[0]));
    dev->id.vendor = (uint16_t)hex_after(id, L"VID_", 4);
    dev->id.product = (uint16_t)hex_after(id, L"PID_", 4);
    dev->id.interface_no = (uint8_t)hex_after(id, L"MI_", 2);
    query_id(ext->PhysicalDeviceObject, BusQueryInstanceID, id, sizeof(id) / sizeof(id[0]));
    dev->id.instance = (uint8_t)hex_after(id, L"", 4);

    KeAcquireSpinLock(&devices_lock, &irql);
    InsertTailList(&devices, &dev->entry);
    KeReleaseSpinLock(&devices_lock, irql);
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI pnp(DEVICE_OBJECT *device, IRP *irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    struct device *dev = device_of(device);
    LIST_ENTRY done;
    KIRQL irql;

    InitializeListHead(&done);
    KeAcquireSpinLock(&devices_lock, &irql);
    KeAcquireSpinLockAtDpcLevel(&dev->lock);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        dev->started = TRUE;
        dev->removed = FALSE;
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        /* Before the HID device under it is removed: hidclass waits for its reader to return. */
        gone(dev, &done);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        gone(dev, &done);
        RemoveEntryList(&dev->entry);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_STOP_DEVICE:
        dev->started = FALSE;
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    KeReleaseSpinLockFromDpcLevel(&dev->lock);
    KeReleaseSpinLock(&devices_lock, irql);
    complete_all(&done);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(dev->lower, irp);
}

static NTSTATUS NTAPI power(DEVICE_OBJECT *device, IRP *irp)
{
    LIST_ENTRY *e;
    DEVICE_OBJECT *lower = NULL;
    KIRQL irql;

    KeAcquireSpinLock(&devices_lock, &irql);
    for (e = devices.Flink; e != &devices; e = e->Flink)
        if (CONTAINING_RECORD(e, struct device, entry)->fdo == device) lower = device_of(device)->lower;
    KeReleaseSpinLock(&devices_lock, irql);
    PoStartNextPowerIrp(irp);
    if (!lower) {
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower, irp);
}

/* ---- The control device -------------------------------------------------------------------- */

static NTSTATUS control_feed(void *buffer, ULONG in_size, ULONG out_size, ULONG_PTR *information)
{
    testhid_feed feed;
    testhid_feed_result result = {0, 0};
    const UCHAR *reports = (const UCHAR *)buffer + sizeof(feed);
    struct device *dev;
    LIST_ENTRY done;
    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN hold_reads;
    KIRQL irql;
    ULONG i;

    if (in_size < sizeof(feed)) return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(&feed, buffer, sizeof(feed));
    if (!feed.count || feed.count > TESTHID_MAX_FEED || !feed.report_length ||
        feed.report_length > TESTHID_MAX_REPORT || in_size < sizeof(feed) + feed.count * feed.report_length)
        return STATUS_INVALID_PARAMETER;

    InitializeListHead(&done);
    if (!(dev = lock_device(&feed.device, &irql))) return STATUS_DEVICE_NOT_CONNECTED;
    if (is_feature_interface(dev)) {
        /* No input report: hidclass reads it with a buffer of no size. */
        status = STATUS_NOT_SUPPORTED;
    } else {
        hold_reads = (behaviour_flags() & TESTHID_HOLD_READS) != 0;
        for (i = 0; i < feed.count; ++i) {
            const UCHAR *data = reports + i * feed.report_length;
            IRP *irp;
            if (hold_reads) {
                ++result.dropped;
            } else if ((irp = pop_irp(&dev->reads))) {
                fill_read(irp, data, feed.report_length, &done);
            } else if (dev->queue_count < TESTHID_QUEUE_LENGTH) {
                report *r = &dev->queue[(dev->queue_head + dev->queue_count) % TESTHID_QUEUE_LENGTH];
                r->length = (UCHAR)feed.report_length;
                RtlCopyMemory(r->data, data, feed.report_length);
                ++dev->queue_count;
            } else {
                break;
            }
            dev->last_input.length = (UCHAR)feed.report_length;
            RtlCopyMemory(dev->last_input.data, data, feed.report_length);
            ++result.taken;
        }
        count(&fed, result.taken);
        count(&dropped, result.dropped);
    }
    KeReleaseSpinLock(&dev->lock, irql);
    complete_all(&done);
    if (NT_SUCCESS(status) && out_size >= sizeof(result)) {
        RtlCopyMemory(buffer, &result, sizeof(result));
        *information = sizeof(result);
    }
    return status;
}

static NTSTATUS control_read_log(void *buffer, ULONG in_size, ULONG out_size, ULONG_PTR *information)
{
    testhid_log_query query = {0, 0};
    testhid_log_header header = {0, 0, 0, 0};
    testhid_log_entry *entries = (testhid_log_entry *)((UCHAR *)buffer + sizeof(header));
    ULONG room, start, i;
    KIRQL irql;

    if (in_size >= sizeof(query)) RtlCopyMemory(&query, buffer, sizeof(query));
    if (out_size < sizeof(header)) return STATUS_BUFFER_TOO_SMALL;
    room = (out_size - sizeof(header)) / sizeof(testhid_log_entry);

    KeAcquireSpinLock(&log_lock, &irql);
    start = query.since + 1;
    if (start < log_first) {
        header.lost = log_first - start;
        start = log_first;
    }
    if (start > log_next) start = log_next;
    header.count = log_next - start < room ? log_next - start : room;
    for (i = 0; i < header.count; ++i) entries[i] = log_ring[(start + i) % TESTHID_LOG_LENGTH];
    header.next_sequence = log_next;
    KeReleaseSpinLock(&log_lock, irql);

    RtlCopyMemory(buffer, &header, sizeof(header));
    *information = sizeof(header) + header.count * sizeof(testhid_log_entry);
    return STATUS_SUCCESS;
}

/* Under devices_lock: the new behaviour, then a visit of every device. Nothing is held but by a
 * behaviour that holds, so one that does not lets go of what is held (it fails); a read held
 * back takes what is queued. `clear` also empties each device's queue and last reports. */
static void change_behaviour(const testhid_behaviour *next, BOOLEAN clear, LIST_ENTRY *done)
{
    BOOLEAN release = !(next->flags & TESTHID_HOLD_FEATURES);
    LIST_ENTRY *e;
    KeAcquireSpinLockAtDpcLevel(&control_lock);
    behaviour = *next;
    KeReleaseSpinLockFromDpcLevel(&control_lock);
    for (e = devices.Flink; e != &devices; e = e->Flink) {
        struct device *dev = CONTAINING_RECORD(e, struct device, entry);
        KeAcquireSpinLockAtDpcLevel(&dev->lock);
        if (release) take_all(&dev->held, done, STATUS_IO_TIMEOUT);
        drain(dev, done);
        if (clear) {
            dev->queue_count = 0;
            dev->last_input.length = 0;
            dev->last_feature.length = 0;
        }
        KeReleaseSpinLockFromDpcLevel(&dev->lock);
    }
}

static NTSTATUS control_set_behaviour(void *buffer, ULONG in_size, ULONG out_size, ULONG_PTR *information)
{
    testhid_behaviour next;
    LIST_ENTRY done;
    KIRQL irql;

    if (in_size < sizeof(next)) return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(&next, buffer, sizeof(next));
    InitializeListHead(&done);
    KeAcquireSpinLock(&devices_lock, &irql);
    change_behaviour(&next, FALSE, &done);
    KeReleaseSpinLock(&devices_lock, irql);
    complete_all(&done);
    return STATUS_SUCCESS;
}

static NTSTATUS control_reset(void *buffer, ULONG in_size, ULONG out_size, ULONG_PTR *information)
{
    testhid_behaviour normal = {0, 0};
    LIST_ENTRY done;
    KIRQL irql;

    InitializeListHead(&done);
    KeAcquireSpinLock(&devices_lock, &irql);
    change_behaviour(&normal, TRUE, &done);
    KeAcquireSpinLockAtDpcLevel(&control_lock);
    fed = delivered = dropped = 0;
    KeReleaseSpinLockFromDpcLevel(&control_lock);
    KeAcquireSpinLockAtDpcLevel(&log_lock);
    log_first = log_next;
    KeReleaseSpinLockFromDpcLevel(&log_lock);
    KeReleaseSpinLock(&devices_lock, irql);
    complete_all(&done);
    return STATUS_SUCCESS;
}

static NTSTATUS control_status(void *buffer, ULONG in_size, ULONG out_size, ULONG_PTR *information)
{
    testhid_status *s = buffer;
    LIST_ENTRY *e;
    KIRQL irql;

    if (out_size < sizeof(*s)) return STATUS_BUFFER_TOO_SMALL;
    RtlZeroMemory(s, sizeof(*s));
    s->protocol = TESTHID_PROTOCOL;
    s->build_id = TESTHID_BUILD_ID;
    KeAcquireSpinLock(&devices_lock, &irql);
    KeAcquireSpinLockAtDpcLevel(&control_lock);
    s->behaviour = behaviour;
    s->fed = fed;
    s->delivered = delivered;
    s->dropped = dropped;
    KeReleaseSpinLockFromDpcLevel(&control_lock);
    for (e = devices.Flink; e != &devices && s->device_count < TESTHID_MAX_DEVICES; e = e->Flink) {
        struct device *dev = CONTAINING_RECORD(e, struct device, entry);
        testhid_status_device *d = &s->devices[s->device_count++];
        LIST_ENTRY *h;
        KeAcquireSpinLockAtDpcLevel(&dev->lock);
        d->device = dev->id;
        d->state = (dev->started ? TESTHID_STARTED : 0) | (dev->removed ? TESTHID_REMOVED : 0) |
                   (IsListEmpty(&dev->reads) ? 0 : TESTHID_READ_PENDING);
        d->queued = dev->queue_count;
        for (h = dev->held.Flink; h != &dev->held; h = h->Flink) ++d->held_features;
        KeReleaseSpinLockFromDpcLevel(&dev->lock);
    }
    KeReleaseSpinLock(&devices_lock, irql);
    *information = sizeof(*s);
    return STATUS_SUCCESS;
}

/* One function per request of the control device, on its METHOD_BUFFERED buffer. */
typedef NTSTATUS control_request(void *buffer, ULONG in_size, ULONG out_size, ULONG_PTR *information);

static const struct {
    ULONG code;
    control_request *handle;
} control_requests[] = {
    {TESTHID_IOCTL_FEED, control_feed},
    {TESTHID_IOCTL_READ_LOG, control_read_log},
    {TESTHID_IOCTL_SET_BEHAVIOUR, control_set_behaviour},
    {TESTHID_IOCTL_RESET, control_reset},
    {TESTHID_IOCTL_STATUS, control_status},
};

static NTSTATUS control_ioctl(IRP *irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    ULONG_PTR information = 0;
    ULONG i;

    for (i = 0; i < RTL_NUMBER_OF(control_requests); ++i)
        if (control_requests[i].code == code) {
            status = control_requests[i].handle(irp->AssociatedIrp.SystemBuffer,
                                                stack->Parameters.DeviceIoControl.InputBufferLength,
                                                stack->Parameters.DeviceIoControl.OutputBufferLength,
                                                &information);
            break;
        }
    complete(irp, status, information);
    return status;
}

static NTSTATUS NTAPI route(DEVICE_OBJECT *device, IRP *irp)
{
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (device == control) {
        if (major == IRP_MJ_DEVICE_CONTROL) return control_ioctl(irp);
        if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
            complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        complete(irp, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    }
    if (hid_dispatch[major]) return hid_dispatch[major](device, irp);
    complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return STATUS_INVALID_DEVICE_REQUEST;
}

static void NTAPI unload(DRIVER_OBJECT *driver)
{
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, TESTHID_CONTROL_LINK);
    IoDeleteSymbolicLink(&link);
    if (control) IoDeleteDevice(control);
    control = NULL;
}

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registry)
{
    static const UCHAR routed[] = {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP,
                                   IRP_MJ_DEVICE_CONTROL, IRP_MJ_READ, IRP_MJ_WRITE};
    HID_MINIDRIVER_REGISTRATION registration;
    UNICODE_STRING name, link;
    NTSTATUS status;
    ULONG i;

    KeInitializeSpinLock(&devices_lock);
    KeInitializeSpinLock(&control_lock);
    KeInitializeSpinLock(&log_lock);
    InitializeListHead(&devices);
    RtlInitUnicodeString(&name, L"KeQueryPerformanceCounter");
    query_counter = MmGetSystemRoutineAddress(&name);

    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = unload;
    driver->MajorFunction[IRP_MJ_PNP] = pnp;
    driver->MajorFunction[IRP_MJ_POWER] = power;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = internal_ioctl;

    RtlZeroMemory(&registration, sizeof(registration));
    registration.Revision = 1;
    registration.DriverObject = driver;
    registration.RegistryPath = registry;
    registration.DeviceExtensionSize = sizeof(struct device);
    registration.DevicesArePolled = FALSE;
    if ((status = HidRegisterMinidriver(&registration))) return status;

    for (i = 0; i < sizeof(routed); ++i) {
        hid_dispatch[routed[i]] = driver->MajorFunction[routed[i]];
        driver->MajorFunction[routed[i]] = route;
    }

    RtlInitUnicodeString(&name, TESTHID_CONTROL_NAME);
    RtlInitUnicodeString(&link, TESTHID_CONTROL_LINK);
    if ((status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &control))) return status;
    if ((status = IoCreateSymbolicLink(&link, &name))) {
        IoDeleteDevice(control);
        control = NULL;
        return status;
    }
    control->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
