/*
 * The stand-in virtual CD-ROM driver: a control device "\\.\Quillmere" that creates and lists
 * virtual drives, and one CD-ROM device per drive that mounts an image file and serves it as
 * its medium.
 */
#include "drive.h"

DRIVER_INITIALIZE DriverEntry;

static const WCHAR kControlDeviceName[] = L"\\Device\\Quillmere";
static const WCHAR kControlLinkName[] = L"\\??\\Quillmere";

static PDEVICE_OBJECT g_control;

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* Media-removal locks are counted per handle as well as per drive, so that a handle that goes
   away releases the locks it took. */
static KELMOR_LOCK_HOLDER* FindHolder(PKELMOR_DEVICE drive, PFILE_OBJECT file) {
    ULONG i;
    for (i = 0; i < KELMOR_LOCK_HOLDERS; ++i) {
        if (drive->Holders[i].File == file)
            return &drive->Holders[i];
    }
    return NULL;
}

static NTSTATUS TakeLock(PKELMOR_DEVICE drive, PFILE_OBJECT file) {
    KELMOR_LOCK_HOLDER* holder = FindHolder(drive, file);
    if (holder == NULL) {
        holder = FindHolder(drive, NULL);
        if (holder == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
        holder->File = file;
        holder->Count = 0;
    }
    ++holder->Count;
    ++drive->Locks;
    return STATUS_SUCCESS;
}

/* A release by a handle that holds no lock changes nothing. */
static void DropLock(PKELMOR_DEVICE drive, PFILE_OBJECT file) {
    KELMOR_LOCK_HOLDER* holder = FindHolder(drive, file);
    if (holder == NULL)
        return;
    --holder->Count;
    --drive->Locks;
    if (holder->Count == 0)
        holder->File = NULL;
}

static void ReleaseHandleLocks(PKELMOR_DEVICE drive, PFILE_OBJECT file) {
    KELMOR_LOCK_HOLDER* holder = FindHolder(drive, file);
    if (holder == NULL)
        return;
    drive->Locks = drive->Locks > holder->Count ? drive->Locks - holder->Count : 0;
    holder->File = NULL;
    holder->Count = 0;
}

/* ---- control device ---- */

static NTSTATUS ControlRequest(PIRP irp, PIO_STACK_LOCATION stack) {
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status;

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_KELMOR_ADD_DRIVE: {
        PKELMOR_DEVICE drive;
        USHORT letter;
        if (outputLength < sizeof(USHORT))
            return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        KelmorLock();
        status = KelmorCreateDrive(0, &drive);
        letter = NT_SUCCESS(status) ? (USHORT)drive->Letter : 0;
        KelmorUnlock();
        if (!NT_SUCCESS(status))
            return Complete(irp, status, 0);
        /* The answer is the new drive's letter. */
        RtlCopyMemory(buffer, &letter, sizeof(letter));
        return Complete(irp, STATUS_SUCCESS, sizeof(letter));
    }
    case IOCTL_KELMOR_QUERY_DRIVES: {
        KELMOR_DRIVE_LIST list;
        ULONG i;
        if (outputLength < sizeof(list))
            return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlZeroMemory(&list, sizeof(list));
        KelmorLock();
        list.Count = (USHORT)KelmorDriveCount();
        for (i = 0; i < list.Count; ++i)
            list.Letters[i] = KelmorDriveAt(i)->Letter;
        KelmorUnlock();
        RtlCopyMemory(buffer, &list, sizeof(list));
        return Complete(irp, STATUS_SUCCESS, sizeof(list));
    }
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

/* ---- drive devices ---- */

/* Checks a mount request without reading past it: exactly 516 bytes, an even length of at
   most 510 bytes, and a terminator right after the path when it is shorter than 255 units. */
static NTSTATUS CheckMountRequest(const KELMOR_MOUNT_REQUEST* request, ULONG inputLength) {
    USHORT length;

    if (request == NULL || inputLength != sizeof(*request))
        return STATUS_INVALID_PARAMETER;
    length = request->ImagePathLength;
    if (length == 0 || length % sizeof(WCHAR) != 0 || length > KELMOR_PATH_UNITS * sizeof(WCHAR))
        return STATUS_INVALID_PARAMETER;
    if (length < KELMOR_PATH_UNITS * sizeof(WCHAR) &&
        request->ImagePath[length / sizeof(WCHAR)] != 0)
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

static ULONG_PTR FillImageInfo(const KELMOR_DEVICE* drive, KELMOR_IMAGE_INFO* info) {
    static const WCHAR prefix[] = L"\\??\\";
    ULONG skip = 0;

    RtlZeroMemory(info, sizeof(*info));
    /* The path is reported as the user knows it, without the "\??\" prefix. */
    if (drive->PathUnits >= 4 &&
        RtlCompareMemory(drive->Path, prefix, 4 * sizeof(WCHAR)) == 4 * sizeof(WCHAR))
        skip = 4;
    RtlCopyMemory(info->ImagePath, drive->Path + skip, (drive->PathUnits - skip) * sizeof(WCHAR));
    info->ImagePathLength = (USHORT)((drive->PathUnits - skip) * sizeof(WCHAR));
    info->Mounted = drive->Image != NULL ? 1 : 0;
    return sizeof(*info);
}

static NTSTATUS DriveRequest(PKELMOR_DEVICE drive, PIRP irp, PIO_STACK_LOCATION stack) {
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    PDEVICE_OBJECT deviceToDelete = NULL;

    KelmorLock();
    if (drive->Removed) {
        KelmorUnlock();
        return Complete(irp, STATUS_NO_SUCH_DEVICE, 0);
    }

    switch (code) {
    case IOCTL_KELMOR_REMOVE_DRIVE:
        if (drive->Locks > 0) {
            status = STATUS_DEVICE_BUSY;
        } else {
            KelmorDetachDrive(drive);
            if (drive->OpenHandles == 0)
                deviceToDelete = drive->Self;
        }
        break;

    case IOCTL_KELMOR_MOUNT_IMAGE: {
        const KELMOR_MOUNT_REQUEST* request = (const KELMOR_MOUNT_REQUEST*)buffer;
        status = CheckMountRequest(request, inputLength);
        if (NT_SUCCESS(status))
            status = KelmorMountImage(drive, request->ImagePath,
                                      (USHORT)(request->ImagePathLength / sizeof(WCHAR)),
                                      request->Flags, irp->RequestorMode != KernelMode);
        break;
    }

    case IOCTL_KELMOR_QUERY_IMAGE:
        if (outputLength < sizeof(KELMOR_IMAGE_INFO))
            status = STATUS_BUFFER_TOO_SMALL;
        else
            information = FillImageInfo(drive, (KELMOR_IMAGE_INFO*)buffer);
        break;

    case KELMOR_IOCTL_CDROM_EJECT_MEDIA:
    case KELMOR_IOCTL_STORAGE_EJECT_MEDIA:
        if (drive->Locks > 0)
            status = STATUS_DEVICE_BUSY;
        else
            KelmorEjectImage(drive);
        break;

    case KELMOR_IOCTL_STORAGE_LOAD_MEDIA:
    case KELMOR_IOCTL_STORAGE_LOAD_MEDIA2:
    case KELMOR_IOCTL_CDROM_LOAD_MEDIA:
        status = KelmorReloadImage(drive);
        break;

    case KELMOR_IOCTL_CDROM_GET_DRIVE_GEOMETRY:
    case KELMOR_IOCTL_DISK_GET_DRIVE_GEOMETRY: {
        KELMOR_GEOMETRY* geometry = (KELMOR_GEOMETRY*)buffer;
        const LONGLONG cylinderBytes = (LONGLONG)1 << KELMOR_CYLINDER_SHIFT;
        if (drive->Image == NULL) {
            status = STATUS_NO_MEDIA_IN_DEVICE;
        } else if (outputLength < sizeof(KELMOR_GEOMETRY)) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            /* Whole cylinders that cover the image. */
            geometry->Cylinders.QuadPart =
                (drive->ImageSize + cylinderBytes - 1) >> KELMOR_CYLINDER_SHIFT;
            geometry->MediaType = KELMOR_REMOVABLE_MEDIA;
            geometry->TracksPerCylinder = KELMOR_TRACKS_PER_CYLINDER;
            geometry->SectorsPerTrack = KELMOR_SECTORS_PER_TRACK;
            geometry->BytesPerSector = KELMOR_SECTOR_SIZE;
            information = sizeof(KELMOR_GEOMETRY);
        }
        break;
    }

    case KELMOR_IOCTL_CDROM_MEDIA_REMOVAL:
    case KELMOR_IOCTL_STORAGE_MEDIA_REMOVAL: {
        PFILE_OBJECT file = stack->FileObject;
        if (inputLength < sizeof(BOOLEAN) || buffer == NULL) {
            status = STATUS_INVALID_PARAMETER;
        } else if (file == NULL) {
            status = STATUS_INVALID_DEVICE_REQUEST; /* no handle to hold the lock */
        } else if (*(const BOOLEAN*)buffer) {
            status = TakeLock(drive, file);
        } else {
            DropLock(drive, file);
        }
        break;
    }

    case KELMOR_IOCTL_CDROM_CHECK_VERIFY:
    case KELMOR_IOCTL_STORAGE_CHECK_VERIFY:
    case KELMOR_IOCTL_STORAGE_CHECK_VERIFY2:
    case KELMOR_IOCTL_DISK_CHECK_VERIFY:
        if (drive->Image == NULL) {
            status = STATUS_NO_MEDIA_IN_DEVICE;
        } else if (outputLength >= sizeof(ULONG)) {
            RtlCopyMemory(buffer, &drive->ChangeCount, sizeof(ULONG));
            information = sizeof(ULONG);
        }
        break;

    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    KelmorUnlock();
    Complete(irp, status, information);
    if (deviceToDelete != NULL)
        IoDeleteDevice(deviceToDelete);
    return status;
}

static NTSTATUS DriveRead(PKELMOR_DEVICE drive, PIRP irp, PIO_STACK_LOCATION stack) {
    LARGE_INTEGER offset = stack->Parameters.Read.ByteOffset;
    const ULONG length = stack->Parameters.Read.Length;
    PVOID buffer;
    ULONG bytesRead = 0;
    NTSTATUS status;

    if (irp->MdlAddress != NULL)
        buffer = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    else
        buffer = irp->AssociatedIrp.SystemBuffer;
    if (buffer == NULL && length != 0)
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);

    /* A synchronous handle that names no offset reads at its own position. */
    if (offset.HighPart == -1 && offset.LowPart == FILE_USE_FILE_POINTER_POSITION &&
        stack->FileObject != NULL)
        offset = stack->FileObject->CurrentByteOffset;

    KelmorLock();
    if (drive->Removed)
        status = STATUS_NO_SUCH_DEVICE;
    else
        status = KelmorReadImage(drive, offset.QuadPart, buffer, length, &bytesRead);
    KelmorUnlock();
    return Complete(irp, status, bytesRead);
}

/* ---- dispatch ---- */

static NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    PKELMOR_DEVICE extension = (PKELMOR_DEVICE)device->DeviceExtension;
    NTSTATUS status = STATUS_SUCCESS;

    if (extension->Kind == KelmorDriveDevice) {
        KelmorLock();
        if (extension->Removed)
            status = STATUS_NO_SUCH_DEVICE;
        else
            ++extension->OpenHandles;
        KelmorUnlock();
    }
    return Complete(irp, status, 0);
}

static NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    PKELMOR_DEVICE extension = (PKELMOR_DEVICE)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);

    if (extension->Kind == KelmorDriveDevice) {
        KelmorLock();
        ReleaseHandleLocks(extension, stack->FileObject);
        KelmorUnlock();
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

/* The last handle of a removed drive takes its device with it. */
static NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    PKELMOR_DEVICE extension = (PKELMOR_DEVICE)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    BOOLEAN deleteDevice = FALSE;

    if (extension->Kind == KelmorDriveDevice) {
        KelmorLock();
        ReleaseHandleLocks(extension, stack->FileObject);
        if (extension->OpenHandles > 0)
            --extension->OpenHandles;
        deleteDevice = extension->Removed && extension->OpenHandles == 0;
        KelmorUnlock();
    }
    Complete(irp, STATUS_SUCCESS, 0);
    if (deleteDevice)
        IoDeleteDevice(device);
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT device, PIRP irp) {
    PKELMOR_DEVICE extension = (PKELMOR_DEVICE)device->DeviceExtension;

    if (extension->Kind != KelmorDriveDevice)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return DriveRead(extension, irp, IoGetCurrentIrpStackLocation(irp));
}

