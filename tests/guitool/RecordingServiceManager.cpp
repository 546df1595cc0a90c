#include "RecordingServiceManager.h"

#include <algorithm>
#include <cstring>

namespace {

std::wstring Text(LPCWSTR text) {
    return text != nullptr ? std::wstring(text) : std::wstring(L"<null>");
}

} // namespace

std::vector<std::string> CRecordingServiceManager::Requests() const {
    std::vector<std::string> names;
    for (const Call& call : calls) {
        if (call.function == "ControlService" && call.control == SERVICE_CONTROL_INTERROGATE)
            continue;
        names.push_back(call.function);
    }
    return names;
}

std::vector<CRecordingServiceManager::Call>
CRecordingServiceManager::CallsOf(const std::string& function) const {
    std::vector<Call> found;
    for (const Call& call : calls) {
        if (call.function == function)
            found.push_back(call);
    }
    return found;
}

SC_HANDLE CRecordingServiceManager::NewHandle(bool manager) {
    SC_HANDLE handle = reinterpret_cast<SC_HANDLE>(m_nextHandle);
    m_nextHandle += 4;
    m_open.push_back(handle);
    if (manager)
        m_manager = handle;
    return handle;
}

bool CRecordingServiceManager::IsOpen(SC_HANDLE handle) const {
    return std::find(m_open.begin(), m_open.end(), handle) != m_open.end();
}

BOOL CRecordingServiceManager::Fail(Call& call, DWORD error) {
    m_lastError = error;
    call.result = FALSE;
    calls.push_back(call);
    return FALSE;
}

BOOL CRecordingServiceManager::Succeed(Call& call) {
    call.result = TRUE;
    calls.push_back(call);
    return TRUE;
}

SC_HANDLE CRecordingServiceManager::OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName,
                                                   DWORD access) {
    Call call("OpenSCManagerW");
    call.text1 = Text(machineName);
    call.text2 = Text(databaseName);
    call.access = access;
    if (openManagerError != 0) {
        Fail(call, openManagerError);
        return nullptr;
    }
    call.handle = NewHandle(true);
    Succeed(call);
    return call.handle;
}

