#include "KelmorService.h"

#include <cstdio>

const wchar_t kKelmorParametersKey[] = L"System\\CurrentControlSet\\Services\\kelmor\\Parameters";

namespace {

constexpr DWORD kStateTimeoutMs = 30000;
constexpr DWORD kPollMs = 50;

std::wstring Describe(const wchar_t* what, DWORD error) {
    return std::wstring(what) + L" failed with error " + std::to_wstring(error);
}

DWORD QueryState(SC_HANDLE service) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status))
        return 0;
    return status.dwCurrentState;
}

bool WaitForState(SC_HANDLE service, DWORD state) {
    for (DWORD waited = 0; waited < kStateTimeoutMs; waited += kPollMs) {
        if (QueryState(service) == state)
            return true;
        Sleep(kPollMs);
    }
    return QueryState(service) == state;
}

void StopAndDelete(SC_HANDLE service) {
    SERVICE_STATUS status{};
    if (QueryState(service) != SERVICE_STOPPED) {
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        WaitForState(service, SERVICE_STOPPED);
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKelmorParametersKey);
    DeleteService(service);
}

HANDLE g_watchdogStop;
HANDLE g_watchdogThread;

DWORD WINAPI WatchdogMain(LPVOID parameter) {
    const DWORD seconds = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(parameter));
    if (WaitForSingleObject(g_watchdogStop, seconds * 1000) == WAIT_OBJECT_0)
        return 0;
    std::fprintf(stderr, "watchdog: the driver tests did not finish within %lu s\n",
                 static_cast<unsigned long>(seconds));
    std::fflush(stderr);
    // Mark the service for deletion first: that cannot block, stopping it might.
    if (SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
        if (SC_HANDLE service = OpenServiceW(manager, L"kelmor", SERVICE_ALL_ACCESS)) {
            DeleteService(service);
            SERVICE_STATUS status{};
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
    }
    TerminateProcess(GetCurrentProcess(), 3);
    return 0;
}

} // namespace

CKelmorService::CKelmorService() {
    m_hSCManager = OpenSCManagerW(nullptr, L"ServicesActive", SC_MANAGER_ALL_ACCESS);
}

CKelmorService::~CKelmorService() {
    Remove();
    if (m_hSCManager != nullptr)
        CloseServiceHandle(m_hSCManager);
}

bool CKelmorService::Install(const std::wstring& binaryPath, std::wstring& error) {
    if (m_hSCManager == nullptr) {
        error = L"the Service Control Manager did not open";
        return false;
    }
    // Demand start, so that a prefix left with the service by a crashed run does not load the
    // driver at its next boot.
    m_hService =
        CreateServiceW(m_hSCManager, L"kelmor", L"Virtual CD-ROM Device Driver", SERVICE_ALL_ACCESS,
                       SERVICE_FILE_SYSTEM_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                       binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (m_hService == nullptr) {
        error = Describe(L"CreateServiceW", GetLastError());
        return false;
    }
    return true;
}

bool CKelmorService::Start(std::wstring& error) {
    if (!StartServiceW(m_hService, 0, nullptr)) {
        error = Describe(L"StartServiceW", GetLastError());
        return false;
    }
    if (!WaitForState(m_hService, SERVICE_RUNNING)) {
        error = L"the service did not reach SERVICE_RUNNING, state " + std::to_wstring(State());
        return false;
    }
    return true;
}

bool CKelmorService::Stop(std::wstring& error) {
    SERVICE_STATUS status{};
    if (!ControlService(m_hService, SERVICE_CONTROL_STOP, &status)) {
        error = Describe(L"ControlService(STOP)", GetLastError());
        return false;
    }
    if (!WaitForState(m_hService, SERVICE_STOPPED)) {
        error = L"the service did not reach SERVICE_STOPPED, state " + std::to_wstring(State());
        return false;
    }
    return true;
}

DWORD CKelmorService::State() {
    return m_hService != nullptr ? QueryState(m_hService) : 0;
}

void CKelmorService::Remove() {
    if (m_hService != nullptr) {
        StopAndDelete(m_hService);
        CloseServiceHandle(m_hService);
        m_hService = nullptr;
    }
    // Deletion completes once every handle is closed; wait (bounded) until the name is free.
    for (DWORD waited = 0; m_hSCManager != nullptr && waited < kStateTimeoutMs; waited += kPollMs) {
        SC_HANDLE probe = OpenServiceW(m_hSCManager, L"kelmor", SERVICE_QUERY_STATUS);
        if (probe == nullptr)
            break;
        CloseServiceHandle(probe);
        Sleep(kPollMs);
    }
}

void CKelmorService::RemoveLeftover() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, L"ServicesActive", SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr)
        return;
    if (SC_HANDLE service = OpenServiceW(manager, L"kelmor", SERVICE_ALL_ACCESS)) {
        StopAndDelete(service);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

void StartWatchdog(DWORD seconds) {
    g_watchdogStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_watchdogThread =
        CreateThread(nullptr, 0, WatchdogMain,
                     reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(seconds)), 0, nullptr);
}

void StopWatchdog() {
    if (g_watchdogThread == nullptr)
        return;
    SetEvent(g_watchdogStop);
    WaitForSingleObject(g_watchdogThread, 5000);
    CloseHandle(g_watchdogThread);
    CloseHandle(g_watchdogStop);
    g_watchdogThread = nullptr;
    g_watchdogStop = nullptr;
}
