/* The images of the drives: opening an image file as a drive's medium, reading it, and the
   requests that mount, eject, reload and describe what a drive holds. */
#include "drive.h"

/* One sector of the image for the patch finder, zeros past the image's end. */
typedef struct _SECTOR_SOURCE {
    HANDLE File;
    LONGLONG Size;
} SECTOR_SOURCE;

static int ReadImageSector(void* context, uint32_t sector, uint8_t* buffer) {
    const SECTOR_SOURCE* source = (const SECTOR_SOURCE*)context;
    const LONGLONG offset = (LONGLONG)sector * KELMOR_SECTOR_SIZE;
    const ULONG inFile = source->Size - offset < KELMOR_SECTOR_SIZE ? (ULONG)(source->Size - offset)
                                                                    : KELMOR_SECTOR_SIZE;
    IO_STATUS_BLOCK io;
    LARGE_INTEGER position;

    RtlZeroMemory(buffer, KELMOR_SECTOR_SIZE);
    position.QuadPart = offset;
    return NT_SUCCESS(
               ZwReadFile(source->File, NULL, NULL, NULL, &io, buffer, inFile, &position, NULL)) &&
           io.Information == inFile;
}

/* What the mount flags suppress (patch.h), read from the image as it is now. */
static NTSTATUS FindPatches(PKELMOR_MEDIUM medium, ULONG flags) {
    SECTOR_SOURCE source;
    PUCHAR buffer;

    medium->Patches.Count = 0;
    if (flags == 0)
        return STATUS_SUCCESS;
    buffer = (PUCHAR)ExAllocatePoolWithTag(PagedPool, KELMOR_SECTOR_SIZE, KELMOR_POOL_TAG);
    if (buffer == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    source.File = medium->File;
    source.Size = medium->Size;
    KelmorFindPatches(flags, KelmorDiscSectors(medium->Size), ReadImageSector, &source, buffer,
                      &medium->Patches);
    ExFreePoolWithTag(buffer, KELMOR_POOL_TAG);
    return STATUS_SUCCESS;
}

/* Whether the open file lies on a volume of one of our own drives, reached through a path that
   names no drive letter of ours (a subst letter, a junction): the device the file is opened on
   (its file object's DeviceObject, the volume's real device, not the top of its file-system
   stack) is ours. Only a file on a CD-ROM volume can be: the file object is looked at for
   those alone. (Wine faults in its driver host when a driver takes the file object of a file on
   a host drive, whose volume it reports as FILE_DEVICE_DISK_FILE_SYSTEM.) */
static BOOLEAN IsOnOwnDevice(HANDLE file) {
    FILE_FS_DEVICE_INFORMATION volume;
    IO_STATUS_BLOCK io;
    PFILE_OBJECT object;
    BOOLEAN own;

    if (!NT_SUCCESS(ZwQueryVolumeInformationFile(file, &io, &volume, sizeof(volume),
                                                 FileFsDeviceInformation)) ||
        (volume.DeviceType != FILE_DEVICE_CD_ROM &&
         volume.DeviceType != FILE_DEVICE_CD_ROM_FILE_SYSTEM))
        return FALSE;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(file, 0, *IoFileObjectType, KernelMode,
                                              (PVOID*)&object, NULL)))
        return FALSE;
    own = KelmorIsOwnDevice(object->DeviceObject);
    ObDereferenceObject(object);
    return own;
}

NTSTATUS KelmorOpenMedium(const WCHAR* path, USHORT units, BOOLEAN checkAccess, ULONG flags,
                          PKELMOR_MEDIUM* result) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    FILE_STANDARD_INFORMATION info;
    ULONG objectFlags = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;
    PKELMOR_MEDIUM medium;
    NTSTATUS status;
    HANDLE handle;
    uint16_t letter;

    *result = NULL;
    if (units == 0 || units > KELMOR_PATH_UNITS)
        return STATUS_OBJECT_NAME_INVALID;
    /* An image on one of our own drives would be read by the drive's reader through the drive
       itself, behind its own reads; under Wine, opening it from a request waits for the very
       request that opens it. */
    letter = KelmorPathDriveLetter((const uint16_t*)path, units);
    if (letter != 0 && KelmorIsDriveLetter((WCHAR)letter))
        return STATUS_INVALID_PARAMETER;
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
    if (IsOnOwnDevice(handle)) {
        ZwClose(handle);
        return STATUS_INVALID_PARAMETER;
    }

    status = ZwQueryInformationFile(handle, &io, &info, sizeof(info), FileStandardInformation);
    if (!NT_SUCCESS(status)) {
        ZwClose(handle);
        return status;
    }
    medium = (PKELMOR_MEDIUM)ExAllocatePoolWithTag(KelmorNonPagedPool(), sizeof(*medium),
                                                   KELMOR_POOL_TAG);
    if (medium == NULL) {
        ZwClose(handle);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    medium->References = 1;
    medium->File = handle;
    medium->Size = info.EndOfFile.QuadPart;
    status = FindPatches(medium, flags);
    if (!NT_SUCCESS(status)) {
        KelmorReleaseMedium(medium);
        return status;
    }
    *result = medium;
    return STATUS_SUCCESS;
}