SC_HANDLE CRecordingServiceManager::OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName,
                                                 DWORD access) {
    Call call("OpenServiceW");
    call.text1 = Text(serviceName);
    call.access = access;
    if (manager == nullptr || !IsOpen(manager)) {
        Fail(call, ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!serviceExists || openServiceError != 0) {
        Fail(call, openServiceError != 0 ? openServiceError : ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    call.handle = NewHandle(false);
    Succeed(call);
    return call.handle;
}

SC_HANDLE CRecordingServiceManager::CreateServiceW(
    SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayNameArg, DWORD access, DWORD serviceType,
    DWORD startType, DWORD errorControl, LPCWSTR binaryPathName, LPCWSTR loadOrderGroup,
    LPDWORD tagId, LPCWSTR dependencies, LPCWSTR serviceStartName, LPCWSTR password) {
    Call call("CreateServiceW");
    call.text1 = Text(serviceName);
    call.text2 = Text(displayNameArg);
    call.binaryPath = Text(binaryPathName);
    call.access = access;
    call.serviceType = serviceType;
    call.startType = startType;
    call.errorControl = errorControl;
    call.noExtras = loadOrderGroup == nullptr && tagId == nullptr && dependencies == nullptr &&
                    serviceStartName == nullptr && password == nullptr;
    if (manager == nullptr || !IsOpen(manager)) {
        Fail(call, ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (createError != 0 || serviceExists) {
        Fail(call, createError != 0 ? createError : ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    serviceExists = true;
    serviceState = SERVICE_STOPPED;
    displayName = call.text2;
    binaryPath = call.binaryPath;
    call.handle = NewHandle(false);
    Succeed(call);
    return call.handle;
}

BOOL CRecordingServiceManager::StartServiceW(SC_HANDLE service, DWORD argumentCount,
                                             LPCWSTR* arguments) {
    Call call("StartServiceW", service);
    call.argumentCount = argumentCount;
    call.argumentsNull = arguments == nullptr;
    if (!IsOpen(service))
        return Fail(call, ERROR_INVALID_HANDLE);
    if (startError != 0)
        return Fail(call, startError);
    if (serviceState == SERVICE_RUNNING)
        return Fail(call, ERROR_SERVICE_ALREADY_RUNNING);
    serviceState = stateAfterStart;
    return Succeed(call);
}

BOOL CRecordingServiceManager::ControlService(SC_HANDLE service, DWORD control,
                                              SERVICE_STATUS* status) {
    Call call("ControlService", service);
    call.control = control;
    if (!IsOpen(service))
        return Fail(call, ERROR_INVALID_HANDLE);
    if (control == SERVICE_CONTROL_INTERROGATE) {
        if (interrogationFillsStatus && status != nullptr) {
            std::memset(status, 0, sizeof(*status));
            status->dwServiceType = SERVICE_FILE_SYSTEM_DRIVER;
            status->dwCurrentState = serviceState;
        }
        // A service that does not run answers with an error, after reporting its state.
        if (serviceState != SERVICE_RUNNING)
            return Fail(call, ERROR_SERVICE_NOT_ACTIVE);
        return Succeed(call);
    }
    if (control == SERVICE_CONTROL_STOP) {
        if (stopError != 0)
            return Fail(call, stopError);
        if (serviceState == SERVICE_STOPPED)
            return Fail(call, ERROR_SERVICE_NOT_ACTIVE);
        serviceState = stateAfterStop;
        if (status != nullptr)
            status->dwCurrentState = serviceState;
        return Succeed(call);
    }
    return Fail(call, ERROR_INVALID_SERVICE_CONTROL);
}

BOOL CRecordingServiceManager::DeleteService(SC_HANDLE service) {
    Call call("DeleteService", service);
    if (!IsOpen(service))
        return Fail(call, ERROR_INVALID_HANDLE);
    if (deleteError != 0)
        return Fail(call, deleteError);
    serviceExists = false;
    return Succeed(call);
}

BOOL CRecordingServiceManager::QueryServiceConfigW(SC_HANDLE service, QUERY_SERVICE_CONFIGW* config,
                                                   DWORD bufferSize, LPDWORD bytesNeeded) {
    Call call("QueryServiceConfigW", service);
    call.bufferSize = bufferSize;
    if (!IsOpen(service))
        return Fail(call, ERROR_INVALID_HANDLE);
    if (queryConfigError != 0)
        return Fail(call, queryConfigError);
    // The configuration and its two texts, laid out in the caller's buffer as the system does.
    const DWORD textBytes =
        static_cast<DWORD>((displayName.size() + 1 + binaryPath.size() + 1) * sizeof(wchar_t));
    const DWORD needed = static_cast<DWORD>(sizeof(QUERY_SERVICE_CONFIGW)) + textBytes;
    if (bytesNeeded != nullptr)
        *bytesNeeded = needed;
    if (config == nullptr || bufferSize < needed)
        return Fail(call, ERROR_INSUFFICIENT_BUFFER);
    std::memset(config, 0, needed);
    auto* text = reinterpret_cast<wchar_t*>(config + 1);
    config->dwServiceType = SERVICE_FILE_SYSTEM_DRIVER;
    config->dwStartType = SERVICE_SYSTEM_START;
    config->lpDisplayName = text;
    std::wmemcpy(text, displayName.c_str(), displayName.size() + 1);
    text += displayName.size() + 1;
    config->lpBinaryPathName = text;
    std::wmemcpy(text, binaryPath.c_str(), binaryPath.size() + 1);
    return Succeed(call);
}

BOOL CRecordingServiceManager::CloseServiceHandle(SC_HANDLE handle) {
    Call call("CloseServiceHandle", handle);
    auto found = std::find(m_open.begin(), m_open.end(), handle);
    if (found == m_open.end())
        return Fail(call, ERROR_INVALID_HANDLE);
    m_open.erase(found);
    return Succeed(call);
}
