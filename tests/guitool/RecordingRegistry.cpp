#include "RecordingRegistry.h"

LONG CRecordingRegistry::RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR className,
                                         DWORD options, REGSAM access,
                                         SECURITY_ATTRIBUTES* security, HKEY* result,
                                         LPDWORD disposition) {
    Call call("RegCreateKeyExW");
    call.key = key;
    call.name = subKey != nullptr ? subKey : L"<null>";
    call.classIsNull = className == nullptr;
    call.options = options;
    call.access = access;
    call.securityIsNull = security == nullptr;
    call.result = createError;
    calls.push_back(call);
    if (createError != ERROR_SUCCESS)
        return createError;
    *result = reinterpret_cast<HKEY>(m_nextKey);
    m_nextKey += 4;
    ++m_openKeys;
    if (disposition != nullptr)
        *disposition = REG_CREATED_NEW_KEY;
    return ERROR_SUCCESS;
}

LONG CRecordingRegistry::RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type,
                                        const BYTE* data, DWORD dataSize) {
    Call call("RegSetValueExW");
    call.key = key;
    call.name = valueName != nullptr ? valueName : L"<null>";
    call.type = type;
    if (data != nullptr)
        call.data.assign(data, data + dataSize);
    call.result = call.name == failingValue ? valueError : ERROR_SUCCESS;
    calls.push_back(call);
    return call.result;
}

LONG CRecordingRegistry::RegCloseKey(HKEY key) {
    Call call("RegCloseKey");
    call.key = key;
    calls.push_back(call);
    --m_openKeys;
    return ERROR_SUCCESS;
}
