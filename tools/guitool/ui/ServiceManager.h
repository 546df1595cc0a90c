#pragma once

// The Service Control Manager seam of the driver service dialog. Each method mirrors the
// advapi32 call of the same name and keeps its meaning; the Win32 implementation makes exactly
// that call, and tests use a recording double that keeps a service of its own and injects
// failures.

#include <windows.h>

class IServiceManager {
public:
    virtual ~IServiceManager() = default;

    virtual SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD access) = 0;
    virtual SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD access) = 0;
    virtual SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                                     DWORD access, DWORD serviceType, DWORD startType,
                                     DWORD errorControl, LPCWSTR binaryPathName,
                                     LPCWSTR loadOrderGroup, LPDWORD tagId, LPCWSTR dependencies,
                                     LPCWSTR serviceStartName, LPCWSTR password) = 0;
    virtual BOOL StartServiceW(SC_HANDLE service, DWORD argumentCount, LPCWSTR* arguments) = 0;
    virtual BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) = 0;
    virtual BOOL DeleteService(SC_HANDLE service) = 0;
    virtual BOOL QueryServiceConfigW(SC_HANDLE service, QUERY_SERVICE_CONFIGW* config,
                                     DWORD bufferSize, LPDWORD bytesNeeded) = 0;
    virtual BOOL CloseServiceHandle(SC_HANDLE handle) = 0;
    // The last error that the latest failing call left (GetLastError).
    virtual DWORD GetLastError() = 0;
};

class CWin32ServiceManager : public IServiceManager {
public:
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
    DWORD GetLastError() override;
};

// The process's one Win32 Service Control Manager seam.
IServiceManager& SystemServiceManager();
