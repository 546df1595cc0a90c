#pragma once

// CLinkStatic: a static text control shown as a web link. Its text is both what it shows and
// the address it opens: painted blue and underlined, with a pointing-hand cursor, opened with
// the shell when the mouse button goes down, and copied to the clipboard instead when the
// shell cannot open it.

#include "Framework.h"

class CLinkStatic : public CStatic {
public:
    CLinkStatic();
    ~CLinkStatic() override;

protected:
    CFont m_fontUnderline; // the control's font, underlined; made at the first paint
    HCURSOR m_hLinkCursor; // the hand over the link, loaded with the object

    afx_msg HBRUSH CtlColor(CDC* pDC, UINT nCtlColor);
    afx_msg UINT OnNcHitTest(CPoint point);
    afx_msg BOOL OnSetCursor(CWnd* pWnd, UINT nHitTest, UINT message);
    afx_msg void OnLButtonDown(UINT nFlags, CPoint point);

    DECLARE_MESSAGE_MAP()

private:
    void CopyToClipboard(const CString& text);
};
