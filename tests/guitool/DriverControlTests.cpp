// The driver service dialog against a recording Service Control Manager: every row of the
// state table, the exact calls behind each button, every failure the manager can answer, and
// the release of both handles on every way out.

#include "DialogTestSupport.h"
#include "DriverControl.h"
#include "RecordingServiceManager.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <memory>

namespace {

const std::wstring kNotInstalled = L"Virtual CDROM driver is not installed";
const std::wstring kDriverFile = L"C:\\drivers\\kelmor.sys";
const std::wstring kInstalledText = L" Virtual CD-ROM Device Driver : (C:\\drivers\\kelmor.sys)";

struct Row {
    bool install, remove, start, stop;
};

std::string Describe(const Row& row) {
    return std::string("install ") + (row.install ? "on" : "off") + ", remove " +
           (row.remove ? "on" : "off") + ", start " + (row.start ? "on" : "off") + ", stop " +
           (row.stop ? "on" : "off");
}

class DriverControlTest : public ::testing::Test {
protected:
    void Open() {
        dlg = std::make_unique<CDriverControl>(nullptr, scm);
        ASSERT_TRUE(dlg->Create(CDriverControl::IDD));
    }
    void TearDown() override {
        if (dlg && dlg->m_hWnd)
            dlg->DestroyWindow();
        dlg.reset();
        EXPECT_EQ(0, scm.OpenHandles()) << "a service handle was left open";
    }

    Row Buttons() const {
        HWND h = dlg->m_hWnd;
        return {ItemEnabled(h, IDC_INSTALL_DRIVER), ItemEnabled(h, IDC_REMOVE_DRIVER),
                ItemEnabled(h, IDC_START), ItemEnabled(h, IDC_STOP)};
    }
    void ExpectRow(const Row& want, const std::wstring& status) {
        EXPECT_EQ(Describe(want), Describe(Buttons()));
        EXPECT_EQ(status, ItemText(dlg->m_hWnd, IDC_SERVICE_STATUS));
    }
    void Press(int id) { Click(dlg->m_hWnd, id); }

