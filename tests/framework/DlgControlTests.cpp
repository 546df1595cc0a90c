// Tests of EnableDlgControl and of a modal dialog ended from another thread's sent message.

#include "DlgControl.h"
#include "Framework.h"
#include "TestIds.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

constexpr UINT WM_TEST_END = WM_APP + 7;

// Records the focus and default-button requests that reach the dialog, then lets the dialog
// manager carry them out.
class CRecordingDlg : public CDialog {
public:
    explicit CRecordingDlg(UINT nIDTemplate = IDD_TEST) : CDialog(nIDTemplate) {}

    struct Request {
        UINT message;
        WPARAM wParam;
    };
    std::vector<Request> m_requests;

protected:
    afx_msg LRESULT OnNextDlgCtl(WPARAM wParam, LPARAM) {
        m_requests.push_back({WM_NEXTDLGCTL, wParam});
        return Default();
    }
    afx_msg LRESULT OnSetDefId(WPARAM wParam, LPARAM) {
        m_requests.push_back({DM_SETDEFID, wParam});
        return Default();
    }
    afx_msg LRESULT OnEndFromThread(WPARAM wParam, LPARAM) {
        EndDialog(static_cast<int>(wParam));
        return 0;
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CRecordingDlg, CDialog)
ON_MESSAGE(WM_NEXTDLGCTL, OnNextDlgCtl)
ON_MESSAGE(DM_SETDEFID, OnSetDefId)
ON_MESSAGE(WM_TEST_END, OnEndFromThread)
END_MESSAGE_MAP()

class EnableDlgControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dlg.Create(IDD_TEST));
        dlg.ShowWindow(SW_SHOW);
        ::SetForegroundWindow(dlg.m_hWnd);
        ::SetActiveWindow(dlg.m_hWnd);
    }
    void TearDown() override { dlg.DestroyWindow(); }
    HWND Item(int id) const { return ::GetDlgItem(dlg.m_hWnd, id); }
    int Count(UINT message) const {
        int n = 0;
        for (const auto& r : dlg.m_requests)
            n += r.message == message;
        return n;
    }

    CRecordingDlg dlg;
};

TEST_F(EnableDlgControlTest, DisablingTheFocusedControlHandsTheFocusOn) {
    ::SetFocus(Item(IDC_NAME));
    ASSERT_EQ(Item(IDC_NAME), ::GetFocus()) << "the test dialog did not take the focus";
    dlg.m_requests.clear();

    EnableDlgControl(&dlg, IDC_NAME, FALSE);
    EXPECT_FALSE(::IsWindowEnabled(Item(IDC_NAME)));
    EXPECT_EQ(1, Count(WM_NEXTDLGCTL));
    EXPECT_EQ(Item(IDC_NUMBER), ::GetFocus()) << "the focus did not move to the next tab stop";

    // A control without the focus is disabled without moving it.
    EnableDlgControl(&dlg, IDC_CHECK, FALSE);
    EXPECT_FALSE(::IsWindowEnabled(Item(IDC_CHECK)));
    EXPECT_EQ(1, Count(WM_NEXTDLGCTL));
    EXPECT_EQ(Item(IDC_NUMBER), ::GetFocus());
    EXPECT_EQ(0, Count(DM_SETDEFID)) << "disabling asked for a default button";
}

TEST_F(EnableDlgControlTest, EnablingTheDefaultButtonMakesItTheDefaultAgain) {
    ::SetFocus(Item(IDC_NAME));
    dlg.SendMessage(DM_SETDEFID, IDC_BUTTON);
    EnableDlgControl(&dlg, IDC_BUTTON, FALSE);
    EnableDlgControl(&dlg, IDC_CHECK, FALSE);
    dlg.m_requests.clear();

    struct Case {
        UINT id;
        int setDefIds; // DM_SETDEFID requests after enabling it
    } const cases[] = {{IDC_CHECK, 0}, {IDC_BUTTON, 1}, {IDC_NAME, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        EnableDlgControl(&dlg, c.id, TRUE);
        EXPECT_TRUE(::IsWindowEnabled(Item(static_cast<int>(c.id))));
        EXPECT_EQ(c.setDefIds, Count(DM_SETDEFID));
    }
    ASSERT_EQ(1, Count(DM_SETDEFID));
    for (const auto& r : dlg.m_requests) {
        if (r.message == DM_SETDEFID) {
            EXPECT_EQ(static_cast<WPARAM>(IDC_BUTTON), r.wParam);
        }
    }
    EXPECT_EQ(static_cast<LONG_PTR>(BS_DEFPUSHBUTTON),
              ::GetWindowLongPtr(Item(IDC_BUTTON), GWL_STYLE) & BS_TYPEMASK);
    EXPECT_EQ(0, Count(WM_NEXTDLGCTL));
}

TEST_F(EnableDlgControlTest, UnknownControlIsIgnored) {
    dlg.m_requests.clear();
    EnableDlgControl(&dlg, 4242, FALSE);
    EnableDlgControl(&dlg, 4242, TRUE);
    EXPECT_TRUE(dlg.m_requests.empty());
}

// Tells another thread its window once it is initialised.
class CAnnouncingDlg : public CRecordingDlg {
public:
    CAnnouncingDlg(HANDLE hReady, HWND& hWndOut)
        : CRecordingDlg(IDD_TEST_SMALL), m_hReady(hReady), m_hWndOut(hWndOut) {}
    BOOL OnInitDialog() override {
        CRecordingDlg::OnInitDialog();
        m_hWndOut = m_hWnd;
        ::SetEvent(m_hReady);
        return TRUE;
    }

private:
    HANDLE m_hReady;
    HWND& m_hWndOut;
};

// A modal dialog ended by a message that another thread sends: the modal loop handles the
// send inside GetMessage, and without a wake-up it would wait for the next posted message.
TEST(ModalWakeTest, DialogEndedFromAnotherThreadsSendClosesAtOnce) {
    HANDLE ready = ::CreateEvent(nullptr, TRUE, FALSE, nullptr);
    HANDLE closed = ::CreateEvent(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, ready);
    ASSERT_NE(nullptr, closed);
    HWND hWnd = nullptr;
    std::chrono::steady_clock::time_point sent;
    std::thread sender([&] {
        if (::WaitForSingleObject(ready, 10000) != WAIT_OBJECT_0)
            return;
        // Let the loop settle in GetMessage with nothing queued.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sent = std::chrono::steady_clock::now();
        ::SendMessage(hWnd, WM_TEST_END, 5, 0);
        // A loop that was not woken ends at the next posted message: 5 s later.
        if (::WaitForSingleObject(closed, 5000) == WAIT_TIMEOUT && ::IsWindow(hWnd))
            ::PostMessage(hWnd, WM_NULL, 0, 0);
    });
    CAnnouncingDlg dlg(ready, hWnd);
    INT_PTR result = dlg.DoModal();
    auto ended = std::chrono::steady_clock::now();
    ::SetEvent(closed);
    sender.join();
    ::CloseHandle(ready);
    ::CloseHandle(closed);
    EXPECT_EQ(5, result);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(ended - sent).count();
    EXPECT_LT(ms, 2000) << "the modal loop did not wake when EndDialog was called from a send";
}

} // namespace
