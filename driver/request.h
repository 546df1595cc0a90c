/*
 * The checks every request to the stand-in driver passes before the driver acts on it: which
 * device takes which request, the sizes of its input and output, and the fields of a mount
 * request. Plain C on fixed-width types, without the kernel headers, so that the same checks
 * build into the driver and natively, where they are tested and fuzzed.
 */
#ifndef KELMOR_REQUEST_H
#define KELMOR_REQUEST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The Windows control-code rule, for buffered requests. */
#define KELMOR_CONTROL_CODE(deviceType, function, access)                                          \
    ((uint32_t)(deviceType) << 16 | (uint32_t)(access) << 14 | (uint32_t)(function) << 2)

#define KELMOR_DEVICE_CD_ROM 0x0002u
#define KELMOR_DEVICE_DISK 0x0007u
#define KELMOR_DEVICE_MASS_STORAGE 0x002Du
#define KELMOR_DEVICE_FILE_SYSTEM 0x0009u
#define KELMOR_ANY_ACCESS 0u
#define KELMOR_READ_ACCESS 1u

/* The driver's own requests. */
#define KELMOR_ADD_DRIVE KELMOR_CONTROL_CODE(KELMOR_DEVICE_CD_ROM, 0xCC0, KELMOR_ANY_ACCESS)
#define KELMOR_REMOVE_DRIVE KELMOR_CONTROL_CODE(KELMOR_DEVICE_CD_ROM, 0xCC1, KELMOR_ANY_ACCESS)
#define KELMOR_MOUNT_IMAGE KELMOR_CONTROL_CODE(KELMOR_DEVICE_CD_ROM, 0xCC2, KELMOR_ANY_ACCESS)
#define KELMOR_QUERY_DRIVES KELMOR_CONTROL_CODE(KELMOR_DEVICE_CD_ROM, 0xCC3, KELMOR_ANY_ACCESS)
#define KELMOR_QUERY_IMAGE KELMOR_CONTROL_CODE(KELMOR_DEVICE_CD_ROM, 0xCC4, KELMOR_ANY_ACCESS)

/* The standard requests a disc reader sends to a drive, from their documented definitions. */
#define KELMOR_CDROM_CHECK_VERIFY                                                                  \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_CD_ROM, 0x0200, KELMOR_READ_ACCESS)
#define KELMOR_CDROM_MEDIA_REMOVAL                                                                 \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_CD_ROM, 0x0201, KELMOR_READ_ACCESS)
#define KELMOR_CDROM_EJECT_MEDIA                                                                   \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_CD_ROM, 0x0202, KELMOR_READ_ACCESS)
#define KELMOR_CDROM_LOAD_MEDIA                                                                    \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_CD_ROM, 0x0203, KELMOR_READ_ACCESS)
#define KELMOR_CDROM_GET_DRIVE_GEOMETRY                                                            \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_CD_ROM, 0x0013, KELMOR_READ_ACCESS)
#define KELMOR_STORAGE_CHECK_VERIFY                                                                \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_MASS_STORAGE, 0x0200, KELMOR_READ_ACCESS)
#define KELMOR_STORAGE_CHECK_VERIFY2                                                               \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_MASS_STORAGE, 0x0200, KELMOR_ANY_ACCESS)
#define KELMOR_STORAGE_MEDIA_REMOVAL                                                               \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_MASS_STORAGE, 0x0201, KELMOR_READ_ACCESS)
#define KELMOR_STORAGE_EJECT_MEDIA                                                                 \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_MASS_STORAGE, 0x0202, KELMOR_READ_ACCESS)
#define KELMOR_STORAGE_LOAD_MEDIA                                                                  \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_MASS_STORAGE, 0x0203, KELMOR_READ_ACCESS)
#define KELMOR_STORAGE_LOAD_MEDIA2                                                                 \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_MASS_STORAGE, 0x0203, KELMOR_ANY_ACCESS)
#define KELMOR_DISK_GET_DRIVE_GEOMETRY                                                             \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_DISK, 0x0000, KELMOR_ANY_ACCESS)
#define KELMOR_DISK_CHECK_VERIFY KELMOR_CONTROL_CODE(KELMOR_DEVICE_DISK, 0x0200, KELMOR_READ_ACCESS)
/* What a disc reader and a file system ask about the disc: its exact length, the geometry with
   the disc's size, the table of contents and the last session. */
