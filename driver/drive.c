#include "drive.h"

static PDRIVER_OBJECT g_driver;
static KMUTEX g_lock;
static PKELMOR_DEVICE g_drives[KELMOR_MAX_DRIVES]; /* in creation order */
static ULONG g_driveCount;
static ULONG g_nextDeviceNumber;

void KelmorInitialiseDrives(PDRIVER_OBJECT driver) {
    g_driver = driver;
    KeInitializeMutex(&g_lock, 0);
    g_driveCount = 0;
    g_nextDeviceNumber = 0;
}

void KelmorLock(void) {
    KeWaitForSingleObject(&g_lock, Executive, KernelMode, FALSE, NULL);
}

void KelmorUnlock(void) {
    KeReleaseMutex(&g_lock, FALSE);
}

ULONG KelmorDriveCount(void) {
    return g_driveCount;
}

PKELMOR_DEVICE KelmorDriveAt(ULONG index) {
    return index < g_driveCount ? g_drives[index] : NULL;
}

static void SetLinkName(PKELMOR_DEVICE drive, WCHAR letter) {
    static const WCHAR prefix[] = L"\\??\\";
    ULONG i;
    for (i = 0; i < 4; ++i)
        drive->LinkBuffer[i] = prefix[i];
    drive->LinkBuffer[4] = letter;
    drive->LinkBuffer[5] = L':';
    drive->LinkBuffer[6] = 0;
    drive->LinkName.Buffer = drive->LinkBuffer;
    drive->LinkName.Length = 6 * sizeof(WCHAR);
    drive->LinkName.MaximumLength = sizeof(drive->LinkBuffer);
}

/* A letter is free when none of our drives carries it, no "\??\X:" link exists, and
   "\??\X:\" opens nothing (under Wine a drive of the prefix is no link object). */
static BOOLEAN IsLetterFree(WCHAR letter) {
    WCHAR buffer[8] = {L'\\', L'?', L'?', L'\\', letter, L':', L'\\', 0};
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    HANDLE handle;
    ULONG i;

    for (i = 0; i < g_driveCount; ++i) {
        if (g_drives[i]->Letter == letter)
            return FALSE;
    }

    name.Buffer = buffer;
    name.Length = 6 * sizeof(WCHAR);
    name.MaximumLength = sizeof(buffer);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    if (NT_SUCCESS(ZwOpenSymbolicLinkObject(&handle, GENERIC_READ, &attributes))) {
        ZwClose(handle);
        return FALSE;
    }

    name.Length = 7 * sizeof(WCHAR);
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

NTSTATUS KelmorCreateDrive(WCHAR letter, PKELMOR_DEVICE* result) {
    WCHAR nameBuffer[40];
    UNICODE_STRING name;
    PDEVICE_OBJECT device;
    PKELMOR_DEVICE drive;
    NTSTATUS status;

    *result = NULL;
    if (g_driveCount >= KELMOR_MAX_DRIVES)
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
    SetLinkName(drive, letter);

    status = IoCreateSymbolicLink(&drive->LinkName, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }

    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    g_drives[g_driveCount++] = drive;
    *result = drive;
    return STATUS_SUCCESS;
}

void KelmorDetachDrive(PKELMOR_DEVICE drive) {
    ULONG i, j;

    KelmorEjectImage(drive);
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
}

void KelmorRemoveDrive(PKELMOR_DEVICE drive) {
    KelmorDetachDrive(drive);
    IoDeleteDevice(drive->Self);
}

static NTSTATUS OpenImage(const WCHAR* path, USHORT units, BOOLEAN checkAccess, HANDLE* image,
                          LONGLONG* size) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    FILE_STANDARD_INFORMATION info;
    ULONG objectFlags = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;
    NTSTATUS status;
    HANDLE handle;

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
    *image = handle;
    *size = info.EndOfFile.QuadPart;
    return STATUS_SUCCESS;
}

NTSTATUS KelmorMountImage(PKELMOR_DEVICE drive, const WCHAR* path, USHORT units, ULONG flags,
                          BOOLEAN checkAccess) {
    HANDLE image;
    LONGLONG size;
    NTSTATUS status;

    if (units == 0 || units > KELMOR_PATH_UNITS)
        return STATUS_OBJECT_NAME_INVALID;
    if (drive->Locks > 0)
        return STATUS_DEVICE_BUSY;
    status = OpenImage(path, units, checkAccess, &image, &size);
    if (!NT_SUCCESS(status))
        return status;

    KelmorEjectImage(drive);
    RtlCopyMemory(drive->Path, path, units * sizeof(WCHAR));
    drive->Path[units] = 0;
    drive->PathUnits = units;
    drive->Flags = flags;
    drive->Image = image;
    drive->ImageSize = size;
    ++drive->ChangeCount;
    return STATUS_SUCCESS;
}

void KelmorEjectImage(PKELMOR_DEVICE drive) {
    if (drive->Image != NULL) {
        ZwClose(drive->Image);
        drive->Image = NULL;
        drive->ImageSize = 0;
        ++drive->ChangeCount;
    }
}

NTSTATUS KelmorReloadImage(PKELMOR_DEVICE drive) {
    HANDLE image;
    LONGLONG size;
    NTSTATUS status;

    if (drive->Image != NULL)
        return STATUS_SUCCESS;
    if (drive->PathUnits == 0)
        return STATUS_NO_MEDIA_IN_DEVICE;
    /* The path was checked against the user's rights when it was first mounted. */
    status = OpenImage(drive->Path, drive->PathUnits, FALSE, &image, &size);
    if (!NT_SUCCESS(status))
        return status;
    drive->Image = image;
    drive->ImageSize = size;
    ++drive->ChangeCount;
    return STATUS_SUCCESS;
}

NTSTATUS KelmorReadImage(PKELMOR_DEVICE drive, LONGLONG offset, PVOID buffer, ULONG length,
                         ULONG* bytesRead) {
    IO_STATUS_BLOCK io;
    LARGE_INTEGER position;
    NTSTATUS status;

    *bytesRead = 0;
    if (drive->Image == NULL)
        return STATUS_NO_MEDIA_IN_DEVICE;
    if (offset < 0)
        return STATUS_INVALID_PARAMETER;
    if (offset >= drive->ImageSize || length == 0)
        return STATUS_SUCCESS;
    if ((LONGLONG)length > drive->ImageSize - offset)
        length = (ULONG)(drive->ImageSize - offset);

    position.QuadPart = offset;
    status = ZwReadFile(drive->Image, NULL, NULL, NULL, &io, buffer, length, &position, NULL);
    if (status == STATUS_END_OF_FILE)
        return STATUS_SUCCESS;
    if (NT_SUCCESS(status))
        *bytesRead = (ULONG)io.Information;
    return status;
}
