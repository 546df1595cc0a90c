#pragma once

// The stand-in driver as a service of the test prefix: installed, started, stopped and
// removed through the Service Control Manager, every wait bounded.

#include <windows.h>

#include <string>

// "System\CurrentControlSet\Services\kelmor\Parameters" under HKEY_LOCAL_MACHINE.
extern const wchar_t kKelmorParametersKey[];

class CKelmorService {
public:
    CKelmorService();
    ~CKelmorService(); // removes the service (see Remove)
    CKelmorService(const CKelmorService&) = delete;
    CKelmorService& operator=(const CKelmorService&) = delete;

    // Creates the service for the driver file `binaryPath`; false with the reason in `error`.
    bool Install(const std::wstring& binaryPath, std::wstring& error);
    // Takes over a service "kelmor" that was created outside this process; false with the
    // reason in `error`. `binaryPath` receives the driver file it was created for.
    bool Open(std::wstring& binaryPath, std::wstring& error);
    // Starts it and waits (bounded) until it runs.
    bool Start(std::wstring& error);
    // Stops it and waits (bounded) until it has stopped and the process that hosted the driver
    // has exited.
    bool Stop(std::wstring& error);
    // Stops and deletes the service and its persistent-mount records, leaving the prefix as
    // it was before Install. Safe to call when nothing is installed. A stop that does not
    // finish in time is reported on stderr; false when the service is still there afterwards.
    bool Remove();
    DWORD State();
    // The id of the process that hosts the running driver, 0 when none is found.
    DWORD HostProcessId();

    // Removes a service of that name left behind by an earlier run that was cut short.
    static bool RemoveLeftover();

    // Whether the driver's checking build is the one installed: KELMOR_CHECK set in the
    // environment (`./dev check-driver` sets it). Install then takes the checking variant beside
    // the file it is given ("x.sys" becomes "x_check.sys"), and Remove fails when the report of
    // the runs since Install names a violation.
    static bool Checking();
    // The checking build's report since Install (its lines as the driver wrote them), emptied.
    static std::string TakeCheckReport();

private:
    static bool WaitUntilGone(SC_HANDLE manager, std::wstring& report);

    SC_HANDLE m_hSCManager = nullptr;
    SC_HANDLE m_hService = nullptr;
};

// Ends the process (after trying to remove the service) if the tests have not finished within
// `seconds`: a driver that hangs inside winedevice must not hang the suite.
void StartWatchdog(DWORD seconds);
void StopWatchdog();
