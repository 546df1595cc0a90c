/* A drive's reads: queued, cancel-safe, to the drive's reader thread, which serves them in turn
   and cancels what is left when it stops. */
#include "drive.h"

static VOID NTAPI ReaderMain(PVOID context);

/* MdlMappingNoExecute, which the MinGW-w64 headers do not name. */
#define KELMOR_MDL_MAPPING_NO_EXECUTE 0x40000000

NTSTATUS KelmorStartReader(PKELMOR_DEVICE drive) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    return PsCreateSystemThread(&drive->Reader, THREAD_ALL_ACCESS, &attributes, NULL, NULL,
                                ReaderMain, drive);
}

BOOLEAN KelmorStopReader(PKELMOR_DEVICE drive) {
    NTSTATUS status;
    KIRQL irql;
    if (drive->Reader == NULL)
        return TRUE;
    IoAcquireCancelSpinLock(&irql);
    drive->StopReader = TRUE;
    IoReleaseCancelSpinLock(irql);
    KeSetEvent(&drive->ReadsQueued, IO_NO_INCREMENT, FALSE);
    /* A thread that is still running keeps its drive: better a drive never freed than one
       freed under its reader. */
    status = ZwWaitForSingleObject(drive->Reader, FALSE, NULL);
    if (status != STATUS_SUCCESS)
        return FALSE;
    ZwClose(drive->Reader);
    drive->Reader = NULL;
    return TRUE;
}

BOOLEAN KelmorIsReaderThread(PKELMOR_DEVICE drive) {
    return drive->ReaderId == PsGetCurrentThreadId();
}

static void CompleteRead(PIRP irp, NTSTATUS status, ULONG_PTR bytes) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = bytes;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

/* Serves one read: the medium is referenced under the state lock and read outside it. The
   caller runs at PASSIVE_LEVEL with kernel APCs enabled, as reading a file requires. */
static NTSTATUS ServeRead(PKELMOR_DEVICE drive, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG length = stack->Parameters.Read.Length;
    PKELMOR_MEDIUM medium = NULL;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG bytesRead = 0;
    PVOID buffer;

    /* From Windows 8 on (where the pool is NonPagedPoolNx) the mapping asks for no execute
       rights, as the verifier's code-integrity checks require. */
    if (irp->MdlAddress != NULL)
        buffer = MmGetSystemAddressForMdlSafe(
            irp->MdlAddress,
            (MM_PAGE_PRIORITY)(NormalPagePriority |
                               (KelmorNonPagedPool() != NonPagedPool ? KELMOR_MDL_MAPPING_NO_EXECUTE
                                                                     : 0)));
    else
        buffer = irp->AssociatedIrp.SystemBuffer;

    KelmorLockState();
    if (drive->Removed)
        status = STATUS_NO_SUCH_DEVICE;
    else if (drive->Medium == NULL)
        status = STATUS_NO_MEDIA_IN_DEVICE;
    else
        medium = drive->Medium;
    if (medium != NULL)
        InterlockedIncrement(&medium->References);
    KelmorUnlockState();

    if (NT_SUCCESS(status) && buffer == NULL && length != 0)
        status = STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status))
        status = KelmorReadMedium(medium, stack->Parameters.Read.ByteOffset.QuadPart, buffer,
                                  length, &bytesRead);
    KelmorReleaseMedium(medium);
    CompleteRead(irp, status, bytesRead);
    return status;
}

/* The read queue is a cancel-safe queue of our own: Wine 8's ntoskrnl has IoCsqInitialize but
   only stubs of IoCsqInsertIrp and IoCsqRemoveNextIrp. The queue, each queued read's cancel
   routine and the reader's stop flag are guarded by the I/O manager's cancel spin lock, which
   a cancel routine is called under, so a read is either in the queue with its cancel routine
   set or out of it with none, and exactly one side completes it. */
static VOID NTAPI CancelQueuedRead(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    CompleteRead(irp, STATUS_CANCELLED, 0);
}

/* A queued read is marked pending under the lock, just before it joins the queue, and the
   reader is woken before the lock goes: once it is released the reader may complete the read,
   and a removal and the last close may delete the drive with its event. A refused read is
   completed unmarked, with its status returned. */
