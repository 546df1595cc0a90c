#include "DlgControl.h"

void EnableDlgControl(CWnd* pDialog, UINT nID, BOOL bEnable) {
    HWND hDialog = pDialog->GetSafeHwnd();
    HWND hControl = ::GetDlgItem(hDialog, static_cast<int>(nID));
    if (!hControl)
        return;
    if (!bEnable && ::GetFocus() == hControl)
        ::SendMessage(hDialog, WM_NEXTDLGCTL, 0, 0);
    ::EnableWindow(hControl, bEnable);
    if (bEnable) {
        DWORD defId = static_cast<DWORD>(::SendMessage(hDialog, DM_GETDEFID, 0, 0));
        if (HIWORD(defId) != 0 && LOWORD(defId) == nID)
            ::SendMessage(hDialog, DM_SETDEFID, nID, 0);
    }
}
