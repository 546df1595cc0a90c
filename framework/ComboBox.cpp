#include "ComboBox.h"

int CComboBox::AddString(LPCTSTR text) {
    return static_cast<int>(SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)));
}

int CComboBox::GetCount() const {
    return static_cast<int>(SendMessage(CB_GETCOUNT));
}

int CComboBox::GetCurSel() const {
    return static_cast<int>(SendMessage(CB_GETCURSEL));
}

int CComboBox::SetCurSel(int nSelect) {
    return static_cast<int>(SendMessage(CB_SETCURSEL, static_cast<WPARAM>(nSelect)));
}

int CComboBox::GetLBTextLen(int nIndex) const {
    return static_cast<int>(SendMessage(CB_GETLBTEXTLEN, static_cast<WPARAM>(nIndex)));
}

void CComboBox::GetLBText(int nIndex, CString& text) const {
    int length = GetLBTextLen(nIndex);
    if (length == CB_ERR) {
        text.Empty();
        return;
    }
    LRESULT copied = SendMessage(CB_GETLBTEXT, static_cast<WPARAM>(nIndex),
                                 reinterpret_cast<LPARAM>(text.GetBuffer(length)));
    text.ReleaseBuffer(copied == CB_ERR ? 0 : static_cast<int>(copied));
}

void CComboBox::ResetContent() {
    SendMessage(CB_RESETCONTENT);
}
