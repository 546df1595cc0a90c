// Tests of the ripper's main dialog: the real dialog, from its own template, against scripted
// drives (CScriptedDrives) and a scripted drive listing (CScriptedRavelinPlatform).

#include "RavelinDlg.h"
#include "ScriptedDrives.h"
#include "ScriptedRavelinPlatform.h"
#include "resource.h"
#include "OwnWindow.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Ends the test program with a message when it is still armed after `milliseconds`: for the
// waits that the code under test could turn into a hang with nothing else to stop it.
class CWatchdog {
public:
    CWatchdog(DWORD milliseconds, const char* what)
        : m_what(what), m_hDisarm(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          m_milliseconds(milliseconds) {
        m_hThread = ::CreateThread(nullptr, 0, &Watch, this, 0, nullptr);
    }
    ~CWatchdog() {
        ::SetEvent(m_hDisarm);
        ::WaitForSingleObject(m_hThread, INFINITE);
        ::CloseHandle(m_hThread);
        ::CloseHandle(m_hDisarm);
    }

private:
    static DWORD WINAPI Watch(void* pSelf) {
        auto* self = static_cast<CWatchdog*>(pSelf);
        if (::WaitForSingleObject(self->m_hDisarm, self->m_milliseconds) == WAIT_TIMEOUT) {
            std::fprintf(stderr, "FATAL: %s did not happen within %lu ms\n", self->m_what,
                         static_cast<unsigned long>(self->m_milliseconds));
            std::fflush(stderr);
            ::TerminateProcess(::GetCurrentProcess(), 3);
        }
        return 0;
    }

    const char* m_what;
    HANDLE m_hDisarm;
    DWORD m_milliseconds;
    HANDLE m_hThread = nullptr;
};

// An event that a test sets to let a scripted drive go on.
class CGate {
public:
    CGate() : m_hEvent(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~CGate() { ::CloseHandle(m_hEvent); }
    CGate(const CGate&) = delete;
    CGate& operator=(const CGate&) = delete;
    HANDLE Get() const { return m_hEvent; }
    void Open() { ::SetEvent(m_hEvent); }

private:
    HANDLE m_hEvent;
};

// The dialog with its state open to the tests.
class CRavelinProbe : public CRavelinDlg {
public:
    using CRavelinDlg::CRavelinDlg;
    HANDLE RipThread() const { return m_hRipThread; }
    HANDLE AbortEvent() const { return m_hAbortEvent; }
    HICON Icon() const { return m_hIcon; }
    HICON SmallIcon() const { return m_hSmallIcon; }
    int m_nIconErases = 0;

protected:
    afx_msg LRESULT OnIconEraseBkgnd(WPARAM, LPARAM) {
        ++m_nIconErases;
        return Default();
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CRavelinProbe, CRavelinDlg)
ON_MESSAGE(WM_ICONERASEBKGND, OnIconEraseBkgnd)
END_MESSAGE_MAP()

// Answers message boxes and keeps what they showed.
struct BoxRecorder {
    std::vector<CMessageBoxRequest> boxes;
    MessageBoxHook previous;
    BoxRecorder() {
        previous = AfxSetMessageBoxHook([this](const CMessageBoxRequest& box) {
            boxes.push_back(box);
            return IDOK;
        });
    }
    ~BoxRecorder() { AfxSetMessageBoxHook(previous); }
};

std::string TextOf(HWND hWnd) {
    char text[512] = {};
    ::GetWindowTextA(hWnd, text, sizeof(text));
    return text;
}

std::string SizeOf(const std::string& bytes) {
    return std::to_string(bytes.size()) + " bytes";
}

class RavelinDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        system.drives = {{"C:\\", DRIVE_FIXED}, {"D:\\", DRIVE_CDROM}};
        CScriptedDrives::Disc disc;
        disc.label = "MYDISC";
        drives.Insert('D', disc);
    }

    void TearDown() override {
        if (dlg) {
            dlg->DestroyWindow();
            dlg.reset();
        }
        EXPECT_TRUE(system.WaitForThreads(20000)) << "the dialog's threads did not end";
        EXPECT_EQ(0, drives.OpenHandles()) << "a handle was left open";
        EXPECT_EQ(0, drives.LiveBuffers()) << "a sector buffer was not freed";
        EXPECT_EQ(0, drives.LockDepth()) << "a medium was left locked";
    }

    // Creates the dialog modeless (it shows at once) and waits until the label threads that
    // start-up began have ended.
    void Open() {
        dlg = std::make_unique<CRavelinProbe>(system, drives);
        ASSERT_TRUE(dlg->Create(IDD_RAVELIN_DIALOG)) << "the dialog could not be created";
        ASSERT_TRUE(WaitForLabels()) << "the start-up label thread did not end";
    }

    bool WaitForLabels() {
        return PumpUntil([this] { return system.LiveLabelThreads() == 0; }, 10000);
    }
    // Waits until the copy's end has been handled: the dialog is idle with no thread.
    bool WaitForRipDone(DWORD timeout = 20000) {
        return PumpUntil([this] { return dlg->RipThread() == nullptr; }, timeout);
    }

