#include "VolumePrivilege.h"

BOOL EnableManageVolumePrivilege() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return FALSE;
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    BOOL enabled =
        ::LookupPrivilegeValueW(nullptr, SE_MANAGE_VOLUME_NAME, &privileges.Privileges[0].Luid) &&
        ::AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    // AdjustTokenPrivileges succeeds also for a privilege the token does not hold, and says
    // so only in the last error.
    if (enabled && ::GetLastError() == ERROR_NOT_ALL_ASSIGNED)
        enabled = FALSE;
    const DWORD error = ::GetLastError();
    ::CloseHandle(token);
    ::SetLastError(error);
    return enabled;
}
