/* The books and rules of the checking build (check.h). The kernel calls here are the real ones:
   this file is compiled with KELMOR_CHECK_SOURCE, which leaves the routing out. */
#include <stdarg.h>

#include "check.h"
#include "../drive.h"

int __cdecl _vsnprintf(char* buffer, size_t count, const char* format, va_list arguments);

#define CHECK_TAG 0x6B636843u /* "Chck" */
#define BLOCK_MAGIC 0x4B4C4F42u
#define CANARY_BYTES 8
#define CANARY 0xA5
#define MAX_IRPS 256
#define MAX_THREADS 64
#define MAX_OBJECTS 256
#define MAX_LOCKS 8
#define REPORT_BYTES 16384
#define NO_EXECUTE 0x40000000u /* MdlMappingNoExecute */
#define NON_PAGED_POOL_NX ((POOL_TYPE)512)

/* The shadow of one real thread (keyed by the TEB's client id: under Wine the requests of many
   client threads run in one host thread, and PsGetCurrentThreadId names the client). */
typedef struct _THREAD_STATE {
    ULONG_PTR Key;
    KIRQL Irql, CancelIrql;
    UCHAR SpinLocks;
    BOOLEAN CancelHeld;
    LONG Critical;
    ULONG Locks;       /* bit r-1: the event lock of rank r */
    PVOID Thread;      /* the booked driver thread this one is, or NULL */
    HANDLE IdOverride; /* what PsGetCurrentThreadId answers, when not NULL */
} THREAD_STATE;

typedef struct _IRP_BOOK {
    PIRP Irp;
    UCHAR Major;
    BOOLEAN Pending, Completed, Returned;
    NTSTATUS Status;
    PDRIVER_CANCEL Cancel;
} IRP_BOOK;

typedef enum _OBJECT_KIND { Free, Handle, Device, Link, Thread, WorkItem } OBJECT_KIND;
static const char* const kKindNames[] = {"",       "handle",   "device", "symbolic link",
                                         "thread", "work item"};
typedef struct _OBJECT_BOOK {
    OBJECT_KIND Kind;
    PVOID Object;
    KELMOR_SITE Site;
    char Name[48];
    struct _THREAD_START* Thread; /* a thread handle's thread */
} OBJECT_BOOK;

/* A driver thread's start, kept until its handle is closed. */
typedef struct _THREAD_START {
    PKSTART_ROUTINE Start;
    PVOID Context;
    KELMOR_SITE Site;
    HANDLE Id;
} THREAD_START;

typedef struct _BLOCK {
    LIST_ENTRY Link;
    SIZE_T Bytes;
    ULONG Tag, Magic;
    KELMOR_SITE Site;
    POOL_TYPE Type;
} BLOCK;
#define HEADER_BYTES ((sizeof(BLOCK) + 15) & ~(SIZE_T)15)

typedef struct _LOCK_BOOK {
    PRKEVENT Event;
    ULONG_PTR Owner;
} LOCK_BOOK;

static KSPIN_LOCK g_books, g_reportLock;
static KEVENT g_flushing;
static THREAD_STATE g_threads[MAX_THREADS];
static IRP_BOOK g_irps[MAX_IRPS];
static OBJECT_BOOK g_objects[MAX_OBJECTS];
static LIST_ENTRY g_blocks;
static LOCK_BOOK g_locks[MAX_LOCKS];
static ULONG g_lockCount;
static char g_report[REPORT_BYTES], g_flush[REPORT_BYTES];
static ULONG g_reportLength;
static volatile LONG g_calls;
static ULONG g_failAt, g_failEvery;
static BOOLEAN g_noExecute;
static PDRIVER_DISPATCH g_dispatch[IRP_MJ_MAXIMUM_FUNCTION + 1];
static PDRIVER_UNLOAD g_unload;
static PDEVICE_OBJECT g_closeAsReader;

/* ---- the report ---- */

static const char* BaseName(KELMOR_SITE site) {
    const char* name = site;
    for (; *site != 0; ++site)
        if (*site == '/' || *site == '\\')
            name = site + 1;
    return name;
}

static void Append(const char* format, ...) {
    char line[320];
    va_list arguments;
    KIRQL irql;
    int length;

    va_start(arguments, format);
    length = _vsnprintf(line, sizeof(line) - 1, format, arguments);
    va_end(arguments);
    if (length < 0 || length > (int)sizeof(line) - 2)
        length = sizeof(line) - 2;
    line[length++] = '\n';
    KeAcquireSpinLock(&g_reportLock, &irql);
    if (g_reportLength + (ULONG)length <= REPORT_BYTES) {
        RtlCopyMemory(g_report + g_reportLength, line, length);
        g_reportLength += length;
    }
    KeReleaseSpinLock(&g_reportLock, irql);
}

