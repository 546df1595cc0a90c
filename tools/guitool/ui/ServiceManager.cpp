#include "ServiceManager.h"

SC_HANDLE CWin32ServiceManager::OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName,
                                               DWORD access) {
    return ::OpenSCManagerW(machineName, databaseName, access);
}

SC_HANDLE CWin32ServiceManager::OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD access) {
    return ::OpenServiceW(manager, serviceName, access);
}

SC_HANDLE CWin32ServiceManager::CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName,
                                               LPCWSTR displayName, DWORD access, DWORD serviceType,
                                               DWORD startType, DWORD errorControl,
                                               LPCWSTR binaryPathName, LPCWSTR loadOrderGroup,
                                               LPDWORD tagId, LPCWSTR dependencies,
                                               LPCWSTR serviceStartName, LPCWSTR password) {
    return ::CreateServiceW(manager, serviceName, displayName, access, serviceType, startType,
                            errorControl, binaryPathName, loadOrderGroup, tagId, dependencies,
                            serviceStartName, password);
}

BOOL CWin32ServiceManager::StartServiceW(SC_HANDLE service, DWORD argumentCount,
                                         LPCWSTR* arguments) {
    return ::StartServiceW(service, argumentCount, arguments);
}

BOOL CWin32ServiceManager::ControlService(SC_HANDLE service, DWORD control,
                                          SERVICE_STATUS* status) {
    return ::ControlService(service, control, status);
}

BOOL CWin32ServiceManager::DeleteService(SC_HANDLE service) {
    return ::DeleteService(service);
}

BOOL CWin32ServiceManager::QueryServiceConfigW(SC_HANDLE service, QUERY_SERVICE_CONFIGW* config,
                                               DWORD bufferSize, LPDWORD bytesNeeded) {
    return ::QueryServiceConfigW(service, config, bufferSize, bytesNeeded);
}

BOOL CWin32ServiceManager::CloseServiceHandle(SC_HANDLE handle) {
    return ::CloseServiceHandle(handle);
}

DWORD CWin32ServiceManager::GetLastError() {
    return ::GetLastError();
}

IServiceManager& SystemServiceManager() {
    static CWin32ServiceManager manager;
    return manager;
}