void KelmorReleaseMedium(PKELMOR_MEDIUM medium) {
    if (medium == NULL || InterlockedDecrement(&medium->References) != 0)
        return;
    ZwClose(medium->File);
    ExFreePoolWithTag(medium, KELMOR_POOL_TAG);
}

/* Reads whole sectors as Windows' CD-ROM class driver does: a read that is not in whole
   sectors, or that starts at or runs past the disc's end, is refused as a whole, and a sector
   the image file cannot deliver (the file shrank, or reading it failed) is a data error, never
   a shorter read. A last part-sector of the image reads with zeros after the image's end. */
NTSTATUS KelmorReadMedium(PKELMOR_MEDIUM medium, LONGLONG offset, PVOID buffer, ULONG length,
                          ULONG* bytesRead) {
    const LONGLONG discBytes = (LONGLONG)KelmorDiscSectors(medium->Size) * KELMOR_SECTOR_SIZE;
    IO_STATUS_BLOCK io;
    LARGE_INTEGER position;
    ULONG inFile;
    NTSTATUS status;

    *bytesRead = 0;
    if (offset < 0 || offset % KELMOR_SECTOR_SIZE != 0 || length % KELMOR_SECTOR_SIZE != 0)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (offset >= discBytes || (LONGLONG)length > discBytes - offset)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (length == 0)
        return STATUS_SUCCESS;

    inFile = (LONGLONG)length < medium->Size - offset ? length : (ULONG)(medium->Size - offset);
    position.QuadPart = offset;
    status = ZwReadFile(medium->File, NULL, NULL, NULL, &io, buffer, inFile, &position, NULL);
    if (!NT_SUCCESS(status) || io.Information != inFile)
        return STATUS_DEVICE_DATA_ERROR;
    if (inFile < length)
        RtlZeroMemory((PUCHAR)buffer + inFile, length - inFile);
    KelmorApplyPatches(&medium->Patches, (uint64_t)offset, length, (uint8_t*)buffer);
    *bytesRead = length;
    return STATUS_SUCCESS;
}

/* A medium came or went: check-verify's count rises, and a file system mounted on the drive
   (its VPB flagged mounted; Wine gives no VPB) must verify the volume before it reads again,
   as with Windows' removable-media protocol. Called with the state locked. */
void KelmorNoteMediumChange(PKELMOR_DEVICE drive) {
    PVPB vpb = drive->Self->Vpb;
    ++drive->ChangeCount;
    if (vpb != NULL && (vpb->Flags & VPB_MOUNTED) != 0)
        drive->Self->Flags |= DO_VERIFY_VOLUME;
}

/* Takes the drive's medium out of it; the caller releases it outside the lock. */
PKELMOR_MEDIUM KelmorTakeMedium(PKELMOR_DEVICE drive) {
    PKELMOR_MEDIUM medium = drive->Medium;
    if (medium != NULL) {
        drive->Medium = NULL;
        KelmorNoteMediumChange(drive);
    }
    return medium;
}

void KelmorSetPath(PKELMOR_DEVICE drive, const WCHAR* path, USHORT units, ULONG flags) {
    RtlCopyMemory(drive->Path, path, units * sizeof(WCHAR));
    drive->Path[units] = 0;
    drive->PathUnits = units;
    drive->Flags = flags;
}

/* ---- requests ---- */

