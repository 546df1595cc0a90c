/*
 * The stand-in virtual CD-ROM driver: a control device "\\.\Quillmere" that creates and lists
 * virtual drives, and one CD-ROM device per drive that mounts an image file and serves it as
 * its medium. Every request passes the portable checks of request.c before it is carried out.
 */
#include "drive.h"

DRIVER_INITIALIZE DriverEntry;

/* Of ntifs.h, which does not go with ntddk.h: what building a security descriptor takes. */
typedef struct _KELMOR_SID_AUTHORITY {
    UCHAR Value[6];
} KELMOR_SID_AUTHORITY;
typedef struct _KELMOR_SECURITY_DESCRIPTOR { /* SECURITY_DESCRIPTOR, the absolute form */
    UCHAR Revision;
    UCHAR Sbz1;
    USHORT Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
} KELMOR_SECURITY_DESCRIPTOR;
NTSYSAPI NTSTATUS NTAPI RtlInitializeSid(PSID sid, KELMOR_SID_AUTHORITY* authority, UCHAR count);
NTSYSAPI PULONG NTAPI RtlSubAuthoritySid(PSID sid, ULONG index);
NTSYSAPI NTSTATUS NTAPI RtlCreateAcl(PACL acl, ULONG length, ULONG revision);
NTSYSAPI NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL acl, ULONG revision, ACCESS_MASK mask,
                                               PSID sid);
#define KELMOR_NT_AUTHORITY                                                                        \
    {                                                                                              \
        { 0, 0, 0, 0, 0, 5 }                                                                       \
    }
#define KELMOR_LOCAL_SYSTEM_RID 18 /* S-1-5-18 */
#define KELMOR_BUILTIN_DOMAIN_RID 32
#define KELMOR_ALIAS_RID_ADMINS 544 /* S-1-5-32-544 */
#define KELMOR_DACL_PROTECTED 0x1000

/* Initialised in the image: its buffer's address is one of the driver's base relocations. */
static UNICODE_STRING g_controlName = {sizeof(L"\\Device\\Quillmere") - sizeof(WCHAR),
                                       sizeof(L"\\Device\\Quillmere"),
                                       (PWSTR)L"\\Device\\Quillmere"};
