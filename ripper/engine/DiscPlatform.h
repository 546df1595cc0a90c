#pragma once

// The platform operations that the disc probe and the sector copy rest on. Each mirrors one
// Windows call (named beside it) and keeps its meaning, so that the engine's checks read the
// same on every platform:
//   - Win32DiscPlatform makes exactly those calls;
//   - PosixDiscPlatform carries them out on a block device or an image file;
//   - tests use a scripted double that records every call and injects faults.
// Error codes are Win32 error codes on every platform (0 = no error).

#include <cstddef>
#include <cstdint>

class IFileSystem;

// A drive or image file handle: the Windows HANDLE or the POSIX file descriptor.
using PlatformHandle = intptr_t;
constexpr PlatformHandle kInvalidPlatformHandle = -1; // INVALID_HANDLE_VALUE, or fd -1

// What the caller passes as the progress bar and the abort event; null means none.
#ifdef _WIN32
// The progress bar's HWND and the event's HANDLE, which the dialog holds as such.
using ProgressBarRef = void*;
using AbortEventRef = void*;
#else
// Typed, so that passing one for the other, or any other object, does not compile
// (PosixDiscPlatform.h defines both).
class IProgressReceiver;
class CAbortEvent;
using ProgressBarRef = IProgressReceiver*;
using AbortEventRef = CAbortEvent*;
#endif

// The answer of the drive geometry request, laid out as the drive delivers it (24 bytes,
// little-endian).
struct DiscGeometry {
    int64_t Cylinders;
    uint32_t MediaType;
    uint32_t TracksPerCylinder;
    uint32_t SectorsPerTrack;
    uint32_t BytesPerSector;
};
static_assert(sizeof(DiscGeometry) == 24, "the geometry answer is 24 bytes");
static_assert(offsetof(DiscGeometry, TracksPerCylinder) == 12, "geometry layout");
static_assert(offsetof(DiscGeometry, BytesPerSector) == 20, "geometry layout");

// Win32 error codes the engine produces itself or that its platforms report.
constexpr uint32_t kErrorInvalidFunction = 1;      // ERROR_INVALID_FUNCTION
constexpr uint32_t kErrorFileNotFound = 2;         // ERROR_FILE_NOT_FOUND
constexpr uint32_t kErrorPathNotFound = 3;         // ERROR_PATH_NOT_FOUND
constexpr uint32_t kErrorNotEnoughMemory = 8;      // ERROR_NOT_ENOUGH_MEMORY
constexpr uint32_t kErrorWriteFault = 29;          // ERROR_WRITE_FAULT
constexpr uint32_t kErrorReadFault = 30;           // ERROR_READ_FAULT
constexpr uint32_t kErrorHandleDiskFull = 39;      // ERROR_HANDLE_DISK_FULL
constexpr uint32_t kErrorHandleEof = 38;           // ERROR_HANDLE_EOF
constexpr uint32_t kErrorInvalidName = 123;        // ERROR_INVALID_NAME
constexpr uint32_t kErrorUnrecognizedMedia = 1785; // ERROR_UNRECOGNIZED_MEDIA

// The table-of-contents requests of an optical drive. Each answer is the drive's bytes as
// Windows' CD-ROM class driver lays them out (a big-endian length, then 8-byte track
// descriptors, or 11-byte ones for the full TOC); DiscLayout.h reads them.
enum class TocRequest {
    TracksLba,   // IOCTL_CDROM_READ_TOC_EX, format 0 (the tracks), LBA addresses
    TracksMsf,   // IOCTL_CDROM_READ_TOC: the tracks, minute-second-frame addresses
    LastSession, // IOCTL_CDROM_GET_LAST_SESSION: the last session's first track
    FullToc,     // IOCTL_CDROM_READ_TOC_EX, format 2 from session 1, MSF: every session's points
};
constexpr uint32_t kTocBytes = 804; // CDROM_TOC: the header and 100 descriptors
// Room asked for the full TOC: the class driver refuses a length that is not a multiple of the
// adapter's alignment or exceeds 65535.
constexpr uint32_t kFullTocBytes = 0xFFFC;

// SetFilePointer's failure answer.
constexpr uint32_t kInvalidSetFilePointer = 0xFFFFFFFFu;

