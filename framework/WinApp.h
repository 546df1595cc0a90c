#pragma once

// CWinApp: the program's one application object. The framework's WinMain calls InitInstance;
// when that returns FALSE the program ends at once (a dialog program runs its main dialog
// modally inside InitInstance), otherwise Run pumps messages until WM_QUIT.

#include "CmdTarget.h"
#include "String.h"

class CWnd;

class CWinApp : public CCmdTarget {
public:
    // Without a name the application takes its program's file name, which also captions the
    // program's message boxes.
    explicit CWinApp(LPCTSTR lpszAppName = nullptr);
    ~CWinApp() override;

    virtual BOOL InitInstance() { return TRUE; }
    virtual int ExitInstance() { return 0; }
    virtual int Run();

    HICON LoadIcon(UINT nIDResource) const;
    // Three-dimensional controls are the system's own look nowadays: nothing to do.
    BOOL Enable3dControls() { return TRUE; }

    // The standard help command's handler: the programs ship no help file, so it shows none.
    afx_msg void OnHelp() {}

    LPCTSTR m_pszAppName;
    CWnd* m_pMainWnd = nullptr;
    HINSTANCE m_hInstance;

private:
    CString m_strAppName;
};

CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();
// The main window's handle, or null without one: for code that needs the window but not CWnd.
HWND AfxGetMainWndHandle();
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();
// The application's name, or the program's file name when there is no application object.
LPCTSTR AfxGetAppName();
// Registers the common control classes (list view, progress bar) once per process.
void AfxInitCommonControls();
// Waits up to `timeout` ms for `handle`, as WaitForSingleObject answers. Messages that other
// threads send to this one are handled meanwhile, and nothing else: a sender that waits for
// this thread cannot hold the wait up, and no posted message or input runs a handler inside it.
DWORD AfxWaitHandlingSentMessages(HANDLE handle, DWORD timeout);