#define VIOLATION(rule, site, format, ...)                                                         \
    Append("VIOLATION " rule ": " format " (%s)", __VA_ARGS__, BaseName(site))

/* Appends what was found to C:\kelmor-check.txt; only where a Zw* call may run. */
static void Flush(void) {
    static WCHAR path[] = L"\\??\\C:\\kelmor-check.txt";
    UNICODE_STRING name = {sizeof(path) - sizeof(WCHAR), sizeof(path), path};
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    LARGE_INTEGER end;
    HANDLE file;
    ULONG length;
    KIRQL irql;

    KeWaitForSingleObject(&g_flushing, Executive, KernelMode, FALSE, NULL);
    KeAcquireSpinLock(&g_reportLock, &irql);
    length = g_reportLength;
    RtlCopyMemory(g_flush, g_report, length);
    g_reportLength = 0;
    KeReleaseSpinLock(&g_reportLock, irql);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    if (length != 0 && NT_SUCCESS(ZwCreateFile(
                           &file, FILE_APPEND_DATA | SYNCHRONIZE, &attributes, &io, NULL,
                           FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF,
                           FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0))) {
        end.HighPart = -1;
        end.LowPart = FILE_WRITE_TO_END_OF_FILE;
        ZwWriteFile(file, NULL, NULL, NULL, &io, g_flush, length, &end, NULL);
        ZwClose(file);
    }
    KeSetEvent(&g_flushing, IO_NO_INCREMENT, FALSE);
}

/* ---- threads ---- */

static ULONG_PTR ThreadKey(void) {
    ULONG_PTR id;
#if defined(__x86_64__)
    __asm__ volatile("movq %%gs:0x48, %0" : "=r"(id)); /* TEB ClientId.UniqueThread */
#else
    __asm__ volatile("movl %%fs:0x24, %0" : "=r"(id));
#endif
    return id;
}

static THREAD_STATE* Me(void) {
    static THREAD_STATE overflow;
    const ULONG_PTR key = ThreadKey();
    THREAD_STATE* state = &overflow;
    KIRQL irql;
    ULONG i;

    KeAcquireSpinLock(&g_books, &irql);
    for (i = 0; i < MAX_THREADS && g_threads[i].Key != key; ++i)
        ;
    if (i == MAX_THREADS)
        for (i = 0; i < MAX_THREADS && g_threads[i].Key != 0; ++i)
            ;
    if (i < MAX_THREADS) {
        state = &g_threads[i];
        state->Key = key;
    }
    KeReleaseSpinLock(&g_books, irql);
    return state;
}

/* A thread leaves a routine of the driver's in the state it entered it. */
static void CheckBalanced(const THREAD_STATE* now, const THREAD_STATE* entry, const char* where,
                          KELMOR_SITE site) {
    if (now->SpinLocks != entry->SpinLocks || now->CancelHeld != entry->CancelHeld)
        VIOLATION("SpinLockBalance", site, "%s returns holding %d spin locks more", where,
                  now->SpinLocks - entry->SpinLocks);
    if (now->Irql != entry->Irql)
        VIOLATION("IrqlBalance", site, "%s returns at IRQL %d, entered at %d", where, now->Irql,
                  entry->Irql);
    if (now->Critical != entry->Critical)
        VIOLATION("CriticalRegionBalance", site,
                  "%s returns %ld critical regions deep, entered %ld", where, now->Critical,
                  entry->Critical);
    if (now->Locks != entry->Locks)
        VIOLATION("LockBalance", site, "%s returns holding event locks 0x%lx, entered with 0x%lx",
                  where, now->Locks, entry->Locks);
}

/* ---- books ---- */

static IRP_BOOK* FindIrp(PIRP irp) {
    ULONG i;
    for (i = 0; i < MAX_IRPS; ++i)
        if (g_irps[i].Irp == irp)
            return &g_irps[i];
    return NULL;
}

static BOOLEAN Book(OBJECT_KIND kind, PVOID object, KELMOR_SITE site, const char* name,
                    THREAD_START* thread) {
    KIRQL irql;
    ULONG i;
    KeAcquireSpinLock(&g_books, &irql);
    for (i = 0; i < MAX_OBJECTS && g_objects[i].Kind != Free; ++i)
        ;
    if (i < MAX_OBJECTS) {
        g_objects[i].Kind = kind;
        g_objects[i].Object = object;
        g_objects[i].Site = site;
        g_objects[i].Thread = thread;
        RtlZeroMemory(g_objects[i].Name, sizeof(g_objects[i].Name));
        if (name != NULL)
            RtlCopyMemory(g_objects[i].Name, name, sizeof(g_objects[i].Name) - 1);
    }
    KeReleaseSpinLock(&g_books, irql);
    return i < MAX_OBJECTS;
}

static BOOLEAN SameName(const char* a, const char* b) {
    for (; *a != 0 && *a == *b; ++a, ++b)
        ;
    return *a == *b;
}