#define KELMOR_DISK_GET_LENGTH_INFO                                                                \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_DISK, 0x0017, KELMOR_READ_ACCESS)
#define KELMOR_DISK_GET_DRIVE_GEOMETRY_EX                                                          \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_DISK, 0x0028, KELMOR_ANY_ACCESS)
#define KELMOR_CDROM_GET_DRIVE_GEOMETRY_EX                                                         \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_CD_ROM, 0x0014, KELMOR_READ_ACCESS)
#define KELMOR_CDROM_READ_TOC KELMOR_CONTROL_CODE(KELMOR_DEVICE_CD_ROM, 0x0000, KELMOR_READ_ACCESS)
#define KELMOR_CDROM_READ_TOC_EX                                                                   \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_CD_ROM, 0x0015, KELMOR_READ_ACCESS)
#define KELMOR_CDROM_GET_LAST_SESSION                                                              \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_CD_ROM, 0x000E, KELMOR_READ_ACCESS)
/* What Windows' shell, file systems and storage tools ask of a CD-ROM drive besides. */
#define KELMOR_DISK_IS_WRITABLE KELMOR_CONTROL_CODE(KELMOR_DEVICE_DISK, 0x0009, KELMOR_ANY_ACCESS)
#define KELMOR_DISK_MEDIA_REMOVAL                                                                  \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_DISK, 0x0201, KELMOR_READ_ACCESS)
#define KELMOR_DISK_EJECT_MEDIA KELMOR_CONTROL_CODE(KELMOR_DEVICE_DISK, 0x0202, KELMOR_READ_ACCESS)
#define KELMOR_STORAGE_GET_MEDIA_TYPES_EX                                                          \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_MASS_STORAGE, 0x0301, KELMOR_ANY_ACCESS)
#define KELMOR_STORAGE_GET_HOTPLUG_INFO                                                            \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_MASS_STORAGE, 0x0305, KELMOR_ANY_ACCESS)
#define KELMOR_STORAGE_GET_DEVICE_NUMBER                                                           \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_MASS_STORAGE, 0x0420, KELMOR_ANY_ACCESS)
#define KELMOR_STORAGE_READ_CAPACITY                                                               \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_MASS_STORAGE, 0x0450, KELMOR_READ_ACCESS)
#define KELMOR_STORAGE_MCN_CONTROL                                                                 \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_MASS_STORAGE, 0x0251, KELMOR_ANY_ACCESS)
#define KELMOR_STORAGE_QUERY_PROPERTY                                                              \
    KELMOR_CONTROL_CODE(KELMOR_DEVICE_MASS_STORAGE, 0x0500, KELMOR_ANY_ACCESS)
/* A file system's request, METHOD_NEITHER without buffers: on Windows the file system mounted
   on the drive answers it; under Wine it reaches the drive (see README.md). */
#define KELMOR_FSCTL_ALLOW_EXTENDED_DASD_IO                                                        \
    ((uint32_t)KELMOR_DEVICE_FILE_SYSTEM << 16 | 32u << 2 | 3u)

/* Sizes of the buffers on the wire, in bytes. */
#define KELMOR_PATH_UNITS 255
#define KELMOR_DRIVE_LIST_BYTES 54
#define KELMOR_MOUNT_REQUEST_BYTES 516
#define KELMOR_IMAGE_INFO_BYTES 514
#define KELMOR_ADD_DRIVE_ANSWER_BYTES 2
#define KELMOR_GEOMETRY_BYTES 24
#define KELMOR_CHANGE_COUNT_BYTES 4
#define KELMOR_LENGTH_INFO_BYTES 8
#define KELMOR_GEOMETRY_EX_BYTES 32 /* DISK_GEOMETRY_EX up to its Data field */
#define KELMOR_READ_TOC_EX_INPUT_BYTES 4
#define KELMOR_TOC_HEADER_BYTES 4
#define KELMOR_TOC_ANSWER_BYTES 20       /* header, track 1 and the lead-out */
#define KELMOR_SESSION_ANSWER_BYTES 12   /* header and the last session's first track */
#define KELMOR_FULL_TOC_ANSWER_BYTES 48  /* header, points A0, A1, A2 and track 1 */
#define KELMOR_MEDIA_TYPES_BYTES 40      /* GET_MEDIA_TYPES with one DEVICE_MEDIA_INFO */
#define KELMOR_HOTPLUG_INFO_BYTES 8      /* STORAGE_HOTPLUG_INFO */
#define KELMOR_DEVICE_NUMBER_BYTES 12    /* STORAGE_DEVICE_NUMBER */
#define KELMOR_READ_CAPACITY_BYTES 32    /* STORAGE_READ_CAPACITY */
#define KELMOR_PROPERTY_QUERY_BYTES 12   /* STORAGE_PROPERTY_QUERY */
#define KELMOR_DESCRIPTOR_HEADER_BYTES 8 /* Version and Size of a STORAGE_DESCRIPTOR_HEADER */
#define KELMOR_MOUNT_PATH_LENGTH_OFFSET 510
#define KELMOR_MOUNT_FLAGS_OFFSET 512
#define KELMOR_MOUNT_FLAGS_KNOWN 0x3u /* suppress UDF (0x1), suppress Joliet (0x2) */

