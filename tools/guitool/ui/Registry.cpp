#include "Registry.h"

LONG CWin32Registry::RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR className,
                                     DWORD options, REGSAM access, SECURITY_ATTRIBUTES* security,
                                     HKEY* result, LPDWORD disposition) {
    return ::RegCreateKeyExW(key, subKey, reserved, className, options, access, security, result,
                             disposition);
}

LONG CWin32Registry::RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                                    const BYTE* data, DWORD dataSize) {
    return ::RegSetValueExW(key, valueName, reserved, type, data, dataSize);
}

LONG CWin32Registry::RegCloseKey(HKEY key) {
    return ::RegCloseKey(key);
}

IRegistry& SystemRegistry() {
    static CWin32Registry registry;
    return registry;
}
