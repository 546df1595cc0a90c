/* The drives: the list of them, their letters and devices, the locks over their state, and the
   handles opened on them. Their images are image.c's, their reads read.c's. */
#include "drive.h"

static PDRIVER_OBJECT g_driver;
/* Both locks are synchronization events, taken inside a critical region. Wine's kernel mutex
   breaks down once two threads contend for it (the stand-in's requests and its reader threads
   do): measured under Wine 8.0, requests then hung for good. An event has no owner to lose. */
static KEVENT g_creationLock;
static KEVENT g_stateLock;
static PKELMOR_DEVICE g_drives[KELMOR_MAX_DRIVES]; /* in creation order */
static ULONG g_driveCount;
static ULONG g_nextDeviceNumber;
static POOL_TYPE g_nonPagedPool = NonPagedPool;

/* NonPagedPoolNx, which ntddk.h of this build does not name everywhere. */
#define KELMOR_NON_PAGED_POOL_NX ((POOL_TYPE)512)

POOL_TYPE KelmorNonPagedPool(void) {
    return g_nonPagedPool;
}

void KelmorInitialiseDrives(PDRIVER_OBJECT driver) {
    RTL_OSVERSIONINFOW version;

    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    g_nonPagedPool = NonPagedPool;
    if (NT_SUCCESS(RtlGetVersion(&version)) &&
        (version.dwMajorVersion > 6 ||
         (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2)))
        g_nonPagedPool = KELMOR_NON_PAGED_POOL_NX;
    g_driver = driver;
    KeInitializeEvent(&g_creationLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&g_stateLock, SynchronizationEvent, TRUE);
    g_driveCount = 0;
    g_nextDeviceNumber = 0;
}

static void Lock(PKEVENT lock) {
    KeEnterCriticalRegion();
    KeWaitForSingleObject(lock, Executive, KernelMode, FALSE, NULL);
}

