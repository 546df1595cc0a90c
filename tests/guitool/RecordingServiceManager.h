#pragma once

// A Service Control Manager for tests: it keeps one service of its own (whether it exists, its
// state, names and driver file), records every call with its arguments, counts the handles it
// has given out and not had back, and fails any call on demand with a chosen error.

#include "ServiceManager.h"

#include <string>
#include <vector>

class CRecordingServiceManager : public IServiceManager {
public:
    struct Call {
        explicit Call(const char* name, SC_HANDLE on = nullptr) : function(name), handle(on) {}

        std::string function;      // "OpenSCManagerW", "ControlService", ...
        SC_HANDLE handle;          // the handle the call was made on (the one returned, for opens)
        std::wstring text1, text2; // machine and database, service name, ...
        std::wstring binaryPath;   // CreateServiceW
        DWORD access = 0;          // open and create access
        DWORD serviceType = 0, startType = 0, errorControl = 0; // CreateServiceW
        bool noExtras = true;      // CreateServiceW: no group, tag, dependencies, account, password
        DWORD control = 0;         // ControlService
        DWORD argumentCount = 0;   // StartServiceW
        bool argumentsNull = true; // StartServiceW
        DWORD bufferSize = 0;      // QueryServiceConfigW
        BOOL result = FALSE;
    };

    // The service as the manager knows it.
    bool serviceExists = false;
    DWORD serviceState = SERVICE_STOPPED;
    std::wstring displayName = L"Virtual CD-ROM Device Driver";
    std::wstring binaryPath = L"C:\\drivers\\kelmor.sys";

    // A nonzero error makes the call fail with it.
    DWORD openManagerError = 0;
    DWORD openServiceError = 0;
    DWORD createError = 0;
    DWORD startError = 0;
    DWORD stopError = 0;
    DWORD deleteError = 0;
    DWORD queryConfigError = 0; // the first, sizing call fails with this instead
    // The state a successful start or stop leaves (a pending state, say).
    DWORD stateAfterStart = SERVICE_RUNNING;
    DWORD stateAfterStop = SERVICE_STOPPED;
    // Whether an interrogation reports the state (a real one does even when it fails).
    bool interrogationFillsStatus = true;

    std::vector<Call> calls;

    // Handles given out and not yet closed.
    int OpenHandles() const { return static_cast<int>(m_open.size()); }
    // The names of the calls made, in order, other than interrogations.
    std::vector<std::string> Requests() const;
    // The calls of one function.
    std::vector<Call> CallsOf(const std::string& function) const;

    SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD access) override;
    SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD access) override;
    SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                             DWORD access, DWORD serviceType, DWORD startType, DWORD errorControl,
                             LPCWSTR binaryPathName, LPCWSTR loadOrderGroup, LPDWORD tagId,
                             LPCWSTR dependencies, LPCWSTR serviceStartName,
                             LPCWSTR password) override;
    BOOL StartServiceW(SC_HANDLE service, DWORD argumentCount, LPCWSTR* arguments) override;
    BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) override;
    BOOL DeleteService(SC_HANDLE service) override;
    BOOL QueryServiceConfigW(SC_HANDLE service, QUERY_SERVICE_CONFIGW* config, DWORD bufferSize,
                             LPDWORD bytesNeeded) override;
    BOOL CloseServiceHandle(SC_HANDLE handle) override;
    DWORD GetLastError() override { return m_lastError; }

private:
    SC_HANDLE NewHandle(bool manager);
    bool IsOpen(SC_HANDLE handle) const;
    BOOL Fail(Call& call, DWORD error);
    BOOL Succeed(Call& call);

    std::vector<SC_HANDLE> m_open;
    SC_HANDLE m_manager = nullptr;
    uintptr_t m_nextHandle = 0x5C00;
    DWORD m_lastError = 0;
};
