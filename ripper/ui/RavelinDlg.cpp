#include "RavelinDlg.h"

#include "AboutBox.h"
#include "DiscEngine.h"
#include "DlgControl.h"
#include "ErrorMode.h"
#include "HeapString.h"
#include "ImageWriteMonitor.h"
#include "resource.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

// What GetLogicalDriveStringsA is given: all 26 roots such as "D:\" with their NULs, and the
// NUL that ends the list.
constexpr DWORD kDriveStringsLength = 105;

// A copy that ended by an exception of the layers below, not by a result of its own.
constexpr uint32_t kErrorInternal = 1359; // ERROR_INTERNAL_ERROR

HICON LoadProgramIcon(int cxMetric, int cyMetric) {
    return static_cast<HICON>(::LoadImageA(AfxGetResourceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME),
                                           IMAGE_ICON, ::GetSystemMetrics(cxMetric),
                                           ::GetSystemMetrics(cyMetric), LR_DEFAULTCOLOR));
}

// Signals `event` and waits up to `timeout` ms for `thread` to end. The rip thread reports
// progress by sending to the progress bar, a window of this thread, and each send waits until
// this thread handles it: a wait that handled nothing would let a send in flight and the wait
// block each other for ever. So messages sent by other threads are handled meanwhile, and
// nothing else: no posted message, no input, so no handler of the dialog runs inside the wait.
DWORD SignalAndWaitForThread(HANDLE event, HANDLE thread, DWORD timeout) {
    ::SetEvent(event);
    return AfxWaitHandlingSentMessages(thread, timeout);
}

// The system's text for `error`, without its closing line break; "" when it has none.
CString SystemErrorText(DWORD error) {
    char* text = nullptr;
    CString result;
    if (::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                             FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr) &&
        text) {
        size_t length = std::strlen(text);
        while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n'))
            text[--length] = '\0';
        result = text;
    }
    if (text)
        ::LocalFree(text);
    return result;
}

} // namespace

unsigned __stdcall LabelThreadProc(void* pJob) {
    std::unique_ptr<CLabelJob> job(static_cast<CLabelJob*>(pJob));
    FailCriticalErrorsInThisThread();
    if (job->strRoot.IsEmpty())
        return 0;
    try {
        CHeapString label;
        ReadDiscLabel(job->strRoot[0], label, job->discs);
        if (label.IsEmpty())
            return 0;
        if (job->mailbox->Deliver(job->nRequest, CString(label.GetString())))
            ::PostMessage(job->hDialog, WM_LABEL_READ, job->nRequest, 0);
    } catch (...) {
        // No label: the name stays as it is, as with an unreadable disc.
    }
    return 0;
}

unsigned __stdcall RipThreadProc(void* pJob) {
    std::unique_ptr<CRipJob> job(static_cast<CRipJob*>(pJob));
    FailCriticalErrorsInThisThread();
    CImageWriteMonitor monitor(job->discs);
    uint32_t result = kErrorInternal;
    try {
        result = RipDisc(job->strRoot[0], job->strOutputName, job->hProgress, job->hAbortEvent,
                         monitor, job->report.get());
    } catch (const std::bad_alloc&) {
        result = kErrorNotEnoughMemory;
    } catch (...) {
        result = kErrorInternal;
    }
    // The dialog returns to idle on this message, so it goes out whatever happened above.
    ::PostMessage(job->hDialog, WM_RIP_DONE, result, monitor.WriteFailed() ? 1 : 0);
    return 0;
}

BEGIN_MESSAGE_MAP(CRavelinDlg, CDialog)
ON_WM_SYSCOMMAND()
ON_WM_PAINT()
ON_WM_QUERYDRAGICON()
ON_WM_SETCURSOR()
ON_BN_CLICKED(IDC_RIP, OnRipClicked)
ON_BN_CLICKED(IDC_CLOSE, OnCloseClicked)
ON_MESSAGE(WM_RIP_DONE, OnRipDone)
ON_CBN_SELCHANGE(IDC_DRIVE_LIST, OnDriveChanged)
ON_EN_CHANGE(IDC_OUTPUT_NAME, OnOutputNameChanged)
ON_MESSAGE(WM_LABEL_READ, OnLabelRead)
END_MESSAGE_MAP()

