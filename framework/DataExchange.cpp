#include "DataExchange.h"
#include "MessageBox.h"
#include "Wnd.h"

HWND CDataExchange::PrepareCtrl(int nIDC) {
    HWND hWnd = ::GetDlgItem(m_pDlgWnd->m_hWnd, nIDC);
    if (!hWnd)
        throw CUserException();
    m_hWndLastControl = hWnd;
    m_bEditLastControl = FALSE;
    return hWnd;
}

HWND CDataExchange::PrepareEditCtrl(int nIDC) {
    HWND hWnd = PrepareCtrl(nIDC);
    m_bEditLastControl = TRUE;
    return hWnd;
}

void CDataExchange::Fail() {
    if (m_bSaveAndValidate && m_hWndLastControl) {
        ::SetFocus(m_hWndLastControl);
        if (m_bEditLastControl)
            ::SendMessage(m_hWndLastControl, EM_SETSEL, 0, -1);
    }
    throw CUserException();
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl) {
    if (!rControl.m_hWnd)
        rControl.SubclassWindow(pDX->PrepareCtrl(nIDC));
}

void DDX_Text(CDataExchange* pDX, int nIDC, CString& value) {
    HWND hWnd = pDX->PrepareEditCtrl(nIDC);
    if (pDX->m_bSaveAndValidate) {
        int length = ::GetWindowTextLength(hWnd);
        int copied = ::GetWindowText(hWnd, value.GetBuffer(length), length + 1);
        value.ReleaseBuffer(copied);
    } else {
        ::SetWindowText(hWnd, value);
    }
}

void DDX_Text(CDataExchange* pDX, int nIDC, DWORD& value) {
    HWND hWnd = pDX->PrepareEditCtrl(nIDC);
    if (!pDX->m_bSaveAndValidate) {
        CString text;
        text.Format(_T("%lu"), value);
        ::SetWindowText(hWnd, text);
        return;
    }
    // Decimal digits only, blanks around them allowed, at most 4294967295.
    TCHAR text[64] = {};
    ::GetWindowText(hWnd, text, 64);
    const TCHAR* p = text;
    while (*p == ' ' || *p == '\t')
        ++p;
    unsigned long long number = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9'; ++p, ++digits) {
        number = number * 10 + static_cast<unsigned>(*p - '0');
        if (number > 0xFFFFFFFFull)
            break;
    }
    while (*p == ' ' || *p == '\t')
        ++p;
    if (digits == 0 || *p != 0 || number > 0xFFFFFFFFull) {
        AfxMessageBox(_T("Please enter a whole number from 0 to 4294967295."),
                      MB_OK | MB_ICONEXCLAMATION);
        pDX->Fail();
    }
    value = static_cast<DWORD>(number);
}

void DDX_Text(CDataExchange* pDX, int nIDC, UINT& value) {
    DWORD number = value;
    DDX_Text(pDX, nIDC, number);
    value = number;
}

void DDX_Check(CDataExchange* pDX, int nIDC, int& value) {
    HWND hWnd = pDX->PrepareCtrl(nIDC);
    if (pDX->m_bSaveAndValidate)
        value = static_cast<int>(::SendMessage(hWnd, BM_GETCHECK, 0, 0));
    else
        ::SendMessage(hWnd, BM_SETCHECK, static_cast<WPARAM>(value), 0);
}

void DDV_MaxChars(CDataExchange* pDX, const CString& value, int nChars) {
    HWND hWnd = pDX->LastControl();
    if (!pDX->m_bSaveAndValidate) {
        if (hWnd)
            ::SendMessage(hWnd, EM_LIMITTEXT, static_cast<WPARAM>(nChars), 0);
        return;
    }
    if (value.GetLength() > nChars) {
        CString message;
        message.Format(_T("Please enter no more than %d characters."), nChars);
        AfxMessageBox(message, MB_OK | MB_ICONEXCLAMATION);
        pDX->Fail();
    }
}
