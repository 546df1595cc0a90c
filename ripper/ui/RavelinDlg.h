#pragma once

// CRavelinDlg: the ripper's main window. It lists the CD and DVD drives, proposes an image
// file name from the selected disc's volume label, and copies the disc into that file on a
// worker thread while a progress bar shows how far the copy has come; during the copy the Rip
// button is the Abort button.
//
// Threads: the UI thread owns the dialog and every control. Label threads (one per selection,
// never tracked) and the one rip thread get a context of their own, with copies of what they
// need, and report back only by posting to the dialog's window.

#include "DiscEngine.h"
#include "DiscPlatform.h"
#include "Framework.h"
#include "LabelMailbox.h"
#include "RavelinPlatform.h"

#include <memory>

// Posted by the rip thread when the copy has returned: wParam is the copy's result code,
// lParam nonzero when a write to the image file failed. The copy's report (the sector that
// failed, the sector count) is in the RipReport the job shares with the dialog.
constexpr UINT WM_RIP_DONE = WM_USER + 1000;
// Posted by a label thread when it has left a label in the mailbox: wParam is its request.
constexpr UINT WM_LABEL_READ = WM_USER + 1001;

// The longest output name the dialog accepts, in characters.
constexpr int kMaxOutputName = 256;
// How long closing the dialog waits for a running copy to stop.
constexpr DWORD kCloseWaitMilliseconds = 10000;

// What a label thread needs: it owns this and never touches the dialog object.
struct CLabelJob {
    IDiscPlatform& discs;
    CString strRoot; // the selected drive's root, such as D:\; empty with no selection
    HWND hDialog;    // where the label's arrival is posted
    unsigned nRequest;
    std::shared_ptr<CLabelMailbox> mailbox;
};

// What the rip thread needs: it owns this and never touches the dialog object.
struct CRipJob {
    IDiscPlatform& discs;
    CString strRoot;       // the drive of the moment Rip was clicked
    CString strOutputName; // the image file's name of that moment
    HWND hProgress;        // the progress bar
    HANDLE hAbortEvent;    // owned by the dialog, which outlives the thread or leaks it
    HWND hDialog;          // where WM_RIP_DONE is posted
    // Filled before WM_RIP_DONE is posted; the dialog reads it when it handles the message.
    std::shared_ptr<RipReport> report;
};

// Reads the label of the job's drive and, when there is one, leaves it in the mailbox and
// posts WM_LABEL_READ. Takes ownership of a CLabelJob; returns 0.
unsigned __stdcall LabelThreadProc(void* pJob);
// Copies the job's disc into its file and posts WM_RIP_DONE on every way out. Takes ownership
// of a CRipJob; returns 0.
unsigned __stdcall RipThreadProc(void* pJob);

class CRavelinDlg : public CDialog {
public:
    explicit CRavelinDlg(IRavelinPlatform& system = SystemRavelinPlatform(),
                         IDiscPlatform& discs = SystemDiscPlatform());
    ~CRavelinDlg() override;

protected:
    CComboBox m_comboDrive;
    CString m_strOutputName;
    HICON m_hIcon;
    HICON m_hSmallIcon;
    HANDLE m_hRipThread = nullptr;
    HANDLE m_hAbortEvent = nullptr;

    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    // Enter never closes the program.
    void OnOK() override;

    void FillDriveList();
    void UpdateControls();

    afx_msg void OnSysCommand(UINT nID, LPARAM lParam);
    afx_msg void OnPaint();
    afx_msg HCURSOR OnQueryDragIcon();
    afx_msg BOOL OnSetCursor(CWnd* pWnd, UINT nHitTest, UINT message);
    afx_msg void OnRipClicked();
    afx_msg void OnCloseClicked();
    afx_msg LRESULT OnRipDone(WPARAM wParam, LPARAM lParam);
    afx_msg void OnDriveChanged();
    afx_msg void OnOutputNameChanged();
    afx_msg LRESULT OnLabelRead(WPARAM wParam, LPARAM lParam);

    DECLARE_MESSAGE_MAP()

private:
    // The copy thread has been started and has not ended yet.
    BOOL IsCopying() const;
    // Signals the abort event and waits up to `timeout` ms for the rip thread to end, with the
    // dialog's own handlers held back meanwhile (see WindowProc).
    DWORD AbortAndWaitForRip(DWORD timeout);
    // The text of the selected drive list entry; empty with no selection.
    CString SelectedRoot() const;
    void StartLabelThread();
    void ShowMessage(UINT nIDText);
    // Tells that the copy stopped on a failed read: where, of how many, and why.
    void ShowReadFailure(uint32_t error, const RipReport& report);
    // Tells that the disc of the last copy has no data track, so nothing was copied.
    void ShowNoDataTrack();
    // Shows string `nIDFormat` with FormatMessage's inserts %1, %2 and so on, or `fallback`
    // (the format itself when null) when the text cannot be made.
    void ShowFormatted(UINT nIDFormat, const DWORD_PTR* inserts, LPCSTR fallback);

    IRavelinPlatform& m_system;
    IDiscPlatform& m_discs;
    std::shared_ptr<CLabelMailbox> m_labels;
    std::shared_ptr<RipReport> m_ripReport; // the running or last copy's report
    CString m_strRipRoot;                   // the running or last copy's drive
    bool m_bWaitingForRip = false;
};
