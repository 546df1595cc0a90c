/*
 * Virtual drives: one CD-ROM device per drive, named by a drive letter, with at most one image
 * file open as its medium.
 *
 * Two locks guard them. The creation lock (KelmorLockCreation) makes the choice of a letter and
 * the making of a drive one step; it is held across the name-space probes and the device's
 * creation. The state lock (taken inside the functions here) guards the drive list and every
 * drive's fields, and is held only to read or change them and to take references: no file is
 * opened or read under it, so a slow image stalls only the requests that wait for that image.
 * The creation lock is always taken before the state lock, never inside it.
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

/* An open image file, counted: the drive holds one reference while the image is its medium and
   each read in progress holds one, so that an eject or a new mount never closes the file under
   a read. The last reference closes it. */
typedef struct _KELMOR_MEDIUM {
    volatile LONG References;
    HANDLE File;            /* kernel handle, opened for shared reading */
    LONGLONG Size;          /* bytes */
    KELMOR_PATCHES Patches; /* what the mount flags suppress, found when the file opened */
} KELMOR_MEDIUM, *PKELMOR_MEDIUM;

/* One handle (file object) that the drive's own create saw, with the media-removal locks taken
   through it, which it gives back when it goes away (as far as the device still counts them). */
typedef struct _KELMOR_HANDLE {
    LIST_ENTRY Link;
    PFILE_OBJECT File;
    ULONG Locks;
    ULONG McnDisables; /* media change notification disabled through it, not yet enabled */
} KELMOR_HANDLE, *PKELMOR_HANDLE;

/* The extension of both kinds of device; the drive fields are unused on the control device. */
typedef struct _KELMOR_DEVICE {
    KELMOR_DEVICE_KIND Kind;
    PDEVICE_OBJECT Self;
    WCHAR Letter;          /* upper case */
    ULONG Number;          /* n of "\Device\KelmorCdRom<n>" */
    BOOLEAN Removed;       /* taken out of the list; the device goes with its last handle */
    ULONG OpenHandles;     /* file objects open on the device */
    LIST_ENTRY Handles;    /* KELMOR_HANDLE records of those file objects */
    PKELMOR_MEDIUM Medium; /* NULL when no medium */
    WCHAR Path[KELMOR_PATH_UNITS + 1]; /* NT path of the last image, terminated */
    USHORT PathUnits;                  /* 0 when the drive never had an image */
    ULONG Flags;                       /* mount flags of the last mount */
    ULONG Locks;                       /* media-removal locks held: one count for the device */
    ULONG ChangeCount;                 /* medium changes, as check-verify reports them */
    WCHAR LinkBuffer[16];              /* "\GLOBAL??\X:" */
    UNICODE_STRING LinkName;
    /* Every read is queued to a thread of the drive's own, in the order it arrives. The queue
       and StopReader are guarded by the cancel spin lock (see read.c). */
    LIST_ENTRY ReadQueue;
    KEVENT ReadsQueued; /* set when a read is queued or the thread must stop */
    BOOLEAN StopReader;
    HANDLE Reader;
    HANDLE ReaderId; /* the thread's id, set by the thread itself */
    /* Allocated with the drive, so that its deletion can always be handed to a work item. */
    PIO_WORKITEM DeleteItem;
    BOOLEAN Deleting; /* the deletion is queued */
} KELMOR_DEVICE, *PKELMOR_DEVICE;

void KelmorInitialiseDrives(PDRIVER_OBJECT driver);

/* The pool for the driver's non-paged allocations: NonPagedPoolNx on Windows 8 and later,
   where memory integrity refuses executable pool; NonPagedPool before, where the Nx type is
   unknown and ends in a bugcheck. Chosen once, at start. */
POOL_TYPE KelmorNonPagedPool(void);

/* Links "\GLOBAL??\<linkName>" to `target`, its name made in `buffer` (`units` code units).
   Drive letters and the control device are named in the global name space, where unload finds
   them again whoever asked for them: "\??" would be the requester's own logon session. */
NTSTATUS KelmorCreateGlobalLink(WCHAR* buffer, USHORT units, const WCHAR* linkName,
                                UNICODE_STRING* link, PUNICODE_STRING target);
void KelmorLockCreation(void);
void KelmorUnlockCreation(void);

/* Opens `path` (an NT path of `units` code units) for shared reading, and finds what the mount
   `flags` suppress in it. `checkAccess` makes the open honour the rights of the user whose
   request this is; it must then run in that user's request. Takes no lock. */
NTSTATUS KelmorOpenMedium(const WCHAR* path, USHORT units, BOOLEAN checkAccess, ULONG flags,
                          PKELMOR_MEDIUM* medium);
/* Drops one reference; the last one closes the file. NULL is allowed. */
void KelmorReleaseMedium(PKELMOR_MEDIUM medium);

/* Creates a drive under `letter`, or under the first free letter from D to Z when `letter` is
   0, with `medium` (the image at `path`, or NULL) already in it when its letter appears. The
   caller holds the creation lock. On success the drive owns the medium's reference; on
   failure the caller still does. STATUS_OBJECT_NAME_COLLISION when `letter` is taken. */