static NTSTATUS QueueRead(PKELMOR_DEVICE drive, PIRP irp) {
    NTSTATUS refusal = STATUS_SUCCESS;
    KIRQL irql;

    IoAcquireCancelSpinLock(&irql);
    if (drive->StopReader)
        refusal = STATUS_NO_SUCH_DEVICE;
    else if (irp->Cancel)
        refusal = STATUS_CANCELLED;
    if (NT_SUCCESS(refusal)) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelQueuedRead);
        InsertTailList(&drive->ReadQueue, &irp->Tail.Overlay.ListEntry);
        KeSetEvent(&drive->ReadsQueued, IO_NO_INCREMENT, FALSE);
    }
    IoReleaseCancelSpinLock(irql);
    if (!NT_SUCCESS(refusal)) {
        CompleteRead(irp, refusal, 0);
        return refusal;
    }
    return STATUS_PENDING;
}

#ifdef KELMOR_HOLD_READS_WHILE_LOCKED
/* A build for the tests only, never shipped: queued reads wait while the medium is locked, so
   that a test can keep reads pending and cancel them. The reader looks again every 20 ms, and
   reads the lock count without the state lock: a look that is late by one round is enough. */
#define KELMOR_HOLDS_READS TRUE
#else
#define KELMOR_HOLDS_READS FALSE
#endif

/* The next queued read, out of the queue and no longer cancellable; NULL when none. `stop`
   tells whether the reader must stop. */
static PIRP TakeQueuedRead(PKELMOR_DEVICE drive, BOOLEAN* stop) {
    PIRP irp = NULL;
    KIRQL irql;

    IoAcquireCancelSpinLock(&irql);
    *stop = drive->StopReader;
    if (!IsListEmpty(&drive->ReadQueue) && !(KELMOR_HOLDS_READS && !*stop && drive->Locks > 0)) {
        irp = CONTAINING_RECORD(RemoveHeadList(&drive->ReadQueue), IRP, Tail.Overlay.ListEntry);
        IoSetCancelRoutine(irp, NULL);
    }
    IoReleaseCancelSpinLock(irql);
    return irp;
}

/* Every read is served by the reader thread: there ZwReadFile runs as its documentation
   requires (PASSIVE_LEVEL, special kernel APCs enabled) and holds no lock of the requester's,
   such as a file system's resources under which a paging read may come. */
NTSTATUS KelmorRead(PKELMOR_DEVICE drive, PIRP irp) {
    return QueueRead(drive, irp);
}

/* IRP_MJ_CLEANUP: the reads that the closing handle still has queued are cancelled. A read whose
   cancel routine is already under way is left to it. */
void KelmorCancelHandleReads(PKELMOR_DEVICE drive, PFILE_OBJECT file) {
    LIST_ENTRY cancelled;
    PLIST_ENTRY entry, next;
    KIRQL irql;

    InitializeListHead(&cancelled);
    IoAcquireCancelSpinLock(&irql);
    for (entry = drive->ReadQueue.Flink; entry != &drive->ReadQueue; entry = next) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        next = entry->Flink;
        if (IoGetCurrentIrpStackLocation(irp)->FileObject != file ||
            IoSetCancelRoutine(irp, NULL) == NULL)
            continue;
        RemoveEntryList(entry);
        InsertTailList(&cancelled, entry);
    }
    IoReleaseCancelSpinLock(irql);
    while (!IsListEmpty(&cancelled))
        CompleteRead(CONTAINING_RECORD(RemoveHeadList(&cancelled), IRP, Tail.Overlay.ListEntry),
                     STATUS_CANCELLED, 0);
}

/* Each wake-up serves every read queued by then. Told to stop, the thread cancels the reads
   still waiting and ends. */
static VOID NTAPI ReaderMain(PVOID context) {
    PKELMOR_DEVICE drive = (PKELMOR_DEVICE)context;
    LARGE_INTEGER poll;
    BOOLEAN stop = FALSE;

    drive->ReaderId = PsGetCurrentThreadId();
    poll.QuadPart = -20 * 10000; /* 20 ms, relative */
    while (!stop) {
        KeWaitForSingleObject(&drive->ReadsQueued, Executive, KernelMode, FALSE,
                              KELMOR_HOLDS_READS ? &poll : NULL);
        for (;;) {
            PIRP irp = TakeQueuedRead(drive, &stop);
            if (irp == NULL)
                break;
            if (stop)
                CompleteRead(irp, STATUS_CANCELLED, 0);
            else
                ServeRead(drive, irp);
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}
