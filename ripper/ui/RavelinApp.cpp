#include "RavelinApp.h"

#include "ErrorMode.h"
#include "RavelinDlg.h"

BEGIN_MESSAGE_MAP(CRavelinApp, CWinApp)
END_MESSAGE_MAP()

// The one application object, which the framework's WinMain runs.
CRavelinApp theApp;

BOOL CRavelinApp::InitInstance() {
    FailCriticalErrorsWhereThreadsCannot();
    Enable3dControls();
    {
        CRavelinDlg dlg;
        m_pMainWnd = &dlg;
        dlg.DoModal();
        m_pMainWnd = nullptr;
    }
    // The dialog's modal loop was the program's only message loop: end without another.
    return FALSE;
}