static PDEVICE_OBJECT g_control;
static WCHAR g_controlLinkBuffer[24];
static UNICODE_STRING g_controlLink;

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS RefusalStatus(KELMOR_VERDICT verdict) {
    switch (verdict) {
    case KelmorInvalidParameter:
        return STATUS_INVALID_PARAMETER;
    case KelmorBufferTooSmall:
        return STATUS_BUFFER_TOO_SMALL;
    case KelmorLengthMismatch:
        return STATUS_INFO_LENGTH_MISMATCH;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

/* ---- control device ---- */

static NTSTATUS ControlRequest(PVOID buffer, const KELMOR_CHECKED_REQUEST* request) {
    NTSTATUS status;

    switch (request->Action) {
    case KelmorActionAddDrive: {
        WCHAR letter;
        USHORT answer;
        KelmorLockCreation();
        status = KelmorCreateDrive(0, NULL, NULL, 0, &letter);
        KelmorUnlockCreation();
        /* The answer is the new drive's letter. */
        answer = (USHORT)letter;
        if (NT_SUCCESS(status))
            RtlCopyMemory(buffer, &answer, sizeof(answer));
        return status;
    }
    case KelmorActionQueryDrives: {
        KELMOR_DRIVE_LIST list;
        KelmorListDrives(&list);
        RtlCopyMemory(buffer, &list, sizeof(list));
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

/* ---- drive devices ---- */

/* What the drive answers about its disc, as Windows' CD-ROM class driver does: the geometry
   in cylinders of 64 tracks of 32 sectors, rounded down (so it may cover less than the disc),
   the disc's exact size, and the table of contents of its one data track. */
static NTSTATUS DiscRequest(PKELMOR_DEVICE drive, PVOID buffer,
                            const KELMOR_CHECKED_REQUEST* request) {
    KELMOR_GEOMETRY_EX geometry;
    UCHAR toc[KELMOR_FULL_TOC_BYTES];
    ULONGLONG sectors;
    NTSTATUS status = KelmorQueryDisc(drive, &sectors);

    if (!NT_SUCCESS(status))
        return status;
    geometry.Geometry.Cylinders.QuadPart =
        (LONGLONG)(sectors / (KELMOR_TRACKS_PER_CYLINDER * KELMOR_SECTORS_PER_TRACK));
    geometry.Geometry.MediaType = KELMOR_REMOVABLE_MEDIA;
    geometry.Geometry.TracksPerCylinder = KELMOR_TRACKS_PER_CYLINDER;
    geometry.Geometry.SectorsPerTrack = KELMOR_SECTORS_PER_TRACK;
    geometry.Geometry.BytesPerSector = KELMOR_SECTOR_SIZE;
    geometry.DiskSize.QuadPart = (LONGLONG)(sectors * KELMOR_SECTOR_SIZE);

    switch (request->Action) {
    case KelmorActionGetGeometry:
        RtlCopyMemory(buffer, &geometry.Geometry, sizeof(geometry.Geometry));
        break;
    case KelmorActionGetGeometryEx:
        RtlCopyMemory(buffer, &geometry, sizeof(geometry));
        break;
    case KelmorActionGetLengthInfo:
        RtlCopyMemory(buffer, &geometry.DiskSize, sizeof(geometry.DiskSize));
        break;
    case KelmorActionReadToc:
        KelmorBuildToc(sectors, request->TocMsf, toc);
        RtlCopyMemory(buffer, toc, request->AnswerBytes);
        break;
    case KelmorActionFullToc:
        KelmorBuildFullToc(sectors, toc);
        RtlCopyMemory(buffer, toc, request->AnswerBytes);
        break;
    case KelmorActionReadCapacity:
        KelmorBuildReadCapacity(sectors, toc);
        RtlCopyMemory(buffer, toc, request->AnswerBytes);
        break;
    default:
        KelmorBuildLastSession(toc);
        RtlCopyMemory(buffer, toc, request->AnswerBytes);
        break;
    }
    return STATUS_SUCCESS;
}

static NTSTATUS DriveRequest(PKELMOR_DEVICE drive, PIRP irp, PIO_STACK_LOCATION stack,
                             const KELMOR_CHECKED_REQUEST* request) {
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    /* Files are opened with the rights of the user whose request this is. */
    const BOOLEAN checkAccess = irp->RequestorMode != KernelMode;

    switch (request->Action) {
    case KelmorActionRemoveDrive:
        return KelmorRemoveDrive(drive);
    case KelmorActionMountImage:
        return KelmorMountImage(drive, (const WCHAR*)request->ImagePath, request->ImagePathUnits,
                                request->Flags, checkAccess);
    case KelmorActionQueryImage: {
        KELMOR_IMAGE_INFO info;
        NTSTATUS status = KelmorQueryImage(drive, &info);
        if (NT_SUCCESS(status))
            RtlCopyMemory(buffer, &info, sizeof(info));
        return status;
    }
    case KelmorActionEject:
        return KelmorEjectImage(drive);
    case KelmorActionLoadMedia:
        return KelmorReloadImage(drive, checkAccess);
    case KelmorActionGetGeometry:
    case KelmorActionGetGeometryEx:
    case KelmorActionGetLengthInfo:
    case KelmorActionReadToc:
    case KelmorActionLastSession:
    case KelmorActionFullToc:
    case KelmorActionReadCapacity:
        return DiscRequest(drive, buffer, request);
    case KelmorActionIsWritable:
        return STATUS_MEDIA_WRITE_PROTECTED;
    case KelmorActionMediaTypes: {
        /* Answered with or without a medium, as the class driver answers it. */
        ULONGLONG sectors;
        UCHAR answer[KELMOR_MEDIA_TYPES_BYTES];
        const NTSTATUS medium = KelmorQueryDisc(drive, &sectors);
        if (medium == STATUS_NO_SUCH_DEVICE)
            return medium;
        KelmorBuildMediaTypes(sectors, NT_SUCCESS(medium), answer);
        RtlCopyMemory(buffer, answer, sizeof(answer));
        return STATUS_SUCCESS;
    }
    case KelmorActionHotplugInfo: {
        UCHAR answer[KELMOR_HOTPLUG_INFO_BYTES];
        KelmorBuildHotplugInfo(answer);
        RtlCopyMemory(buffer, answer, sizeof(answer));
        return STATUS_SUCCESS;
    }
    case KelmorActionDeviceNumber: {
        UCHAR answer[KELMOR_DEVICE_NUMBER_BYTES];
        KelmorBuildDeviceNumber(KELMOR_DEVICE_NUMBER_BASE + drive->Number, answer);
        RtlCopyMemory(buffer, answer, sizeof(answer));
        return STATUS_SUCCESS;
    }
    case KelmorActionQueryProperty: {
        UCHAR answer[KELMOR_DEVICE_DESCRIPTOR_BYTES];
        KelmorBuildDeviceDescriptor(request->AnswerBytes, answer);
        RtlCopyMemory(buffer, answer, request->AnswerBytes);
        return STATUS_SUCCESS;
    }
    case KelmorActionMcnControl:
        return KelmorSetMcn(drive, stack->FileObject, request->Prevent ? TRUE : FALSE);
    case KelmorActionAllowExtendedDasd:
        return STATUS_SUCCESS;
    case KelmorActionMediaRemoval:
        return KelmorSetMediaLock(drive, stack->FileObject, request->Prevent ? TRUE : FALSE);
    case KelmorActionCheckVerify: {
        ULONG changeCount = 0;
        NTSTATUS status = KelmorCheckVerify(drive, &changeCount);
        if (NT_SUCCESS(status) && request->AnswerBytes != 0)
            RtlCopyMemory(buffer, &changeCount, sizeof(changeCount));
        return status;
    }
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

/* ---- dispatch ---- */

static NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    PKELMOR_DEVICE extension = (PKELMOR_DEVICE)device->DeviceExtension;
    NTSTATUS status = STATUS_SUCCESS;

    if (extension->Kind == KelmorDriveDevice)
        status = KelmorOpenHandle(extension, IoGetCurrentIrpStackLocation(irp)->FileObject);
    return Complete(irp, status, 0);
}

static NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    PKELMOR_DEVICE extension = (PKELMOR_DEVICE)device->DeviceExtension;

    if (extension->Kind == KelmorDriveDevice)
        KelmorCleanupHandle(extension, IoGetCurrentIrpStackLocation(irp)->FileObject);
    return Complete(irp, STATUS_SUCCESS, 0);
}

/* The last handle of a removed drive takes its device with it; nothing else deletes a drive
   device before unload. */
static NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    PKELMOR_DEVICE extension = (PKELMOR_DEVICE)device->DeviceExtension;
    BOOLEAN deleteDrive = FALSE;

    if (extension->Kind == KelmorDriveDevice)
        deleteDrive = KelmorCloseHandle(extension, IoGetCurrentIrpStackLocation(irp)->FileObject);
    Complete(irp, STATUS_SUCCESS, 0);
    if (deleteDrive)
        KelmorDeleteDrive(extension);
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT device, PIRP irp) {
    PKELMOR_DEVICE extension = (PKELMOR_DEVICE)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    LARGE_INTEGER* offset = &stack->Parameters.Read.ByteOffset;

    if (extension->Kind != KelmorDriveDevice)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    /* After a medium change under a mounted file system, reads wait for it to verify the
       volume (it clears the flag); its own verifying reads say so. Control, eject, load and
       lock requests are not held up, as in Windows' class driver. As there, the refusal names
       the device in the requesting thread: the file system verifies the device it finds there,
       and fails the request with STATUS_DRIVER_INTERNAL_ERROR when it finds none. (Wine only
       stubs IoSetHardErrorOrVerifyDevice, but gives no VPB, so the flag is never set there.) */
    if ((device->Flags & DO_VERIFY_VOLUME) != 0 &&
        (stack->Flags & SL_OVERRIDE_VERIFY_VOLUME) == 0) {
        IoSetHardErrorOrVerifyDevice(irp, device);
        return Complete(irp, STATUS_VERIFY_REQUIRED, 0);
    }
    /* A synchronous handle that names no offset reads at its own position; the position is
       taken now, while the request is the handle's current one. */
    if (offset->HighPart == -1 && offset->LowPart == FILE_USE_FILE_POINTER_POSITION &&
        stack->FileObject != NULL)
        *offset = stack->FileObject->CurrentByteOffset;
    return KelmorRead(extension, irp);
}

static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    PKELMOR_DEVICE extension = (PKELMOR_DEVICE)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    KELMOR_CHECKED_REQUEST request;
    KELMOR_VERDICT verdict;
    NTSTATUS status;

    verdict = KelmorCheckRequest(
        extension->Kind == KelmorControlDevice ? KelmorTargetControl : KelmorTargetDrive,
        stack->Parameters.DeviceIoControl.IoControlCode, irp->AssociatedIrp.SystemBuffer,
        stack->Parameters.DeviceIoControl.InputBufferLength,
        stack->Parameters.DeviceIoControl.OutputBufferLength, &request);
    if (verdict != KelmorAccepted)
        return Complete(irp, RefusalStatus(verdict), 0);
    /* Adding, removing and mounting drives is the volume manager's work: the caller must hold
       and have enabled SeManageVolumePrivilege, checked with the mode of the request's origin
       before anything is done. (Eject and load keep a CD-ROM drive's rule: whoever can read
       the drive may use them.) */
    if (KelmorActionNeedsPrivilege(request.Action) &&
        !SeSinglePrivilegeCheck(RtlConvertLongToLuid(SE_MANAGE_VOLUME_PRIVILEGE),
                                irp->RequestorMode))
        return Complete(irp, STATUS_PRIVILEGE_NOT_HELD, 0);

    if (extension->Kind == KelmorControlDevice)
        status = ControlRequest(irp->AssociatedIrp.SystemBuffer, &request);
    else
        status = DriveRequest(extension, irp, stack, &request);
    return Complete(irp, status, NT_SUCCESS(status) ? request.AnswerBytes : 0);
}

/* Deletes every device of the driver: the drives (closing their images and links, removed
   drives still waiting for their last handle included) and the control device. */
static VOID NTAPI DriverUnload(PDRIVER_OBJECT driver) {
    IoDeleteSymbolicLink(&g_controlLink);
    KelmorDeleteAllDrives(driver);
    if (g_control != NULL)
        IoDeleteDevice(g_control);
    g_control = NULL;
}

/* Only SYSTEM and administrators may open the control device: D:P(A;;GA;;;SY)(A;;GA;;;BA). The
   descriptor is built here from SIDs of our own (SeExports is a stub under Wine) and set
   through a kernel handle to the device before it is initialised: IoCreateDeviceSecure lives
   in a static library that MinGW-w64 does not ship, and the kernel does not export it. */
static NTSTATUS RestrictToAdministrators(PDEVICE_OBJECT device) {
    KELMOR_SID_AUTHORITY ntAuthority = KELMOR_NT_AUTHORITY;
    ULONG systemSid[4], adminsSid[4]; /* room for a SID of up to two subauthorities */
    ULONG aclBuffer[32];
    PACL acl = (PACL)aclBuffer;
    KELMOR_SECURITY_DESCRIPTOR descriptor;
    HANDLE handle;
    NTSTATUS status;

    RtlInitializeSid((PSID)systemSid, &ntAuthority, 1);
    *RtlSubAuthoritySid((PSID)systemSid, 0) = KELMOR_LOCAL_SYSTEM_RID;
    RtlInitializeSid((PSID)adminsSid, &ntAuthority, 2);
    *RtlSubAuthoritySid((PSID)adminsSid, 0) = KELMOR_BUILTIN_DOMAIN_RID;
    *RtlSubAuthoritySid((PSID)adminsSid, 1) = KELMOR_ALIAS_RID_ADMINS;

    status = RtlCreateAcl(acl, sizeof(aclBuffer), ACL_REVISION);
    if (NT_SUCCESS(status))
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, (PSID)systemSid);
    if (NT_SUCCESS(status))
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, (PSID)adminsSid);
    if (NT_SUCCESS(status))
        status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status))
        status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, acl, FALSE);
    if (!NT_SUCCESS(status))
        return status;
    /* Protected (the "P" of the SDDL): nothing is inherited. */
    descriptor.Control |= KELMOR_DACL_PROTECTED;

    status = ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, NULL, WRITE_DAC, NULL, KernelMode,
                                   &handle);
    if (!NT_SUCCESS(status))
        return status;
    status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &descriptor);
    ZwClose(handle);
    return status;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    PKELMOR_DEVICE extension;
    NTSTATUS status;

    KelmorInitialiseDrives(driver);

    status = IoCreateDevice(driver, sizeof(KELMOR_DEVICE), &g_controlName, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &g_control);
    if (!NT_SUCCESS(status))
        return status;
    extension = (PKELMOR_DEVICE)g_control->DeviceExtension;
    RtlZeroMemory(extension, sizeof(*extension));
    extension->Kind = KelmorControlDevice;
    extension->Self = g_control;

    status = RestrictToAdministrators(g_control);
    if (NT_SUCCESS(status))
        status =
            KelmorCreateGlobalLink(g_controlLinkBuffer, sizeof(g_controlLinkBuffer) / sizeof(WCHAR),
                                   L"Quillmere", &g_controlLink, &g_controlName);
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