static void Unlock(PKEVENT lock) {
    KeSetEvent(lock, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
}

void KelmorLockCreation(void) {
    Lock(&g_creationLock);
}

void KelmorUnlockCreation(void) {
    Unlock(&g_creationLock);
}

void KelmorLockState(void) {
    Lock(&g_stateLock);
}

void KelmorUnlockState(void) {
    Unlock(&g_stateLock);
}

/* ---- drive letters and devices ---- */

static const WCHAR kGlobalPrefix[] = L"\\GLOBAL??\\";
static const WCHAR kLocalPrefix[] = L"\\??\\";

/* `prefix` followed by `suffix`, into `buffer` of `units` code units. */
static void MakeLinkName(WCHAR* buffer, USHORT units, const WCHAR* prefix, const WCHAR* suffix,
                         UNICODE_STRING* name) {
    USHORT length = 0, i;
    for (i = 0; prefix[i] != 0 && length < units - 1; ++i)
        buffer[length++] = prefix[i];
    for (i = 0; suffix[i] != 0 && length < units - 1; ++i)
        buffer[length++] = suffix[i];
    buffer[length] = 0;
    name->Buffer = buffer;
    name->Length = (USHORT)(length * sizeof(WCHAR));
    name->MaximumLength = (USHORT)(units * sizeof(WCHAR));
}

NTSTATUS KelmorCreateGlobalLink(WCHAR* buffer, USHORT units, const WCHAR* linkName,
                                UNICODE_STRING* link, PUNICODE_STRING target) {
    NTSTATUS status;

    MakeLinkName(buffer, units, kGlobalPrefix, linkName, link);
    status = IoCreateSymbolicLink(link, target);
    if (status != STATUS_OBJECT_PATH_NOT_FOUND)
        return status;
    /* Wine has no "\GLOBAL??" directory (IoCreateSymbolicLink answers
       STATUS_OBJECT_PATH_NOT_FOUND under Wine 8.0) and one name space only, named "\??". */
    MakeLinkName(buffer, units, kLocalPrefix, linkName, link);
    return IoCreateSymbolicLink(link, target);
}

/* Only a name that is not there leaves a letter free: any other failure (no resources, a
   denied open) may hide a drive, so the letter is passed over. */
static BOOLEAN NameIsAbsent(NTSTATUS status) {
    return status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND;
}

static BOOLEAN LinkExists(const WCHAR* text, USHORT units) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    HANDLE handle;
    NTSTATUS status;

    name.Buffer = (PWSTR)text;
    name.Length = (USHORT)(units * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    status = ZwOpenSymbolicLinkObject(&handle, GENERIC_READ, &attributes);
    if (!NT_SUCCESS(status))
        return !NameIsAbsent(status);
    ZwClose(handle);
    return TRUE;
}

BOOLEAN KelmorIsOwnDevice(PDEVICE_OBJECT device) {
    return device != NULL && device->DriverObject == g_driver;
}

BOOLEAN KelmorIsDriveLetter(WCHAR letter) {
    BOOLEAN ours = FALSE;
    ULONG i;
    KelmorLockState();
    for (i = 0; i < g_driveCount && !ours; ++i)
        ours = g_drives[i]->Letter == letter;
    KelmorUnlockState();
    return ours;
}

/* A letter is free when none of our drives carries it, no "X:" link exists in the global
   name space nor in the requester's, and "\??\X:\" opens nothing (under Wine a drive of the
   prefix is no link object). */
static BOOLEAN IsLetterFree(WCHAR letter) {
    WCHAR global[16];
    WCHAR local[8] = {L'\\', L'?', L'?', L'\\', letter, L':', L'\\', 0};
    WCHAR drive[3] = {letter, L':', 0};
    UNICODE_STRING globalName, name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    HANDLE handle;
    NTSTATUS status;

    if (KelmorIsDriveLetter(letter))
        return FALSE;
    MakeLinkName(global, 16, kGlobalPrefix, drive, &globalName);
    if (LinkExists(global, (USHORT)(globalName.Length / sizeof(WCHAR))) || LinkExists(local, 6))
        return FALSE;

    name.Buffer = local;
    name.Length = 7 * sizeof(WCHAR);
    name.MaximumLength = sizeof(local);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    status = ZwCreateFile(&handle, FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &io, NULL, 0,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                          FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (NT_SUCCESS(status))
        ZwClose(handle);
    return NameIsAbsent(status);
}

/* "\Device\KelmorCdRom<n>": numbered, not lettered, so that a drive removed while a handle
   still holds its device never blocks a new drive's name. */
static ULONG MakeDeviceName(WCHAR* buffer, ULONG units, UNICODE_STRING* name) {
    static const WCHAR prefix[] = L"\\Device\\KelmorCdRom";
    WCHAR digits[12];
    ULONG length = 0, count = 0, number = g_nextDeviceNumber++;
    const ULONG taken = number;

    while (prefix[length] != 0 && length < units - 1) {
        buffer[length] = prefix[length];
        ++length;
    }
    do {
        digits[count++] = (WCHAR)(L'0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (count > 0 && length < units - 1)
        buffer[length++] = digits[--count];
    buffer[length] = 0;
    name->Buffer = buffer;
    name->Length = (USHORT)(length * sizeof(WCHAR));
    name->MaximumLength = (USHORT)(units * sizeof(WCHAR));
    return taken;
}

NTSTATUS KelmorCreateDrive(WCHAR letter, PKELMOR_MEDIUM medium, const WCHAR* path, USHORT units,
                           WCHAR* created) {
    WCHAR nameBuffer[40];
    UNICODE_STRING name;
    PDEVICE_OBJECT device;
    PKELMOR_DEVICE drive;
    NTSTATUS status;
    ULONG count, number;

    *created = 0;
    KelmorLockState();
    count = g_driveCount;
    KelmorUnlockState();
    if (count >= KELMOR_MAX_DRIVES)
        return STATUS_TOO_MANY_NAMES;
    if (letter == 0) {
        WCHAR candidate;
        for (candidate = L'D'; candidate <= L'Z'; ++candidate) {
            if (IsLetterFree(candidate))
                break;
        }
        if (candidate > L'Z')
            return STATUS_TOO_MANY_NAMES;
        letter = candidate;
    } else if (!IsLetterFree(letter)) {
        return STATUS_OBJECT_NAME_COLLISION;
    }

    number = MakeDeviceName(nameBuffer, sizeof(nameBuffer) / sizeof(WCHAR), &name);
    status = IoCreateDevice(g_driver, sizeof(KELMOR_DEVICE), &name, FILE_DEVICE_CD_ROM,
                            FILE_REMOVABLE_MEDIA | FILE_READ_ONLY_DEVICE | FILE_DEVICE_SECURE_OPEN,
                            FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;

    drive = (PKELMOR_DEVICE)device->DeviceExtension;
    RtlZeroMemory(drive, sizeof(*drive));
    drive->DeleteItem = IoAllocateWorkItem(device);
    if (drive->DeleteItem == NULL) {
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    drive->Kind = KelmorDriveDevice;
    drive->Self = device;
    drive->Letter = letter;
    drive->Number = number;
    InitializeListHead(&drive->Handles);
    InitializeListHead(&drive->ReadQueue);
    KeInitializeEvent(&drive->ReadsQueued, SynchronizationEvent, FALSE);
    drive->LinkBuffer[0] = letter;
    drive->LinkBuffer[1] = L':';
    /* The medium is in place before the letter appears: nobody sees the drive without it. */
    drive->Medium = medium;
    if (medium != NULL) {
        KelmorSetPath(drive, path, units, 0);
        drive->ChangeCount = 1;
    }

    status = KelmorStartReader(drive);
    if (!NT_SUCCESS(status)) {
        IoFreeWorkItem(drive->DeleteItem);
        IoDeleteDevice(device);
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    {
        const WCHAR letterName[3] = {letter, L':', 0};
        status =
            KelmorCreateGlobalLink(drive->LinkBuffer, sizeof(drive->LinkBuffer) / sizeof(WCHAR),
                                   letterName, &drive->LinkName, &name);
    }
    if (!NT_SUCCESS(status)) {
        drive->Medium = NULL; /* the caller keeps it */
        drive->Removed = TRUE;
        KelmorDeleteDrive(drive);
        return status;
    }

    KelmorLockState();
    g_drives[g_driveCount++] = drive;
    KelmorUnlockState();
    *created = letter;
    return STATUS_SUCCESS;
}

void KelmorListDrives(KELMOR_DRIVE_LIST* list) {
    ULONG i;
    RtlZeroMemory(list, sizeof(*list));
    KelmorLockState();
    list->Count = (USHORT)g_driveCount;
    for (i = 0; i < g_driveCount; ++i)
        list->Letters[i] = g_drives[i]->Letter;
    KelmorUnlockState();
}

/* Takes the drive out of the list and its letter out of the name space; the caller holds the
   state lock and releases the returned medium after it. The device stays until its last
   handle closes: under Wine a request fails when its device is deleted before the requesting
   handle is closed, even if the request has completed. */
static PKELMOR_MEDIUM Detach(PKELMOR_DEVICE drive) {
    ULONG i, j;

    IoDeleteSymbolicLink(&drive->LinkName);
    for (i = 0; i < g_driveCount; ++i) {
        if (g_drives[i] == drive) {
            for (j = i + 1; j < g_driveCount; ++j)
                g_drives[j - 1] = g_drives[j];
            --g_driveCount;
            break;
        }
    }
    drive->Removed = TRUE;
    return KelmorTakeMedium(drive);
}

static void DeleteDriveNow(PKELMOR_DEVICE drive) {
    PIO_WORKITEM item = drive->DeleteItem;

    if (!KelmorStopReader(drive))
        return;
    while (!IsListEmpty(&drive->Handles)) {
        PKELMOR_HANDLE handle =
            CONTAINING_RECORD(RemoveHeadList(&drive->Handles), KELMOR_HANDLE, Link);
        ExFreePoolWithTag(handle, KELMOR_POOL_TAG);
    }
    KelmorReleaseMedium(drive->Medium);
    drive->Medium = NULL;
    IoDeleteDevice(drive->Self);
    IoFreeWorkItem(item);
}

static VOID NTAPI DeleteDriveItem(PDEVICE_OBJECT device, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    DeleteDriveNow((PKELMOR_DEVICE)context);
}

/* A close may arrive in any thread, the reader's own included, which cannot wait for itself to
   end: there the deletion goes to a work item, which also keeps the driver loaded until it has
   run. */
void KelmorDeleteDrive(PKELMOR_DEVICE drive) {
    if (KelmorIsReaderThread(drive)) {
        drive->Deleting = TRUE;
        IoQueueWorkItem(drive->DeleteItem, DeleteDriveItem, DelayedWorkQueue, drive);
        return;
    }
    DeleteDriveNow(drive);
}

void KelmorDeleteAllDrives(PDRIVER_OBJECT driver) {
    PDEVICE_OBJECT device, next;

    for (device = driver->DeviceObject; device != NULL; device = next) {
        PKELMOR_DEVICE extension = (PKELMOR_DEVICE)device->DeviceExtension;
        PKELMOR_MEDIUM medium = NULL;
        next = device->NextDevice;
        if (extension->Kind != KelmorDriveDevice || extension->Deleting)
            continue;
        KelmorLockState();
        if (!extension->Removed)
            medium = Detach(extension);
        KelmorUnlockState();
        KelmorReleaseMedium(medium);
        KelmorDeleteDrive(extension);
    }
}

/* ---- requests ---- */

/* Whether a request may change what the drive holds now: not once it is removed, nor while
   a handle keeps its medium locked. Called with the state locked. */
NTSTATUS KelmorChangeableStatus(PKELMOR_DEVICE drive) {
    if (drive->Removed)
        return STATUS_NO_SUCH_DEVICE;
    if (drive->Locks > 0)
        return STATUS_DEVICE_BUSY;
    return STATUS_SUCCESS;
}

NTSTATUS KelmorRemoveDrive(PKELMOR_DEVICE drive) {
    PKELMOR_MEDIUM medium = NULL;
    NTSTATUS status = STATUS_SUCCESS;

    KelmorLockState();
    status = KelmorChangeableStatus(drive);
    if (NT_SUCCESS(status))
        medium = Detach(drive);
    KelmorUnlockState();
    KelmorReleaseMedium(medium);
    return status;
}

static PKELMOR_HANDLE FindHandle(PKELMOR_DEVICE drive, PFILE_OBJECT file) {
    PLIST_ENTRY entry;
    if (file == NULL)
        return NULL;
    for (entry = drive->Handles.Flink; entry != &drive->Handles; entry = entry->Flink) {
        PKELMOR_HANDLE handle = CONTAINING_RECORD(entry, KELMOR_HANDLE, Link);
        if (handle->File == file)
            return handle;
    }
    return NULL;
}

/* Locks are one count for the device, as Windows' CD-ROM class driver keeps them: a lock or a
   release through any file object counts, also one the drive's create never saw (a file
   system mounted on the drive sends requests with file objects of its own), and a release
   never takes the count below zero. A handle the drive opened itself also counts the locks
   taken through it, so that when it goes away it gives back those still counted. */
NTSTATUS KelmorSetMediaLock(PKELMOR_DEVICE drive, PFILE_OBJECT file, BOOLEAN prevent) {
    NTSTATUS status = STATUS_SUCCESS;
    PKELMOR_HANDLE handle;

    KelmorLockState();
    handle = FindHandle(drive, file);
    if (drive->Removed) {
        status = STATUS_NO_SUCH_DEVICE;
    } else if (prevent) {
        ++drive->Locks;
        if (handle != NULL)
            ++handle->Locks;
    } else if (drive->Locks > 0) {
        --drive->Locks;
        if (handle != NULL && handle->Locks > 0)
            --handle->Locks;
    }
    KelmorUnlockState();
    return status;
}

NTSTATUS KelmorSetMcn(PKELMOR_DEVICE drive, PFILE_OBJECT file, BOOLEAN disable) {
    NTSTATUS status = STATUS_SUCCESS;
    PKELMOR_HANDLE handle;

    KelmorLockState();
    handle = FindHandle(drive, file);
    if (drive->Removed)
        status = STATUS_NO_SUCH_DEVICE;
    else if (disable && handle != NULL)
        ++handle->McnDisables;
    else if (!disable && (handle == NULL || handle->McnDisables == 0))
        status = STATUS_INVALID_DEVICE_STATE;
    else if (!disable)
        --handle->McnDisables;
    KelmorUnlockState();
    return status;
}

/* Gives back the locks of a handle that goes away, as far as the device still counts them. */
static void DropHandleLocks(PKELMOR_DEVICE drive, PKELMOR_HANDLE handle) {
    drive->Locks -= handle->Locks < drive->Locks ? handle->Locks : drive->Locks;
    handle->Locks = 0;
}

NTSTATUS KelmorOpenHandle(PKELMOR_DEVICE drive, PFILE_OBJECT file) {
    PKELMOR_HANDLE handle;
    NTSTATUS status = STATUS_SUCCESS;

    if (file == NULL)
        return STATUS_INVALID_PARAMETER;
    handle = (PKELMOR_HANDLE)ExAllocatePoolWithTag(KelmorNonPagedPool(), sizeof(*handle),
                                                   KELMOR_POOL_TAG);
    if (handle == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    handle->File = file;
    handle->Locks = 0;
    handle->McnDisables = 0;
    KelmorLockState();
    if (drive->Removed) {
        status = STATUS_NO_SUCH_DEVICE;
    } else {
        InsertTailList(&drive->Handles, &handle->Link);
        ++drive->OpenHandles;
        handle = NULL;
    }
    KelmorUnlockState();
    if (handle != NULL)
        ExFreePoolWithTag(handle, KELMOR_POOL_TAG);
    return status;
}

void KelmorCleanupHandle(PKELMOR_DEVICE drive, PFILE_OBJECT file) {
    PKELMOR_HANDLE handle;
    KelmorLockState();
    handle = FindHandle(drive, file);
    if (handle != NULL)
        DropHandleLocks(drive, handle);
    KelmorUnlockState();
    KelmorCancelHandleReads(drive, file);
}

BOOLEAN KelmorCloseHandle(PKELMOR_DEVICE drive, PFILE_OBJECT file) {
    PKELMOR_HANDLE handle;
    BOOLEAN last = FALSE;

    KelmorLockState();
    handle = FindHandle(drive, file);
    if (handle != NULL) {
        DropHandleLocks(drive, handle);
        RemoveEntryList(&handle->Link);
        --drive->OpenHandles;
        last = drive->Removed && drive->OpenHandles == 0;
    }
    KelmorUnlockState();
    if (handle != NULL)
        ExFreePoolWithTag(handle, KELMOR_POOL_TAG);
    return last;
}
