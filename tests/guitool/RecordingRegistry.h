#pragma once

// A registry for tests: records every call with its arguments and the bytes of each value,
// counts the keys it has handed out and not had back, and fails key creation or the write of
// a named value on demand.

#include "Registry.h"

#include <string>
#include <vector>

class CRecordingRegistry : public IRegistry {
public:
    struct Call {
        explicit Call(const char* name) : function(name) {}

        std::string function; // "RegCreateKeyExW", "RegSetValueExW", "RegCloseKey"
        HKEY key = nullptr;   // the parent key, the key written, or the key closed
        std::wstring name;    // the subkey path, or the value name
        bool classIsNull = true;
        DWORD options = 0;
        REGSAM access = 0;
        bool securityIsNull = true;
        DWORD type = 0;
        std::vector<BYTE> data;
        LONG result = ERROR_SUCCESS;
    };

    LONG createError = ERROR_SUCCESS;
    std::wstring failingValue; // the value whose write fails
    LONG valueError = ERROR_ACCESS_DENIED;

    std::vector<Call> calls;

    int OpenKeys() const { return m_openKeys; }

    LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR className, DWORD options,
                         REGSAM access, SECURITY_ATTRIBUTES* security, HKEY* result,
                         LPDWORD disposition) override;
    LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                        DWORD dataSize) override;
    LONG RegCloseKey(HKEY key) override;

private:
    int m_openKeys = 0;
    uintptr_t m_nextKey = 0x7E00;
};
