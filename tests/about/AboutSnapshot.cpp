// Shows the About box for a photograph (snapshot.sh): once the box is on screen its screen
// rectangle goes into the "ready" file; the box closes when the "done" file appears.
//   about_snapshot.exe READY_FILE DONE_FILE

#include "AboutBox.h"
#include "OwnWindow.h"

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
        ::SetForegroundWindow(box); // an active title bar, as a user would see it
        ::UpdateWindow(box);
        RECT rect;
        ::GetWindowRect(box, &rect);
        if (FILE* ready = std::fopen(g_readyFile, "w")) {
            std::fprintf(ready, "%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left,
                         rect.bottom - rect.top);
            std::fclose(ready);
            g_ready = true;
        }
    }
    if (g_ready && ::GetFileAttributesA(g_doneFile) != INVALID_FILE_ATTRIBUTES)
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
