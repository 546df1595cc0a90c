#include "KelmorService.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <vector>

const wchar_t kKelmorParametersKey[] = L"System\\CurrentControlSet\\Services\\kelmor\\Parameters";

namespace {

constexpr DWORD kStateTimeoutMs = 30000;
constexpr DWORD kStopTimeoutMs = 15000;
constexpr DWORD kHostExitTimeoutMs = 10000;
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

bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeoutMs = kStateTimeoutMs) {
    for (DWORD waited = 0; waited < timeoutMs; waited += kPollMs) {
        if (QueryState(service) == state)
            return true;
        Sleep(kPollMs);
    }
    return QueryState(service) == state;
}

// kelmor.sys or one of its test builds (kelmor_hold.sys, kelmor_check.sys, ...).
bool IsKelmorModule(const wchar_t* name) {
    const std::wstring module(name);
    return module.size() >= 10 && _wcsnicmp(module.c_str(), L"kelmor", 6) == 0 &&
           _wcsicmp(module.c_str() + module.size() - 4, L".sys") == 0;
}

// The process that hosts the driver: the Service Control Manager's answer, or (Wine reports no
// process for a driver service) the winedevice.exe that has the driver loaded.
DWORD FindHostProcess(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                             sizeof(status), &needed) &&
        status.dwProcessId != 0)
        return status.dwProcessId;

    DWORD host = 0;
    HANDLE processes = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (processes == INVALID_HANDLE_VALUE)
        return 0;
    PROCESSENTRY32W process{};
    process.dwSize = sizeof(process);
    for (BOOL more = Process32FirstW(processes, &process); more && host == 0;
         more = Process32NextW(processes, &process)) {
        if (lstrcmpiW(process.szExeFile, L"winedevice.exe") != 0)
            continue;
        HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process.th32ProcessID);
        if (modules == INVALID_HANDLE_VALUE)
            continue;
        MODULEENTRY32W module{};
        module.dwSize = sizeof(module);
        for (BOOL found = Module32FirstW(modules, &module); found;
             found = Module32NextW(modules, &module)) {
            if (IsKelmorModule(module.szModule)) {
                host = process.th32ProcessID;
                break;
            }
        }
        CloseHandle(modules);
    }
    CloseHandle(processes);
    return host;
}

// Ends the process that hosts the driver, for the watchdog: the Service Control Manager then
// sees the host gone and can delete the service.
void EndHostProcess(SC_HANDLE service) {
    const DWORD host = FindHostProcess(service);
    if (host == 0)
        return;
    if (HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, host)) {
        TerminateProcess(process, 1);
        CloseHandle(process);
    }
}

// Stops the service and waits (bounded) until it has stopped and the process that hosted the
// driver has exited: under Wine a service started again while its old host still runs may fail
// to start (ERROR_INTERNAL_ERROR) or be bound to the dying host. What did not happen in time is
// appended to `report`.
bool StopService(SC_HANDLE service, std::wstring& report) {
    if (QueryState(service) == SERVICE_STOPPED)
        return true;
    HANDLE host = nullptr;
    if (const DWORD id = FindHostProcess(service))
        host = OpenProcess(SYNCHRONIZE, FALSE, id);

    const DWORD started = GetTickCount();
    SERVICE_STATUS status{};
    const DWORD controlError =
        ControlService(service, SERVICE_CONTROL_STOP, &status) ? 0 : GetLastError();
    bool stopped = WaitForState(service, SERVICE_STOPPED, kStopTimeoutMs);
    if (!stopped) {
        report += L"the driver did not stop within " +
                  std::to_wstring((GetTickCount() - started) / 1000) + L" s (state " +
                  std::to_wstring(QueryState(service)) + L", ControlService error " +
                  std::to_wstring(controlError) + L")";
    } else if (host != nullptr && WaitForSingleObject(host, kHostExitTimeoutMs) != WAIT_OBJECT_0) {
        report += L"the driver's host process was still running " +
                  std::to_wstring(kHostExitTimeoutMs / 1000) + L" s after the stop";
        stopped = false;
    }
    if (host != nullptr)
        CloseHandle(host);
    return stopped;
}

// Stops (bounded) and deletes the service and its persistent-mount records.
void StopAndDelete(SC_HANDLE service, std::wstring& report) {
    StopService(service, report);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKelmorParametersKey);
    DeleteService(service);
}

void PrintReport(const std::wstring& report) {
    if (report.empty())
        return;
    std::fprintf(stderr, "kelmor service: %ls\n", report.c_str());
    std::fflush(stderr);
}

// Where the checking build writes its report: C: of the prefix.
const wchar_t kCheckReport[] = L"C:\\kelmor-check.txt";