/* Takes the object out of the books; FALSE (and a violation) when it was never in them. A thread
   handle's thread record is freed with it. */
static BOOLEAN Unbook(OBJECT_KIND kind, PVOID object, const char* name, KELMOR_SITE site) {
    THREAD_START* thread = NULL;
    KIRQL irql;
    ULONG i;
    KeAcquireSpinLock(&g_books, &irql);
    for (i = 0; i < MAX_OBJECTS; ++i) {
        if (g_objects[i].Kind == kind &&
            (name != NULL ? SameName(g_objects[i].Name, name) : g_objects[i].Object == object))
            break;
    }
    if (i < MAX_OBJECTS) {
        g_objects[i].Kind = Free;
        thread = g_objects[i].Thread;
    }
    KeReleaseSpinLock(&g_books, irql);
    if (thread != NULL)
        ExFreePoolWithTag(thread, CHECK_TAG);
    if (i == MAX_OBJECTS)
        VIOLATION("UnknownObject", site, "releases a %s it never made", kKindNames[kind]);
    return i < MAX_OBJECTS;
}

static void Narrow(PUNICODE_STRING text, char* name, ULONG room) {
    ULONG i, units = text->Length / sizeof(WCHAR);
    for (i = 0; i < units && i + 1 < room; ++i)
        name[i] = (char)text->Buffer[i];
    name[i] = 0;
}

/* ---- IRQL rules ---- */

VOID KelmorCheckPassive(const char* call, BOOLEAN apcs, KELMOR_SITE site) {
    THREAD_STATE* me = Me();
    if (me->Irql != PASSIVE_LEVEL || me->SpinLocks != 0)
        VIOLATION("0xC4 IrqlZwPassive", site, "%s at IRQL %d holding %d spin locks%s", call,
                  me->Irql, me->SpinLocks, apcs ? " (it also needs special kernel APCs)" : "");
}

BOOLEAN KelmorCheckFallible(const char* call, BOOLEAN passive, KELMOR_SITE site) {
    const LONG number = InterlockedIncrement(&g_calls);
    if (passive)
        KelmorCheckPassive(call, FALSE, site);
    if ((g_failAt == 0 || (ULONG)number != g_failAt) &&
        (g_failEvery == 0 || (ULONG)number % g_failEvery != 0))
        return FALSE;
    Append("FAILED %s, call %ld (%s)", call, number, BaseName(site));
    return TRUE;
}

static void AtMost(KIRQL most, const char* call, KELMOR_SITE site) {
    THREAD_STATE* me = Me();
    if (me->Irql > most)
        VIOLATION("0xC4 Irql", site, "%s at IRQL %d, allowed up to %d", call, me->Irql, most);
}

/* ---- IRPs ---- */

VOID KelmorCheckCompleteRequest(PIRP irp, CCHAR boost, KELMOR_SITE site) {
    IRP_BOOK* book;
    BOOLEAN twice;
    KIRQL irql;

    AtMost(DISPATCH_LEVEL, "IoCompleteRequest", site);
    KeAcquireSpinLock(&g_books, &irql);
    book = FindIrp(irp);
    twice = book == NULL || book->Completed;
    if (!twice) {
        book->Completed = TRUE;
        book->Status = irp->IoStatus.Status;
        if (book->Returned)
            book->Irp = NULL;
    }
    KeReleaseSpinLock(&g_books, irql);
    /* Wine takes a second completion and then hangs the handle: the call is left out. */
    if (twice) {
        VIOLATION("0x44 MULTIPLE_IRP_COMPLETE_REQUESTS", site, "completes an IRP %s",
                  book == NULL ? "that is not in progress" : "a second time");
        return;
    }
    if (irp->IoStatus.Status == STATUS_PENDING)
        VIOLATION("0xC9 CompletedPending", site, "completes an IRP with STATUS_PENDING%s", "");
    if (irp->CancelRoutine != NULL)
        VIOLATION("0xC9 CompletedCancellable", site, "completes an IRP with its cancel routine %s",
                  "still set");
    IoCompleteRequest(irp, boost);
}

/* The book of an IRP the driver may still touch; a violation when it may not. */
static IRP_BOOK* LiveIrp(PIRP irp, const char* call, KELMOR_SITE site) {
    IRP_BOOK* book;
    KIRQL irql;
    KeAcquireSpinLock(&g_books, &irql);
    book = FindIrp(irp);
    if (book != NULL && book->Completed)
        book = NULL;
    KeReleaseSpinLock(&g_books, irql);
    if (book == NULL)
        VIOLATION("UseAfterCompletion", site, "%s on an IRP already completed", call);
    return book;
}

VOID KelmorCheckMarkPending(PIRP irp, KELMOR_SITE site) {
    IRP_BOOK* book = LiveIrp(irp, "IoMarkIrpPending", site);
    if (book != NULL)
        book->Pending = TRUE;
    IoMarkIrpPending(irp);
}

