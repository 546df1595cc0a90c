#include "Win32DiscPlatform.h"

#include "FileSystem.h"

#include <windows.h>
#include <commctrl.h>
#include <winioctl.h>

#include <cstddef>
#include <cstring>

namespace {

// The optical drive's control requests, as the CD-ROM class driver defines them.
constexpr DWORD kIoctlCdromMediaRemoval = 0x24804;
constexpr DWORD kIoctlCdromGetDriveGeometry = 0x2404C;
constexpr DWORD kIoctlCdromGetDriveGeometryEx = 0x24050;
constexpr DWORD kIoctlCdromReadToc = 0x24000;
constexpr DWORD kIoctlCdromReadTocEx = 0x24054;
constexpr DWORD kIoctlCdromGetLastSession = 0x24038;
constexpr DWORD kIoctlDiskGetLengthInfo = 0x7405C;
constexpr DWORD kFsctlAllowExtendedDasdIo = 0x90083;

// The input of IOCTL_CDROM_READ_TOC_EX: Format in bits 0-3 (0, the tracks), MSF in bit 7 (0,
// LBA addresses), then the first track to list and two reserved bytes.
constexpr BYTE kReadTocExTracksLba[4] = {0, 1, 0, 0};
// The full TOC: format 2, MSF (the only form it has), from session 1.
constexpr BYTE kReadTocExFullToc[4] = {0x82, 1, 0, 0};

static_assert(sizeof(DiscGeometry) == sizeof(DISK_GEOMETRY), "geometry layout");
static_assert(offsetof(DiscGeometry, BytesPerSector) == offsetof(DISK_GEOMETRY, BytesPerSector),
              "geometry layout");

HANDLE ToHandle(PlatformHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

PlatformHandle FromHandle(HANDLE handle) {
    return reinterpret_cast<PlatformHandle>(handle);
}

// Wine positions no handle of a device that a kernel driver serves: SetFilePointer fails with
// ERROR_BAD_DEV_TYPE (66) there, and a plain ReadFile then reads from offset 0, while ReadFile
// with an OVERLAPPED offset on the same synchronous handle reads the right place (measured
// under Wine 8.0 on a drive of our stand-in driver, past 4 GiB too). So a position refused
// with that error is kept here and the reads that follow name it in an OVERLAPPED. Windows
// positions such handles itself and never takes this way. Each drive handle is used by the
// one thread that opened it, so the kept position belongs to the thread.
struct CKeptPosition {
    HANDLE handle = nullptr;
    ULONGLONG offset = 0;
};
thread_local CKeptPosition t_keptPosition;

} // namespace

PlatformHandle Win32DiscPlatform::OpenDrive(const char* devicePath) {
    return FromHandle(CreateFileA(devicePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool Win32DiscPlatform::SetMediaLock(PlatformHandle drive, bool prevent) {
    PREVENT_MEDIA_REMOVAL request = {};
    request.PreventMediaRemoval = prevent ? TRUE : FALSE;
    DWORD returned = 0;
    return DeviceIoControl(ToHandle(drive), kIoctlCdromMediaRemoval, &request, 1, nullptr, 0,
                           &returned, nullptr) != FALSE;
}

bool Win32DiscPlatform::GetDriveGeometry(PlatformHandle drive, DiscGeometry& geometry) {
    DWORD returned = 0;
    return DeviceIoControl(ToHandle(drive), kIoctlCdromGetDriveGeometry, nullptr, 0, &geometry,
                           sizeof(geometry), &returned, nullptr) != FALSE;
}

bool Win32DiscPlatform::AllowExtendedDasdIo(PlatformHandle drive) {
    DWORD returned = 0;
    return DeviceIoControl(ToHandle(drive), kFsctlAllowExtendedDasdIo, nullptr, 0, nullptr, 0,
                           &returned, nullptr) != FALSE;
}

bool Win32DiscPlatform::GetLengthInfo(PlatformHandle drive, uint64_t& length) {
    GET_LENGTH_INFORMATION answer = {};
    DWORD returned = 0;
    if (!DeviceIoControl(ToHandle(drive), kIoctlDiskGetLengthInfo, nullptr, 0, &answer,
                         sizeof(answer), &returned, nullptr))
        return false;
    length = static_cast<uint64_t>(answer.Length.QuadPart);
    return true;
}

bool Win32DiscPlatform::GetDriveGeometryEx(PlatformHandle drive, DiscGeometry& geometry,
                                           uint64_t& diskSize) {
    // DISK_GEOMETRY_EX with room for the partition and detection data some drives add.
    union {
        DISK_GEOMETRY_EX answer;
        BYTE room[256];
    } buffer = {};
    DWORD returned = 0;
    if (!DeviceIoControl(ToHandle(drive), kIoctlCdromGetDriveGeometryEx, nullptr, 0, &buffer,
                         sizeof(buffer), &returned, nullptr) ||
        returned < offsetof(DISK_GEOMETRY_EX, Data)) {
        if (returned != 0)
            SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    std::memcpy(&geometry, &buffer.answer.Geometry, sizeof(geometry));
    diskSize = static_cast<uint64_t>(buffer.answer.DiskSize.QuadPart);
    return true;
}

bool Win32DiscPlatform::ReadToc(PlatformHandle drive, TocRequest request, void* answer,
                                uint32_t size, uint32_t& returned) {
    DWORD count = 0;
    BOOL ok = FALSE;
    switch (request) {
    case TocRequest::TracksLba:
        ok = DeviceIoControl(ToHandle(drive), kIoctlCdromReadTocEx,
                             const_cast<BYTE*>(kReadTocExTracksLba), sizeof(kReadTocExTracksLba),
                             answer, size, &count, nullptr);
        break;
    case TocRequest::FullToc:
        ok = DeviceIoControl(ToHandle(drive), kIoctlCdromReadTocEx,
                             const_cast<BYTE*>(kReadTocExFullToc), sizeof(kReadTocExFullToc),
                             answer, size, &count, nullptr);
        break;
    case TocRequest::TracksMsf:
        ok = DeviceIoControl(ToHandle(drive), kIoctlCdromReadToc, nullptr, 0, answer, size, &count,
                             nullptr);
        break;
    case TocRequest::LastSession:
        ok = DeviceIoControl(ToHandle(drive), kIoctlCdromGetLastSession, nullptr, 0, answer, size,
                             &count, nullptr);
        break;
    }
    returned = count;
    return ok != FALSE;
}

uint32_t Win32DiscPlatform::SetPosition(PlatformHandle drive, int32_t low, int32_t* high) {
    LONG highPart = high ? *high : 0;
    DWORD result = SetFilePointer(ToHandle(drive), low, high ? &highPart : nullptr, FILE_BEGIN);
    if (result == INVALID_SET_FILE_POINTER && ::GetLastError() == ERROR_BAD_DEV_TYPE) {
        // Without a high part the offset is `low`, sign and all, as SetFilePointer takes it.
        const LONGLONG offset =
            high ? static_cast<LONGLONG>(static_cast<ULONGLONG>(static_cast<DWORD>(*high)) << 32 |
                                         static_cast<DWORD>(low))
                 : static_cast<LONGLONG>(low);
        if (offset >= 0) {
            t_keptPosition.handle = ToHandle(drive);
            t_keptPosition.offset = static_cast<ULONGLONG>(offset);
            SetLastError(ERROR_SUCCESS);
            return static_cast<DWORD>(low);
        }
    }
    if (t_keptPosition.handle == ToHandle(drive))
        t_keptPosition.handle = nullptr;
    if (high)
        *high = highPart;
    return result;
}

bool Win32DiscPlatform::Read(PlatformHandle drive, void* buffer, uint32_t size, uint32_t& read) {
    DWORD count = 0;
    BOOL ok;
    if (t_keptPosition.handle == ToHandle(drive)) {
        OVERLAPPED position = {};
        position.Offset = static_cast<DWORD>(t_keptPosition.offset);
        position.OffsetHigh = static_cast<DWORD>(t_keptPosition.offset >> 32);
        ok = ReadFile(ToHandle(drive), buffer, size, &count, &position);
        t_keptPosition.offset += count;
    } else {
        ok = ReadFile(ToHandle(drive), buffer, size, &count, nullptr);
    }
    read = count;
    return ok != FALSE;
}

bool Win32DiscPlatform::ReadAt(PlatformHandle drive, uint64_t offset, void* buffer, uint32_t size,
                               uint32_t& read) {
    // ReadFile takes the position in the OVERLAPPED on a synchronous handle too, and waits for
    // the read; past the end it answers FALSE with ERROR_HANDLE_EOF, which is a read of 0.
    OVERLAPPED position = {};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD count = 0;
    const BOOL ok = ReadFile(ToHandle(drive), buffer, size, &count, &position);
    read = count;
    if (!ok && ::GetLastError() == ERROR_HANDLE_EOF) {
        read = 0;
        return true;
    }
    return ok != FALSE;
}

PlatformHandle Win32DiscPlatform::CreateImage(const char* path) {
    return FromHandle(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool Win32DiscPlatform::Write(PlatformHandle image, const void* buffer, uint32_t size,
                              uint32_t& written) {
    DWORD count = 0;
    BOOL ok = WriteFile(ToHandle(image), buffer, size, &count, nullptr);
    written = count;
    return ok != FALSE;
}

void Win32DiscPlatform::Close(PlatformHandle handle) {
    if (t_keptPosition.handle == ToHandle(handle))
        t_keptPosition.handle = nullptr;
    CloseHandle(ToHandle(handle));
}

void* Win32DiscPlatform::AllocateBuffer(uint32_t size) {
    return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void Win32DiscPlatform::FreeBuffer(void* buffer, uint32_t /*size*/) {
    VirtualFree(buffer, 0, MEM_RELEASE);
}

bool Win32DiscPlatform::IsSignalled(AbortEventRef event) {
    return WaitForSingleObject(static_cast<HANDLE>(event), 0) == WAIT_OBJECT_0;
}

void Win32DiscPlatform::SetProgress(ProgressBarRef progressBar, uint32_t percent) {
    SendMessageA(static_cast<HWND>(progressBar), PBM_SETPOS, percent, 0);
}

bool Win32DiscPlatform::IsProgressBarOfThisThread(ProgressBarRef progressBar) {
    return ::GetWindowThreadProcessId(static_cast<HWND>(progressBar), nullptr) ==
           ::GetCurrentThreadId();
}

uint32_t Win32DiscPlatform::GetLastError() {
    return ::GetLastError();
}

IFileSystem& Win32DiscPlatform::FileSystem() {
    return SystemFileSystem();
}

IDiscPlatform& SystemDiscPlatform() {
    static Win32DiscPlatform platform;
    return platform;
}