// Prints the checking build's report to stderr; false when it names a violation.
bool CheckReportIsClean() {
    if (!CKelmorService::Checking())
        return true;
    const std::string report = CKelmorService::TakeCheckReport();
    if (!report.empty()) {
        std::fprintf(stderr, "kelmor check report:\n%s", report.c_str());
        std::fflush(stderr);
    }
    return report.find("VIOLATION") == std::string::npos;
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
            EndHostProcess(service);
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

bool CKelmorService::Checking() {
    return GetEnvironmentVariableW(L"KELMOR_CHECK", nullptr, 0) != 0;
}

std::string CKelmorService::TakeCheckReport() {
    std::string report;
    HANDLE file = CreateFileW(kCheckReport, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return report;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0)
        report.append(chunk, read);
    CloseHandle(file);
    DeleteFileW(kCheckReport);
    return report;
}

bool CKelmorService::Install(const std::wstring& givenPath, std::wstring& error) {
    std::wstring binaryPath = givenPath;
    if (Checking()) {
        const size_t dot = binaryPath.rfind(L".sys");
        if (dot != std::wstring::npos)
            binaryPath.insert(dot, L"_check");
        TakeCheckReport();
    }
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

bool CKelmorService::Open(std::wstring& binaryPath, std::wstring& error) {
    if (m_hSCManager == nullptr) {
        error = L"the Service Control Manager did not open";
        return false;
    }
    m_hService = OpenServiceW(m_hSCManager, L"kelmor", SERVICE_ALL_ACCESS);
    if (m_hService == nullptr) {
        error = Describe(L"OpenServiceW", GetLastError());
        return false;
    }
    DWORD needed = 0;
    QueryServiceConfigW(m_hService, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (needed == 0 || !QueryServiceConfigW(m_hService, config, needed, &needed)) {
        error = Describe(L"QueryServiceConfigW", GetLastError());
        return false;
    }
    binaryPath = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
    return true;
}

bool CKelmorService::Start(std::wstring& error) {
    // Wine answers ERROR_INTERNAL_ERROR when a host of an earlier run of the driver is still
    // on its way out (one the stop could not find); such a start is tried again, a few times.
    for (int attempt = 1;; ++attempt) {
        if (StartServiceW(m_hService, 0, nullptr))
            break;
        const DWORD startError = GetLastError();
        if (startError != ERROR_INTERNAL_ERROR || attempt == 3) {
            error = Describe(L"StartServiceW", startError);
            return false;
        }
        std::fprintf(stderr, "kelmor service: start refused with error %lu, trying again\n",
                     static_cast<unsigned long>(startError));
        Sleep(500);
    }
    if (!WaitForState(m_hService, SERVICE_RUNNING)) {
        error = L"the service did not reach SERVICE_RUNNING, state " + std::to_wstring(State());
        return false;
    }
    return true;
}

bool CKelmorService::Stop(std::wstring& error) {
    error.clear();
    return StopService(m_hService, error);
}

DWORD CKelmorService::State() {
    return m_hService != nullptr ? QueryState(m_hService) : 0;
}

DWORD CKelmorService::HostProcessId() {
    return m_hService != nullptr ? FindHostProcess(m_hService) : 0;
}

bool CKelmorService::Remove() {
    std::wstring report;
    if (m_hService != nullptr) {
        StopAndDelete(m_hService, report);
        CloseServiceHandle(m_hService);
        m_hService = nullptr;
    }
    const bool gone = WaitUntilGone(m_hSCManager, report);
    PrintReport(report);
    return gone && CheckReportIsClean();
}

bool CKelmorService::RemoveLeftover() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, L"ServicesActive", SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr)
        return false;
    std::wstring report;
    if (SC_HANDLE service = OpenServiceW(manager, L"kelmor", SERVICE_ALL_ACCESS)) {
        StopAndDelete(service, report);
        CloseServiceHandle(service);
    }
    const bool gone = WaitUntilGone(manager, report);
    CloseServiceHandle(manager);
    PrintReport(report);
    return gone;
}

// Deletion completes once the service has stopped and every handle to it is closed; waits
// (bounded) until its name is free again.
bool CKelmorService::WaitUntilGone(SC_HANDLE manager, std::wstring& report) {
    if (manager == nullptr)
        return true;
    for (DWORD waited = 0; waited < kStateTimeoutMs; waited += kPollMs) {
        SC_HANDLE probe = OpenServiceW(manager, L"kelmor", SERVICE_QUERY_STATUS);
        if (probe == nullptr)
            return true;
        CloseServiceHandle(probe);
        Sleep(kPollMs);
    }
    report += std::wstring(report.empty() ? L"" : L"; ") + L"the service was still there " +
              std::to_wstring(kStateTimeoutMs / 1000) + L" s after its deletion";
    return false;
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
