// Shows the About box for a photograph (snapshot.sh): once the box is on screen its screen
// rectangle goes into the "ready" file; the box closes when the "done" file appears.
//   about_snapshot.exe READY_FILE DONE_FILE

#include "AboutBox.h"
#include "OwnWindow.h"
#include "SnapshotFiles.h"

#include <cstdio>
#include <cstdlib>

namespace {

const char* g_readyFile = nullptr;
const char* g_doneFile = nullptr;
int g_ticks = 0;
bool g_ready = false;
bool g_timedOut = false;

void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    HWND box = FindOwnWindow("About Ravelin");
    if (!box)
        return;
    if (++g_ticks > 600) { // a minute
        g_timedOut = true;
        ::PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
        return;
    }
    if (!g_ready && ::IsWindowVisible(box) && g_ticks > 5) {
        g_ready = ReportWindowReady(box, g_readyFile);
    }
    if (g_ready && IsSnapshotTaken(g_doneFile))
        ::PostMessageA(box, WM_COMMAND, IDOK, 0);
}

class CSnapshotApp : public CWinApp {
public:
    BOOL InitInstance() override {
        if (__argc != 3) {
            m_nExitCode = 2;
            return FALSE;
        }
        g_readyFile = __argv[1];
        g_doneFile = __argv[2];
        ::SetTimer(nullptr, 0, 100, &Tick);
        CAboutBox box;
        m_pMainWnd = &box;
        INT_PTR result = box.DoModal();
        m_pMainWnd = nullptr;
        m_nExitCode = result == IDOK && !g_timedOut ? 0 : 1;
        return FALSE;
    }
    int ExitInstance() override { return m_nExitCode; }

private:
    int m_nExitCode = 1;
};

CSnapshotApp theApp;

} // namespace
