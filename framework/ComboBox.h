#pragma once

#include "Wnd.h"

// A combo box of a dialog. Indexes are 0-based; CB_ERR (-1) means none.
class CComboBox : public CWnd {
public:
    int AddString(LPCTSTR text);
    int GetCount() const;
    int GetCurSel() const;
    int SetCurSel(int nSelect);
    int GetLBTextLen(int nIndex) const;
    // The text of an entry; empty for an index out of range.
    void GetLBText(int nIndex, CString& text) const;
    void ResetContent();
};
