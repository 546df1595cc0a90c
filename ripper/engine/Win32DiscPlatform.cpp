#include "Win32DiscPlatform.h"

#include "../path/FileSystem.h"

#include <windows.h>
#include <commctrl.h>
#include <winioctl.h>

namespace {

// The optical drive's control requests, as the CD-ROM class driver defines them.
constexpr DWORD kIoctlCdromMediaRemoval = 0x24804;
constexpr DWORD kIoctlCdromGetDriveGeometry = 0x2404C;

static_assert(sizeof(DiscGeometry) == sizeof(DISK_GEOMETRY), "geometry layout");
static_assert(offsetof(DiscGeometry, BytesPerSector) == offsetof(DISK_GEOMETRY, BytesPerSector),
              "geometry layout");

HANDLE ToHandle(PlatformHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

PlatformHandle FromHandle(HANDLE handle) {
    return reinterpret_cast<PlatformHandle>(handle);
}

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

uint32_t Win32DiscPlatform::SetPosition(PlatformHandle drive, int32_t low, int32_t* high) {
    LONG highPart = high ? *high : 0;
    DWORD result = SetFilePointer(ToHandle(drive), low, high ? &highPart : nullptr, FILE_BEGIN);
    if (high)
        *high = highPart;
    return result;
}

bool Win32DiscPlatform::Read(PlatformHandle drive, void* buffer, uint32_t size, uint32_t& read) {
    DWORD count = 0;
    BOOL ok = ReadFile(ToHandle(drive), buffer, size, &count, nullptr);
    read = count;
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
