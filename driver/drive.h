/*
 * Virtual drives: one CD-ROM device per drive, named by a drive letter, with at most one
 * image file open as its medium. Every function here expects the caller to hold the driver
 * lock (KelmorLock/KelmorUnlock) unless it says otherwise.
 */
#ifndef KELMOR_DRIVE_H
#define KELMOR_DRIVE_H

#include "kelmor.h"

/* "Kelm" read as a little-endian 32-bit value. */
#define KELMOR_POOL_TAG 0x6D6C654Bu

typedef enum _KELMOR_DEVICE_KIND {
    KelmorControlDevice = 1,
    KelmorDriveDevice = 2
} KELMOR_DEVICE_KIND;

/* Handles that hold media-removal locks on a drive: more at once are refused. */
#define KELMOR_LOCK_HOLDERS 16

/* One handle's locks, keyed by its file object. The count lives here, in memory the driver owns,
   and never in the file object: when a file system is mounted on the drive, the requests arrive
   with the file system's file object, whose context fields belong to the file system. */
typedef struct _KELMOR_LOCK_HOLDER {
    PFILE_OBJECT File; /* NULL when the slot is free */
    ULONG Count;
} KELMOR_LOCK_HOLDER;

/* The extension of both kinds of device; the drive fields are unused on the control device. */
typedef struct _KELMOR_DEVICE {
    KELMOR_DEVICE_KIND Kind;
    PDEVICE_OBJECT Self;
    WCHAR Letter;       /* upper case */
    BOOLEAN Removed;    /* taken out of the list; the device goes with its last handle */
    ULONG OpenHandles;  /* file objects open on the device */
    HANDLE Image;       /* open image file, NULL when no medium */
    LONGLONG ImageSize; /* bytes */
    WCHAR Path[KELMOR_PATH_UNITS + 1]; /* NT path of the last image, terminated */
    USHORT PathUnits;                  /* 0 when the drive never had an image */
    ULONG Flags;                       /* mount flags of the last mount */
    ULONG Locks;                       /* media-removal locks held, over all handles */
    KELMOR_LOCK_HOLDER Holders[KELMOR_LOCK_HOLDERS];
    ULONG ChangeCount;   /* medium changes, as check-verify reports them */
    WCHAR LinkBuffer[8]; /* "\??\X:" */
    UNICODE_STRING LinkName;
} KELMOR_DEVICE, *PKELMOR_DEVICE;

void KelmorInitialiseDrives(PDRIVER_OBJECT driver);
void KelmorLock(void);
void KelmorUnlock(void);

/* Creates a drive under `letter`, or under the first free letter from D to Z when `letter`
   is 0. Fails with STATUS_OBJECT_NAME_COLLISION when the letter is taken. */
NTSTATUS KelmorCreateDrive(WCHAR letter, PKELMOR_DEVICE* drive);
/* Closes the drive's image, removes its link and takes it out of the list, so that it can no
   longer be opened. The device object itself is deleted when its last handle closes (or at
   unload): under Wine a request fails when its device is deleted before the requesting
   handle is closed, even if the request has completed. */
void KelmorDetachDrive(PKELMOR_DEVICE drive);
/* Detaches the drive and deletes it at once; for drives no handle has open. */
void KelmorRemoveDrive(PKELMOR_DEVICE drive);
/* The drives in creation order. */
ULONG KelmorDriveCount(void);
PKELMOR_DEVICE KelmorDriveAt(ULONG index);

/* Opens `path` (an NT path of `units` code units) for shared reading as the drive's medium,
   replacing any medium it has. On failure the drive keeps what it had. `checkAccess` makes
   the open honour the requesting user's rights. */
NTSTATUS KelmorMountImage(PKELMOR_DEVICE drive, const WCHAR* path, USHORT units, ULONG flags,
                          BOOLEAN checkAccess);
void KelmorEjectImage(PKELMOR_DEVICE drive);
/* Reopens the last image; STATUS_NO_MEDIA_IN_DEVICE when the drive never had one. */
NTSTATUS KelmorReloadImage(PKELMOR_DEVICE drive);
/* Reads up to `length` bytes at `offset`; past the end of the image it reads 0 bytes. */
NTSTATUS KelmorReadImage(PKELMOR_DEVICE drive, LONGLONG offset, PVOID buffer, ULONG length,
                         ULONG* bytesRead);

/* Restores the mounts recorded as persistent under the service key (no lock needed: called
   from DriverEntry before any request can arrive). */
void KelmorRestorePersistentMounts(PUNICODE_STRING registryPath);

#endif
