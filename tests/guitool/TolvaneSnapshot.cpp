// Shows one of Tolvane's dialogs for a photograph (snapshot.sh), filled from scripted doubles:
//   main     the control panel with two drives, one mounted and one ejected, the first clicked
//   options  the mount options for an image
//   service  the driver service dialog with the driver installed and running
// Once the dialog is on screen its screen rectangle goes into the "ready" file; the dialog
// closes when the "done" file appears.
//   tolvane_snapshot.exe READY_FILE DONE_FILE main|options|service

#include "DriverControl.h"
#include "MountOptionsDlg.h"
#include "RecordingRegistry.h"
#include "RecordingServiceManager.h"
#include "ScriptedDriver.h"
#include "TolvaneDlg.h"
#include "OwnWindow.h"
#include "SnapshotFiles.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* g_readyFile = nullptr;
const char* g_doneFile = nullptr;
const wchar_t* g_caption = nullptr;
CTolvaneDlg* g_main = nullptr;
int g_ticks = 0;
bool g_ready = false;
bool g_timedOut = false;

void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    HWND dialog = FindOwnWindow(g_caption);
    if (dialog == nullptr)
        return;
    if (++g_ticks > 600) { // a minute
        g_timedOut = true;
        ::PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        return;
    }
    if (!g_ready && ::IsWindowVisible(dialog) && g_ticks > 5) {
        if (g_main != nullptr)
            g_main->UpdateDriveGeometry(L'E'); // as a click on the first row shows it
        g_ready = ReportWindowReady(dialog, g_readyFile);
    }
    if (g_ready && IsSnapshotTaken(g_doneFile))
        ::PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
}

class CSnapshotApp : public CWinApp {
public:
    CSnapshotApp() : CWinApp(L"Tolvane") {}

    BOOL InitInstance() override {
        if (__argc != 4)
            return FALSE;
        g_readyFile = __argv[1];
        g_doneFile = __argv[2];
        ::SetTimer(nullptr, 0, 100, &Tick);
        const char* which = __argv[3];
        if (std::strcmp(which, "main") == 0)
            ShowMain();
        else if (std::strcmp(which, "options") == 0)
            ShowOptions();
        else if (std::strcmp(which, "service") == 0)
            ShowService();
        else
            return FALSE;
        m_nExitCode = g_ready && !g_timedOut ? 0 : 1;
        return FALSE;
    }
    int ExitInstance() override { return m_nExitCode; }

private:
    void ShowMain() {
        CScriptedDriver driver;
        driver.drives = {{L'E', L"C:\\images\\disc.iso", true},
                         {L'F', L"D:\\backup\\old disc.iso", false}};
        CScriptedVolumes volumes;
        volumes.volumes[L"E:\\"] = {1, 2048, 0, 21432};
        CRecordingServiceManager services;
        CRecordingRegistry registry;
        CTolvaneDlg dlg(nullptr, driver, volumes, services, registry);
        g_caption = L"Virtual CDRom Control Panel";
        g_main = &dlg;
        m_pMainWnd = &dlg;
        dlg.DoModal();
        m_pMainWnd = nullptr;
        g_main = nullptr;
    }
    void ShowOptions() {
        CMountOptionsDlg dlg;
        dlg.m_imagePath = L"C:\\images\\disc.iso";
        dlg.m_suppressJoliet = 1;
        g_caption = L"Special Mount Options";
        m_pMainWnd = &dlg;
        dlg.DoModal();
        m_pMainWnd = nullptr;
    }
    void ShowService() {
        CRecordingServiceManager services;
        services.serviceExists = true;
        services.serviceState = SERVICE_RUNNING;
        services.binaryPath = L"C:\\windows\\system32\\drivers\\kelmor.sys";
        CDriverControl dlg(nullptr, services);
        g_caption = L"Virtual CD-ROM Driver Control";
        m_pMainWnd = &dlg;
        dlg.DoModal();
        m_pMainWnd = nullptr;
    }

    int m_nExitCode = 1;
};

CSnapshotApp theApp;

} // namespace
