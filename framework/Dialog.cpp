#include "Dialog.h"
#include "WinApp.h"

BEGIN_MESSAGE_MAP(CDialog, CWnd)
ON_COMMAND(IDOK, HandleOK)
ON_COMMAND(IDCANCEL, HandleCancel)
ON_MESSAGE(WM_HELP, OnHelpInfo)
END_MESSAGE_MAP()

// The dialog manager calls this for every message of the window; it only attaches the
// CDialog at WM_INITDIALOG. From then on the window procedure is CWnd::WndProc, whose default
// processing is the dialog manager's, which comes back here and is told "not handled".
INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT message, WPARAM, LPARAM lParam) {
    if (message != WM_INITDIALOG)
        return FALSE;
    CDialog* pDialog = reinterpret_cast<CDialog*>(lParam);
    if (!pDialog->SubclassWindow(hWnd))
        return TRUE;
    return pDialog->OnInitDialog();
}

BOOL CDialog::Create(UINT nIDTemplate, CWnd* pParentWnd) {
    if (m_hWnd)
        return FALSE;
    AfxInitCommonControls();
    m_nIDTemplate = nIDTemplate;
    m_pParentWnd = pParentWnd;
    HWND hParent = pParentWnd ? pParentWnd->m_hWnd : nullptr;
    ::CreateDialogParam(AfxGetResourceHandle(), MAKEINTRESOURCE(nIDTemplate), hParent,
                        &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    return m_hWnd != nullptr;
}

HWND CDialog::GetOwnerForModal() const {
    HWND hOwner = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    if (!hOwner) {
        CWnd* pMain = AfxGetMainWnd();
        if (pMain && pMain != this)
            hOwner = pMain->m_hWnd;
    }
    return hOwner ? ::GetAncestor(hOwner, GA_ROOT) : nullptr;
}

INT_PTR CDialog::DoModal() {
    if (m_hWnd)
        return -1;
    HWND hOwner = GetOwnerForModal();
    m_bModal = TRUE;
    m_bEndModal = FALSE;
    m_nModalResult = -1;
    AfxInitCommonControls();
    ::CreateDialogParam(AfxGetResourceHandle(), MAKEINTRESOURCE(m_nIDTemplate), hOwner,
                        &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    if (!m_hWnd) {
        m_bModal = FALSE;
        return -1;
    }
    BOOL bDisabledOwner = FALSE;
    if (hOwner && ::IsWindowEnabled(hOwner)) {
        ::EnableWindow(hOwner, FALSE);
        bDisabledOwner = TRUE;
    }
    if (!m_bEndModal)
        ShowWindow(SW_SHOWNORMAL);
    RunModalLoop();

    // Give the owner back its input before this window goes, so that it is activated again.
    if (bDisabledOwner)
        ::EnableWindow(hOwner, TRUE);
    if (m_hWnd) {
        if (hOwner && ::GetActiveWindow() == m_hWnd)
            ::SetActiveWindow(hOwner);
        DestroyWindow();
    }
    m_bModal = FALSE;
    return m_nModalResult;
}

// The idle update (WM_KICKIDLE) runs each time the queue has been emptied. The queue is
// emptied with PeekMessage and waited on with WaitMessage, and never waited on by GetMessage
// after a look with PM_NOREMOVE: what that look saw can be gone by the time GetMessage runs,
// and GetMessage then sleeps with the idle update not done. A paint does that: another
// program's RedrawWindow (RDW_INVALIDATE | RDW_UPDATENOW) makes the window need painting and
// then sends the WM_PAINT, which GetMessage handles before it looks for posted messages. The
// buttons that the idle update disables then stay enabled until the next message comes.
void CDialog::RunModalLoop() {
    bool bIdle = true;
    MSG msg;
    while (!m_bEndModal && m_hWnd) {
        if (!::PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (bIdle) {
                SendMessage(WM_KICKIDLE, MSGF_DIALOGBOX, 0);
                bIdle = false;
            } else {
                ::WaitMessage();
            }
            continue;
        }
        if (msg.message == WM_QUIT) {
            // WM_QUIT ends this loop and is left for the loop outside it.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (!::IsDialogMessage(m_hWnd, &msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessage(&msg);
        }
        bIdle = true;
    }
}

void CDialog::EndDialog(int nResult) {
    if (m_bModal) {
        m_nModalResult = nResult;
        m_bEndModal = TRUE;
        // The loop looks at the flag when a message has been taken or the wait has ended, and
        // a message sent by another thread is handled inside the wait: wake it.
        if (m_hWnd)
            ::PostMessage(m_hWnd, WM_NULL, 0, 0);
    } else if (m_hWnd) {
        ::EndDialog(m_hWnd, nResult);
    }
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    if (!UpdateData(TRUE))
        return;
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

// F1 (WM_HELP) becomes the ID_HELP command, which the application object may handle.
LRESULT CDialog::OnHelpInfo(WPARAM, LPARAM) {
    SendMessage(WM_COMMAND, ID_HELP, 0);
    return TRUE;
}