class IDiscPlatform {
public:
    virtual ~IDiscPlatform() = default;

    // CreateFileA(devicePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
    // OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL). kInvalidPlatformHandle on failure.
    virtual PlatformHandle OpenDrive(const char* devicePath) = 0;
    // DeviceIoControl IOCTL_CDROM_MEDIA_REMOVAL with PreventMediaRemoval = 1 or 0.
    virtual bool SetMediaLock(PlatformHandle drive, bool prevent) = 0;
    // DeviceIoControl IOCTL_CDROM_GET_DRIVE_GEOMETRY.
    virtual bool GetDriveGeometry(PlatformHandle drive, DiscGeometry& geometry) = 0;
    // DeviceIoControl FSCTL_ALLOW_EXTENDED_DASD_IO: reads may go past the end that a mounted
    // file system gives the volume.
    virtual bool AllowExtendedDasdIo(PlatformHandle drive) = 0;
    // DeviceIoControl IOCTL_DISK_GET_LENGTH_INFO: the medium's exact length in bytes.
    virtual bool GetLengthInfo(PlatformHandle drive, uint64_t& length) = 0;
    // DeviceIoControl IOCTL_CDROM_GET_DRIVE_GEOMETRY_EX: the geometry and the disc's size.
    virtual bool GetDriveGeometryEx(PlatformHandle drive, DiscGeometry& geometry,
                                    uint64_t& diskSize) = 0;
    // DeviceIoControl with the TOC request's code and its input; `returned` is the answer's
    // length in bytes.
    virtual bool ReadToc(PlatformHandle drive, TocRequest request, void* answer, uint32_t size,
                         uint32_t& returned) = 0;
    // SetFilePointer(drive, low, high, FILE_BEGIN): the low part of the new position, or
    // kInvalidSetFilePointer. With `high` null the offset is `low` alone, sign and all.
    virtual uint32_t SetPosition(PlatformHandle drive, int32_t low, int32_t* high) = 0;
    // ReadFile(drive, buffer, size, &read, NULL).
    virtual bool Read(PlatformHandle drive, void* buffer, uint32_t size, uint32_t& read) = 0;
    // ReadFile(drive, buffer, size, &read, &overlapped) with the OVERLAPPED's offset on the
    // synchronous handle: a positioned read in one call. At the end of the medium it reads 0
    // bytes (ReadFile's FALSE with ERROR_HANDLE_EOF).
    virtual bool ReadAt(PlatformHandle drive, uint64_t offset, void* buffer, uint32_t size,
                        uint32_t& read) = 0;
    // CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL).
    virtual PlatformHandle CreateImage(const char* path) = 0;
    // WriteFile(image, buffer, size, &written, NULL).
    virtual bool Write(PlatformHandle image, const void* buffer, uint32_t size,
                       uint32_t& written) = 0;
    // CloseHandle.
    virtual void Close(PlatformHandle handle) = 0;
    // VirtualAlloc(NULL, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE): page-aligned and
    // zero-filled, or null.
    virtual void* AllocateBuffer(uint32_t size) = 0;
    // VirtualFree(buffer, 0, MEM_RELEASE); `size` is what was allocated.
    virtual void FreeBuffer(void* buffer, uint32_t size) = 0;
    // WaitForSingleObject(event, 0) == WAIT_OBJECT_0.
    virtual bool IsSignalled(AbortEventRef event) = 0;
    // SendMessageA(progressBar, PBM_SETPOS, percent, 0).
    virtual void SetProgress(ProgressBarRef progressBar, uint32_t percent) = 0;
    // GetWindowThreadProcessId(progressBar, NULL) == GetCurrentThreadId(): a send to the bar
    // from another thread waits for this one to read its messages. Elsewhere no bar is.
    virtual bool IsProgressBarOfThisThread(ProgressBarRef) { return false; }
    // GetLastError: the code of this thread's last failed call.
    virtual uint32_t GetLastError() = 0;
    // Where the output directories are created.
    virtual IFileSystem& FileSystem() = 0;
};

// The platform of this build: Win32DiscPlatform on Windows, PosixDiscPlatform elsewhere.
IDiscPlatform& SystemDiscPlatform();
