#include "LinkStatic.h"
#include "resource.h"

#include <shellapi.h>

BEGIN_MESSAGE_MAP(CLinkStatic, CStatic)
ON_WM_CTLCOLOR_REFLECT()
ON_WM_NCHITTEST()
ON_WM_SETCURSOR()
ON_WM_LBUTTONDOWN()
END_MESSAGE_MAP()

CLinkStatic::CLinkStatic()
    : m_hLinkCursor(static_cast<HCURSOR>(::LoadImageA(
          AfxGetResourceHandle(), MAKEINTRESOURCEA(IDC_LINK_CURSOR), IMAGE_CURSOR,
          ::GetSystemMetrics(SM_CXCURSOR), ::GetSystemMetrics(SM_CYCURSOR), LR_DEFAULTCOLOR))) {}

CLinkStatic::~CLinkStatic() {
    if (m_hLinkCursor)
        ::DestroyCursor(m_hLinkCursor);
    // m_fontUnderline deletes its font, if one was made.
}

HBRUSH CLinkStatic::CtlColor(CDC* pDC, UINT) {
    // Only plain left, centred or right-aligned text is a link; icons, frames and the like
    // (and text styles such as SS_NOPREFIX, whose bit lies in the low byte) paint as usual.
    if ((GetStyle() & 0xFF) > SS_RIGHT)
        return nullptr;

    if (!m_fontUnderline.GetSafeHandle()) {
        // A control that was never given a font paints in the system font.
        HFONT hFont = reinterpret_cast<HFONT>(::SendMessageA(m_hWnd, WM_GETFONT, 0, 0));
        if (!hFont)
            hFont = static_cast<HFONT>(::GetStockObject(SYSTEM_FONT));
        LOGFONTA logFont;
        if (::GetObjectA(hFont, sizeof(logFont), &logFont) == sizeof(logFont)) {
            logFont.lfUnderline = TRUE;
            m_fontUnderline.Attach(::CreateFontIndirectA(&logFont));
            // Some static controls (Wine's among them) select their own font after asking for
            // colours, which would undo the selection below: make the underlined font the
            // control's own as well, without a redraw.
            if (m_fontUnderline.GetSafeHandle())
                ::SendMessageA(m_hWnd, WM_SETFONT,
                               reinterpret_cast<WPARAM>(m_fontUnderline.GetSafeHandle()), FALSE);
        }
    }

    if (m_fontUnderline.GetSafeHandle())
        pDC->SelectObject(&m_fontUnderline);
    pDC->SetTextColor(RGB(0, 0, 255));
    pDC->SetBkMode(TRANSPARENT);
    return static_cast<HBRUSH>(::GetStockObject(NULL_BRUSH));
}

// Statics without SS_NOTIFY are transparent to the mouse; the link must see it.
UINT CLinkStatic::OnNcHitTest(CPoint) {
    return HTCLIENT;
}

BOOL CLinkStatic::OnSetCursor(CWnd*, UINT, UINT) {
    ::SetCursor(m_hLinkCursor);
    return TRUE;
}

void CLinkStatic::OnLButtonDown(UINT nFlags, CPoint point) {
    CString text;
    GetWindowText(text);
    HINSTANCE result = ::ShellExecuteA(nullptr, "open", text, nullptr, nullptr, SW_SHOWNORMAL);
    if (reinterpret_cast<INT_PTR>(result) <= 32)
        CopyToClipboard(text);
    CStatic::OnLButtonDown(nFlags, point);
}

// Puts the text on the clipboard as CF_TEXT. Failures are silent: the user clicked a link,
// and there is nothing useful to tell them.
void CLinkStatic::CopyToClipboard(const CString& text) {
    if (!::OpenClipboard(m_hWnd))
        return;
    if (::EmptyClipboard()) {
        HGLOBAL hMem =
            ::GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, static_cast<SIZE_T>(text.GetLength()) + 1);
        if (hMem) {
            char* copy = static_cast<char*>(::GlobalLock(hMem));
            if (copy) {
                ::lstrcpyA(copy, text);
                ::GlobalUnlock(hMem);
            }
            // The clipboard owns the block only when it takes it.
            if (!copy || !::SetClipboardData(CF_TEXT, hMem))
                ::GlobalFree(hMem);
        }
    }
    ::CloseClipboard();
}
