#pragma once

// The seven operations through which the control panel reaches the virtual CD-ROM driver.
// Each opens one device, sends one request, closes the device and returns nonzero on
// success; on failure it returns FALSE and leaves the reason in the thread's last error (the
// error of the failed open or of the failed request, never that of closing the handle).
// No operation keeps state between calls.
//
// Every operation has two forms: one that goes through a given device seam (tests use a
// recording double) and, on Windows, one that uses the Win32 device functions.

#include "DeviceIo.h"
#include "KelmorProtocol.h"

// Creates a virtual drive. `value` receives the driver's 16-bit answer (meaningful only on
// success; the stand-in driver answers the new drive's letter).
BOOL AddDrive(IDeviceIo& io, WORD& value);
// Removes the virtual drive `letter`.
BOOL RemoveDrive(IDeviceIo& io, WCHAR letter);
// Mounts the image file `imagePath` (a zero-terminated full path) on drive `letter`. A path
// longer than 251 characters does not fit the request: FALSE with ERROR_FILENAME_EXCED_RANGE,
// and no device is opened. A null path fails with ERROR_INVALID_PARAMETER.
BOOL MountImage(IDeviceIo& io, WCHAR letter, const WCHAR* imagePath, DWORD flags);
// Ejects the medium of drive `letter`.
BOOL EjectDrive(IDeviceIo& io, WCHAR letter);
// Asks drive `letter` to load its last medium again.
BOOL RemountDrive(IDeviceIo& io, WCHAR letter);
// Lists the virtual drives. Read it with DriveListCount().
BOOL QueryDrives(IDeviceIo& io, DRIVE_LIST& list);
// Reads what drive `letter` has mounted. The caller zero-fills `info` first and reads the
// path with ImagePathUnits().
BOOL QueryImage(IDeviceIo& io, WCHAR letter, IMAGE_INFO& info);

// Fills `request` as MountImage sends it. FALSE (with the reason in `error`) when the path is
// null or its prefixed form does not fit the 255 units of ImagePath.
bool BuildMountRequest(const WCHAR* imagePath, DWORD flags, MOUNT_REQUEST& request, DWORD& error);

#ifdef _WIN32
// The same operations on the Win32 device functions.
BOOL AddDrive(WORD& value);
BOOL RemoveDrive(WCHAR letter);
BOOL MountImage(WCHAR letter, const WCHAR* imagePath, DWORD flags);
BOOL EjectDrive(WCHAR letter);
BOOL RemountDrive(WCHAR letter);
BOOL QueryDrives(DRIVE_LIST& list);
BOOL QueryImage(WCHAR letter, IMAGE_INFO& info);
#endif
