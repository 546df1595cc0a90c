#pragma once

// CDialog: a dialog built from a template in the program's resources. DoModal runs the
// framework's own modal loop, which sends WM_KICKIDLE to the dialog each time its message
// queue falls idle, so that a dialog can bring its controls' states up to date there.

#include "DataExchange.h"
#include "Wnd.h"

class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr)
        : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}
    ~CDialog() override = default;

    // Runs the dialog modally and returns the value given to EndDialog, or -1 if the dialog
    // could not be created. The owner (parent, else the main window) is disabled meanwhile.
    virtual INT_PTR DoModal();
    // Creates the dialog modeless (used by tests and by tools that poke at a live dialog).
    BOOL Create(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    // Ends a modal dialog when control returns to its loop (waking the loop, also when the
    // call comes from a message sent by another thread); hides a modeless one.
    void EndDialog(int nResult);

    virtual BOOL OnInitDialog();

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;

protected:
    virtual void OnOK();
    virtual void OnCancel();

    afx_msg void HandleOK() { OnOK(); }
    afx_msg void HandleCancel() { OnCancel(); }
    afx_msg LRESULT OnHelpInfo(WPARAM, LPARAM);

    DECLARE_MESSAGE_MAP()

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    HWND GetOwnerForModal() const;
    void RunModalLoop();

    BOOL m_bModal = FALSE;
    BOOL m_bEndModal = FALSE;
    int m_nModalResult = -1;
};