PIO_STACK_LOCATION KelmorCheckStackLocation(PIRP irp, KELMOR_SITE site) {
    LiveIrp(irp, "IoGetCurrentIrpStackLocation", site);
    return IoGetCurrentIrpStackLocation(irp);
}

/* The I/O manager calls a cancel routine holding the cancel spin lock; the routine releases it. */
static VOID NTAPI CheckedCancel(PDEVICE_OBJECT device, PIRP irp) {
    THREAD_STATE* me = Me();
    THREAD_STATE entry = *me;
    PDRIVER_CANCEL cancel = NULL;
    IRP_BOOK* book;
    KIRQL irql;

    KeAcquireSpinLock(&g_books, &irql);
    book = FindIrp(irp);
    if (book != NULL)
        cancel = book->Cancel;
    KeReleaseSpinLock(&g_books, irql);
    if (cancel == NULL) {
        VIOLATION("CancelUnknown", "kernel", "a cancel routine ran for an IRP not %s", "queued");
        IoReleaseCancelSpinLock(irp->CancelIrql);
        return;
    }
    me->CancelHeld = TRUE;
    me->CancelIrql = me->Irql;
    me->Irql = DISPATCH_LEVEL;
    ++me->SpinLocks;
    cancel(device, irp);
    CheckBalanced(me, &entry, "the cancel routine", "cancel routine");
}

PDRIVER_CANCEL KelmorCheckSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine, KELMOR_SITE site) {
    IRP_BOOK* book = LiveIrp(irp, "IoSetCancelRoutine", site);
    PDRIVER_CANCEL previous = NULL;
    PDRIVER_CANCEL old;
    if (book != NULL) {
        previous = book->Cancel;
        book->Cancel = routine;
    }
    old = IoSetCancelRoutine(irp, routine != NULL ? CheckedCancel : NULL);
    return old != NULL ? previous : NULL;
}

PVOID KelmorCheckMapMdl(PMDL mdl, ULONG priority, KELMOR_SITE site) {
    if (g_noExecute && (priority & NO_EXECUTE) == 0)
        VIOLATION("0xC4/0x2002 CodeIntegrity", site, "maps an MDL %s",
                  "without MdlMappingNoExecute");
    return MmGetSystemAddressForMdlSafe(mdl, (MM_PAGE_PRIORITY)priority);
}

/* Every dispatch routine of the driver runs through here. */
static NTSTATUS NTAPI CheckedDispatch(PDEVICE_OBJECT device, PIRP irp);

/* ---- spin locks, waits, event locks ---- */

VOID KelmorCheckAcquireCancel(PKIRQL irql, KELMOR_SITE site) {
    THREAD_STATE* me = Me();
    if (me->CancelHeld)
        VIOLATION("SpinLockRecursion", site, "acquires the cancel spin lock it %s", "holds");
    IoAcquireCancelSpinLock(irql);
    me->CancelHeld = TRUE;
    me->CancelIrql = me->Irql;
    me->Irql = DISPATCH_LEVEL;
    ++me->SpinLocks;
}

VOID KelmorCheckReleaseCancel(KIRQL irql, KELMOR_SITE site) {
    THREAD_STATE* me = Me();
    if (!me->CancelHeld) {
        VIOLATION("SpinLockRelease", site, "releases the cancel spin lock it does not %s", "hold");
    } else {
        me->CancelHeld = FALSE;
        me->Irql = me->CancelIrql;
        --me->SpinLocks;
    }
    IoReleaseCancelSpinLock(irql);
}

/* A synchronization event created signalled is one of the driver's locks; the locks rank in
   the order they were created, and a thread takes them in that order only. */
VOID KelmorCheckInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    if (type == SynchronizationEvent && state && g_lockCount < MAX_LOCKS) {
        g_locks[g_lockCount].Event = event;
        g_locks[g_lockCount++].Owner = 0;
    }
    KeInitializeEvent(event, type, state);
}

static ULONG LockRank(PVOID object) {
    ULONG i;
    for (i = 0; i < g_lockCount; ++i)
        if (g_locks[i].Event == object)
            return i + 1;
    return 0;
}

NTSTATUS KelmorCheckWait(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                         PLARGE_INTEGER timeout, KELMOR_SITE site) {
    THREAD_STATE* me = Me();
    const ULONG rank = LockRank(object);
    NTSTATUS status;

    AtMost(timeout != NULL && timeout->QuadPart == 0 ? DISPATCH_LEVEL : APC_LEVEL,
           "KeWaitForSingleObject", site);
    if (rank != 0) {
        const ULONG bit = 1u << (rank - 1);
        if ((me->Locks & bit) != 0)
            VIOLATION("LockRecursion", site, "waits for event lock %lu, which it holds", rank);
        else if (me->Locks >= bit)
            VIOLATION("LockOrder", site, "takes event lock %lu holding a later one (0x%lx)", rank,
                      me->Locks);
        if (me->Critical <= 0)
            VIOLATION("LockWithApcs", site, "takes event lock %lu outside a critical region", rank);
    }
    status = KeWaitForSingleObject(object, reason, mode, alertable, timeout);
    if (rank != 0 && status == STATUS_SUCCESS) {
        g_locks[rank - 1].Owner = me->Key;
        me->Locks |= 1u << (rank - 1);
    }
    return status;
}