CRavelinDlg::CRavelinDlg(IRavelinPlatform& system, IDiscPlatform& discs)
    : CDialog(IDD_RAVELIN_DIALOG), m_hIcon(LoadProgramIcon(SM_CXICON, SM_CYICON)),
      m_hSmallIcon(LoadProgramIcon(SM_CXSMICON, SM_CYSMICON)), m_system(system), m_discs(discs),
      m_labels(std::make_shared<CLabelMailbox>()) {
    m_hAbortEvent = m_system.CreateEventA(TRUE, FALSE);
}

CRavelinDlg::~CRavelinDlg() {
    if (m_hIcon)
        ::DestroyIcon(m_hIcon);
    if (m_hSmallIcon)
        ::DestroyIcon(m_hSmallIcon);
    if (m_hAbortEvent && m_hRipThread &&
        AbortAndWaitForRip(kCloseWaitMilliseconds) == WAIT_TIMEOUT) {
        // The copy is still running and uses the event: leave both handles to it. The
        // program is ending, and the image keeps what was written so far.
        return;
    }
    if (m_hAbortEvent)
        ::CloseHandle(m_hAbortEvent);
    if (m_hRipThread)
        ::CloseHandle(m_hRipThread);
}

void CRavelinDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_DRIVE_LIST, m_comboDrive);
    DDX_Text(pDX, IDC_OUTPUT_NAME, m_strOutputName);
    DDV_MaxChars(pDX, m_strOutputName, kMaxOutputName);
}

BOOL CRavelinDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    if (CMenu* pSysMenu = GetSystemMenu(FALSE)) {
        CString strAbout;
        strAbout.LoadString(IDS_ABOUTBOX);
        pSysMenu->AppendMenu(MF_SEPARATOR);
        pSysMenu->AppendMenu(MF_STRING, IDM_ABOUTBOX, strAbout);
    }

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hSmallIcon, FALSE);

    FillDriveList();
    if (m_comboDrive.GetCount() == 0)
        ShowMessage(IDS_NO_DRIVE);
    else
        m_comboDrive.SetCurSel(0);

    UpdateControls();
    StartLabelThread();
    return TRUE;
}

void CRavelinDlg::OnOK() {}

void CRavelinDlg::FillDriveList() {
    char roots[kDriveStringsLength] = {};
    DWORD length = m_system.GetLogicalDriveStringsA(kDriveStringsLength, roots);
    // 0 is a failure, and a length beyond the buffer means the list did not fit: either way
    // there is no list to walk.
    if (length == 0 || length >= kDriveStringsLength)
        return;
    roots[kDriveStringsLength - 1] = '\0';
    const char* const end = roots + length;
    for (const char* root = roots; root < end && *root; root += std::strlen(root) + 1) {
        if (m_system.GetDriveTypeA(root) == DRIVE_CDROM)
            m_comboDrive.AddString(root);
    }
}

void CRavelinDlg::UpdateControls() {
    UpdateData(TRUE);
    if (IsCopying()) {
        EnableDlgControl(this, IDC_DRIVE_LIST, FALSE);
        EnableDlgControl(this, IDC_OUTPUT_NAME, FALSE);
        GetDlgItem(IDC_PROGRESS)->ShowWindow(SW_SHOW);
        SetDlgItemText(IDC_RIP, "&Abort");
        EnableDlgControl(this, IDC_CLOSE, FALSE);
    } else {
        EnableDlgControl(this, IDC_DRIVE_LIST, TRUE);
        EnableDlgControl(this, IDC_OUTPUT_NAME, TRUE);
        GetDlgItem(IDC_PROGRESS)->ShowWindow(SW_HIDE);
        SetDlgItemText(IDC_RIP, "&Rip");
        BOOL bCanRip = !SelectedRoot().IsEmpty() && !m_strOutputName.IsEmpty();
        EnableDlgControl(this, IDC_RIP, bCanRip);
        EnableDlgControl(this, IDC_CLOSE, TRUE);
    }
}

