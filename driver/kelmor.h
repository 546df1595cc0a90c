/*
 * The stand-in virtual CD-ROM driver: request codes and buffers shared with the control
 * panel, and the standard storage requests that a disc reader sends to a drive.
 */
#ifndef KELMOR_H
#define KELMOR_H

#include <ntddk.h>

/* The driver's own requests, all buffered, any access. */
#define IOCTL_KELMOR_ADD_DRIVE CTL_CODE(FILE_DEVICE_CD_ROM, 0xCC0, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_KELMOR_REMOVE_DRIVE                                                                  \
    CTL_CODE(FILE_DEVICE_CD_ROM, 0xCC1, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_KELMOR_MOUNT_IMAGE                                                                   \
    CTL_CODE(FILE_DEVICE_CD_ROM, 0xCC2, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_KELMOR_QUERY_DRIVES                                                                  \
    CTL_CODE(FILE_DEVICE_CD_ROM, 0xCC3, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_KELMOR_QUERY_IMAGE                                                                   \
    CTL_CODE(FILE_DEVICE_CD_ROM, 0xCC4, METHOD_BUFFERED, FILE_ANY_ACCESS)

/* Standard requests, from their documented definitions (the kernel headers lack some). */
#define KELMOR_CDROM_CODE(function)                                                                \
    CTL_CODE(FILE_DEVICE_CD_ROM, function, METHOD_BUFFERED, FILE_READ_ACCESS)
#define KELMOR_STORAGE_CODE(function, access)                                                      \
    CTL_CODE(FILE_DEVICE_MASS_STORAGE, function, METHOD_BUFFERED, access)

#define KELMOR_IOCTL_CDROM_GET_DRIVE_GEOMETRY KELMOR_CDROM_CODE(0x0013)
#define KELMOR_IOCTL_CDROM_CHECK_VERIFY KELMOR_CDROM_CODE(0x0200)
#define KELMOR_IOCTL_CDROM_MEDIA_REMOVAL KELMOR_CDROM_CODE(0x0201)
#define KELMOR_IOCTL_CDROM_EJECT_MEDIA KELMOR_CDROM_CODE(0x0202)
#define KELMOR_IOCTL_CDROM_LOAD_MEDIA KELMOR_CDROM_CODE(0x0203)
#define KELMOR_IOCTL_STORAGE_CHECK_VERIFY KELMOR_STORAGE_CODE(0x0200, FILE_READ_ACCESS)
#define KELMOR_IOCTL_STORAGE_CHECK_VERIFY2 KELMOR_STORAGE_CODE(0x0200, FILE_ANY_ACCESS)
#define KELMOR_IOCTL_STORAGE_MEDIA_REMOVAL KELMOR_STORAGE_CODE(0x0201, FILE_READ_ACCESS)
#define KELMOR_IOCTL_STORAGE_EJECT_MEDIA KELMOR_STORAGE_CODE(0x0202, FILE_READ_ACCESS)
#define KELMOR_IOCTL_STORAGE_LOAD_MEDIA KELMOR_STORAGE_CODE(0x0203, FILE_READ_ACCESS)
#define KELMOR_IOCTL_STORAGE_LOAD_MEDIA2 KELMOR_STORAGE_CODE(0x0203, FILE_ANY_ACCESS)
#define KELMOR_IOCTL_DISK_GET_DRIVE_GEOMETRY                                                       \
    CTL_CODE(FILE_DEVICE_DISK, 0x0000, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define KELMOR_IOCTL_DISK_CHECK_VERIFY                                                             \
    CTL_CODE(FILE_DEVICE_DISK, 0x0200, METHOD_BUFFERED, FILE_READ_ACCESS)

#define KELMOR_MAX_DRIVES 26
#define KELMOR_PATH_UNITS 255

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
_Static_assert(KELMOR_IOCTL_CDROM_EJECT_MEDIA == 0x24808, "EJECT_MEDIA code");
_Static_assert(KELMOR_IOCTL_CDROM_MEDIA_REMOVAL == 0x24804, "MEDIA_REMOVAL code");
_Static_assert(KELMOR_IOCTL_CDROM_GET_DRIVE_GEOMETRY == 0x2404C, "GET_DRIVE_GEOMETRY code");
_Static_assert(KELMOR_IOCTL_STORAGE_LOAD_MEDIA == 0x2D480C, "LOAD_MEDIA code");

/* DISK_GEOMETRY as the geometry requests answer it. */
typedef struct _KELMOR_GEOMETRY {
    LARGE_INTEGER Cylinders;
    ULONG MediaType; /* RemovableMedia */
    ULONG TracksPerCylinder;
    ULONG SectorsPerTrack;
    ULONG BytesPerSector;
} KELMOR_GEOMETRY;

#define KELMOR_REMOVABLE_MEDIA 11
#define KELMOR_SECTOR_SIZE 2048
#define KELMOR_SECTORS_PER_TRACK 32
#define KELMOR_TRACKS_PER_CYLINDER 64
/* 2048 * 32 * 64 bytes = 4 MiB per cylinder. */
#define KELMOR_CYLINDER_SHIFT 22

#endif