LONG KelmorCheckSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait, KELMOR_SITE site) {
    THREAD_STATE* me = Me();
    const ULONG rank = LockRank(event);
    AtMost(DISPATCH_LEVEL, "KeSetEvent", site);
    if (rank != 0) {
        if (g_locks[rank - 1].Owner != me->Key)
            VIOLATION("LockOwner", site, "releases event lock %lu, which it does not hold", rank);
        g_locks[rank - 1].Owner = 0;
        me->Locks &= ~(1u << (rank - 1));
    }
    return KeSetEvent(event, increment, wait);
}

VOID KelmorCheckEnterCriticalRegion(VOID) {
    ++Me()->Critical;
    KeEnterCriticalRegion();
}

VOID KelmorCheckLeaveCriticalRegion(KELMOR_SITE site) {
    THREAD_STATE* me = Me();
    if (me->Critical <= 0)
        VIOLATION("CriticalRegionBalance", site, "leaves a critical region it is not %s", "in");
    --me->Critical;
    KeLeaveCriticalRegion();
}

/* ---- pool ---- */

PVOID KelmorCheckAllocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, KELMOR_SITE site) {
    BLOCK* block;
    KIRQL irql;

    AtMost(type == PagedPool ? APC_LEVEL : DISPATCH_LEVEL, "ExAllocatePoolWithTag", site);
    if (g_noExecute && type == NonPagedPool)
        VIOLATION("0xC4/0x2004 CodeIntegrity", site, "allocates executable pool (%s)",
                  "NonPagedPool");
    if (KelmorCheckFallible("ExAllocatePoolWithTag", FALSE, site))
        return NULL;
    block = (BLOCK*)ExAllocatePoolWithTag(type, HEADER_BYTES + bytes + CANARY_BYTES, tag);
    if (block == NULL)
        return NULL;
    block->Bytes = bytes;
    block->Tag = tag;
    block->Magic = BLOCK_MAGIC;
    block->Site = site;
    block->Type = type;
    RtlFillMemory((PUCHAR)block + HEADER_BYTES + bytes, CANARY_BYTES, CANARY);
    KeAcquireSpinLock(&g_books, &irql);
    InsertTailList(&g_blocks, &block->Link);
    KeReleaseSpinLock(&g_books, irql);
    return (PUCHAR)block + HEADER_BYTES;
}

VOID KelmorCheckFree(PVOID memory, ULONG tag, KELMOR_SITE site) {
    BLOCK* block = (BLOCK*)((PUCHAR)memory - HEADER_BYTES);
    PLIST_ENTRY entry;
    BOOLEAN known = FALSE;
    SIZE_T i;
    KIRQL irql;

    KeAcquireSpinLock(&g_books, &irql);
    for (entry = g_blocks.Flink; entry != &g_blocks && !known; entry = entry->Flink)
        known = entry == &block->Link;
    if (known)
        RemoveEntryList(&block->Link);
    KeReleaseSpinLock(&g_books, irql);
    if (!known) {
        VIOLATION("0xC2 BadPoolCaller", site, "frees %s", "memory it never allocated");
        return;
    }
    AtMost(block->Type == PagedPool ? APC_LEVEL : DISPATCH_LEVEL, "ExFreePoolWithTag", site);
    if (block->Tag != tag)
        VIOLATION("0xC2 PoolTag", site, "frees a block of tag 0x%08lx as 0x%08lx", block->Tag, tag);
    for (i = 0; i < CANARY_BYTES; ++i) {
        if (((PUCHAR)memory)[block->Bytes + i] != CANARY) {
            VIOLATION("0xC1 PoolOverrun", site,
                      "a block of %lu bytes from %s was written past "
                      "its end",
                      (ULONG)block->Bytes, BaseName(block->Site));
            break;
        }
    }
    RtlFillMemory(memory, block->Bytes, 0xDD);
    ExFreePoolWithTag(block, block->Tag);
}

/* ---- handles, devices, links, threads, work items ---- */

NTSTATUS KelmorCheckOpened(NTSTATUS status, PHANDLE handle, KELMOR_SITE site) {
    if (NT_SUCCESS(status))
        Book(Handle, *handle, site, NULL, NULL);
    return status;
}

