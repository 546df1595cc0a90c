#include "drive.h"

/* Persistent mounts are recorded by the control panel under the service key, one key per
   drive letter: Parameters\Device<letter> with the REG_SZ values DRIVE ("E:") and IMAGE
   ("\??\" and the image's full path). */

#define VALUE_BUFFER_BYTES (sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 2 * 260 * sizeof(WCHAR))

/* Reads the REG_SZ value `valueName` of `key` into `text` (at most `maxUnits` code units,
   trailing NULs dropped). FALSE when it is missing, of another type, empty or too long. */
static BOOLEAN ReadString(HANDLE key, const WCHAR* valueName, PKEY_VALUE_PARTIAL_INFORMATION info,
                          WCHAR* text, USHORT maxUnits, USHORT* units) {
    UNICODE_STRING name;
    ULONG resultLength;
    const WCHAR* data;
    ULONG count;

    RtlInitUnicodeString(&name, valueName);
    if (!NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, info,
                                    VALUE_BUFFER_BYTES, &resultLength)))
        return FALSE;
    if (info->Type != REG_SZ)
        return FALSE;
    data = (const WCHAR*)info->Data;
    count = info->DataLength / sizeof(WCHAR);
    while (count > 0 && data[count - 1] == 0)
        --count;
    if (count == 0 || count > maxUnits)
        return FALSE;
    RtlCopyMemory(text, data, count * sizeof(WCHAR));
    *units = (USHORT)count;
    return TRUE;
}

/* "\Registry\Machine\...\Services\kelmor\Parameters\DeviceX" in a pool buffer. */
static BOOLEAN MakeRecordKeyName(PUNICODE_STRING registryPath, WCHAR letter, PUNICODE_STRING name) {
    static const WCHAR suffix[] = L"\\Parameters\\DeviceX";
    const USHORT suffixBytes = sizeof(suffix) - sizeof(WCHAR);
    const ULONG total = (ULONG)registryPath->Length + suffixBytes;

    if (total > 0xFFF0)
        return FALSE;
    name->Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, total, KELMOR_POOL_TAG);
    if (name->Buffer == NULL)
        return FALSE;
    RtlCopyMemory(name->Buffer, registryPath->Buffer, registryPath->Length);
    RtlCopyMemory((PUCHAR)name->Buffer + registryPath->Length, suffix, suffixBytes);
    name->Length = (USHORT)total;
    name->MaximumLength = (USHORT)total;
    name->Buffer[total / sizeof(WCHAR) - 1] = letter;
    return TRUE;
}

/* A record is read with the kernel's rights, so it may name only a plain file on a local
   volume: the path's shape is KelmorIsLocalFilePath's (request.c), the volume no network
   redirector's. */
static BOOLEAN IsOnLocalVolume(PKELMOR_MEDIUM medium) {
    FILE_FS_DEVICE_INFORMATION device;
    IO_STATUS_BLOCK io;
    if (!NT_SUCCESS(ZwQueryVolumeInformationFile(medium->File, &io, &device, sizeof(device),
                                                 FileFsDeviceInformation)))
        return FALSE;
    /* Windows answers with the disk's type, Wine with its file system's (measured: 8,
       FILE_DEVICE_DISK_FILE_SYSTEM); a network redirector with its own and FILE_REMOTE_DEVICE. */
    switch (device.DeviceType) {
    case FILE_DEVICE_DISK:
    case FILE_DEVICE_DISK_FILE_SYSTEM:
    case FILE_DEVICE_CD_ROM:
    case FILE_DEVICE_CD_ROM_FILE_SYSTEM:
        return (device.Characteristics & FILE_REMOTE_DEVICE) == 0;
    default:
        return FALSE;
    }
}

static void RestoreRecord(PUNICODE_STRING registryPath, WCHAR letter,
                          PKEY_VALUE_PARTIAL_INFORMATION info) {
    UNICODE_STRING keyName;
    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    WCHAR driveText[4];
    WCHAR image[KELMOR_PATH_UNITS];
    USHORT driveUnits = 0, imageUnits = 0;
    BOOLEAN valid;
    PKELMOR_MEDIUM medium;
    WCHAR created;

    if (!MakeRecordKeyName(registryPath, letter, &keyName))
        return;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
        ExFreePoolWithTag(keyName.Buffer, KELMOR_POOL_TAG);
        return;
    }
    valid = ReadString(key, L"DRIVE", info, driveText, 4, &driveUnits) &&
            ReadString(key, L"IMAGE", info, image, KELMOR_PATH_UNITS, &imageUnits);
    ZwClose(key);
    ExFreePoolWithTag(keyName.Buffer, KELMOR_POOL_TAG);

    /* The record must name the letter of its own key: "X:". */
    if (!valid || driveUnits != 2 || driveText[1] != L':')
        return;
    if (driveText[0] != letter && driveText[0] != letter - L'A' + L'a')
        return;
    /* The image opens first: a drive appears only with its medium in it, and a record whose
       image does not open leaves nothing behind. */
    if (!KelmorIsLocalFilePath((const uint16_t*)image, imageUnits) ||
        !NT_SUCCESS(KelmorOpenMedium(image, imageUnits, FALSE, 0, &medium)))
        return;
    if (!IsOnLocalVolume(medium)) {
        KelmorReleaseMedium(medium);
        return;
    }
    if (!NT_SUCCESS(KelmorCreateDrive(letter, medium, image, imageUnits, &created)))
        KelmorReleaseMedium(medium);
}

void KelmorRestorePersistentMounts(PUNICODE_STRING registryPath) {
    PKEY_VALUE_PARTIAL_INFORMATION info;
    WCHAR letter;

    info = (PKEY_VALUE_PARTIAL_INFORMATION)ExAllocatePoolWithTag(PagedPool, VALUE_BUFFER_BYTES,
                                                                 KELMOR_POOL_TAG);
    if (info == NULL)
        return;
    /* Under the creation lock, so that a drive added meanwhile cannot take a recorded letter
       between its check and its use. */
    KelmorLockCreation();
    for (letter = L'A'; letter <= L'Z'; ++letter)
        RestoreRecord(registryPath, letter, info);
    KelmorUnlockCreation();
    ExFreePoolWithTag(info, KELMOR_POOL_TAG);
}
