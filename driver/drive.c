#include "drive.h"

/* In ntifs.h, which does not go with ntddk.h. */
NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable,
                                              PLARGE_INTEGER timeout);

static PDRIVER_OBJECT g_driver;
/* Both locks are synchronization events, taken inside a critical region. Wine's kernel mutex
   breaks down once two threads contend for it (the stand-in's requests and its reader threads
   do): measured under Wine 8.0, requests then hung for good. An event has no owner to lose. */
static KEVENT g_creationLock;
static KEVENT g_stateLock;
static PKELMOR_DEVICE g_drives[KELMOR_MAX_DRIVES]; /* in creation order */
static ULONG g_driveCount;
static ULONG g_nextDeviceNumber;

void KelmorInitialiseDrives(PDRIVER_OBJECT driver) {
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

static void LockState(void) {
    Lock(&g_stateLock);
}

static void UnlockState(void) {
    Unlock(&g_stateLock);
}

/* ---- media ---- */

NTSTATUS KelmorOpenMedium(const WCHAR* path, USHORT units, BOOLEAN checkAccess,
                          PKELMOR_MEDIUM* result) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    FILE_STANDARD_INFORMATION info;
    ULONG objectFlags = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;
    PKELMOR_MEDIUM medium;
    NTSTATUS status;
    HANDLE handle;

    *result = NULL;
    if (units == 0 || units > KELMOR_PATH_UNITS)
        return STATUS_OBJECT_NAME_INVALID;
    if (checkAccess)
        objectFlags |= OBJ_FORCE_ACCESS_CHECK;
    name.Buffer = (PWSTR)path;
    name.Length = (USHORT)(units * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    InitializeObjectAttributes(&attributes, &name, objectFlags, NULL, NULL);
    status = ZwCreateFile(&handle, GENERIC_READ | SYNCHRONIZE, &attributes, &io, NULL,
                          FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN,
                          FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (!NT_SUCCESS(status))
        return status;

    status = ZwQueryInformationFile(handle, &io, &info, sizeof(info), FileStandardInformation);
    if (!NT_SUCCESS(status)) {
        ZwClose(handle);
        return status;
    }
    medium = (PKELMOR_MEDIUM)ExAllocatePoolWithTag(NonPagedPool, sizeof(*medium), KELMOR_POOL_TAG);
    if (medium == NULL) {
        ZwClose(handle);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    medium->References = 1;
    medium->File = handle;
    medium->Size = info.EndOfFile.QuadPart;
    *result = medium;
    return STATUS_SUCCESS;
}

void KelmorReleaseMedium(PKELMOR_MEDIUM medium) {
    if (medium == NULL || InterlockedDecrement(&medium->References) != 0)
        return;
    ZwClose(medium->File);
    ExFreePoolWithTag(medium, KELMOR_POOL_TAG);
}

/* Reads up to `length` bytes at `offset`; past the end of the image it reads 0 bytes. */
static NTSTATUS ReadMedium(PKELMOR_MEDIUM medium, LONGLONG offset, PVOID buffer, ULONG length,
                           ULONG* bytesRead) {
    IO_STATUS_BLOCK io;
    LARGE_INTEGER position;
    NTSTATUS status;

    *bytesRead = 0;
    if (offset < 0)
        return STATUS_INVALID_PARAMETER;
    if (offset >= medium->Size || length == 0)
        return STATUS_SUCCESS;
    if ((LONGLONG)length > medium->Size - offset)
        length = (ULONG)(medium->Size - offset);

    position.QuadPart = offset;
    status = ZwReadFile(medium->File, NULL, NULL, NULL, &io, buffer, length, &position, NULL);
    if (status == STATUS_END_OF_FILE)
        return STATUS_SUCCESS;
    if (NT_SUCCESS(status))
        *bytesRead = (ULONG)io.Information;
    return status;
}

/* Takes the drive's medium out of it; the caller releases it outside the lock. */
static PKELMOR_MEDIUM TakeMedium(PKELMOR_DEVICE drive) {
    PKELMOR_MEDIUM medium = drive->Medium;
    if (medium != NULL) {
        drive->Medium = NULL;
        ++drive->ChangeCount;
    }
    return medium;
}

static void SetPath(PKELMOR_DEVICE drive, const WCHAR* path, USHORT units, ULONG flags) {
    RtlCopyMemory(drive->Path, path, units * sizeof(WCHAR));
    drive->Path[units] = 0;
    drive->PathUnits = units;
    drive->Flags = flags;
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

static BOOLEAN LinkExists(const WCHAR* text, USHORT units) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    HANDLE handle;

    name.Buffer = (PWSTR)text;
    name.Length = (USHORT)(units * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    if (!NT_SUCCESS(ZwOpenSymbolicLinkObject(&handle, GENERIC_READ, &attributes)))
        return FALSE;
    ZwClose(handle);
    return TRUE;
}

static BOOLEAN IsOurLetter(WCHAR letter) {
    BOOLEAN ours = FALSE;
    ULONG i;
    LockState();
    for (i = 0; i < g_driveCount && !ours; ++i)
        ours = g_drives[i]->Letter == letter;
    UnlockState();
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

    if (IsOurLetter(letter))
        return FALSE;
    MakeLinkName(global, 16, kGlobalPrefix, drive, &globalName);
    if (LinkExists(global, (USHORT)(globalName.Length / sizeof(WCHAR))) || LinkExists(local, 6))
        return FALSE;

    name.Buffer = local;
    name.Length = 7 * sizeof(WCHAR);
    name.MaximumLength = sizeof(local);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    if (NT_SUCCESS(ZwCreateFile(&handle, FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &io, NULL,
                                0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                FILE_OPEN, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL,
                                0))) {
        ZwClose(handle);
        return FALSE;
    }
    return TRUE;
}

/* "\Device\KelmorCdRom<n>": numbered, not lettered, so that a drive removed while a handle
   still holds its device never blocks a new drive's name. */
static void MakeDeviceName(WCHAR* buffer, ULONG units, UNICODE_STRING* name) {
    static const WCHAR prefix[] = L"\\Device\\KelmorCdRom";
    WCHAR digits[12];
    ULONG length = 0, count = 0, number = g_nextDeviceNumber++;

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
}

static VOID NTAPI ReaderMain(PVOID context);

static NTSTATUS StartReader(PKELMOR_DEVICE drive) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    return PsCreateSystemThread(&drive->Reader, THREAD_ALL_ACCESS, &attributes, NULL, NULL,
                                ReaderMain, drive);
}

static void StopReader(PKELMOR_DEVICE drive) {
    KIRQL irql;
    if (drive->Reader == NULL)
        return;
    IoAcquireCancelSpinLock(&irql);
    drive->StopReader = TRUE;
    IoReleaseCancelSpinLock(irql);
    KeSetEvent(&drive->ReadsQueued, IO_NO_INCREMENT, FALSE);
    ZwWaitForSingleObject(drive->Reader, FALSE, NULL);
    ZwClose(drive->Reader);
    drive->Reader = NULL;
}

NTSTATUS KelmorCreateDrive(WCHAR letter, PKELMOR_MEDIUM medium, const WCHAR* path, USHORT units,
                           WCHAR* created) {
    WCHAR nameBuffer[40];
    UNICODE_STRING name;
    PDEVICE_OBJECT device;
    PKELMOR_DEVICE drive;
    NTSTATUS status;
    ULONG count;

    *created = 0;
    LockState();
    count = g_driveCount;
    UnlockState();
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

    MakeDeviceName(nameBuffer, sizeof(nameBuffer) / sizeof(WCHAR), &name);
    status = IoCreateDevice(g_driver, sizeof(KELMOR_DEVICE), &name, FILE_DEVICE_CD_ROM,
                            FILE_REMOVABLE_MEDIA | FILE_READ_ONLY_DEVICE, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;

    drive = (PKELMOR_DEVICE)device->DeviceExtension;
    RtlZeroMemory(drive, sizeof(*drive));
    drive->Kind = KelmorDriveDevice;
    drive->Self = device;
    drive->Letter = letter;
    InitializeListHead(&drive->Handles);
    InitializeListHead(&drive->ReadQueue);
    KeInitializeEvent(&drive->ReadsQueued, SynchronizationEvent, FALSE);
    drive->LinkBuffer[0] = letter;
    drive->LinkBuffer[1] = L':';
    /* The medium is in place before the letter appears: nobody sees the drive without it. */
    drive->Medium = medium;
    if (medium != NULL) {
        SetPath(drive, path, units, 0);
        drive->ChangeCount = 1;
    }

    status = StartReader(drive);
    if (!NT_SUCCESS(status)) {
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

    LockState();
    g_drives[g_driveCount++] = drive;
    UnlockState();
    *created = letter;
    return STATUS_SUCCESS;
}

void KelmorListDrives(KELMOR_DRIVE_LIST* list) {
    ULONG i;
    RtlZeroMemory(list, sizeof(*list));
    LockState();
    list->Count = (USHORT)g_driveCount;
    for (i = 0; i < g_driveCount; ++i)
        list->Letters[i] = g_drives[i]->Letter;
    UnlockState();
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
    return TakeMedium(drive);
}

void KelmorDeleteDrive(PKELMOR_DEVICE drive) {
    StopReader(drive);
    while (!IsListEmpty(&drive->Handles)) {
        PKELMOR_HANDLE handle =
            CONTAINING_RECORD(RemoveHeadList(&drive->Handles), KELMOR_HANDLE, Link);
        ExFreePoolWithTag(handle, KELMOR_POOL_TAG);
    }
    KelmorReleaseMedium(drive->Medium);
    drive->Medium = NULL;
    IoDeleteDevice(drive->Self);
}

void KelmorDeleteAllDrives(PDRIVER_OBJECT driver) {
    PDEVICE_OBJECT device, next;

    for (device = driver->DeviceObject; device != NULL; device = next) {
        PKELMOR_DEVICE extension = (PKELMOR_DEVICE)device->DeviceExtension;
        PKELMOR_MEDIUM medium = NULL;
        next = device->NextDevice;
        if (extension->Kind != KelmorDriveDevice)
            continue;
        LockState();
        if (!extension->Removed)
            medium = Detach(extension);
        UnlockState();
        KelmorReleaseMedium(medium);
        KelmorDeleteDrive(extension);
    }
}

/* ---- requests ---- */

/* Whether a request may change what the drive holds now: not once it is removed, nor while
   a handle keeps its medium locked. Called with the state locked. */
static NTSTATUS ChangeableStatus(PKELMOR_DEVICE drive) {
    if (drive->Removed)
        return STATUS_NO_SUCH_DEVICE;
    if (drive->Locks > 0)
        return STATUS_DEVICE_BUSY;
    return STATUS_SUCCESS;
}

NTSTATUS KelmorRemoveDrive(PKELMOR_DEVICE drive) {
    PKELMOR_MEDIUM medium = NULL;
    NTSTATUS status = STATUS_SUCCESS;

    LockState();
    status = ChangeableStatus(drive);
    if (NT_SUCCESS(status))
        medium = Detach(drive);
    UnlockState();
    KelmorReleaseMedium(medium);
    return status;
}

NTSTATUS KelmorMountImage(PKELMOR_DEVICE drive, const WCHAR* path, USHORT units, ULONG flags,
                          BOOLEAN checkAccess) {
    PKELMOR_MEDIUM medium, old = NULL;
    NTSTATUS status = STATUS_SUCCESS;

    LockState();
    status = ChangeableStatus(drive);
    UnlockState();
    if (!NT_SUCCESS(status))
        return status;

    status = KelmorOpenMedium(path, units, checkAccess, &medium);
    if (!NT_SUCCESS(status))
        return status;

    /* The drive may have been removed or locked while the file was opening. */
    LockState();
    status = ChangeableStatus(drive);
    if (NT_SUCCESS(status)) {
        old = TakeMedium(drive);
        SetPath(drive, path, units, flags);
        drive->Medium = medium;
        ++drive->ChangeCount;
        medium = NULL;
    }
    UnlockState();
    KelmorReleaseMedium(old);
    KelmorReleaseMedium(medium);
    return status;
}

NTSTATUS KelmorEjectImage(PKELMOR_DEVICE drive) {
    PKELMOR_MEDIUM medium = NULL;
    NTSTATUS status = STATUS_SUCCESS;

    LockState();
    status = ChangeableStatus(drive);
    if (NT_SUCCESS(status))
        medium = TakeMedium(drive);
    UnlockState();
    KelmorReleaseMedium(medium);
    return status;
}

NTSTATUS KelmorReloadImage(PKELMOR_DEVICE drive, BOOLEAN checkAccess) {
    WCHAR path[KELMOR_PATH_UNITS + 1];
    USHORT units = 0;
    ULONG changeCount = 0;
    PKELMOR_MEDIUM medium;
    NTSTATUS status = STATUS_SUCCESS;

    LockState();
    if (drive->Removed) {
        status = STATUS_NO_SUCH_DEVICE;
    } else if (drive->Medium == NULL && drive->PathUnits == 0) {
        status = STATUS_NO_MEDIA_IN_DEVICE;
    } else if (drive->Medium == NULL) {
        units = drive->PathUnits;
        RtlCopyMemory(path, drive->Path, units * sizeof(WCHAR));
        changeCount = drive->ChangeCount;
    }
    UnlockState();
    /* A drive that has its medium loads nothing: no second open of the same file. */
    if (!NT_SUCCESS(status) || units == 0)
        return status;

    /* The remembered path was chosen by whoever mounted it; whoever loads it now must be
       allowed to open it as well. */
    status = KelmorOpenMedium(path, units, checkAccess, &medium);
    if (!NT_SUCCESS(status))
        return status;

    LockState();
    if (drive->Removed) {
        status = STATUS_NO_SUCH_DEVICE;
    } else if (drive->Medium == NULL && drive->ChangeCount == changeCount) {
        drive->Medium = medium;
        ++drive->ChangeCount;
        medium = NULL;
    } else if (drive->Medium == NULL) {
        /* Another mount came and went while the file was opening: its path is not ours. */
        status = STATUS_NO_MEDIA_IN_DEVICE;
    }
    UnlockState();
    KelmorReleaseMedium(medium);
    return status;
}

NTSTATUS KelmorQueryImage(PKELMOR_DEVICE drive, KELMOR_IMAGE_INFO* info) {
    static const WCHAR prefix[] = L"\\??\\";
    NTSTATUS status = STATUS_SUCCESS;
    ULONG skip = 0;

    RtlZeroMemory(info, sizeof(*info));
    LockState();
    if (drive->Removed) {
        status = STATUS_NO_SUCH_DEVICE;
    } else {
        /* The path is reported as the user knows it, without the "\??\" prefix. */
        if (drive->PathUnits >= 4 &&
            RtlCompareMemory(drive->Path, prefix, 4 * sizeof(WCHAR)) == 4 * sizeof(WCHAR))
            skip = 4;
        RtlCopyMemory(info->ImagePath, drive->Path + skip,
                      (drive->PathUnits - skip) * sizeof(WCHAR));
        info->ImagePathLength = (USHORT)((drive->PathUnits - skip) * sizeof(WCHAR));
        info->Mounted = drive->Medium != NULL ? 1 : 0;
    }
    UnlockState();
    return status;
}

NTSTATUS KelmorQueryGeometry(PKELMOR_DEVICE drive, KELMOR_GEOMETRY* geometry) {
    const LONGLONG cylinderBytes = (LONGLONG)1 << KELMOR_CYLINDER_SHIFT;
    NTSTATUS status = STATUS_SUCCESS;
    LONGLONG size = 0;

    LockState();
    if (drive->Removed)
        status = STATUS_NO_SUCH_DEVICE;
    else if (drive->Medium == NULL)
        status = STATUS_NO_MEDIA_IN_DEVICE;
    else
        size = drive->Medium->Size;
    UnlockState();
    if (!NT_SUCCESS(status))
        return status;
    /* Whole cylinders that cover the image. */
    geometry->Cylinders.QuadPart = (size + cylinderBytes - 1) >> KELMOR_CYLINDER_SHIFT;
    geometry->MediaType = KELMOR_REMOVABLE_MEDIA;
    geometry->TracksPerCylinder = KELMOR_TRACKS_PER_CYLINDER;
    geometry->SectorsPerTrack = KELMOR_SECTORS_PER_TRACK;
    geometry->BytesPerSector = KELMOR_SECTOR_SIZE;
    return STATUS_SUCCESS;
}

NTSTATUS KelmorCheckVerify(PKELMOR_DEVICE drive, ULONG* changeCount) {
    NTSTATUS status = STATUS_SUCCESS;
    LockState();
    if (drive->Removed)
        status = STATUS_NO_SUCH_DEVICE;
    else if (drive->Medium == NULL)
        status = STATUS_NO_MEDIA_IN_DEVICE;
    else
        *changeCount = drive->ChangeCount;
    UnlockState();
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

/* Locks are counted per handle as well as per drive, so that a handle that goes away releases
   the locks it took. A release by a handle that holds no lock changes nothing. */
NTSTATUS KelmorSetMediaLock(PKELMOR_DEVICE drive, PFILE_OBJECT file, BOOLEAN prevent) {
    NTSTATUS status = STATUS_SUCCESS;
    PKELMOR_HANDLE handle;

    LockState();
    handle = FindHandle(drive, file);
    if (drive->Removed) {
        status = STATUS_NO_SUCH_DEVICE;
    } else if (handle == NULL) {
        status = STATUS_INVALID_DEVICE_REQUEST; /* not a handle this drive opened */
    } else if (prevent) {
        ++handle->Locks;
        ++drive->Locks;
    } else if (handle->Locks > 0) {
        --handle->Locks;
        --drive->Locks;
    }
    UnlockState();
    return status;
}

NTSTATUS KelmorOpenHandle(PKELMOR_DEVICE drive, PFILE_OBJECT file) {
    PKELMOR_HANDLE handle;
    NTSTATUS status = STATUS_SUCCESS;

    if (file == NULL)
        return STATUS_INVALID_PARAMETER;
    handle = (PKELMOR_HANDLE)ExAllocatePoolWithTag(NonPagedPool, sizeof(*handle), KELMOR_POOL_TAG);
    if (handle == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    handle->File = file;
    handle->Locks = 0;
    LockState();
    if (drive->Removed) {
        status = STATUS_NO_SUCH_DEVICE;
    } else {
        InsertTailList(&drive->Handles, &handle->Link);
        ++drive->OpenHandles;
        handle = NULL;
    }
    UnlockState();
    if (handle != NULL)
        ExFreePoolWithTag(handle, KELMOR_POOL_TAG);
    return status;
}

void KelmorCleanupHandle(PKELMOR_DEVICE drive, PFILE_OBJECT file) {
    PKELMOR_HANDLE handle;
    LockState();
    handle = FindHandle(drive, file);
    if (handle != NULL) {
        drive->Locks -= handle->Locks;
        handle->Locks = 0;
    }
    UnlockState();
}

BOOLEAN KelmorCloseHandle(PKELMOR_DEVICE drive, PFILE_OBJECT file) {
    PKELMOR_HANDLE handle;
    BOOLEAN last = FALSE;

    LockState();
    handle = FindHandle(drive, file);
    if (handle != NULL) {
        drive->Locks -= handle->Locks;
        RemoveEntryList(&handle->Link);
        --drive->OpenHandles;
        last = drive->Removed && drive->OpenHandles == 0;
    }
    UnlockState();
    if (handle != NULL)
        ExFreePoolWithTag(handle, KELMOR_POOL_TAG);
    return last;
}

/* ---- reads ---- */

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

    if (irp->MdlAddress != NULL)
        buffer = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    else
        buffer = irp->AssociatedIrp.SystemBuffer;

    LockState();
    if (drive->Removed)
        status = STATUS_NO_SUCH_DEVICE;
    else if (drive->Medium == NULL)
        status = STATUS_NO_MEDIA_IN_DEVICE;
    else
        medium = drive->Medium;
    if (medium != NULL)
        InterlockedIncrement(&medium->References);
    UnlockState();

    if (NT_SUCCESS(status) && buffer == NULL && length != 0)
        status = STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status))
        status = ReadMedium(medium, stack->Parameters.Read.ByteOffset.QuadPart, buffer, length,
                            &bytesRead);
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

static NTSTATUS QueueRead(PKELMOR_DEVICE drive, PIRP irp) {
    NTSTATUS refusal = STATUS_SUCCESS;
    KIRQL irql;

    IoMarkIrpPending(irp);
    IoAcquireCancelSpinLock(&irql);
    if (drive->StopReader)
        refusal = STATUS_NO_SUCH_DEVICE;
    else if (irp->Cancel)
        refusal = STATUS_CANCELLED;
    if (NT_SUCCESS(refusal)) {
        IoSetCancelRoutine(irp, CancelQueuedRead);
        InsertTailList(&drive->ReadQueue, &irp->Tail.Overlay.ListEntry);
    }
    IoReleaseCancelSpinLock(irql);
    if (NT_SUCCESS(refusal))
        KeSetEvent(&drive->ReadsQueued, IO_NO_INCREMENT, FALSE);
    else
        CompleteRead(irp, refusal, 0);
    return STATUS_PENDING;
}

#ifdef KELMOR_HOLD_READS_WHILE_LOCKED
/* A build for the tests only, never shipped: every read is queued, as a paging read at
   APC_LEVEL would be (Wine sends none), and queued reads wait while the medium is locked, so
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

NTSTATUS KelmorRead(PKELMOR_DEVICE drive, PIRP irp) {
    /* A read from a program is served at once in the caller's thread: a round trip to the
       reader thread costs more than the read itself. A file system's paging read may come at
       APC_LEVEL, where a file cannot be read: that one goes to the reader thread. The paging
       flags tell them apart; KeAreAllApcsDisabled cannot under Wine 8, which answers TRUE in
       every request (it reads the requesting thread's critical-region count there). */
    if (!KELMOR_HOLDS_READS && (irp->Flags & (IRP_PAGING_IO | IRP_SYNCHRONOUS_PAGING_IO)) == 0)
        return ServeRead(drive, irp);
    return QueueRead(drive, irp);
}

/* Each wake-up serves every read queued by then. Told to stop, the thread cancels the reads
   still waiting and ends. */
static VOID NTAPI ReaderMain(PVOID context) {
    PKELMOR_DEVICE drive = (PKELMOR_DEVICE)context;
    LARGE_INTEGER poll;
    BOOLEAN stop = FALSE;

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
