#pragma once

// CWnd: a window handle with the operations the dialogs call, and message dispatch through the
// message map. A CWnd that subclasses a window (SubclassWindow, DDX_Control, or a CDialog that
// creates one) is "permanent": the window's messages reach its map until WM_NCDESTROY.
// FromHandle wraps any other window in a temporary, non-owning CWnd.

#include "CmdTarget.h"
#include "Menu.h"
#include "String.h"

class CDataExchange;
class CDC;
class CFont;

struct CPoint : POINT {
    CPoint() : POINT{0, 0} {}
    CPoint(int x0, int y0) : POINT{x0, y0} {}
};

struct CRect : RECT {
    CRect() : RECT{0, 0, 0, 0} {}
    CRect(int l, int t, int r, int b) : RECT{l, t, r, b} {}
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    operator LPRECT() { return this; }
    operator LPCRECT() const { return this; }
};

class CWnd : public CCmdTarget {
public:
    CWnd() = default;
    ~CWnd() override;

    HWND m_hWnd = nullptr;

    static CWnd* FromHandle(HWND hWnd);
    static CWnd* FromHandlePermanent(HWND hWnd);
    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }

    // Routes the window's messages through this object's message map.
    BOOL SubclassWindow(HWND hWnd);
    BOOL SubclassDlgItem(UINT nID, CWnd* pParent);
    HWND UnsubclassWindow();
    BOOL DestroyWindow();

    // Dialog data exchange: FALSE when a value failed validation (the user has been told).
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

    void SetWindowText(LPCTSTR text);
    int GetWindowText(LPTSTR buffer, int maxCount) const;
    void GetWindowText(CString& text) const;
    int GetWindowTextLength() const;
    CWnd* GetDlgItem(int nID) const;
    void SetDlgItemText(int nID, LPCTSTR text);
    int GetDlgItemText(int nID, CString& text) const;
    int GetDlgCtrlID() const;
    CWnd* GetParent() const;

    BOOL EnableWindow(BOOL bEnable = TRUE);
    BOOL IsWindowEnabled() const;
    BOOL ShowWindow(int nCmdShow);
    BOOL IsWindowVisible() const;
    BOOL IsIconic() const;
    HICON SetIcon(HICON hIcon, BOOL bBigIcon);
    void SetFont(CFont* pFont, BOOL bRedraw = TRUE);
    DWORD GetStyle() const;
    DWORD GetExStyle() const;
    void GetClientRect(LPRECT rect) const;
    void GetWindowRect(LPRECT rect) const;
    void Invalidate(BOOL bErase = TRUE);
    void UpdateWindow();
    static CWnd* GetFocus();
    CWnd* SetFocus();

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;

    // The window's system menu (a non-owning wrapper kept by this object), or null.
    CMenu* GetSystemMenu(BOOL bRevert);

    // A message box owned by this window; the caption defaults to the program's name.
    int MessageBox(LPCTSTR text, LPCTSTR caption = nullptr, UINT type = MB_OK);

protected:
    virtual void DoDataExchange(CDataExchange* pDX);
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // Called after the window is gone (WM_NCDESTROY) and the object detached from it.
    virtual void PostNcDestroy() {}

    // The default processing of the message being handled.
    LRESULT Default();

    // Base handlers: each does the default processing, so that a derived handler can end
    // with a call to its base class as usual.
    afx_msg void OnPaint() { Default(); }
    afx_msg void OnClose() { Default(); }
    afx_msg void OnSysCommand(UINT, LPARAM) { Default(); }
    afx_msg HCURSOR OnQueryDragIcon() { return reinterpret_cast<HCURSOR>(Default()); }
    afx_msg BOOL OnSetCursor(CWnd*, UINT, UINT) { return static_cast<BOOL>(Default()); }
    afx_msg UINT OnNcHitTest(CPoint) { return static_cast<UINT>(Default()); }
    afx_msg void OnLButtonDown(UINT, CPoint) { Default(); }

    static LRESULT CALLBACK WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

private:
    struct CurrentMessage {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };

    WNDPROC m_pfnSuper = nullptr;
    CurrentMessage m_current{0, 0, 0};
    CMenu m_sysMenu;
};