NTSTATUS KelmorMountImage(PKELMOR_DEVICE drive, const WCHAR* path, USHORT units, ULONG flags,
                          BOOLEAN checkAccess) {
    PKELMOR_MEDIUM medium, old = NULL;
    NTSTATUS status = STATUS_SUCCESS;

    KelmorLockState();
    status = KelmorChangeableStatus(drive);
    KelmorUnlockState();
    if (!NT_SUCCESS(status))
        return status;

    status = KelmorOpenMedium(path, units, checkAccess, flags, &medium);
    if (!NT_SUCCESS(status))
        return status;

    /* The drive may have been removed or locked while the file was opening. */
    KelmorLockState();
    status = KelmorChangeableStatus(drive);
    if (NT_SUCCESS(status)) {
        old = KelmorTakeMedium(drive);
        KelmorSetPath(drive, path, units, flags);
        drive->Medium = medium;
        KelmorNoteMediumChange(drive);
        medium = NULL;
    }
    KelmorUnlockState();
    KelmorReleaseMedium(old);
    KelmorReleaseMedium(medium);
    return status;
}

NTSTATUS KelmorEjectImage(PKELMOR_DEVICE drive) {
    PKELMOR_MEDIUM medium = NULL;
    NTSTATUS status = STATUS_SUCCESS;

    KelmorLockState();
    status = KelmorChangeableStatus(drive);
    if (NT_SUCCESS(status))
        medium = KelmorTakeMedium(drive);
    KelmorUnlockState();
    KelmorReleaseMedium(medium);
    return status;
}

NTSTATUS KelmorReloadImage(PKELMOR_DEVICE drive, BOOLEAN checkAccess) {
    WCHAR path[KELMOR_PATH_UNITS + 1];
    USHORT units = 0;
    ULONG changeCount = 0, flags = 0;
    PKELMOR_MEDIUM medium;
    NTSTATUS status = STATUS_SUCCESS;

    KelmorLockState();
    if (drive->Removed) {
        status = STATUS_NO_SUCH_DEVICE;
    } else if (drive->Medium == NULL && drive->PathUnits == 0) {
        status = STATUS_NO_MEDIA_IN_DEVICE;
    } else if (drive->Medium == NULL) {
        units = drive->PathUnits;
        RtlCopyMemory(path, drive->Path, units * sizeof(WCHAR));
        changeCount = drive->ChangeCount;
        flags = drive->Flags;
    }
    KelmorUnlockState();
    /* A drive that has its medium loads nothing: no second open of the same file. */
    if (!NT_SUCCESS(status) || units == 0)
        return status;

    /* The remembered path was chosen by whoever mounted it; whoever loads it now must be
       allowed to open it as well. */
    /* Found again: the file may have changed while it was out of the drive. */
    status = KelmorOpenMedium(path, units, checkAccess, flags, &medium);
    if (!NT_SUCCESS(status))
        return status;

    KelmorLockState();
    if (drive->Removed) {
        status = STATUS_NO_SUCH_DEVICE;
    } else if (drive->Medium == NULL && drive->ChangeCount == changeCount) {
        drive->Medium = medium;
        KelmorNoteMediumChange(drive);
        medium = NULL;
    } else if (drive->Medium == NULL) {
        /* Another mount came and went while the file was opening: its path is not ours. */
        status = STATUS_NO_MEDIA_IN_DEVICE;
    }
    KelmorUnlockState();
    KelmorReleaseMedium(medium);
    return status;
}

NTSTATUS KelmorQueryImage(PKELMOR_DEVICE drive, KELMOR_IMAGE_INFO* info) {
    static const WCHAR prefix[] = L"\\??\\";
    NTSTATUS status = STATUS_SUCCESS;
    ULONG skip = 0;

    RtlZeroMemory(info, sizeof(*info));
    KelmorLockState();
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
    KelmorUnlockState();
    return status;
}

NTSTATUS KelmorQueryDisc(PKELMOR_DEVICE drive, ULONGLONG* sectors) {
    NTSTATUS status = STATUS_SUCCESS;

    *sectors = 0;
    KelmorLockState();
    if (drive->Removed)
        status = STATUS_NO_SUCH_DEVICE;
    else if (drive->Medium == NULL)
        status = STATUS_NO_MEDIA_IN_DEVICE;
    else
        *sectors = KelmorDiscSectors(drive->Medium->Size);
    KelmorUnlockState();
    return status;
}

NTSTATUS KelmorCheckVerify(PKELMOR_DEVICE drive, ULONG* changeCount) {
    NTSTATUS status = STATUS_SUCCESS;
    KelmorLockState();
    if (drive->Removed)
        status = STATUS_NO_SUCH_DEVICE;
    else if (drive->Medium == NULL)
        status = STATUS_NO_MEDIA_IN_DEVICE;
    else
        *changeCount = drive->ChangeCount;
    KelmorUnlockState();
    return status;
}
