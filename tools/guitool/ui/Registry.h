#pragma once

// The registry seam of the persistent-mount record. Each method mirrors the advapi32 call of
// the same name; the Win32 implementation makes exactly that call, and tests use a recording
// double that injects failures.

#include <windows.h>

class IRegistry {
public:
    virtual ~IRegistry() = default;

    virtual LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR className,
                                 DWORD options, REGSAM access, SECURITY_ATTRIBUTES* security,
                                 HKEY* result, LPDWORD disposition) = 0;
    virtual LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                                const BYTE* data, DWORD dataSize) = 0;
    virtual LONG RegCloseKey(HKEY key) = 0;
};

class CWin32Registry : public IRegistry {
public:
    LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR className, DWORD options,
                         REGSAM access, SECURITY_ATTRIBUTES* security, HKEY* result,
                         LPDWORD disposition) override;
    LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                        DWORD dataSize) override;
    LONG RegCloseKey(HKEY key) override;
};

// The process's one Win32 registry seam.
IRegistry& SystemRegistry();