NTSTATUS KelmorCreateDrive(WCHAR letter, PKELMOR_MEDIUM medium, const WCHAR* path, USHORT units,
                           WCHAR* created);
/* Whether `device` is one of this driver's devices. */
BOOLEAN KelmorIsOwnDevice(PDEVICE_OBJECT device);
/* Whether one of the drives carries `letter` (upper case). */
BOOLEAN KelmorIsDriveLetter(WCHAR letter);
/* The drive letters in creation order. */
void KelmorListDrives(KELMOR_DRIVE_LIST* list);

/* The requests of a drive. */
NTSTATUS KelmorRemoveDrive(PKELMOR_DEVICE drive);
NTSTATUS KelmorMountImage(PKELMOR_DEVICE drive, const WCHAR* path, USHORT units, ULONG flags,
                          BOOLEAN checkAccess);
NTSTATUS KelmorEjectImage(PKELMOR_DEVICE drive);
/* Reopens the last image, with the same access check as a mount; STATUS_NO_MEDIA_IN_DEVICE when
   the drive never had one. */
NTSTATUS KelmorReloadImage(PKELMOR_DEVICE drive, BOOLEAN checkAccess);
NTSTATUS KelmorQueryImage(PKELMOR_DEVICE drive, KELMOR_IMAGE_INFO* info);
/* The sectors of the disc in the drive; STATUS_NO_MEDIA_IN_DEVICE when it holds none. */
NTSTATUS KelmorQueryDisc(PKELMOR_DEVICE drive, ULONGLONG* sectors);
NTSTATUS KelmorCheckVerify(PKELMOR_DEVICE drive, ULONG* changeCount);
NTSTATUS KelmorSetMediaLock(PKELMOR_DEVICE drive, PFILE_OBJECT file, BOOLEAN prevent);
/* IOCTL_STORAGE_MCN_CONTROL: a disable is counted on the handle, an enable takes one back
   (STATUS_INVALID_DEVICE_STATE when the handle has none). The drive sends no notification
   either way. */
NTSTATUS KelmorSetMcn(PKELMOR_DEVICE drive, PFILE_OBJECT file, BOOLEAN disable);

/* A read, its offset already resolved into the stack location: queued for the drive's reader
   thread (STATUS_PENDING, the request marked pending; a queued read can be cancelled, and a
   drive that goes away cancels those still queued), or refused and completed with its status. */
NTSTATUS KelmorRead(PKELMOR_DEVICE drive, PIRP irp);
/* Cancels the reads that `file` still has queued (its handle is closing). */
void KelmorCancelHandleReads(PKELMOR_DEVICE drive, PFILE_OBJECT file);

/* A handle's life on a drive: create records it, cleanup drops its locks and cancels its queued
   reads, close forgets it.
   KelmorCloseHandle answers TRUE when this was the last handle of a removed drive, whose
   device the caller then deletes with KelmorDeleteDrive once the request is completed. */
NTSTATUS KelmorOpenHandle(PKELMOR_DEVICE drive, PFILE_OBJECT file);
void KelmorCleanupHandle(PKELMOR_DEVICE drive, PFILE_OBJECT file);
BOOLEAN KelmorCloseHandle(PKELMOR_DEVICE drive, PFILE_OBJECT file);
/* Stops the drive's reader thread and deletes its device; in the reader thread itself, hands
   both to a work item. No request may be in progress. */
void KelmorDeleteDrive(PKELMOR_DEVICE drive);

/* Unload: detaches every drive and deletes every drive device. */
void KelmorDeleteAllDrives(PDRIVER_OBJECT driver);

/* Shared by drive.c, image.c and read.c, and used nowhere else. */
/* The lock over every drive's state (medium, path, locks, handles, removal). */
void KelmorLockState(void);
void KelmorUnlockState(void);
/* Whether a request may change what the drive holds now; called with the state locked. */
NTSTATUS KelmorChangeableStatus(PKELMOR_DEVICE drive);
/* Reads `length` bytes at `offset`, whole sectors within the disc, or refuses (image.c). */
NTSTATUS KelmorReadMedium(PKELMOR_MEDIUM medium, LONGLONG offset, PVOID buffer, ULONG length,
                          ULONG* bytesRead);
/* A medium came or went: counts the change and asks a mounted file system to verify. */
void KelmorNoteMediumChange(PKELMOR_DEVICE drive);
/* Takes the drive's medium out of it; the caller releases it outside the lock. */
PKELMOR_MEDIUM KelmorTakeMedium(PKELMOR_DEVICE drive);
void KelmorSetPath(PKELMOR_DEVICE drive, const WCHAR* path, USHORT units, ULONG flags);
/* The drive's reader thread: started with the drive, stopped before its device goes. */
NTSTATUS KelmorStartReader(PKELMOR_DEVICE drive);
/* Called at PASSIVE_LEVEL in a thread other than the reader; FALSE when the thread did not end. */
BOOLEAN KelmorStopReader(PKELMOR_DEVICE drive);
BOOLEAN KelmorIsReaderThread(PKELMOR_DEVICE drive);

/* Restores the mounts recorded as persistent under the service key. */
void KelmorRestorePersistentMounts(PUNICODE_STRING registryPath);

#endif
