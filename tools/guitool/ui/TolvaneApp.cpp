#include "TolvaneApp.h"

#include "DriveAnnouncer.h"
#include "TolvaneDlg.h"
#include "VolumePrivilege.h"

BEGIN_MESSAGE_MAP(CTolvaneApp, CWinApp)
ON_COMMAND(ID_HELP, OnHelp)
END_MESSAGE_MAP()

// The program's name captions its message boxes.
CTolvaneApp theApp;

BOOL CTolvaneApp::InitInstance() {
    // The panel asks about drives that may hold no medium (the figures of an ejected drive):
    // the failure is its to show, never Windows' "There is no disk in the drive" box.
    ::SetErrorMode(::SetErrorMode(0) | SEM_FAILCRITICALERRORS);
    // Without it the driver refuses to add, remove and mount drives; a failure shows there.
    EnableManageVolumePrivilege();
    Enable3dControls();
    CTolvaneDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    // A drive removed just before closing is still announced; a window that holds every
    // broadcast up cannot keep the program alive for long.
    FinishDriveAnnouncements(5000);
    // The dialog's loop was the program's: no message loop follows.
    return FALSE;
}