static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    PKELMOR_DEVICE extension = (PKELMOR_DEVICE)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);

    if (extension->Kind == KelmorControlDevice)
        return ControlRequest(irp, stack);
    return DriveRequest(extension, irp, stack);
}

/* Deletes every device of the driver: the drives (closing their images and links, removed
   drives still waiting for their last handle included) and the control device. */
static VOID NTAPI DriverUnload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link;
    PDEVICE_OBJECT device, next;

    RtlInitUnicodeString(&link, kControlLinkName);
    IoDeleteSymbolicLink(&link);

    KelmorLock();
    for (device = driver->DeviceObject; device != NULL; device = next) {
        PKELMOR_DEVICE extension = (PKELMOR_DEVICE)device->DeviceExtension;
        next = device->NextDevice;
        if (extension->Kind == KelmorDriveDevice && !extension->Removed)
            KelmorDetachDrive(extension);
        IoDeleteDevice(device);
    }
    g_control = NULL;
    KelmorUnlock();
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNICODE_STRING name, link;
    PKELMOR_DEVICE extension;
    NTSTATUS status;

    KelmorInitialiseDrives(driver);

    RtlInitUnicodeString(&name, kControlDeviceName);
    status = IoCreateDevice(driver, sizeof(KELMOR_DEVICE), &name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                            &g_control);
    if (!NT_SUCCESS(status))
        return status;
    extension = (PKELMOR_DEVICE)g_control->DeviceExtension;
    RtlZeroMemory(extension, sizeof(*extension));
    extension->Kind = KelmorControlDevice;
    extension->Self = g_control;

    RtlInitUnicodeString(&link, kControlLinkName);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_control);
        g_control = NULL;
        return status;
    }

    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->DriverUnload = DriverUnload;

    g_control->Flags |= DO_BUFFERED_IO;
    g_control->Flags &= ~DO_DEVICE_INITIALIZING;

    KelmorRestorePersistentMounts(registryPath);
    return STATUS_SUCCESS;
}
