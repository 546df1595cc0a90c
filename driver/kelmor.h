/*
 * The stand-in virtual CD-ROM driver: the buffers of its requests as kernel types. The request
 * codes, and the checks each request passes, are in the portable request.h.
 */
#ifndef KELMOR_H
#define KELMOR_H

#include <ntddk.h>

#include "answer.h"
#include "patch.h"
#include "request.h"

/* Of ntifs.h, which does not go with ntddk.h. Declared here, before any source, so that the
   checking build (check/check.h) can route them. */
NTKERNELAPI NTSTATUS NTAPI ObOpenObjectByPointer(PVOID object, ULONG attributes,
                                                 PACCESS_STATE state, ACCESS_MASK access,
                                                 POBJECT_TYPE type, KPROCESSOR_MODE mode,
                                                 PHANDLE handle);
NTSYSAPI NTSTATUS NTAPI ZwSetSecurityObject(HANDLE handle, SECURITY_INFORMATION information,
                                            PSECURITY_DESCRIPTOR descriptor);
NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable,
                                              PLARGE_INTEGER timeout);

/* The driver's own requests, all buffered, any access. */
#define IOCTL_KELMOR_ADD_DRIVE KELMOR_ADD_DRIVE
#define IOCTL_KELMOR_REMOVE_DRIVE KELMOR_REMOVE_DRIVE
#define IOCTL_KELMOR_MOUNT_IMAGE KELMOR_MOUNT_IMAGE
#define IOCTL_KELMOR_QUERY_DRIVES KELMOR_QUERY_DRIVES
#define IOCTL_KELMOR_QUERY_IMAGE KELMOR_QUERY_IMAGE

_Static_assert(IOCTL_KELMOR_ADD_DRIVE ==
                   CTL_CODE(FILE_DEVICE_CD_ROM, 0xCC0, METHOD_BUFFERED, FILE_ANY_ACCESS),
               "the portable codes follow the kernel's rule");
_Static_assert(KELMOR_STORAGE_LOAD_MEDIA2 ==
                   CTL_CODE(FILE_DEVICE_MASS_STORAGE, 0x0203, METHOD_BUFFERED, FILE_ANY_ACCESS),
               "the portable codes follow the kernel's rule");
_Static_assert(KELMOR_DISK_CHECK_VERIFY ==
                   CTL_CODE(FILE_DEVICE_DISK, 0x0200, METHOD_BUFFERED, FILE_READ_ACCESS),
               "the portable codes follow the kernel's rule");

#define KELMOR_MAX_DRIVES 26

#include <pshpack1.h>

typedef struct _KELMOR_DRIVE_LIST {
    USHORT Count;
    WCHAR Letters[KELMOR_MAX_DRIVES];
} KELMOR_DRIVE_LIST;

typedef struct _KELMOR_MOUNT_REQUEST {
    WCHAR ImagePath[KELMOR_PATH_UNITS]; /* "\??\" + full path, terminated when shorter */
    USHORT ImagePathLength;             /* bytes, terminator not counted */
    ULONG Flags;
} KELMOR_MOUNT_REQUEST;

typedef struct _KELMOR_IMAGE_INFO {
    WCHAR ImagePath[KELMOR_PATH_UNITS];
    USHORT ImagePathLength;
    USHORT Mounted;
} KELMOR_IMAGE_INFO;

#include <poppack.h>

_Static_assert(sizeof(KELMOR_DRIVE_LIST) == 54, "DRIVE_LIST is 54 bytes");
_Static_assert(sizeof(KELMOR_MOUNT_REQUEST) == 516, "MOUNT_REQUEST is 516 bytes");
_Static_assert(sizeof(KELMOR_IMAGE_INFO) == 514, "IMAGE_INFO is 514 bytes");
_Static_assert(IOCTL_KELMOR_ADD_DRIVE == 0x23300, "ADD_DRIVE code");
_Static_assert(IOCTL_KELMOR_QUERY_IMAGE == 0x23310, "QUERY_IMAGE code");
_Static_assert(KELMOR_CDROM_EJECT_MEDIA == 0x24808, "EJECT_MEDIA code");
_Static_assert(KELMOR_CDROM_MEDIA_REMOVAL == 0x24804, "MEDIA_REMOVAL code");
_Static_assert(KELMOR_CDROM_GET_DRIVE_GEOMETRY == 0x2404C, "GET_DRIVE_GEOMETRY code");
_Static_assert(KELMOR_STORAGE_LOAD_MEDIA == 0x2D480C, "LOAD_MEDIA code");
_Static_assert(sizeof(KELMOR_DRIVE_LIST) == KELMOR_DRIVE_LIST_BYTES, "checked sizes");
_Static_assert(sizeof(KELMOR_MOUNT_REQUEST) == KELMOR_MOUNT_REQUEST_BYTES, "checked sizes");
_Static_assert(sizeof(KELMOR_IMAGE_INFO) == KELMOR_IMAGE_INFO_BYTES, "checked sizes");

/* DISK_GEOMETRY as the geometry requests answer it. */
typedef struct _KELMOR_GEOMETRY {
    LARGE_INTEGER Cylinders;
    ULONG MediaType; /* RemovableMedia */
    ULONG TracksPerCylinder;
    ULONG SectorsPerTrack;
    ULONG BytesPerSector;
} KELMOR_GEOMETRY;

_Static_assert(sizeof(KELMOR_GEOMETRY) == KELMOR_GEOMETRY_BYTES, "checked sizes");

/* DISK_GEOMETRY_EX up to its Data field, and GET_LENGTH_INFORMATION. */
typedef struct _KELMOR_GEOMETRY_EX {
    KELMOR_GEOMETRY Geometry;
    LARGE_INTEGER DiskSize;
} KELMOR_GEOMETRY_EX;

_Static_assert(sizeof(KELMOR_GEOMETRY_EX) == KELMOR_GEOMETRY_EX_BYTES, "checked sizes");
_Static_assert(KELMOR_TOC_ANSWER_BYTES == KELMOR_TOC_BYTES, "checked sizes");
_Static_assert(KELMOR_SESSION_ANSWER_BYTES == KELMOR_SESSION_BYTES, "checked sizes");

#define KELMOR_REMOVABLE_MEDIA 11
#define KELMOR_SECTOR_SIZE 2048
#define KELMOR_SECTORS_PER_TRACK 32
#define KELMOR_TRACKS_PER_CYLINDER 64

#endif