/* The device a request was sent to. */
typedef enum KELMOR_TARGET {
    KelmorTargetControl = 1, /* "\\.\Quillmere" */
    KelmorTargetDrive = 2    /* "\\.\X:" */
} KELMOR_TARGET;

typedef enum KELMOR_ACTION {
    KelmorActionNone = 0,
    KelmorActionAddDrive,
    KelmorActionQueryDrives,
    KelmorActionRemoveDrive,
    KelmorActionMountImage,
    KelmorActionQueryImage,
    KelmorActionEject,
    KelmorActionLoadMedia,
    KelmorActionGetGeometry,
    KelmorActionMediaRemoval,
    KelmorActionCheckVerify,
    KelmorActionGetLengthInfo,
    KelmorActionGetGeometryEx,
    KelmorActionReadToc,     /* format 0; TocMsf says which form */
    KelmorActionLastSession, /* format 1, LBA */
    KelmorActionFullToc,     /* format 2, MSF */
    KelmorActionAllowExtendedDasd,
    KelmorActionIsWritable,
    KelmorActionMediaTypes,
    KelmorActionHotplugInfo,
    KelmorActionDeviceNumber,
    KelmorActionReadCapacity,
    KelmorActionMcnControl,   /* Prevent: nonzero to disable media change notification */
    KelmorActionQueryProperty /* the device descriptor, AnswerBytes of it (0: an exists query) */
} KELMOR_ACTION;

/* How a request fares; the driver answers each refusal with the status named beside it. */
typedef enum KELMOR_VERDICT {
    KelmorAccepted = 0,
    KelmorUnknownRequest,   /* STATUS_INVALID_DEVICE_REQUEST: not a request of this device */
    KelmorInvalidParameter, /* STATUS_INVALID_PARAMETER: wrong input size or fields */
    KelmorBufferTooSmall,   /* STATUS_BUFFER_TOO_SMALL: no room for the answer */
    KelmorLengthMismatch    /* STATUS_INFO_LENGTH_MISMATCH: an input shorter than its structure */
} KELMOR_VERDICT;

/* An accepted request, as the driver carries it out. */
typedef struct KELMOR_CHECKED_REQUEST {
    KELMOR_ACTION Action;
    uint32_t AnswerBytes; /* bytes the answer writes at the start of the output, at most its size */
    /* IOCTL_KELMOR_MOUNT_IMAGE: the path (UTF-16, "\??\" and the image's full path, not
       terminated) where it lies in the caller's input, its length and the mount flags. */
    const uint8_t* ImagePath;
    uint16_t ImagePathUnits;
    uint32_t Flags;
    /* Media removal: nonzero to lock the medium, 0 to release it. */
    int Prevent;
    /* The table of contents: nonzero for minutes, seconds and frames, 0 for LBA. */
    int TocMsf;
} KELMOR_CHECKED_REQUEST;

/* Whether the action changes which drives exist or what they hold for every user (add, remove,
   mount): the caller must then hold SeManageVolumePrivilege. */
int KelmorActionNeedsPrivilege(KELMOR_ACTION action);

/* Whether `path` (`units` UTF-16 units) names a file on a drive letter: "\??\X:\" and more;
   not a raw volume or disk, a "\??\UNC\" share or another device's name. */
int KelmorIsLocalFilePath(const uint16_t* path, uint16_t units);

/* The drive letter (upper case) that `path` starts with, as "\??\X:", "\DosDevices\X:" or
   "\GLOBAL??\X:" followed by "\" or nothing; 0 when it names none. */
uint16_t KelmorPathDriveLetter(const uint16_t* path, uint16_t units);

/* Checks the request `code` sent to `target` with a buffered input of `inputLength` bytes and
   room for `outputLength` bytes of answer, both in `buffer` (null only when both are 0). Reads
   nothing outside the input's `inputLength` bytes and writes nothing at all. On
   KelmorAccepted, `request` says what to do; otherwise it is cleared. */
KELMOR_VERDICT KelmorCheckRequest(KELMOR_TARGET target, uint32_t code, const void* buffer,
                                  uint32_t inputLength, uint32_t outputLength,
                                  KELMOR_CHECKED_REQUEST* request);

#ifdef __cplusplus
}
#endif

#endif
