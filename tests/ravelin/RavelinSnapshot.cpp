// Shows the main dialog for a photograph (cmake/snapshot.sh), against scripted drives:
//   ravelin_snapshot.exe READY_FILE DONE_FILE idle     the proposed name, ready to rip
//   ravelin_snapshot.exe READY_FILE DONE_FILE copying  a copy held at 40 per cent
// Once the dialog shows that state its screen rectangle goes into the "ready" file; the
// dialog closes when the "done" file appears.

#include "RavelinDlg.h"
#include "ScriptedDrives.h"
#include "ScriptedRavelinPlatform.h"
#include "resource.h"
#include "OwnWindow.h"
#include "SnapshotFiles.h"

#include <commctrl.h>

#include <cstdio>
#include <cstring>

namespace {

const char* g_readyFile = nullptr;
const char* g_doneFile = nullptr;
bool g_copying = false;
HANDLE g_hGate = nullptr;
int g_ticks = 0;
int g_step = 0;
bool g_timedOut = false;

bool ShowsState(HWND dlg) {
    char name[64] = {};
    ::GetDlgItemTextA(dlg, IDC_OUTPUT_NAME, name, sizeof(name));
    if (std::strcmp(name, "MYDISC.iso") != 0)
        return false;
    if (!g_copying)
        return true;
    if (g_step == 0) {
        ::PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDC_RIP, BN_CLICKED),
                       reinterpret_cast<LPARAM>(::GetDlgItem(dlg, IDC_RIP)));
        g_step = 1;
        return false;
    }
    HWND progress = ::GetDlgItem(dlg, IDC_PROGRESS);
    return ::IsWindowVisible(progress) && ::SendMessageA(progress, PBM_GETPOS, 0, 0) == 40;
}

void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    HWND dlg = FindOwnWindow("Ravelin");
    if (!dlg)
        return;
    if (++g_ticks > 600) { // a minute
        g_timedOut = true;
        ::SetEvent(g_hGate);
        ::PostMessageA(dlg, WM_COMMAND, IDCANCEL, 0);
        return;
    }
    if (g_step < 2 && ::IsWindowVisible(dlg) && g_ticks > 5 && ShowsState(dlg)) {
        if (ReportWindowReady(dlg, g_readyFile))
            g_step = 2;
    }
    if (g_step == 2 && IsSnapshotTaken(g_doneFile)) {
        ::SetEvent(g_hGate);
        ::PostMessageA(dlg, WM_COMMAND, IDCANCEL, 0);
        g_step = 3;
    }
}

class CSnapshotApp : public CWinApp {
public:
    BOOL InitInstance() override {
        if (__argc != 4) {
            m_nExitCode = 2;
            return FALSE;
        }
        g_readyFile = __argv[1];
        g_doneFile = __argv[2];
        g_copying = std::strcmp(__argv[3], "copying") == 0;
        g_hGate = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);

        CScriptedRavelinPlatform system;
        system.drives = {{"C:\\", DRIVE_FIXED}, {"D:\\", DRIVE_CDROM}, {"E:\\", DRIVE_CDROM}};
        CScriptedDrives drives;
        CScriptedDrives::Disc disc;
        disc.label = "MYDISC";
        disc.sectors = 2500;
        disc.readGate = g_hGate;
        disc.gateAt = 1001; // after the report of 40 per cent
        drives.Insert('D', disc);

        ::SetTimer(nullptr, 0, 100, &Tick);
        INT_PTR result = 0;
        {
            CRavelinDlg dlg(system, drives);
            m_pMainWnd = &dlg;
            result = dlg.DoModal();
            m_pMainWnd = nullptr;
        }
        system.WaitForThreads(10000);
        ::CloseHandle(g_hGate);
        m_nExitCode = result == IDCANCEL && !g_timedOut ? 0 : 1;
        return FALSE;
    }
    int ExitInstance() override { return m_nExitCode; }

private:
    int m_nExitCode = 1;
};

CSnapshotApp theApp;

} // namespace
