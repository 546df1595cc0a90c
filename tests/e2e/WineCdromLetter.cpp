#include "WineCdromLetter.h"

#include <winioctl.h>

namespace {

// Wine's own mount manager requests (its ddk/mountmgr.h).
constexpr DWORD kMountMgrDeviceType = 0x6D; // MOUNTMGRCONTROLTYPE
constexpr DWORD kDefineUnixDrive =
    CTL_CODE(kMountMgrDeviceType, 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
constexpr DWORD kQueryUnixDrive =
    CTL_CODE(kMountMgrDeviceType, 33, METHOD_BUFFERED, FILE_READ_ACCESS);

#pragma pack(push, 8)
struct MountMgrUnixDrive {
    ULONG size;
    ULONG type;
    ULONG fs_type;
    DWORD serial;
    ULONGLONG unix_dev;
    WCHAR letter;
    USHORT mount_point_offset;
    USHORT device_offset;
    USHORT label_offset;
};
#pragma pack(pop)
static_assert(sizeof(MountMgrUnixDrive) == 32, "Wine's request is 32 bytes");

class CMountManager {
public:
    CMountManager()
        : m_handle(CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr)) {}
    ~CMountManager() {
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
    }
    CMountManager(const CMountManager&) = delete;
    CMountManager& operator=(const CMountManager&) = delete;

    bool IsOpen() const { return m_handle != INVALID_HANDLE_VALUE; }

    // True when the mount manager has a drive under `letter`.
    bool Knows(wchar_t letter) {
        union {
            MountMgrUnixDrive drive;
            BYTE room[1024];
        } answer = {};
        answer.drive.size = sizeof(answer.drive);
        answer.drive.letter = letter;
        DWORD returned = 0;
        return DeviceIoControl(m_handle, kQueryUnixDrive, &answer, sizeof(answer.drive), &answer,
                               sizeof(answer), &returned, nullptr) ||
               GetLastError() == ERROR_MORE_DATA;
    }

    bool Define(wchar_t letter, ULONG type) {
        MountMgrUnixDrive request = {};
        request.size = sizeof(request);
        request.type = type;
        request.letter = letter;
        DWORD returned = 0;
        return DeviceIoControl(m_handle, kDefineUnixDrive, &request, sizeof(request), nullptr, 0,
                               &returned, nullptr) != FALSE;
    }

private:
    HANDLE m_handle;
};

} // namespace

bool RunningOnWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool DefineWineCdromLetter(wchar_t letter, std::string& error) {
    if (!RunningOnWine())
        return true;
    CMountManager manager;
    if (!manager.IsOpen()) {
        error = "cannot open Wine's mount manager (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    if (manager.Knows(letter))
        return true;
    if (!manager.Define(letter, DRIVE_CDROM)) {
        error = "Wine's mount manager refused the letter (error " + std::to_string(GetLastError()) +
                ")";
        return false;
    }
    return true;
}

bool UndefineWineCdromLetter(wchar_t letter, std::string& error) {
    if (!RunningOnWine())
        return true;
    CMountManager manager;
    if (!manager.IsOpen()) {
        error = "cannot open Wine's mount manager (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    if (!manager.Knows(letter))
        return true;
    if (!manager.Define(letter, DRIVE_NO_ROOT_DIR)) {
        error =
            "Wine's mount manager kept the letter (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    return true;
}