void CRavelinDlg::OnSysCommand(UINT nID, LPARAM lParam) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutBox dlgAbout;
        dlgAbout.DoModal();
    } else {
        CDialog::OnSysCommand(nID, lParam);
    }
}

void CRavelinDlg::OnPaint() {
    if (!IsIconic()) {
        CDialog::OnPaint();
        return;
    }
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    CRect rect;
    GetClientRect(rect);
    int x = (rect.Width() - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
    int y = (rect.Height() - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CRavelinDlg::OnQueryDragIcon() {
    return m_hSmallIcon;
}

BOOL CRavelinDlg::OnSetCursor(CWnd* pWnd, UINT nHitTest, UINT message) {
    // Only the dialog's own background shows that a copy runs; its controls keep their cursor.
    if (pWnd == this && nHitTest == HTCLIENT && IsCopying()) {
        ::SetCursor(::LoadCursor(nullptr, IDC_APPSTARTING));
        return TRUE;
    }
    return CDialog::OnSetCursor(pWnd, nHitTest, message);
}

void CRavelinDlg::OnRipClicked() {
    if (m_hRipThread) {
        // Abort. m_hRipThread is closed when WM_RIP_DONE, already queued, is handled.
        if (m_hAbortEvent)
            AbortAndWaitForRip(INFINITE);
        UpdateControls();
        return;
    }

    CString strRoot = SelectedRoot();
    if (strRoot.IsEmpty())
        return;
    ::SetCursor(::LoadCursor(nullptr, IDC_APPSTARTING));
    m_ripReport = std::make_shared<RipReport>();
    m_strRipRoot = strRoot;
    std::unique_ptr<CRipJob> job(new CRipJob{m_discs, strRoot, m_strOutputName,
                                             ::GetDlgItem(m_hWnd, IDC_PROGRESS), m_hAbortEvent,
                                             m_hWnd, m_ripReport});
    m_hRipThread = m_system.BeginThreadEx(RipThreadProc, job.get());
    if (m_hRipThread)
        job.release(); // the thread owns it now
    UpdateControls();
}

void CRavelinDlg::OnCloseClicked() {
    EndDialog(IDOK);
}

LRESULT CRavelinDlg::OnRipDone(WPARAM wParam, LPARAM lParam) {
    ::SetCursor(::LoadCursor(nullptr, IDC_ARROW));
    if (m_hRipThread) {
        ::CloseHandle(m_hRipThread);
        m_hRipThread = nullptr;
    }
    if (m_hAbortEvent)
        ::ResetEvent(m_hAbortEvent);
    UpdateControls();

    // A failed copy is silent, except where the user would be misled: a name that was never
    // usable, and an image file that looks whole but is not, because a write or a read of the
    // disc failed.
    const uint32_t result = static_cast<uint32_t>(wParam);
    if (result == kErrorInvalidName)
        ShowMessage(IDS_INVALID_NAME);
    else if (result == kErrorUnrecognizedMedia)
        ShowNoDataTrack();
    else if (lParam)
        ShowMessage(IDS_WRITE_FAILED);
    else if (result != 0 && m_ripReport && m_ripReport->ReadFailed)
        ShowReadFailure(result, *m_ripReport);
    return 0;
}

void CRavelinDlg::OnDriveChanged() {
    UpdateControls();
    StartLabelThread();
}

void CRavelinDlg::OnOutputNameChanged() {
    UpdateControls();
}

LRESULT CRavelinDlg::OnLabelRead(WPARAM wParam, LPARAM) {
    CString label;
    // A label for an earlier selection, or one that arrives while a copy runs, is dropped.
    if (!m_labels->Collect(static_cast<unsigned>(wParam), label) || IsCopying())
        return 0;
    SetDlgItemText(IDC_OUTPUT_NAME, label + ".iso");
    return 0;
}

DWORD CRavelinDlg::AbortAndWaitForRip(DWORD timeout) {
    m_bWaitingForRip = true;
    const DWORD result = SignalAndWaitForThread(m_hAbortEvent, m_hRipThread, timeout);
    m_bWaitingForRip = false;
    return result;
}

// The wait for the rip thread handles what other threads and programs send to this thread.
// A command or a system command sent then (the About entry, for one) would run its handler
// inside the wait, and a modal loop opened there could handle WM_RIP_DONE and close the very
// handle being waited on. So while the wait runs, those messages and WM_RIP_DONE itself are
// refused; everything else (the progress bar's reports above all) is handled as usual.
LRESULT CRavelinDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (m_bWaitingForRip &&
        (message == WM_COMMAND || message == WM_SYSCOMMAND || message == WM_RIP_DONE))
        return 0;
    return CDialog::WindowProc(message, wParam, lParam);
}

BOOL CRavelinDlg::IsCopying() const {
    return m_hRipThread && ::WaitForSingleObject(m_hRipThread, 0) == WAIT_TIMEOUT;
}

CString CRavelinDlg::SelectedRoot() const {
    CString root;
    int nSelected = m_comboDrive.GetCurSel();
    if (nSelected != CB_ERR)
        m_comboDrive.GetLBText(nSelected, root);
    return root;
}

void CRavelinDlg::StartLabelThread() {
    std::unique_ptr<CLabelJob> job(
        new CLabelJob{m_discs, SelectedRoot(), m_hWnd, m_labels->NewRequest(), m_labels});
    // Label threads are never tracked: the handle is closed at once.
    if (HANDLE hThread = m_system.BeginThreadEx(LabelThreadProc, job.get())) {
        job.release();
        ::CloseHandle(hThread);
    }
}

void CRavelinDlg::ShowMessage(UINT nIDText) {
    CString text;
    CString caption;
    text.LoadString(nIDText);
    caption.LoadString(IDS_RAVELIN);
    MessageBox(text, caption, MB_OK | MB_ICONHAND);
}

void CRavelinDlg::ShowReadFailure(uint32_t error, const RipReport& report) {
    char failed[24];
    char count[24];
    char code[16];
    std::snprintf(failed, sizeof(failed), "%llu",
                  static_cast<unsigned long long>(report.FailedSector));
    std::snprintf(count, sizeof(count), "%llu",
                  static_cast<unsigned long long>(report.SectorCount));
    std::snprintf(code, sizeof(code), "%lu", static_cast<unsigned long>(error));
    CString reason = SystemErrorText(error);

    // %1 the sector, %2 the count, %3 the system's text, %4 the error code.
    const DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(failed),
                                 reinterpret_cast<DWORD_PTR>(count),
                                 reinterpret_cast<DWORD_PTR>(static_cast<LPCSTR>(reason)),
                                 reinterpret_cast<DWORD_PTR>(code)};
    // Out of memory for the text: the system's reason alone still tells what happened.
    ShowFormatted(IDS_READ_FAILED, inserts, reason);
}

void CRavelinDlg::ShowNoDataTrack() {
    // %1 the drive, as D:
    char drive[3] = {m_strRipRoot.IsEmpty() ? '?' : m_strRipRoot[0], ':', '\0'};
    const DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(drive)};
    ShowFormatted(IDS_NO_DATA_TRACK, inserts, nullptr);
}

void CRavelinDlg::ShowFormatted(UINT nIDFormat, const DWORD_PTR* inserts, LPCSTR fallback) {
    CString format;
    CString caption;
    format.LoadString(nIDFormat);
    caption.LoadString(IDS_RAVELIN);
    char* text = nullptr;
    if (!::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_STRING |
                              FORMAT_MESSAGE_ARGUMENT_ARRAY,
                          static_cast<LPCSTR>(format), 0, 0, reinterpret_cast<char*>(&text), 0,
                          reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(inserts))) ||
        !text) {
        if (text)
            ::LocalFree(text);
        MessageBox(fallback ? fallback : static_cast<LPCSTR>(format), caption, MB_OK | MB_ICONHAND);
        return;
    }
    MessageBox(text, caption, MB_OK | MB_ICONHAND);
    ::LocalFree(text);
}
