#pragma once

// Dialog data exchange: DoDataExchange lists DDX_ calls that move values between members and
// controls, in the direction UpdateData asks for. A value that fails validation shows a
// message, puts the focus on its control and ends the exchange with CUserException, which
// UpdateData turns into FALSE.

#include "String.h"

class CWnd;

class CUserException {};

class CDataExchange {
public:
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate)
        : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}

    BOOL m_bSaveAndValidate; // TRUE: controls to members; FALSE: members to controls
    CWnd* m_pDlgWnd;

    // The control with this id; a missing control ends the exchange.
    HWND PrepareCtrl(int nIDC);
    HWND PrepareEditCtrl(int nIDC);
    [[noreturn]] void Fail();
    // The control of the latest DDX_ call, which a DDV_ call that follows it checks.
    HWND LastControl() const { return m_hWndLastControl; }

private:
    HWND m_hWndLastControl = nullptr;
    BOOL m_bEditLastControl = FALSE;
};

// Binds a member control object to a dialog's control by subclassing it (once).
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);
// Text of an edit control.
void DDX_Text(CDataExchange* pDX, int nIDC, CString& value);
// A 32-bit unsigned number shown in decimal.
void DDX_Text(CDataExchange* pDX, int nIDC, DWORD& value);
void DDX_Text(CDataExchange* pDX, int nIDC, UINT& value);
// A check box as 0 or 1 (2 for an indeterminate three-state box).
void DDX_Check(CDataExchange* pDX, int nIDC, int& value);
// Follows DDX_Text for a string: limits the edit control to nChars when loading, and rejects
// a longer value when saving.
void DDV_MaxChars(CDataExchange* pDX, const CString& value, int nChars);