    CRecordingServiceManager scm;
    CBoxRecorder boxes;
    CFileChooser files;
    std::unique_ptr<CDriverControl> dlg;
};

TEST_F(DriverControlTest, ButtonsWalkThroughTheStateTable) {
    Open();
    ExpectRow({true, false, false, false}, kNotInstalled);
    ASSERT_EQ(2u, scm.calls.size());
    EXPECT_EQ(L"<null>", scm.calls[0].text1);
    EXPECT_EQ(L"ServicesActive", scm.calls[0].text2);
    EXPECT_EQ(0xF003Fu, scm.calls[0].access);
    EXPECT_EQ(L"kelmor", scm.calls[1].text1);
    EXPECT_EQ(0xF01FFu, scm.calls[1].access);

    files.answers.push_back(kDriverFile);
    Press(IDC_INSTALL_DRIVER);
    ExpectRow({false, true, true, false}, kInstalledText);
    ASSERT_EQ(1u, files.requests.size());
    EXPECT_TRUE(files.requests[0].bOpenFileDialog);
    EXPECT_TRUE(files.requests[0].defaultExt.IsEmpty());
    EXPECT_TRUE(files.requests[0].fileName.IsEmpty());
    EXPECT_EQ(static_cast<DWORD>(OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT), files.requests[0].flags);
    EXPECT_STREQ(L"Virtual CDROM Driver|kelmor.sys|All Files(*.*)|*.*||", files.requests[0].filter);
    EXPECT_EQ(dlg->m_hWnd, files.requests[0].hOwner);

    Press(IDC_START);
    ExpectRow({false, true, false, true}, kInstalledText);
    Press(IDC_STOP);
    ExpectRow({false, true, true, false}, kInstalledText);
    Press(IDC_START);
    Press(IDC_REMOVE_DRIVER);
    ExpectRow({true, false, false, false}, kNotInstalled);
    EXPECT_FALSE(scm.serviceExists);
    EXPECT_TRUE(boxes.boxes.empty()) << "unexpected message box";
}

TEST_F(DriverControlTest, InstallCreatesTheServiceAsAFileSystemDriverStartedBySystem) {
    Open();
    files.answers.push_back(kDriverFile);
    Press(IDC_INSTALL_DRIVER);

    const auto creates = scm.CallsOf("CreateServiceW");
    ASSERT_EQ(1u, creates.size());
    const auto& create = creates[0];
    EXPECT_EQ(L"kelmor", create.text1);
    EXPECT_EQ(L"Virtual CD-ROM Device Driver", create.text2);
    EXPECT_EQ(static_cast<DWORD>(STANDARD_RIGHTS_REQUIRED), create.access);
    EXPECT_EQ(2u, create.serviceType);
    EXPECT_EQ(1u, create.startType);
    EXPECT_EQ(0u, create.errorControl);
    EXPECT_EQ(kDriverFile, create.binaryPath);
    EXPECT_TRUE(create.noExtras);
    // The created handle is closed and the service opened again with every right.
    const std::vector<std::string> all = scm.Requests();
    const std::vector<std::string> after(all.begin() + 2, all.end());
    const std::vector<std::string> want = {"CreateServiceW", "CloseServiceHandle", "OpenServiceW",
                                           "QueryServiceConfigW", "QueryServiceConfigW"};
    EXPECT_EQ(want, after);
    EXPECT_EQ(create.handle, scm.CallsOf("CloseServiceHandle")[0].handle);
    EXPECT_EQ(0xF01FFu, scm.CallsOf("OpenServiceW").back().access);
    EXPECT_EQ(dlg->m_hService, scm.CallsOf("OpenServiceW").back().handle);
}

TEST_F(DriverControlTest, PendingStateDisablesStartAndStop) {
    scm.serviceExists = true;
    scm.stateAfterStart = SERVICE_START_PENDING;
    Open();
    Press(IDC_START);
    ExpectRow({false, true, false, false}, kInstalledText);
}

TEST_F(DriverControlTest, AnInterrogationThatFillsNothingEnablesNeitherStartNorStop) {
    scm.serviceExists = true;
    scm.interrogationFillsStatus = false;
    Open();
    ExpectRow({false, true, false, false}, kInstalledText);
}

TEST_F(DriverControlTest, ServiceThatExistsAtOpeningShowsItsNameAndFile) {
    scm.serviceExists = true;
    scm.serviceState = SERVICE_RUNNING;
    scm.binaryPath = L"\\SystemRoot\\System32\\drivers\\kelmor.sys";
    Open();
    ExpectRow({false, true, false, true},
              L" Virtual CD-ROM Device Driver : (\\SystemRoot\\System32\\drivers\\kelmor.sys)");
    // The sizing call offers no buffer; the second offers exactly what the first asked for.
    const auto queries = scm.CallsOf("QueryServiceConfigW");
    ASSERT_EQ(2u, queries.size());
    EXPECT_EQ(0u, queries[0].bufferSize);
    EXPECT_GE(queries[1].bufferSize, static_cast<DWORD>(sizeof(QUERY_SERVICE_CONFIGW)));
}

TEST_F(DriverControlTest, StartOnARunningServiceAndStopOnAStoppedOneSendNothing) {
    scm.serviceExists = true;
    scm.serviceState = SERVICE_RUNNING;
    Open();
    Press(IDC_START);
    EXPECT_TRUE(scm.CallsOf("StartServiceW").empty());

    scm.serviceState = SERVICE_STOPPED;
    Press(IDC_STOP);
    for (const auto& call : scm.CallsOf("ControlService"))
        EXPECT_EQ(static_cast<DWORD>(SERVICE_CONTROL_INTERROGATE), call.control);
    ExpectRow({false, true, true, false}, kInstalledText);
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(DriverControlTest, StartSendsNoArguments) {
    scm.serviceExists = true;
    Open();
    Press(IDC_START);
    const auto starts = scm.CallsOf("StartServiceW");
    ASSERT_EQ(1u, starts.size());
    EXPECT_EQ(0u, starts[0].argumentCount);
    EXPECT_TRUE(starts[0].argumentsNull);
    EXPECT_EQ(dlg->m_hService, starts[0].handle);
}

TEST_F(DriverControlTest, RemoveOfARunningServiceStopsItThenDeletesIt) {
    scm.serviceExists = true;
    scm.serviceState = SERVICE_RUNNING;
    Open();
    SC_HANDLE service = dlg->m_hService;
    const size_t before = scm.Requests().size();
    Press(IDC_REMOVE_DRIVER);
    const std::vector<std::string> all = scm.Requests();
    const std::vector<std::string> requests(all.begin() + static_cast<long>(before), all.end());
    const std::vector<std::string> want = {"ControlService", "QueryServiceConfigW",
                                           "QueryServiceConfigW", "DeleteService",
                                           "CloseServiceHandle"};
    EXPECT_EQ(want, requests);
    EXPECT_EQ(service, scm.CallsOf("CloseServiceHandle").back().handle);
    EXPECT_EQ(nullptr, dlg->m_hService);
    ExpectRow({true, false, false, false}, kNotInstalled);
}

TEST_F(DriverControlTest, CancelledFileDialogChangesNothingButRefreshes) {
    Open();
    ::SetDlgItemTextW(dlg->m_hWnd, IDC_SERVICE_STATUS, L"stale");
    files.answers.push_back(L"");
    Press(IDC_INSTALL_DRIVER);
    EXPECT_TRUE(scm.CallsOf("CreateServiceW").empty());
    ExpectRow({true, false, false, false}, kNotInstalled);
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(DriverControlTest, InstallWhileTheServiceIsHeldSaysSoAndCreatesNothing) {
    scm.serviceExists = true;
    Open();
    files.answers.push_back(kDriverFile);
    Press(IDC_INSTALL_DRIVER);
    EXPECT_EQ(std::vector<std::wstring>{L"Virtual CD-ROM Driver is already installed"},
              boxes.Texts());
    EXPECT_TRUE(scm.CallsOf("CreateServiceW").empty());
}

TEST_F(DriverControlTest, ManagerThatCannotBeOpenedLeavesBothHandlesNull) {
    scm.openManagerError = ERROR_ACCESS_DENIED;
    Open();
    ASSERT_EQ(1u, boxes.boxes.size());
    EXPECT_EQ(std::wstring(L"Cannot Open SCM : ") +
                  static_cast<LPCWSTR>(GetSystemErrorText(ERROR_ACCESS_DENIED)),
              boxes.Texts()[0]);
    EXPECT_EQ(static_cast<UINT>(MB_OK), boxes.boxes[0].type);
    EXPECT_EQ(nullptr, dlg->m_hSCManager);
    EXPECT_EQ(nullptr, dlg->m_hService);
    // The dialog opens with the template's buttons and no status.
    ExpectRow({true, true, true, true}, L"");

    Press(IDC_REMOVE_DRIVER);
    ASSERT_EQ(2u, boxes.boxes.size());
    EXPECT_EQ(L"Virtual CD-ROM Driver is not present", boxes.Texts()[1]);
    ExpectRow({true, false, false, false}, kNotInstalled);

    const size_t calls = scm.calls.size();
    Press(IDC_START);
    Press(IDC_STOP);
    EXPECT_EQ(calls, scm.calls.size()) << "Start or Stop reached the manager";
    EXPECT_EQ(2u, boxes.boxes.size());
    ExpectRow({true, false, false, false}, kNotInstalled);

    // Install ends in the system's text for the failed creation.
    files.answers.push_back(kDriverFile);
    Press(IDC_INSTALL_DRIVER);
    ASSERT_EQ(3u, boxes.boxes.size());
    EXPECT_EQ(static_cast<LPCWSTR>(GetSystemErrorText(ERROR_INVALID_HANDLE)), boxes.Texts()[2]);
}

// A service call that fails shows the system's text for its error and keeps the state.
struct FailureCase {
    const char* name;
    DWORD CRecordingServiceManager::*error;
    DWORD initialState;
    int button;
    Row row;
};

TEST_F(DriverControlTest, FailingServiceCallsShowTheSystemTextAndKeepTheState) {
    const FailureCase cases[] = {
        {"start",
         &CRecordingServiceManager::startError,
         SERVICE_STOPPED,
         IDC_START,
         {false, true, true, false}},
        {"stop",
         &CRecordingServiceManager::stopError,
         SERVICE_RUNNING,
         IDC_STOP,
         {false, true, false, true}},
        {"delete",
         &CRecordingServiceManager::deleteError,
         SERVICE_STOPPED,
         IDC_REMOVE_DRIVER,
         {false, true, true, false}},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        scm = CRecordingServiceManager();
        boxes.boxes.clear();
        scm.serviceExists = true;
        scm.serviceState = c.initialState;
        scm.*c.error = ERROR_ACCESS_DENIED;
        Open();
        Press(c.button);
        EXPECT_EQ(std::vector<std::wstring>{static_cast<LPCWSTR>(
                      GetSystemErrorText(ERROR_ACCESS_DENIED))},
                  boxes.Texts());
        EXPECT_NE(nullptr, dlg->m_hService);
        ExpectRow(c.row, kInstalledText);
        dlg->DestroyWindow();
        dlg.reset();
        EXPECT_EQ(0, scm.OpenHandles());
    }
}

TEST_F(DriverControlTest, FailingCreationShowsTheSystemTextAndStaysNotInstalled) {
    scm.createError = ERROR_DUPLICATE_SERVICE_NAME;
    Open();
    files.answers.push_back(kDriverFile);
    Press(IDC_INSTALL_DRIVER);
    EXPECT_EQ(std::vector<std::wstring>{static_cast<LPCWSTR>(
                  GetSystemErrorText(ERROR_DUPLICATE_SERVICE_NAME))},
              boxes.Texts());
    EXPECT_EQ(nullptr, dlg->m_hService);
    ExpectRow({true, false, false, false}, kNotInstalled);
}

TEST_F(DriverControlTest, FailingReopeningAfterCreationShowsTheSystemText) {
    Open();
    scm.openServiceError = ERROR_ACCESS_DENIED;
    files.answers.push_back(kDriverFile);
    Press(IDC_INSTALL_DRIVER);
    EXPECT_EQ(
        std::vector<std::wstring>{static_cast<LPCWSTR>(GetSystemErrorText(ERROR_ACCESS_DENIED))},
        boxes.Texts());
    ExpectRow({true, false, false, false}, kNotInstalled);
}

TEST_F(DriverControlTest, UnreadableConfigurationShowsItsStatusWhileButtonsFollowTheState) {
    scm.serviceExists = true;
    scm.serviceState = SERVICE_RUNNING;
    scm.queryConfigError = ERROR_ACCESS_DENIED;
    Open();
    ExpectRow({false, true, false, true}, L"Could not get service information");
    EXPECT_EQ(1u, scm.CallsOf("QueryServiceConfigW").size());
    EXPECT_TRUE(boxes.boxes.empty());
}

// The three ways out of the modal dialog: the close box passes through OnClose, which lets both
// handles go at once; OK and Esc leave them to the destructor.
TEST(DriverControlModalTest, EveryWayOutReleasesBothHandles) {
    struct Exit {
        const char* name;
        UINT message;
        WPARAM wParam;
        INT_PTR result;
        bool releasedBeforeDestruction;
    };
    const Exit exits[] = {
        {"OK", WM_COMMAND, IDOK, IDOK, false},
        {"Esc", WM_KEYDOWN, VK_ESCAPE, IDCANCEL, false},
        {"close box", WM_SYSCOMMAND, SC_CLOSE, IDCANCEL, true},
    };
    for (const Exit& exit : exits) {
        SCOPED_TRACE(exit.name);
        CRecordingServiceManager scm;
        scm.serviceExists = true;
        CDialogScript script(L"Virtual CD-ROM Driver Control", [&exit](HWND dialog) {
            ::PostMessageW(dialog, exit.message, exit.wParam, 0);
        });
        int openAfterModal = -1;
        {
            CDriverControl dlg(nullptr, scm);
            EXPECT_EQ(exit.result, dlg.DoModal());
            openAfterModal = scm.OpenHandles();
        }
        EXPECT_EQ(1, script.Runs());
        EXPECT_EQ(exit.releasedBeforeDestruction ? 0 : 2, openAfterModal);
        EXPECT_EQ(0, scm.OpenHandles());
    }
}

TEST(SystemErrorTextTest, GivesTheSystemsTextOrAnUnknownErrorLine) {
    const CString denied = GetSystemErrorText(ERROR_ACCESS_DENIED);
    EXPECT_GT(denied.GetLength(), 0);
    EXPECT_EQ(-1, denied.Find(L"Unknown error"));

    // (DWORD)-1 stands for the thread's last error.
    ::SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_STREQ(GetSystemErrorText(ERROR_SERVICE_DOES_NOT_EXIST), GetSystemErrorText());

    EXPECT_STREQ(L"Unknown error 3735928559 (0xDEADBEEF)", GetSystemErrorText(0xDEADBEEF));
}

// A system message with %1-style inserts comes out with its inserts as they stand: without
// arguments it cannot be expanded, and it must not end up as "Unknown error".
TEST(SystemErrorTextTest, KeepsTheInsertsOfAMessageThatHasThem) {
    DWORD code = 0;
    std::wstring withInserts;
    for (DWORD candidate = 1; candidate < 1000 && withInserts.empty(); ++candidate) {
        LPWSTR buffer = nullptr;
        if (::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, candidate, 0, reinterpret_cast<LPWSTR>(&buffer), 0,
                             nullptr) != 0 &&
            std::wcsstr(buffer, L"%1") != nullptr) {
            code = candidate;
            withInserts = buffer;
        }
        if (buffer != nullptr)
            ::LocalFree(buffer);
    }
    if (withInserts.empty())
        GTEST_SKIP() << "no system message below 1000 has an insert";
    EXPECT_EQ(withInserts, static_cast<LPCWSTR>(GetSystemErrorText(code))) << code;
}

} // namespace
