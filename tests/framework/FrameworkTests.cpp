// Tests of the dialog framework, built twice: against the 8-bit and the UTF-16 library.
// They drive real dialogs (from FrameworkTests.rc) under the test display.

#include "Framework.h"
#include "TestIds.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

constexpr UINT WM_TEST_PING = WM_USER + 1000;

class CTestApp : public CWinApp {
public:
    CTestApp() : CWinApp(_T("Framework Tests")) {}
    int m_nHelpCommands = 0;

protected:
    afx_msg void OnHelpCommand() { ++m_nHelpCommands; }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CTestApp, CWinApp)
ON_COMMAND(ID_HELP, OnHelpCommand)
END_MESSAGE_MAP()

CTestApp theApp;

// A label that colours itself through the WM_CTLCOLOR* its parent receives.
class CColorLabel : public CStatic {
public:
    HBRUSH m_hBrush = nullptr;
    int m_nCtlColorCalls = 0;
    UINT m_nLastCtlColor = 99;
    int m_nHitTests = 0;

protected:
    afx_msg HBRUSH CtlColor(CDC* pDC, UINT nCtlColor) {
        ++m_nCtlColorCalls;
        m_nLastCtlColor = nCtlColor;
        pDC->SetTextColor(RGB(1, 2, 3));
        return m_hBrush;
    }
    afx_msg UINT OnNcHitTest(CPoint) {
        ++m_nHitTests;
        return HTCLIENT;
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CColorLabel, CStatic)
ON_WM_CTLCOLOR_REFLECT()
ON_WM_NCHITTEST()
END_MESSAGE_MAP()

// The base dialog maps the button and the check box; the derived one maps the button again.
class CBaseTestDlg : public CDialog {
public:
    using CDialog::CDialog;
    std::vector<std::string> m_events;

protected:
    afx_msg void OnBaseButton() { m_events.push_back("base button"); }
    afx_msg void OnCheckClicked() { m_events.push_back("check"); }
    afx_msg void OnClose() {
        m_events.push_back("close");
        CDialog::OnClose();
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CBaseTestDlg, CDialog)
ON_BN_CLICKED(IDC_BUTTON, OnBaseButton)
ON_BN_CLICKED(IDC_CHECK, OnCheckClicked)
ON_WM_CLOSE()
END_MESSAGE_MAP()

class CTestDlg : public CBaseTestDlg {
public:
    explicit CTestDlg(UINT nIDTemplate = IDD_TEST, CWnd* pParent = nullptr)
        : CBaseTestDlg(nIDTemplate, pParent) {}

    CString m_strName;
    DWORD m_dwNumber = 0;
    int m_nCheck = 0;
    CColorLabel m_label;
    CComboBox m_combo;
    CListCtrl m_list;

    int m_nIdle = 0;
    std::function<void(CTestDlg&)> m_onInit;
    std::function<void(CTestDlg&)> m_onIdle;

    BOOL OnInitDialog() override {
        CBaseTestDlg::OnInitDialog();
        if (m_onInit)
            m_onInit(*this);
        return TRUE;
    }

protected:
    void DoDataExchange(CDataExchange* pDX) override {
        CBaseTestDlg::DoDataExchange(pDX);
        DDX_Text(pDX, IDC_NAME, m_strName);
        DDV_MaxChars(pDX, m_strName, 10);
        if (m_nIDTemplate != IDD_TEST)
            return;
        DDX_Control(pDX, IDC_LABEL, m_label);
        DDX_Control(pDX, IDC_COMBO, m_combo);
        DDX_Control(pDX, IDC_LIST, m_list);
        DDX_Text(pDX, IDC_NUMBER, m_dwNumber);
        DDX_Check(pDX, IDC_CHECK, m_nCheck);
    }