NTSTATUS KelmorCheckClose(HANDLE handle, KELMOR_SITE site) {
    KelmorCheckPassive("ZwClose", FALSE, site);
    if (!Unbook(Handle, handle, NULL, site))
        return STATUS_INVALID_HANDLE;
    return ZwClose(handle);
}

NTSTATUS KelmorCheckCreateDevice(PDRIVER_OBJECT driver, ULONG extension, PUNICODE_STRING name,
                                 DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive,
                                 PDEVICE_OBJECT* device, KELMOR_SITE site) {
    NTSTATUS status;
    if (KelmorCheckFallible("IoCreateDevice", TRUE, site))
        return STATUS_INSUFFICIENT_RESOURCES;
    status = IoCreateDevice(driver, extension, name, type, characteristics, exclusive, device);
    if (NT_SUCCESS(status))
        Book(Device, *device, site, NULL, NULL);
    return status;
}

VOID KelmorCheckDeleteDevice(PDEVICE_OBJECT device, KELMOR_SITE site) {
    KelmorCheckPassive("IoDeleteDevice", FALSE, site);
    if (Unbook(Device, device, NULL, site))
        IoDeleteDevice(device);
}

NTSTATUS KelmorCheckCreateLink(PUNICODE_STRING link, PUNICODE_STRING target, KELMOR_SITE site) {
    char name[48];
    NTSTATUS status;
    if (KelmorCheckFallible("IoCreateSymbolicLink", TRUE, site))
        return STATUS_INSUFFICIENT_RESOURCES;
    status = IoCreateSymbolicLink(link, target);
    Narrow(link, name, sizeof(name));
    if (NT_SUCCESS(status))
        Book(Link, NULL, site, name, NULL);
    return status;
}

NTSTATUS KelmorCheckDeleteLink(PUNICODE_STRING link, KELMOR_SITE site) {
    char name[48];
    KelmorCheckPassive("IoDeleteSymbolicLink", FALSE, site);
    Narrow(link, name, sizeof(name));
    Unbook(Link, NULL, name, site);
    return IoDeleteSymbolicLink(link);
}

static VOID NTAPI CheckedThread(PVOID context) {
    THREAD_START start = *(THREAD_START*)context;
    ((THREAD_START*)context)->Id = PsGetCurrentThreadId();
    Me()->Thread = context;
    start.Start(start.Context);
    KelmorCheckTerminateThread(STATUS_SUCCESS, start.Site);
}