    HWND Item(int id) const { return ::GetDlgItem(dlg->m_hWnd, id); }
    std::string Text(int id) const { return TextOf(Item(id)); }
    bool Enabled(int id) const { return ::IsWindowEnabled(Item(id)) != FALSE; }
    bool Visible(int id) const { return ::IsWindowVisible(Item(id)) != FALSE; }

    void Click(int id) {
        dlg->SendMessage(WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                         reinterpret_cast<LPARAM>(Item(id)));
    }
    void Select(int index) {
        ::SendMessageA(Item(IDC_DRIVE_LIST), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        dlg->SendMessage(WM_COMMAND, MAKEWPARAM(IDC_DRIVE_LIST, CBN_SELCHANGE),
                         reinterpret_cast<LPARAM>(Item(IDC_DRIVE_LIST)));
    }
    void Type(const char* name) { ::SetWindowTextA(Item(IDC_OUTPUT_NAME), name); }
    std::vector<std::string> DriveEntries() const {
        std::vector<std::string> entries;
        HWND list = Item(IDC_DRIVE_LIST);
        int count = static_cast<int>(::SendMessageA(list, CB_GETCOUNT, 0, 0));
        for (int i = 0; i < count; ++i) {
            char text[16] = {};
            ::SendMessageA(list, CB_GETLBTEXT, static_cast<WPARAM>(i),
                           reinterpret_cast<LPARAM>(text));
            entries.push_back(text);
        }
        return entries;
    }

    void ExpectIdle(bool ripEnabled) {
        EXPECT_TRUE(Enabled(IDC_DRIVE_LIST));
        EXPECT_TRUE(Enabled(IDC_OUTPUT_NAME));
        EXPECT_FALSE(Visible(IDC_PROGRESS));
        EXPECT_EQ("&Rip", Text(IDC_RIP));
        EXPECT_EQ(ripEnabled, Enabled(IDC_RIP));
        EXPECT_TRUE(Enabled(IDC_CLOSE));
    }
    void ExpectCopying() {
        EXPECT_FALSE(Enabled(IDC_DRIVE_LIST));
        EXPECT_FALSE(Enabled(IDC_OUTPUT_NAME));
        EXPECT_TRUE(Visible(IDC_PROGRESS));
        EXPECT_EQ("&Abort", Text(IDC_RIP));
        EXPECT_TRUE(Enabled(IDC_RIP));
        EXPECT_FALSE(Enabled(IDC_CLOSE));
    }

    // A disc that takes a while to copy, so that Abort and Esc land in the middle.
    static CScriptedDrives::Disc SlowDisc(uint32_t sectors, DWORD delayMs = 2) {
        CScriptedDrives::Disc disc;
        disc.label = "SLOW";
        disc.sectors = sectors;
        disc.readDelayMs = delayMs;
        return disc;
    }

    // The image holds a whole number of the disc's first sectors; returns how many.
    uint32_t ExpectImageIsAPrefix(const std::string& name, char letter) {
        std::string image = drives.Image(name);
        EXPECT_EQ(0u, image.size() % CScriptedDrives::kSectorSize);
        uint32_t count = static_cast<uint32_t>(image.size() / CScriptedDrives::kSectorSize);
        EXPECT_TRUE(image == drives.Expected(letter, count))
            << "the image " << SizeOf(image) << " is not the disc's first " << count << " sectors";
        return count;
    }

    CScriptedRavelinPlatform system;
    CScriptedDrives drives;
    BoxRecorder boxes;
    std::unique_ptr<CRavelinProbe> dlg;
};

// ---------------------------------------------------------------------------------------------
// Start-up

TEST_F(RavelinDlgTest, StartUpListsTheCdDrivesSortedAndProposesTheFirstDiscsLabel) {
    system.drives = {{"C:\\", DRIVE_FIXED},
                     {"E:\\", DRIVE_CDROM},
                     {"D:\\", DRIVE_CDROM},
                     {"F:\\", DRIVE_REMOVABLE},
                     {"Z:\\", DRIVE_REMOTE}};
    CScriptedDrives::Disc other;
    other.label = "OTHER";
    drives.Insert('E', other);
    Open();

    ASSERT_EQ(1u, system.driveStringsBufferLengths.size());
    EXPECT_EQ(105u, system.driveStringsBufferLengths[0]);
    EXPECT_EQ((std::vector<std::string>{"C:\\", "E:\\", "D:\\", "F:\\", "Z:\\"}),
              system.driveTypeQueries);
    EXPECT_EQ((std::vector<std::string>{"D:\\", "E:\\"}), DriveEntries());
    EXPECT_EQ(0, ::SendMessageA(Item(IDC_DRIVE_LIST), CB_GETCURSEL, 0, 0));
    EXPECT_EQ(1, system.labelThreadsStarted);

    EXPECT_TRUE(PumpUntil([&] { return Text(IDC_OUTPUT_NAME) == "MYDISC.iso"; }, 5000))
        << "the name is \"" << Text(IDC_OUTPUT_NAME) << "\"";
    ExpectIdle(true);
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(kMaxOutputName, ::SendMessageA(Item(IDC_OUTPUT_NAME), EM_GETLIMITTEXT, 0, 0));
}

TEST_F(RavelinDlgTest, StartUpSetsTheIconsAndTheAboutEntry) {
    Open();
    ASSERT_NE(nullptr, dlg->Icon());
    ASSERT_NE(nullptr, dlg->SmallIcon());
    EXPECT_EQ(reinterpret_cast<LRESULT>(dlg->Icon()), dlg->SendMessage(WM_GETICON, ICON_BIG));
    EXPECT_EQ(reinterpret_cast<LRESULT>(dlg->SmallIcon()),
              dlg->SendMessage(WM_GETICON, ICON_SMALL));
    EXPECT_EQ(reinterpret_cast<LRESULT>(dlg->SmallIcon()), dlg->SendMessage(WM_QUERYDRAGICON));

    struct {
        HICON icon;
        int cx, cy;
    } const sizes[] = {{dlg->Icon(), SM_CXICON, SM_CYICON},
                       {dlg->SmallIcon(), SM_CXSMICON, SM_CYSMICON}};
    for (const auto& s : sizes) {
        ICONINFO info = {};
        ASSERT_TRUE(::GetIconInfo(s.icon, &info));
        BITMAP bitmap = {};
        ::GetObjectA(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof(bitmap), &bitmap);
        EXPECT_EQ(::GetSystemMetrics(s.cx), bitmap.bmWidth);
        ::DeleteObject(info.hbmMask);
        if (info.hbmColor)
            ::DeleteObject(info.hbmColor);
    }

    HMENU menu = ::GetSystemMenu(dlg->m_hWnd, FALSE);
    ASSERT_NE(nullptr, menu);
    int count = ::GetMenuItemCount(menu);
    ASSERT_GE(count, 2);
    EXPECT_EQ(0u, ::GetMenuItemID(menu, count - 2)) << "no separator before the About entry";
    EXPECT_NE(0u, ::GetMenuState(menu, static_cast<UINT>(count - 2), MF_BYPOSITION) & MF_SEPARATOR);
    EXPECT_EQ(static_cast<UINT>(IDM_ABOUTBOX), ::GetMenuItemID(menu, count - 1));
    char text[64] = {};
    ::GetMenuStringA(menu, IDM_ABOUTBOX, text, sizeof(text), MF_BYCOMMAND);
    EXPECT_STREQ("&About Ravelin...", text);
}

TEST_F(RavelinDlgTest, WithoutACdDriveTheMessageShowsOnceAndRipStaysDisabled) {
    struct Case {
        const char* name;
        std::function<void(CScriptedRavelinPlatform&)> script;
    } const cases[] = {
        {"no CD/DVD drive",
         [](CScriptedRavelinPlatform& s) {
             s.drives = {{"C:\\", DRIVE_FIXED}, {"Z:\\", DRIVE_REMOTE}};
         }},
        {"no drive list", [](CScriptedRavelinPlatform& s) { s.failDriveStrings = true; }},
        {"a list longer than the buffer",
         [](CScriptedRavelinPlatform& s) { s.driveStringsAnswer = 200; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        system.failDriveStrings = false;
        system.driveStringsAnswer = 0;
        system.drives = {{"D:\\", DRIVE_CDROM}};
        c.script(system);
        boxes.boxes.clear();
        Open();
        ASSERT_EQ(1u, boxes.boxes.size());
        EXPECT_EQ(dlg->m_hWnd, boxes.boxes[0].hOwner);
        EXPECT_STREQ("No CD/DVD drive was detected.", boxes.boxes[0].text);
        EXPECT_STREQ("Ravelin", boxes.boxes[0].caption);
        EXPECT_EQ(static_cast<UINT>(MB_OK | MB_ICONHAND), boxes.boxes[0].type);
        EXPECT_TRUE(DriveEntries().empty());
        ExpectIdle(false);
        // A name can be typed, but with no drive there is nothing to rip.
        Type("disc.iso");
        EXPECT_EQ("disc.iso", Text(IDC_OUTPUT_NAME));
        EXPECT_FALSE(Enabled(IDC_RIP));
        EXPECT_EQ(0, drives.DrivesOpened()) << "a label was read with no drive selected";
        EXPECT_EQ(1u, boxes.boxes.size());
        dlg->DestroyWindow();
        dlg.reset();
    }
}

// ---------------------------------------------------------------------------------------------
// Rip needs a drive and a name

TEST_F(RavelinDlgTest, RipIsEnabledOnlyWithASelectedDriveAndAName) {
    Open();
    ASSERT_TRUE(PumpUntil([&] { return Text(IDC_OUTPUT_NAME) == "MYDISC.iso"; }, 5000));
    struct Step {
        const char* what;
        std::function<void()> act;
        bool ripEnabled;
    } const steps[] = {
        {"the whole name deleted", [&] { Type(""); }, false},
        {"one character typed", [&] { Type("x"); }, true},
        {"no drive selected", [&] { Select(-1); }, false},
        {"the drive selected again", [&] { Select(0); }, true},
        {"the name deleted again", [&] { Type(""); }, false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.act();
        EXPECT_EQ(step.ripEnabled, Enabled(IDC_RIP));
        ASSERT_TRUE(WaitForLabels());
    }
}

// ---------------------------------------------------------------------------------------------
// Labels

TEST_F(RavelinDlgTest, AnotherDrivesLabelReplacesATypedNameAndAnEmptyDriveLeavesIt) {
    system.drives = {{"D:\\", DRIVE_CDROM}, {"E:\\", DRIVE_CDROM}, {"F:\\", DRIVE_CDROM}};
    CScriptedDrives::Disc other;
    other.label = "OTHER";
    drives.Insert('E', other);
    CScriptedDrives::Disc empty;
    empty.present = false;
    drives.Insert('F', empty);
    Open();

    Type("mine.iso");
    Select(1);
    EXPECT_TRUE(PumpUntil([&] { return Text(IDC_OUTPUT_NAME) == "OTHER.iso"; }, 5000))
        << "the name is \"" << Text(IDC_OUTPUT_NAME) << "\"";

    Type("mine.iso");
    Select(2);
    ASSERT_TRUE(WaitForLabels());
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ("mine.iso", Text(IDC_OUTPUT_NAME));
    EXPECT_TRUE(Enabled(IDC_RIP));
}

TEST_F(RavelinDlgTest, ALabelForAnEarlierSelectionIsDropped) {
    system.drives = {{"D:\\", DRIVE_CDROM}, {"E:\\", DRIVE_CDROM}};
    CGate slowLabel;
    CScriptedDrives::Disc slow;
    slow.label = "STALE";
    slow.labelGate = slowLabel.Get();
    drives.Insert('D', slow);
    CScriptedDrives::Disc fast;
    fast.label = "FAST";
    drives.Insert('E', fast);

    dlg = std::make_unique<CRavelinProbe>(system, drives);
    ASSERT_TRUE(dlg->Create(IDD_RAVELIN_DIALOG));
    Select(1);
    ASSERT_TRUE(PumpUntil([&] { return Text(IDC_OUTPUT_NAME) == "FAST.iso"; }, 5000));
    EXPECT_EQ(1, system.LiveLabelThreads()) << "D:'s label should still be on its way";

    slowLabel.Open();
    ASSERT_TRUE(WaitForLabels());
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ("FAST.iso", Text(IDC_OUTPUT_NAME));
}

TEST_F(RavelinDlgTest, ALabelArrivingDuringACopyIsDropped) {
    CGate label;
    CGate copy;
    CScriptedDrives::Disc disc;
    disc.label = "LATE";
    disc.labelGate = label.Get();
    disc.readGate = copy.Get();
    disc.gateAt = 3;
    drives.Insert('D', disc);
    dlg = std::make_unique<CRavelinProbe>(system, drives);
    ASSERT_TRUE(dlg->Create(IDD_RAVELIN_DIALOG));
    Type("copy.iso");
    Click(IDC_RIP);
    ExpectCopying();

    label.Open();
    ASSERT_TRUE(WaitForLabels());
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ("copy.iso", Text(IDC_OUTPUT_NAME));

    copy.Open();
    ASSERT_TRUE(WaitForRipDone());
    EXPECT_EQ("copy.iso", Text(IDC_OUTPUT_NAME));
    EXPECT_EQ(drives.Expected('D', 40), drives.Image("copy.iso"));
}

// ---------------------------------------------------------------------------------------------
// The copy's states

TEST_F(RavelinDlgTest, ACopyDisablesInputShowsProgressAndReturnsToIdleWhenDone) {
    CGate gate;
    CScriptedDrives::Disc disc;
    disc.label = "MYDISC";
    disc.sectors = 30;
    disc.readGate = gate.Get();
    disc.gateAt = 10;
    drives.Insert('D', disc);
    Open();
    ASSERT_TRUE(PumpUntil([&] { return Text(IDC_OUTPUT_NAME) == "MYDISC.iso"; }, 5000));
    ExpectIdle(true);

    Click(IDC_RIP);
    ASSERT_NE(nullptr, dlg->RipThread());
    EXPECT_EQ(1, system.ripThreadsStarted);
    ExpectCopying();

    gate.Open();
    ASSERT_TRUE(WaitForRipDone()) << "WM_RIP_DONE was not handled";
    ExpectIdle(true);
    EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(dlg->AbortEvent(), 0));
    EXPECT_EQ(drives.Expected('D', 30), drives.Image("MYDISC.iso"));
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(RavelinDlgTest, AbortKeepsWhatWasCopiedAndANewRipRewritesTheFile) {
    drives.Insert('D', SlowDisc(600));
    Open();
    Type("disc.iso");
    Click(IDC_RIP);
    ASSERT_TRUE(PumpUntil([&] { return drives.SectorsWritten() >= 20; }, 10000));

    Click(IDC_RIP); // Abort: returns once the copy thread has ended
    EXPECT_EQ(0, system.LiveRipThreads());
    ExpectIdle(true);
    EXPECT_NE(nullptr, dlg->RipThread()) << "the handle goes only with WM_RIP_DONE";
    uint32_t copied = ExpectImageIsAPrefix("disc.iso", 'D');
    EXPECT_GE(copied, 20u);
    EXPECT_LT(copied, 600u);

    ASSERT_TRUE(WaitForRipDone());
    EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(dlg->AbortEvent(), 0))
        << "WM_RIP_DONE did not reset the abort event";

    Click(IDC_RIP);
    ExpectCopying();
    ASSERT_TRUE(WaitForRipDone());
    EXPECT_EQ(2, drives.ImagesCreated());
    EXPECT_EQ(drives.Expected('D', 600), drives.Image("disc.iso"));
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(RavelinDlgTest, AbortWithProgressInFlightReturnsPromptly) {
    CScriptedDrives::Disc disc = SlowDisc(100000, 0);
    disc.progressEverySector = true;
    drives.Insert('D', disc);
    Open();
    Type("disc.iso");
    Click(IDC_RIP);
    // Nothing is pumped here: the rip thread's next progress send waits for this thread.
    const DWORD start = ::GetTickCount();
    while (!drives.SendInFlight() && ::GetTickCount() - start < 10000) {
        MSG msg;
        if (drives.SectorsWritten() < 2) // sector 0's report goes through the bar first
            while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
                ::DispatchMessageA(&msg);
        ::Sleep(1);
    }
    ASSERT_TRUE(drives.SendInFlight()) << "the copy never sent progress";
    ::Sleep(50); // let the send settle in its wait for this thread
    ASSERT_TRUE(drives.SendInFlight());
    const int sendsBefore = drives.SendsCompleted();

    // Another program asks for the About box now: its request is handled inside the wait, and
    // the box must not open there (its modal loop would take the copy's end). Should it open,
    // it is closed again from here, so that the test reports it instead of hanging.
    HWND hDialog = dlg->m_hWnd;
    std::thread([hDialog] {
        ::SendNotifyMessageA(hDialog, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    }).join();
    std::atomic<bool> waiting{true}, aboutOpened{false};
    std::thread closer([&] {
        while (waiting) {
            if (HWND about = FindOwnWindow("About Ravelin")) {
                aboutOpened = true;
                ::PostMessageA(about, WM_COMMAND, IDOK, 0);
            }
            ::Sleep(5);
        }
    });

    Clock::time_point clicked = Clock::now();
    {
        CWatchdog watchdog(15000, "Abort with a progress send in flight returning");
        Click(IDC_RIP);
    }
    waiting = false;
    closer.join();
    EXPECT_FALSE(aboutOpened) << "the About box opened inside the wait for the copy";
    long long ms = MillisecondsSince(clicked);
    std::printf("Abort with a progress send in flight returned after %lld ms\n", ms);
    RecordProperty("AbortMilliseconds", static_cast<int>(ms));
    EXPECT_LT(ms, 2000);
    EXPECT_EQ(0, system.LiveRipThreads());
    EXPECT_GT(drives.SendsCompleted(), sendsBefore) << "the send in flight was not handled";
    ExpectIdle(true);

    ASSERT_TRUE(WaitForRipDone());
    uint32_t copied = ExpectImageIsAPrefix("disc.iso", 'D');
    EXPECT_GE(copied, 1u);
    EXPECT_LT(copied, 100000u);
}

TEST_F(RavelinDlgTest, ProgressReaches0_40And80For2500Sectors) {
    CScriptedDrives::Disc disc;
    disc.label = "BIG";
    disc.sectors = 2500;
    drives.Insert('D', disc);
    Open();
    ASSERT_TRUE(PumpUntil([&] { return Text(IDC_OUTPUT_NAME) == "BIG.iso"; }, 5000));
    Click(IDC_RIP);
    ASSERT_TRUE(WaitForRipDone());
    EXPECT_EQ((std::vector<uint32_t>{0, 40, 80}), drives.Progress());
    EXPECT_EQ(80, ::SendMessageA(Item(IDC_PROGRESS), PBM_GETPOS, 0, 0));
    EXPECT_EQ(drives.Expected('D', 2500), drives.Image("BIG.iso"));
    // The label and rip threads asked to fail critical errors themselves.
    EXPECT_GE(drives.DrivesOpened(), 2);
    EXPECT_EQ(0, drives.OpensWithSystemBoxes());
}

// The system's text for `error`, as the message shows it: without its closing line break.
std::string SystemText(DWORD error) {
    char text[512] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof(text), nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n'))
        text[--length] = '\0';
    return text;
}

TEST_F(RavelinDlgTest, CopyFailuresAreToldForABadNameAnIncompleteImageOrAFailedRead) {
    const std::string readFailed27 =
        "The disc could not be read at sector 7 of 40 (error 27):\r\n" + SystemText(27) +
        "\r\nThe copy stopped there: the image file holds the 7 sectors before it.";
    const std::string readFailed23 =
        "The disc could not be read at sector 0 of 40 (error 23):\r\n" + SystemText(23) +
        "\r\nThe copy stopped there: the image file holds the 0 sectors before it.";
    struct Case {
        const char* what;
        const char* name;
        bool discPresent;
        bool audio; // the disc is an audio CD: a table of contents without a data track
        int64_t failWriteAt, shortWriteAt, throwAt, failReadAt;
        uint32_t readError;
        const char* message; // null: none
    } const cases[] = {
        {"a name the path rules reject", "bad|name.iso", true, false, -1, -1, -1, -1, 0,
         "The output file name is not valid."},
        {"a failed image write", "disc.iso", true, false, 5, -1, -1, -1, 0,
         "The image file could not be written completely."},
        {"a short image write", "disc.iso", true, false, -1, 5, -1, -1, 0,
         "The image file could not be written completely."},
        {"a sector not found", "disc.iso", true, false, -1, -1, -1, 7, 27, readFailed27.c_str()},
        {"a damaged first sector", "disc.iso", true, false, -1, -1, -1, 0, 23,
         readFailed23.c_str()},
        {"no disc in the drive", "disc.iso", false, false, -1, -1, -1, -1, 0, nullptr},
        {"a drive that fails under the copy", "disc.iso", true, false, -1, -1, 7, -1, 0, nullptr},
        {"a whole copy", "disc.iso", true, false, -1, -1, -1, -1, 0, nullptr},
        {"an audio CD", "audio.iso", true, true, -1, -1, -1, -1, 0,
         "The disc in drive D: has no data track (an audio CD?): nothing was copied."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        drives.failWriteAt = c.failWriteAt;
        drives.shortWriteAt = c.shortWriteAt;
        CScriptedDrives::Disc disc;
        disc.present = c.discPresent;
        disc.audio = c.audio;
        disc.throwAt = c.throwAt;
        disc.failAt = c.failReadAt;
        disc.failError = c.readError;
        drives.Insert('D', disc);
        boxes.boxes.clear();
        Open();
        Type(c.name);
        Click(IDC_RIP);
        ASSERT_TRUE(WaitForRipDone()) << "WM_RIP_DONE was not handled";
        ExpectIdle(true);
        if (c.message) {
            ASSERT_EQ(1u, boxes.boxes.size());
            EXPECT_STREQ(c.message, boxes.boxes[0].text);
            EXPECT_STREQ("Ravelin", boxes.boxes[0].caption);
            EXPECT_EQ(static_cast<UINT>(MB_OK | MB_ICONHAND), boxes.boxes[0].type);
            EXPECT_EQ(dlg->m_hWnd, boxes.boxes[0].hOwner);
        } else {
            EXPECT_TRUE(boxes.boxes.empty());
        }
        EXPECT_FALSE(drives.HasImage("bad|name.iso"));
        EXPECT_FALSE(drives.HasImage("audio.iso"));
        if (c.failReadAt >= 0) {
            EXPECT_EQ(drives.Expected('D', static_cast<uint32_t>(c.failReadAt)),
                      drives.Image("disc.iso"));
        }
        dlg->DestroyWindow();
        dlg.reset();
        ASSERT_TRUE(system.WaitForThreads(10000));
    }
}

TEST_F(RavelinDlgTest, ACopyThreadThatCannotStartLeavesTheDialogIdle) {
    Open();
    ASSERT_TRUE(PumpUntil([&] { return Text(IDC_OUTPUT_NAME) == "MYDISC.iso"; }, 5000));
    system.failThreads = true;
    Click(IDC_RIP);
    EXPECT_EQ(nullptr, dlg->RipThread());
    ExpectIdle(true);
    EXPECT_EQ(0, drives.ImagesCreated());
    // A new selection's label thread cannot start either: the name stays.
    Type("kept.iso");
    Select(0);
    EXPECT_EQ("kept.iso", Text(IDC_OUTPUT_NAME));
}

TEST_F(RavelinDlgTest, WithoutAnAbortEventAbortOnlyRefreshesAndTheCopyRunsToItsEnd) {
    system.failEvent = true;
    drives.Insert('D', SlowDisc(1000));
    Open();
    ASSERT_EQ(nullptr, dlg->AbortEvent());
    Type("disc.iso");
    Click(IDC_RIP);
    ASSERT_TRUE(PumpUntil([&] { return drives.SectorsWritten() >= 5; }, 10000));
    Click(IDC_RIP);
    ExpectCopying();
    ASSERT_TRUE(WaitForRipDone());
    EXPECT_EQ(drives.Expected('D', 1000), drives.Image("disc.iso"));
}

TEST_F(RavelinDlgTest, BusyCursorOnlyOverTheBackgroundWhileCopying) {
    CGate gate;
    CScriptedDrives::Disc disc;
    disc.readGate = gate.Get();
    disc.gateAt = 2;
    drives.Insert('D', disc);
    Open();
    Type("disc.iso");
    const HCURSOR arrow = ::LoadCursor(nullptr, IDC_ARROW);
    const HCURSOR busy = ::LoadCursor(nullptr, IDC_APPSTARTING);
    auto setCursor = [&](HWND over, WORD hitTest) {
        ::SetCursor(arrow);
        LRESULT handled = dlg->SendMessage(WM_SETCURSOR, reinterpret_cast<WPARAM>(over),
                                           MAKELPARAM(hitTest, WM_MOUSEMOVE));
        return handled && ::GetCursor() == busy;
    };

    EXPECT_FALSE(setCursor(dlg->m_hWnd, HTCLIENT)) << "busy while idle";
    Click(IDC_RIP);
    EXPECT_TRUE(setCursor(dlg->m_hWnd, HTCLIENT)) << "not busy over the background";
    EXPECT_FALSE(setCursor(Item(IDC_OUTPUT_NAME), HTCLIENT)) << "busy over a control";
    EXPECT_FALSE(setCursor(Item(IDC_RIP), HTCLIENT)) << "busy over a control";
    EXPECT_FALSE(setCursor(dlg->m_hWnd, HTCAPTION)) << "busy over the caption";
    gate.Open();
    ASSERT_TRUE(WaitForRipDone());
    EXPECT_FALSE(setCursor(dlg->m_hWnd, HTCLIENT)) << "busy after the copy";
}

// ---------------------------------------------------------------------------------------------
// System menu and painting

struct AboutWatch {
    int found = 0;
    static AboutWatch* current;
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        HWND box = FindOwnWindow("About Ravelin");
        if (box && ::IsWindowVisible(box)) {
            ++current->found;
            ::PostMessageA(box, WM_COMMAND, IDOK, 0);
        }
    }
};
AboutWatch* AboutWatch::current = nullptr;

TEST_F(RavelinDlgTest, SystemCommands0x10To0x1FOpenTheAboutBoxAnd0x20DoesNot) {
    Open();
    AboutWatch watch;
    AboutWatch::current = &watch;
    UINT_PTR timer = ::SetTimer(nullptr, 0, 20, &AboutWatch::Tick);
    ASSERT_NE(0u, timer);
    for (UINT command = 0x0010; command <= 0x0020; ++command) {
        SCOPED_TRACE(command);
        watch.found = 0;
        CWatchdog watchdog(20000, "the About box closing");
        dlg->SendMessage(WM_SYSCOMMAND, command, 0);
        EXPECT_EQ(command < 0x0020 ? 1 : 0, watch.found);
    }
    ::KillTimer(nullptr, timer);
    AboutWatch::current = nullptr;
}

TEST_F(RavelinDlgTest, AMinimisedDialogPaintsItsIcon) {
    Open();
    dlg->ShowWindow(SW_MINIMIZE);
    if (!dlg->IsIconic())
        GTEST_SKIP() << "this display does not minimise windows";
    // A minimised window is seldom asked to paint nowadays: ask it directly.
    dlg->m_nIconErases = 0;
    dlg->SendMessage(WM_PAINT);
    EXPECT_EQ(1, dlg->m_nIconErases);
    dlg->ShowWindow(SW_RESTORE);
    ASSERT_FALSE(dlg->IsIconic());
    dlg->m_nIconErases = 0;
    ::RedrawWindow(dlg->m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    dlg->SendMessage(WM_PAINT);
    EXPECT_EQ(0, dlg->m_nIconErases);
}

// ---------------------------------------------------------------------------------------------
// The dialog run modally, as the program runs it

std::function<void()> g_modalTick;

void CALLBACK ModalTick(HWND, UINT, UINT_PTR, DWORD) {
    if (g_modalTick)
        g_modalTick();
}

// Runs `script` on every tick of a 20 ms timer while the dialog runs modally.
INT_PTR RunModal(CRavelinProbe& dialog, std::function<void(CRavelinProbe&)> script) {
    g_modalTick = [&] {
        if (dialog.m_hWnd)
            script(dialog);
    };
    UINT_PTR timer = ::SetTimer(nullptr, 0, 20, &ModalTick);
    INT_PTR result = dialog.DoModal();
    ::KillTimer(nullptr, timer);
    g_modalTick = nullptr;
    return result;
}

TEST_F(RavelinDlgTest, EnterDoesNothingAndCloseEndsWithOk) {
    dlg = std::make_unique<CRavelinProbe>(system, drives);
    int step = 0;
    bool openAfterEnter = false;
    CWatchdog watchdog(30000, "the modal dialog ending");
    INT_PTR result = RunModal(*dlg, [&](CRavelinProbe& d) {
        HWND edit = ::GetDlgItem(d.m_hWnd, IDC_OUTPUT_NAME);
        HWND list = ::GetDlgItem(d.m_hWnd, IDC_DRIVE_LIST);
        switch (step++) {
        case 0:
            ::SetFocus(edit);
            ::PostMessageA(edit, WM_KEYDOWN, VK_RETURN, 0);
            break;
        case 1:
            ::SetFocus(list);
            ::PostMessageA(list, WM_KEYDOWN, VK_RETURN, 0);
            break;
        case 5:
            openAfterEnter = ::IsWindowVisible(d.m_hWnd) != FALSE;
            ::PostMessageA(d.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_CLOSE, BN_CLICKED),
                           reinterpret_cast<LPARAM>(::GetDlgItem(d.m_hWnd, IDC_CLOSE)));
            break;
        default:
            break;
        }
    });
    EXPECT_TRUE(openAfterEnter) << "Enter closed the dialog";
    EXPECT_EQ(IDOK, result);
    EXPECT_EQ(0, system.ripThreadsStarted) << "Enter started a copy";
}

TEST_F(RavelinDlgTest, EscDuringACopyStopsItAndTheImageKeepsWhatWasWritten) {
    drives.Insert('D', SlowDisc(100000, 1));
    dlg = std::make_unique<CRavelinProbe>(system, drives);
    int step = 0;
    CWatchdog watchdog(30000, "the dialog ending on Esc");
    INT_PTR result = RunModal(*dlg, [&](CRavelinProbe& d) {
        // The name is typed once the label's has arrived, which would otherwise replace it.
        if (step == 0 && Text(IDC_OUTPUT_NAME) == "SLOW.iso") {
            ::SetWindowTextA(::GetDlgItem(d.m_hWnd, IDC_OUTPUT_NAME), "esc.iso");
            ::PostMessageA(d.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_RIP, BN_CLICKED),
                           reinterpret_cast<LPARAM>(::GetDlgItem(d.m_hWnd, IDC_RIP)));
            step = 1;
        } else if (step == 1 && drives.SectorsWritten() >= 30) {
            ::PostMessageA(d.m_hWnd, WM_KEYDOWN, VK_ESCAPE, 0);
            step = 2;
        }
    });
    EXPECT_EQ(IDCANCEL, result);
    EXPECT_EQ(1, system.LiveRipThreads()) << "the copy should run until the dialog is destroyed";
    Clock::time_point start = Clock::now();
    dlg.reset();
    long long ms = MillisecondsSince(start);
    EXPECT_LT(ms, 5000) << "closing waited for a copy that had been told to stop";
    EXPECT_EQ(0, system.LiveRipThreads());
    uint32_t copied = ExpectImageIsAPrefix("esc.iso", 'D');
    EXPECT_GE(copied, 30u);
    EXPECT_LT(copied, 100000u);
}

TEST_F(RavelinDlgTest, ClosingWaitsTenSecondsForAStuckCopyAndLeavesItItsHandles) {
    CGate stuck;
    CScriptedDrives::Disc disc;
    disc.sectors = 50;
    disc.readGate = stuck.Get();
    disc.gateAt = 5;
    drives.Insert('D', disc);
    dlg = std::make_unique<CRavelinProbe>(system, drives);
    int step = 0;
    HANDLE thread = nullptr;
    HANDLE event = nullptr;
    CWatchdog watchdog(60000, "the dialog ending with a stuck copy");
    INT_PTR result = RunModal(*dlg, [&](CRavelinProbe& d) {
        if (step == 0) {
            ::SetWindowTextA(::GetDlgItem(d.m_hWnd, IDC_OUTPUT_NAME), "stuck.iso");
            ::PostMessageA(d.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_RIP, BN_CLICKED),
                           reinterpret_cast<LPARAM>(::GetDlgItem(d.m_hWnd, IDC_RIP)));
            step = 1;
        } else if (step == 1 && drives.SectorsWritten() >= 5) {
            thread = d.RipThread();
            event = d.AbortEvent();
            ::PostMessageA(d.m_hWnd, WM_KEYDOWN, VK_ESCAPE, 0);
            step = 2;
        }
    });
    EXPECT_EQ(IDCANCEL, result);
    ASSERT_NE(nullptr, thread);
    ASSERT_NE(nullptr, event);

    Clock::time_point start = Clock::now();
    dlg.reset();
    long long ms = MillisecondsSince(start);
    EXPECT_GE(ms, 9500) << "closing did not wait for the copy";
    EXPECT_LT(ms, 13000) << "closing waited longer than 10 s";

    // The thread still runs and still has its event: neither handle was closed.
    EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(thread, 0));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(event, 0));
    stuck.Open();
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread, 10000)) << "the copy did not stop";
    ::CloseHandle(thread);
    ::CloseHandle(event);
    uint32_t copied = ExpectImageIsAPrefix("stuck.iso", 'D');
    EXPECT_GE(copied, 5u);
    EXPECT_LT(copied, 50u);
}

} // namespace