    afx_msg void OnDerivedButton() { m_events.push_back("derived button"); }
    afx_msg void OnComboChanged() { m_events.push_back("combo"); }
    afx_msg void OnNameChanged() { m_events.push_back("name"); }
    afx_msg void OnListClick(NMHDR* pNMHDR, LRESULT* pResult) {
        m_events.push_back(pNMHDR->hwndFrom == m_list.m_hWnd ? "list click" : "stray click");
        *pResult = 7;
    }
    afx_msg LRESULT OnPing(WPARAM wParam, LPARAM lParam) {
        return static_cast<LRESULT>(wParam) + lParam;
    }
    afx_msg LRESULT OnKickIdle(WPARAM, LPARAM) {
        ++m_nIdle;
        if (m_onIdle)
            m_onIdle(*this);
        return 0;
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CTestDlg, CBaseTestDlg)
ON_BN_CLICKED(IDC_BUTTON, OnDerivedButton)
ON_CBN_SELCHANGE(IDC_COMBO, OnComboChanged)
ON_EN_CHANGE(IDC_NAME, OnNameChanged)
ON_NOTIFY(NM_CLICK, IDC_LIST, OnListClick)
ON_MESSAGE(WM_TEST_PING, OnPing)
ON_MESSAGE(WM_KICKIDLE, OnKickIdle)
END_MESSAGE_MAP()

// Answers message boxes and keeps what they showed.
struct BoxRecorder {
    std::vector<CMessageBoxRequest> boxes;
    int answer = IDOK;
    MessageBoxHook previous;
    BoxRecorder() {
        previous = AfxSetMessageBoxHook([this](const CMessageBoxRequest& box) {
            boxes.push_back(box);
            return answer;
        });
    }
    ~BoxRecorder() { AfxSetMessageBoxHook(previous); }
};

// Handles what is queued for this thread, as a message loop would.
void PumpMessages() {
    MSG msg;
    while (::PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessage(&msg);
    }
}

CString TextOf(HWND hWnd) {
    CString text;
    CWnd::FromHandle(hWnd)->GetWindowText(text);
    return text;
}

// ---------------------------------------------------------------------------------------------
// CString

TEST(CStringTest, SubstringsClampTheirBounds) {
    const CString text(_T("D:\\disc.iso"));
    struct Case {
        CString actual;
        LPCTSTR expected;
    } cases[] = {
        {text.Left(2), _T("D:")},
        {text.Left(0), _T("")},
        {text.Left(99), _T("D:\\disc.iso")},
        {text.Left(-1), _T("")},
        {text.Mid(3), _T("disc.iso")},
        {text.Mid(3, 4), _T("disc")},
        {text.Mid(8, 99), _T("iso")},
        {text.Mid(11), _T("")},
        {text.Mid(-2, 2), _T("D:")},
        {text.Mid(2, -1), _T("")},
        {text.Right(3), _T("iso")},
        {text.Right(99), _T("D:\\disc.iso")},
        {text.Right(0), _T("")},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(c.expected, c.actual);
}

TEST(CStringTest, CharactersLengthAndSearch) {
    CString text(_T("E:"));
    EXPECT_EQ(2, text.GetLength());
    EXPECT_EQ(_T('E'), text[0]);
    EXPECT_EQ(0, text.GetAt(2));
    EXPECT_EQ(0, text.GetAt(-1));
    text.SetAt(0, _T('F'));
    text.SetAt(5, _T('X'));
    EXPECT_STREQ(_T("F:"), text);
    EXPECT_EQ(1, text.Find(_T(':')));
    EXPECT_EQ(-1, text.Find(_T('x')));
    EXPECT_EQ(-1, text.Find(_T(':'), 9));
    EXPECT_EQ(0, text.Find(_T("F:")));
    EXPECT_TRUE(CString().IsEmpty());
    EXPECT_EQ(3, CString(_T('-'), 3).GetLength());
}

TEST(CStringTest, Concatenation) {
    CString name(_T("disc"));
    CString full = _T("C:\\") + name + _T(".iso");
    EXPECT_STREQ(_T("C:\\disc.iso"), full);
    full += _T('!');
    full += name;
    EXPECT_STREQ(_T("C:\\disc.iso!disc"), full);
    name += name;
    EXPECT_STREQ(_T("discdisc"), name);
    EXPECT_TRUE(name == _T("discdisc"));
    EXPECT_TRUE(name != CString(_T("disc")));
    CString copy = name + static_cast<LPCTSTR>(nullptr);
    EXPECT_STREQ(_T("discdisc"), copy);
}

TEST(CStringTest, FormatsWithTextAndWithStringTableEntry) {
    CString text;
    text.Format(_T("%s|%d|%c|%u|%lu"), _T("ab"), -5, _T('E'), 4000000000u, 4294967295ul);
    EXPECT_STREQ(_T("ab|-5|E|4000000000|4294967295"), text);

    CString image(_T("disc.iso"));
    text.Format(IDS_FORMAT, _T('E'), static_cast<LPCTSTR>(image), 7u);
    EXPECT_STREQ(_T("E: holds disc.iso (7)"), text);

    CString longText(_T('x'), 1000);
    text.Format(_T("[%s]"), static_cast<LPCTSTR>(longText));
    EXPECT_EQ(1002, text.GetLength());
}

TEST(CStringTest, LoadsStringTableEntries) {
    CString text(_T("old"));
    EXPECT_TRUE(text.LoadString(IDS_GREETING));
    EXPECT_STREQ(_T("Hello, dialog"), text);
    EXPECT_TRUE(text.LoadString(IDS_LONG));
    EXPECT_EQ(600, text.GetLength());
    EXPECT_STREQ(_T("0123456789"), text.Right(10));
    EXPECT_FALSE(text.LoadString(IDS_MISSING));
    EXPECT_TRUE(text.IsEmpty());
}

TEST(CStringTest, BufferAccess) {
    CString text(_T("abc"));
    LPTSTR buffer = text.GetBuffer(10);
    lstrcpy(buffer, _T("abcdefgh"));
    text.ReleaseBuffer();
    EXPECT_STREQ(_T("abcdefgh"), text);
    text.GetBuffer(2);
    text.ReleaseBuffer(2);
    EXPECT_STREQ(_T("ab"), text);
}

// ---------------------------------------------------------------------------------------------
// A live modeless dialog

class DialogTest : public ::testing::Test {
protected:
    void Open() {
        ASSERT_TRUE(dlg.Create(IDD_TEST));
        ASSERT_NE(nullptr, dlg.m_hWnd);
    }
    HWND Item(int id) const { return ::GetDlgItem(dlg.m_hWnd, id); }
    void TearDown() override { dlg.DestroyWindow(); }

    CTestDlg dlg;
    BoxRecorder boxes;
};

TEST_F(DialogTest, LoadsMembersIntoControls) {
    dlg.m_strName = _T("disc");
    dlg.m_dwNumber = 4294967295ul;
    dlg.m_nCheck = 1;
    Open();
    EXPECT_STREQ(_T("disc"), TextOf(Item(IDC_NAME)));
    EXPECT_STREQ(_T("4294967295"), TextOf(Item(IDC_NUMBER)));
    EXPECT_EQ(BST_CHECKED, ::SendMessage(Item(IDC_CHECK), BM_GETCHECK, 0, 0));
    // The maximum length of the text also limits what the user can type.
    EXPECT_EQ(10, ::SendMessage(Item(IDC_NAME), EM_GETLIMITTEXT, 0, 0));
}

TEST_F(DialogTest, SavesControlsIntoMembers) {
    dlg.m_nCheck = 1;
    Open();
    ::SetWindowText(Item(IDC_NAME), _T("image"));
    ::SetWindowText(Item(IDC_NUMBER), _T(" 42 "));
    ::SendMessage(Item(IDC_CHECK), BM_SETCHECK, BST_UNCHECKED, 0);
    EXPECT_TRUE(dlg.UpdateData(TRUE));
    EXPECT_STREQ(_T("image"), dlg.m_strName);
    EXPECT_EQ(42u, dlg.m_dwNumber);
    EXPECT_EQ(0, dlg.m_nCheck);
    EXPECT_TRUE(boxes.boxes.empty());

    ::SetWindowText(Item(IDC_NUMBER), _T("4294967295"));
    EXPECT_TRUE(dlg.UpdateData(TRUE));
    EXPECT_EQ(4294967295ul, dlg.m_dwNumber);
}

TEST_F(DialogTest, RejectsTextsThatAreNoUnsignedNumber) {
    Open();
    for (LPCTSTR bad : {_T(""), _T("abc"), _T("-1"), _T("4294967296"), _T("12x"), _T("1 2"),
                        _T("99999999999999999999")}) {
        dlg.m_dwNumber = 5;
        boxes.boxes.clear();
        ::SetWindowText(Item(IDC_NUMBER), bad);
        EXPECT_FALSE(dlg.UpdateData(TRUE)) << "accepted a bad number";
        EXPECT_EQ(5u, dlg.m_dwNumber);
        ASSERT_EQ(1u, boxes.boxes.size());
        EXPECT_STREQ(_T("Please enter a whole number from 0 to 4294967295."), boxes.boxes[0].text);
        EXPECT_STREQ(_T("Framework Tests"), boxes.boxes[0].caption);
    }
}

TEST_F(DialogTest, RejectsTextLongerThanItsMaximum) {
    Open();
    // WM_SETTEXT is not bound by the edit's limit, so the check on saving still matters.
    ::SetWindowText(Item(IDC_NAME), _T("0123456789A"));
    EXPECT_FALSE(dlg.UpdateData(TRUE));
    ASSERT_EQ(1u, boxes.boxes.size());
    EXPECT_STREQ(_T("Please enter no more than 10 characters."), boxes.boxes[0].text);
    ::SetWindowText(Item(IDC_NAME), _T("0123456789"));
    EXPECT_TRUE(dlg.UpdateData(TRUE));
    EXPECT_STREQ(_T("0123456789"), dlg.m_strName);
}

TEST_F(DialogTest, ControlExchangeSubclassesOnce) {
    Open();
    EXPECT_EQ(&dlg.m_label, CWnd::FromHandlePermanent(Item(IDC_LABEL)));
    EXPECT_EQ(&dlg.m_combo, CWnd::FromHandle(Item(IDC_COMBO)));
    EXPECT_TRUE(dlg.UpdateData(FALSE));
    EXPECT_EQ(&dlg.m_label, CWnd::FromHandlePermanent(Item(IDC_LABEL)));
    // The subclassed control gets its own messages.
    EXPECT_EQ(HTCLIENT, ::SendMessage(Item(IDC_LABEL), WM_NCHITTEST, 0, 0));
    EXPECT_EQ(1, dlg.m_label.m_nHitTests);
    // Other windows are wrapped in one temporary object each, which owns nothing.
    CWnd* edit = dlg.GetDlgItem(IDC_NAME);
    EXPECT_EQ(edit, dlg.GetDlgItem(IDC_NAME));
    EXPECT_EQ(nullptr, CWnd::FromHandlePermanent(Item(IDC_NAME)));
    EXPECT_EQ(nullptr, dlg.GetDlgItem(4242));
}

TEST_F(DialogTest, ControlColoursAreReflectedToTheControl) {
    Open();
    HDC hdc = ::GetDC(dlg.m_hWnd);
    dlg.m_label.m_hBrush = static_cast<HBRUSH>(::GetStockObject(NULL_BRUSH));
    LRESULT brush = ::SendMessage(dlg.m_hWnd, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(hdc),
                                  reinterpret_cast<LPARAM>(Item(IDC_LABEL)));
    EXPECT_EQ(reinterpret_cast<LRESULT>(dlg.m_label.m_hBrush), brush);
    EXPECT_EQ(1, dlg.m_label.m_nCtlColorCalls);
    EXPECT_EQ(static_cast<UINT>(CTLCOLOR_STATIC), dlg.m_label.m_nLastCtlColor);
    EXPECT_EQ(RGB(1, 2, 3), ::GetTextColor(hdc));

    // A null brush leaves the colours to the dialog's default processing.
    dlg.m_label.m_hBrush = nullptr;
    brush = ::SendMessage(dlg.m_hWnd, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(hdc),
                          reinterpret_cast<LPARAM>(Item(IDC_LABEL)));
    EXPECT_EQ(2, dlg.m_label.m_nCtlColorCalls);
    EXPECT_NE(0, brush);

    // Another control's colours never reach the label.
    ::SendMessage(dlg.m_hWnd, WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(hdc),
                  reinterpret_cast<LPARAM>(Item(IDC_NAME)));
    EXPECT_EQ(2, dlg.m_label.m_nCtlColorCalls);
    ::ReleaseDC(dlg.m_hWnd, hdc);
}

TEST_F(DialogTest, MessageMapDispatchesToTheMostDerivedHandler) {
    Open();
    dlg.m_events.clear();
    auto command = [&](int id, int code) {
        ::SendMessage(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(id, code),
                      reinterpret_cast<LPARAM>(Item(id)));
    };
    command(IDC_BUTTON, BN_CLICKED); // mapped by both classes: the derived one wins
    command(IDC_CHECK, BN_CLICKED);  // mapped by the base class only
    command(IDC_COMBO, CBN_SELCHANGE);
    command(IDC_COMBO, CBN_DROPDOWN);             // not mapped
    ::SetWindowText(Item(IDC_NAME), _T("typed")); // the edit sends EN_CHANGE itself

    NMHDR click = {Item(IDC_LIST), IDC_LIST, static_cast<UINT>(NM_CLICK)};
    EXPECT_EQ(7, ::SendMessage(dlg.m_hWnd, WM_NOTIFY, IDC_LIST, reinterpret_cast<LPARAM>(&click)));
    NMHDR dblclk = {Item(IDC_LIST), IDC_LIST, static_cast<UINT>(NM_DBLCLK)};
    ::SendMessage(dlg.m_hWnd, WM_NOTIFY, IDC_LIST, reinterpret_cast<LPARAM>(&dblclk));

    const std::vector<std::string> expected = {"derived button", "check", "combo", "name",
                                               "list click"};
    EXPECT_EQ(expected, dlg.m_events);
    EXPECT_EQ(1030, ::SendMessage(dlg.m_hWnd, WM_TEST_PING, 1000, 30));
}

TEST_F(DialogTest, CloseHandlerEndsInDefaultProcessing) {
    Open();
    dlg.ShowWindow(SW_SHOW);
    dlg.m_events.clear();
    ::SendMessage(dlg.m_hWnd, WM_CLOSE, 0, 0);
    PumpMessages(); // the dialog manager may post the Cancel command
    ASSERT_EQ(1u, dlg.m_events.size());
    EXPECT_EQ("close", dlg.m_events[0]);
    // The dialog manager turned the close into Cancel, which ends (hides) a modeless dialog.
    EXPECT_FALSE(::IsWindowVisible(dlg.m_hWnd));
}

TEST_F(DialogTest, HelpCommandReachesTheApplication) {
    Open();
    EXPECT_EQ(&theApp, AfxGetApp());
    int before = theApp.m_nHelpCommands;
    ::SendMessage(dlg.m_hWnd, WM_COMMAND, ID_HELP, 0);
    HELPINFO info = {};
    info.cbSize = sizeof(info);
    ::SendMessage(dlg.m_hWnd, WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(before + 2, theApp.m_nHelpCommands);
}

TEST_F(DialogTest, ComboBoxOperations) {
    Open();
    dlg.m_combo.AddString(_T("E:\\"));
    dlg.m_combo.AddString(_T("D:\\"));
    EXPECT_EQ(2, dlg.m_combo.GetCount());
    EXPECT_EQ(CB_ERR, dlg.m_combo.GetCurSel());
    CString text;
    dlg.m_combo.GetLBText(0, text); // sorted by the control
    EXPECT_STREQ(_T("D:\\"), text);
    dlg.m_combo.SetCurSel(1);
    EXPECT_EQ(1, dlg.m_combo.GetCurSel());
    dlg.m_combo.GetLBText(dlg.m_combo.GetCurSel(), text);
    EXPECT_STREQ(_T("E:\\"), text);
    dlg.m_combo.GetLBText(5, text);
    EXPECT_TRUE(text.IsEmpty());
    dlg.m_combo.ResetContent();
    EXPECT_EQ(0, dlg.m_combo.GetCount());
}

TEST_F(DialogTest, ListControlOperations) {
    Open();
    CListCtrl& list = dlg.m_list;
    EXPECT_EQ(0, list.InsertColumn(0, _T("Drive"), LVCFMT_LEFT, 40));
    EXPECT_EQ(1, list.InsertColumn(1, _T("Mapped Image"), LVCFMT_LEFT, 100));
    EXPECT_EQ(40, list.GetColumnWidth(0));
    EXPECT_TRUE(list.SetColumnWidth(1, 250));
    EXPECT_EQ(250, list.GetColumnWidth(1));

    EXPECT_EQ(nullptr, list.GetFirstSelectedItemPosition());
    const CString longPath(_T('p'), 300);
    for (int i = 0; i < 3; ++i) {
        CString drive;
        drive.Format(_T("%c:"), _T('E') + i);
        int row = list.InsertItem(i, drive);
        EXPECT_EQ(i, row);
        EXPECT_TRUE(list.SetItem(row, 1, LVIF_TEXT,
                                 i == 1 ? static_cast<LPCTSTR>(longPath) : _T("none"), 0, 0, 0, 0));
    }
    EXPECT_EQ(3, list.GetItemCount());
    EXPECT_STREQ(_T("F:"), list.GetItemText(1, 0));
    EXPECT_STREQ(longPath, list.GetItemText(1, 1));
    EXPECT_STREQ(_T(""), list.GetItemText(7, 0));

    list.SetItemState(2, LVIS_SELECTED, LVIS_SELECTED);
    EXPECT_EQ(static_cast<UINT>(LVIS_SELECTED), list.GetItemState(2, LVIS_SELECTED));
    EXPECT_EQ(0u, list.GetItemState(0, LVIS_SELECTED));
    POSITION pos = list.GetFirstSelectedItemPosition();
    ASSERT_NE(nullptr, pos);
    EXPECT_EQ(2, list.GetNextSelectedItem(pos));
    EXPECT_EQ(nullptr, pos);

    list.SetExtendedStyle(list.GetExtendedStyle() | LVS_EX_FULLROWSELECT);
    EXPECT_NE(0u, list.GetExtendedStyle() & LVS_EX_FULLROWSELECT);
    int narrow = list.GetStringWidth(_T("Drive"));
    EXPECT_GT(narrow, 0);
    EXPECT_GT(list.GetStringWidth(_T("Drive Drive")), narrow);

    EXPECT_TRUE(list.DeleteAllItems());
    EXPECT_EQ(0, list.GetItemCount());
    EXPECT_EQ(nullptr, list.GetFirstSelectedItemPosition());
}

TEST_F(DialogTest, WindowOperations) {
    Open();
    CMenu* menu = dlg.GetSystemMenu(FALSE);
    ASSERT_NE(nullptr, menu);
    UINT count = menu->GetMenuItemCount();
    menu->AppendMenu(MF_SEPARATOR);
    menu->AppendMenu(MF_STRING, 0x0010, _T("&About..."));
    EXPECT_EQ(count + 2, dlg.GetSystemMenu(FALSE)->GetMenuItemCount());

    CWnd* button = dlg.GetDlgItem(IDC_BUTTON);
    button->EnableWindow(FALSE);
    EXPECT_FALSE(::IsWindowEnabled(Item(IDC_BUTTON)));
    button->SetWindowText(_T("&Abort"));
    EXPECT_STREQ(_T("&Abort"), TextOf(Item(IDC_BUTTON)));
    EXPECT_EQ(IDC_BUTTON, button->GetDlgCtrlID());
    EXPECT_EQ(&dlg, button->GetParent());

    HICON icon = ::LoadIcon(nullptr, IDI_APPLICATION);
    dlg.SetIcon(icon, TRUE);
    EXPECT_EQ(reinterpret_cast<LRESULT>(icon), dlg.SendMessage(WM_GETICON, ICON_BIG));
    CRect client;
    dlg.GetClientRect(client);
    EXPECT_GT(client.Width(), 0);
    EXPECT_FALSE(dlg.IsIconic());

    dlg.MessageBox(_T("No CD/DVD drive was detected."), _T("Ravelin"), MB_ICONHAND);
    ASSERT_EQ(1u, boxes.boxes.size());
    EXPECT_EQ(dlg.m_hWnd, boxes.boxes[0].hOwner);
    EXPECT_STREQ(_T("Ravelin"), boxes.boxes[0].caption);
    EXPECT_EQ(static_cast<UINT>(MB_ICONHAND), boxes.boxes[0].type);
}

// ---------------------------------------------------------------------------------------------
// Modal dialogs

TEST(ModalDialogTest, IdleUpdatesRunUntilTheDialogEnds) {
    CTestDlg dlg(IDD_TEST_SMALL);
    dlg.m_onIdle = [](CTestDlg& d) {
        // Each idle update queues one more message; the queue falls idle again after it.
        if (d.m_nIdle < 5)
            d.PostMessage(WM_TEST_PING);
        else
            d.EndDialog(42);
    };
    EXPECT_EQ(42, dlg.DoModal());
    EXPECT_EQ(5, dlg.m_nIdle);
    EXPECT_EQ(nullptr, dlg.m_hWnd);
}

TEST(ModalDialogTest, OkSavesTheDataAndCancelDoesNot) {
    for (int button : {IDOK, IDCANCEL}) {
        CTestDlg dlg(IDD_TEST_SMALL);
        dlg.m_strName = _T("before");
        dlg.m_onInit = [button](CTestDlg& d) {
            d.SetDlgItemText(IDC_NAME, _T("after"));
            d.PostMessage(WM_COMMAND, static_cast<WPARAM>(button));
        };
        EXPECT_EQ(button, dlg.DoModal());
        EXPECT_STREQ(button == IDOK ? _T("after") : _T("before"), dlg.m_strName);
    }
}

TEST(ModalDialogTest, OkStaysOpenWhileTheDataIsInvalid) {
    BoxRecorder boxes;
    CTestDlg dlg(IDD_TEST_SMALL);
    dlg.m_onInit = [](CTestDlg& d) {
        d.SetDlgItemText(IDC_NAME, _T("far too long a name"));
        d.PostMessage(WM_COMMAND, IDOK);
    };
    dlg.m_onIdle = [&boxes](CTestDlg& d) {
        if (!boxes.boxes.empty())
            d.EndDialog(IDABORT);
    };
    EXPECT_EQ(IDABORT, dlg.DoModal());
    EXPECT_EQ(1u, boxes.boxes.size());
}

TEST(ModalDialogTest, EndingDuringInitialisationSkipsTheLoop) {
    CTestDlg dlg(IDD_TEST_SMALL);
    dlg.m_onInit = [](CTestDlg& d) { d.EndDialog(3); };
    EXPECT_EQ(3, dlg.DoModal());
    EXPECT_EQ(0, dlg.m_nIdle);
    EXPECT_EQ(nullptr, dlg.m_hWnd);
}

TEST(ModalDialogTest, CloseBoxCancelsAndControlsAreReleased) {
    CTestDlg dlg(IDD_TEST);
    dlg.m_onInit = [](CTestDlg& d) { d.PostMessage(WM_CLOSE); };
    EXPECT_EQ(IDCANCEL, dlg.DoModal());
    ASSERT_FALSE(dlg.m_events.empty());
    EXPECT_EQ("close", dlg.m_events.back());
    EXPECT_EQ(nullptr, dlg.m_label.m_hWnd);
    EXPECT_EQ(nullptr, dlg.m_list.m_hWnd);
}

TEST(ModalDialogTest, OwnerIsDisabledWhileTheDialogRuns) {
    CTestDlg owner(IDD_TEST_SMALL);
    ASSERT_TRUE(owner.Create(IDD_TEST_SMALL));
    CTestDlg dlg(IDD_TEST_SMALL, &owner);
    BOOL ownerEnabled = TRUE;
    HWND ownerOfDialog = nullptr;
    dlg.m_onIdle = [&](CTestDlg& d) {
        ownerEnabled = owner.IsWindowEnabled();
        ownerOfDialog = ::GetWindow(d.m_hWnd, GW_OWNER);
        d.EndDialog(IDOK);
    };
    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_FALSE(ownerEnabled);
    EXPECT_EQ(owner.m_hWnd, ownerOfDialog);
    EXPECT_TRUE(owner.IsWindowEnabled());
    owner.DestroyWindow();
}

TEST(ModalDialogTest, MessageBoxesFromInsideTheDialog) {
    BoxRecorder boxes;
    boxes.answer = IDNO;
    CTestDlg dlg(IDD_TEST_SMALL);
    int answer = 0;
    dlg.m_onIdle = [&](CTestDlg& d) {
        answer = AfxMessageBox(IDS_GREETING, MB_YESNO);
        AfxMessageBox(_T("Mount Failed"));
        d.EndDialog(IDOK);
    };
    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_EQ(IDNO, answer);
    ASSERT_EQ(2u, boxes.boxes.size());
    EXPECT_STREQ(_T("Hello, dialog"), boxes.boxes[0].text);
    EXPECT_STREQ(_T("Framework Tests"), boxes.boxes[0].caption);
    EXPECT_EQ(static_cast<UINT>(MB_YESNO), boxes.boxes[0].type);
    EXPECT_STREQ(_T("Mount Failed"), boxes.boxes[1].text);
    EXPECT_EQ(static_cast<UINT>(MB_OK), boxes.boxes[1].type);
}

// ---------------------------------------------------------------------------------------------
// File dialog

TEST(FileDialogTest, HookSeesTheRequestAndAnswersIt) {
    CTestDlg owner(IDD_TEST_SMALL);
    ASSERT_TRUE(owner.Create(IDD_TEST_SMALL));
    std::vector<CFileDialogRequest> requests;
    INT_PTR answer = IDOK;
    FileDialogHook previous =
        AfxSetFileDialogHook([&](const CFileDialogRequest& request, CString& path) {
            requests.push_back(request);
            if (answer == IDOK)
                path = _T("C:\\images\\disc.iso");
            return answer;
        });

    const LPCTSTR filter = _T("Images (*.iso)|*.iso|All Files (*.*)|*.*||");
    CFileDialog open(TRUE, nullptr, nullptr, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, filter,
                     &owner);
    EXPECT_EQ(IDOK, open.DoModal());
    EXPECT_STREQ(_T("C:\\images\\disc.iso"), open.GetPathName());
    ASSERT_EQ(1u, requests.size());
    EXPECT_TRUE(requests[0].bOpenFileDialog);
    EXPECT_EQ(owner.m_hWnd, requests[0].hOwner);
    EXPECT_EQ(static_cast<DWORD>(OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT), requests[0].flags);
    EXPECT_STREQ(filter, requests[0].filter);
    EXPECT_TRUE(requests[0].defaultExt.IsEmpty());

    answer = IDCANCEL;
    CFileDialog cancelled(TRUE, nullptr, nullptr, OFN_HIDEREADONLY, filter);
    EXPECT_EQ(IDCANCEL, cancelled.DoModal());
    EXPECT_TRUE(cancelled.GetPathName().IsEmpty());

    AfxSetFileDialogHook(previous);
    owner.DestroyWindow();
}

TEST(FileDialogTest, FilterBecomesTheSystemsNulSeparatedList) {
    using Text = std::basic_string<TCHAR>;
    const TCHAR expected[] = _T("A (*.a)\0*.a\0All\0*.*\0\0");
    const Text want(expected, sizeof(expected) / sizeof(TCHAR) - 1);
    // With or without the closing "||", the list ends in two NULs.
    for (LPCTSTR filter : {_T("A (*.a)|*.a|All|*.*||"), _T("A (*.a)|*.a|All|*.*")}) {
        Text got = CFileDialog::SystemFilter(filter);
        ASSERT_GE(got.size(), want.size());
        EXPECT_EQ(want, got.substr(0, want.size()));
        EXPECT_EQ(Text(2, 0), got.substr(got.size() - 2));
        EXPECT_EQ(Text::npos, got.find(_T('|')));
    }
}

// ---------------------------------------------------------------------------------------------
// Graphics

TEST(GdiTest, FontIsOwnedAndPaintContextDrawsIcons) {
    CFont font;
    LOGFONT logFont = {};
    logFont.lfHeight = -11;
    lstrcpy(logFont.lfFaceName, _T("Tahoma"));
    ASSERT_TRUE(font.CreateFontIndirect(&logFont));
    HGDIOBJ first = font.GetSafeHandle();
    EXPECT_EQ(static_cast<DWORD>(OBJ_FONT), ::GetObjectType(first));
    EXPECT_FALSE(font.CreateFontIndirect(&logFont)); // one font per object
    EXPECT_EQ(first, font.GetSafeHandle());
    EXPECT_TRUE(font.DeleteObject());
    EXPECT_EQ(nullptr, font.GetSafeHandle());

    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    HBITMAP bitmap = ::CreateCompatibleBitmap(screen, 32, 32);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    CDC dc(memory);
    EXPECT_TRUE(dc.DrawIcon(0, 0, ::LoadIcon(nullptr, IDI_APPLICATION)));
    dc.SetTextColor(RGB(0, 0, 255));
    EXPECT_EQ(RGB(0, 0, 255), ::GetTextColor(memory));
    dc.SetBkMode(TRANSPARENT);
    EXPECT_EQ(TRANSPARENT, ::GetBkMode(memory));
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
}

} // namespace