NTSTATUS KelmorCheckCreateThread(PHANDLE handle, ULONG access, POBJECT_ATTRIBUTES attributes,
                                 HANDLE process, PCLIENT_ID client, PKSTART_ROUTINE start,
                                 PVOID context, KELMOR_SITE site) {
    THREAD_START* record;
    NTSTATUS status;
    if (KelmorCheckFallible("PsCreateSystemThread", TRUE, site))
        return STATUS_INSUFFICIENT_RESOURCES;
    record = (THREAD_START*)ExAllocatePoolWithTag(g_noExecute ? NON_PAGED_POOL_NX : NonPagedPool,
                                                  sizeof(*record), CHECK_TAG);
    if (record == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    record->Start = start;
    record->Context = context;
    record->Site = site;
    record->Id = NULL;
    /* Booked before it runs: it may end before the call returns. */
    Book(Thread, record, site, NULL, NULL);
    status =
        PsCreateSystemThread(handle, access, attributes, process, client, CheckedThread, record);
    if (!NT_SUCCESS(status)) {
        Unbook(Thread, record, NULL, site);
        ExFreePoolWithTag(record, CHECK_TAG);
        return status;
    }
    Book(Handle, *handle, site, NULL, record);
    return status;
}

HANDLE KelmorCheckThreadId(VOID) {
    THREAD_STATE* me = Me();
    return me->IdOverride != NULL ? me->IdOverride : PsGetCurrentThreadId();
}

NTSTATUS KelmorCheckWaitHandle(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout,
                               KELMOR_SITE site) {
    HANDLE waited = NULL;
    KIRQL irql;
    ULONG i;

    KelmorCheckPassive("ZwWaitForSingleObject", FALSE, site);
    KeAcquireSpinLock(&g_books, &irql);
    for (i = 0; i < MAX_OBJECTS; ++i)
        if (g_objects[i].Kind == Handle && g_objects[i].Object == handle &&
            g_objects[i].Thread != NULL)
            waited = g_objects[i].Thread->Id;
    KeReleaseSpinLock(&g_books, irql);
    if (waited != NULL && waited == KelmorCheckThreadId()) {
        VIOLATION("SelfWait", site, "a thread waits for its own end (%s)", "it never wakes");
        return STATUS_POSSIBLE_DEADLOCK;
    }
    return ZwWaitForSingleObject(handle, alertable, timeout);
}

/* A driver thread ends in the state it began: no lock, no critical region, PASSIVE_LEVEL. */
NTSTATUS KelmorCheckTerminateThread(NTSTATUS status, KELMOR_SITE site) {
    THREAD_STATE* me = Me();
    const THREAD_STATE clean = {0};
    PVOID record = me->Thread;
    CheckBalanced(me, &clean, "a driver thread", site);
    if (record != NULL)
        Unbook(Thread, record, NULL, site); /* the record goes with the thread's handle */
    RtlZeroMemory(me, sizeof(*me));
    Flush();
    return PsTerminateSystemThread(status);
}

PIO_WORKITEM KelmorCheckAllocateWorkItem(PDEVICE_OBJECT device, KELMOR_SITE site) {
    PIO_WORKITEM item;
    if (KelmorCheckFallible("IoAllocateWorkItem", FALSE, site))
        return NULL;
    item = IoAllocateWorkItem(device);
    if (item != NULL)
        Book(WorkItem, item, site, NULL, NULL);
    return item;
}

VOID KelmorCheckFreeWorkItem(PIO_WORKITEM item, KELMOR_SITE site) {
    if (Unbook(WorkItem, item, NULL, site))
        IoFreeWorkItem(item);
}

/* ---- entry, dispatch and unload ---- */

/* Sends IRP_MJ_CLEANUP for `file` to `device` and waits for it (KELMOR_CHECK_SEND_CLEANUP). */
static NTSTATUS NTAPI CleanupDone(PDEVICE_OBJECT device, PIRP irp, PVOID event) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent((PKEVENT)event, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS SendCleanup(PDEVICE_OBJECT device, PFILE_OBJECT file) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    PIO_STACK_LOCATION stack;
    KEVENT done;
    NTSTATUS status;

    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->RequestorMode = KernelMode;
    stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_CLEANUP;
    stack->FileObject = file;
    IoSetCompletionRoutine(irp, CleanupDone, &done, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

/* The major functions' names, up to IRP_MJ_CLEANUP. */
// clang-format off
static const char* const kMajorNames[] = {
    "create", "create pipe", "close", "read", "write", "query information", "set information",
    "query EA", "set EA", "flush", "query volume", "set volume", "directory control",
    "file system control", "device control", "internal device control", "shutdown",
    "lock control", "cleanup"};
// clang-format on

static NTSTATUS NTAPI CheckedDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const UCHAR major = stack->MajorFunction;
    const char* name =
        major < sizeof(kMajorNames) / sizeof(kMajorNames[0]) ? kMajorNames[major] : "request";
    THREAD_STATE* me = Me();
    THREAD_STATE entry = *me;
    IRP_BOOK* book;
    NTSTATUS status;
    KIRQL irql;
    ULONG i;

    if (major == IRP_MJ_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.IoControlCode == KELMOR_CHECK_CLOSE_AS_READER) {
        g_closeAsReader = device;
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    if (major == IRP_MJ_CLOSE && device == g_closeAsReader) {
        g_closeAsReader = NULL;
        me->IdOverride = ((PKELMOR_DEVICE)device->DeviceExtension)->ReaderId;
    }
    if (major == IRP_MJ_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.IoControlCode == KELMOR_CHECK_SEND_CLEANUP) {
        irp->IoStatus.Status = SendCleanup(device, stack->FileObject);
        irp->IoStatus.Information = 0;
        status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    KeAcquireSpinLock(&g_books, &irql);
    book = FindIrp(irp);
    if (book != NULL && !book->Completed)
        book = NULL; /* reported below */
    for (i = 0; i < MAX_IRPS && book == NULL; ++i)
        if (g_irps[i].Irp == NULL)
            book = &g_irps[i];
    if (book != NULL) {
        RtlZeroMemory(book, sizeof(*book));
        book->Irp = irp;
        book->Major = major;
    }
    KeReleaseSpinLock(&g_books, irql);
    if (book == NULL)
        VIOLATION("IrpInProgress", "kernel", "a %s IRP dispatched while in progress", name);

    status = g_dispatch[major](device, irp);
    me->IdOverride = NULL;

    KeAcquireSpinLock(&g_books, &irql);
    book = FindIrp(irp);
    if (book != NULL && book->Major == major) {
        const BOOLEAN pending = book->Pending, completed = book->Completed;
        const NTSTATUS completedStatus = book->Status;
        book->Returned = TRUE;
        if (completed)
            book->Irp = NULL;
        KeReleaseSpinLock(&g_books, irql);
        if (status == STATUS_PENDING && !pending)
            VIOLATION("0xC9/0x23D PendingNotMarked", "dispatch",
                      "the %s routine returns STATUS_PENDING without IoMarkIrpPending", name);
        else if (status != STATUS_PENDING && pending)
            VIOLATION("0xC9 MarkedNotPending", "dispatch",
                      "the %s routine marks its IRP pending and returns 0x%08lx", name, status);
        else if (status != STATUS_PENDING && !completed)
            VIOLATION("0xC9 ReturnedIncomplete", "dispatch",
                      "the %s routine returns 0x%08lx without completing its IRP", name, status);
        else if (status != STATUS_PENDING && status != completedStatus)
            VIOLATION("0xC9 StatusMismatch", "dispatch",
                      "the %s routine returns 0x%08lx, completed with 0x%08lx", name, status,
                      completedStatus);
    } else {
        KeReleaseSpinLock(&g_books, irql);
    }
    CheckBalanced(me, &entry, name, "dispatch");
    if (me->Irql == PASSIVE_LEVEL && me->SpinLocks == 0)
        Flush();
    return status;
}

/* What the driver left behind: after unload, or after an entry that failed. */
static void ReportLeftovers(const char* when) {
    PLIST_ENTRY entry;
    ULONG i;
    for (entry = g_blocks.Flink; entry != &g_blocks; entry = entry->Flink) {
        BLOCK* block = CONTAINING_RECORD(entry, BLOCK, Link);
        VIOLATION("0xC4/0x62 PoolLeak", block->Site, "%lu bytes of tag 0x%08lx left %s",
                  (ULONG)block->Bytes, block->Tag, when);
    }
    for (i = 0; i < MAX_OBJECTS; ++i)
        if (g_objects[i].Kind != Free)
            VIOLATION("ResourceLeak", g_objects[i].Site, "a %s %s left %s",
                      kKindNames[g_objects[i].Kind], g_objects[i].Name, when);
    for (i = 0; i < MAX_IRPS; ++i)
        if (g_irps[i].Irp != NULL && !g_irps[i].Completed)
            VIOLATION("IrpLeftPending", "kernel", "a %s IRP never completed, %s",
                      g_irps[i].Major < 19 ? kMajorNames[g_irps[i].Major] : "", when);
    Append("CHECKED %ld fallible calls", g_calls);
    Flush();
}

static VOID NTAPI CheckedUnload(PDRIVER_OBJECT driver) {
    THREAD_STATE* me = Me();
    THREAD_STATE entry = *me;
    g_unload(driver);
    CheckBalanced(me, &entry, "unload", "unload");
    ReportLeftovers("at unload");
}

static ULONG ReadParameter(HANDLE key, const WCHAR* valueName) {
    ULONG buffer[(sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)) / sizeof(ULONG) + 1];
    PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
    UNICODE_STRING name;
    ULONG length;
    RtlInitUnicodeString(&name, valueName);
    if (!NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, sizeof(buffer),
                                    &length)) ||
        info->Type != REG_DWORD || info->DataLength != sizeof(ULONG))
        return 0;
    return *(ULONG*)info->Data;
}

/* CheckFailAt and CheckFailEvery, REG_DWORD values of the service's Parameters key. */
static void ReadParameters(PUNICODE_STRING registryPath) {
    static WCHAR buffer[300];
    static const WCHAR suffix[] = L"\\Parameters";
    UNICODE_STRING name = {0, sizeof(buffer), buffer};
    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    if (registryPath->Length + sizeof(suffix) > sizeof(buffer))
        return;
    RtlCopyUnicodeString(&name, registryPath);
    RtlCopyMemory((PUCHAR)buffer + name.Length, suffix, sizeof(suffix));
    name.Length = (USHORT)(name.Length + sizeof(suffix) - sizeof(WCHAR));
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes)))
        return;
    g_failAt = ReadParameter(key, L"CheckFailAt");
    g_failEvery = ReadParameter(key, L"CheckFailEvery");
    ZwClose(key);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    PDRIVER_DISPATCH before[IRP_MJ_MAXIMUM_FUNCTION + 1];
    RTL_OSVERSIONINFOW version;
    NTSTATUS status;
    ULONG i;

    KeInitializeSpinLock(&g_books);
    KeInitializeSpinLock(&g_reportLock);
    KeInitializeEvent(&g_flushing, SynchronizationEvent, TRUE);
    InitializeListHead(&g_blocks);
    g_lockCount = 0;
    g_calls = 0;
    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    g_noExecute = NT_SUCCESS(RtlGetVersion(&version)) &&
                  (version.dwMajorVersion > 6 ||
                   (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2));
    ReadParameters(registryPath);

    for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
        before[i] = driver->MajorFunction[i];
    status = KelmorCheckedDriverEntry(driver, registryPath);
    if (!NT_SUCCESS(status)) {
        ReportLeftovers("by an entry that failed");
        return status;
    }
    for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        g_dispatch[i] = driver->MajorFunction[i];
        if (g_dispatch[i] != before[i])
            driver->MajorFunction[i] = CheckedDispatch;
    }
    g_unload = driver->DriverUnload;
    driver->DriverUnload = CheckedUnload;
    Flush();
    return status;
}
