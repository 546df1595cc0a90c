// The main dialog on its own template against a scripted driver and scripted volumes: the rows
// and their texts, selection across refreshes, column widths, every drive operation with its
// message, the whole mount with its file and options dialogs, the driver service dialog, the
// geometry panel and the idle update of the drive buttons.

#include "DialogTestSupport.h"
#include "RecordingRegistry.h"
#include "RecordingServiceManager.h"
#include "ScriptedDriver.h"
#include "TolvaneDlg.h"
#include "OwnWindow.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

const std::wstring kPrefix = L"No Image Mounted. Last one was - ";
const std::wstring kFilter =
    L"All Supported Images(*.udf; *.cdfs; *.jo; *.iso; *.rock)|*.udf; *.cdfs; *.jo; *.iso; "
    L"*.rock|CDFS Images (*.cdfs)|*.cdfs|Joliet Images (*.jo)|*.jo|Rock Ridge Images "
    L"(*.rock)|*.rock| UDF Images (*.udf)|*.udf|All Files (*.*)|*.*||";
const int kDriveButtons[] = {IDC_REMOVE_DRIVE, IDC_MOUNT, IDC_EJECT, IDC_REMOUNT};

struct RowText {
    std::wstring drive, image;
    bool operator==(const RowText& other) const {
        return drive == other.drive && image == other.image;
    }
};

std::ostream& operator<<(std::ostream& out, const RowText& row) {
    return out << "[" << std::string(row.drive.begin(), row.drive.end()) << " | "
               << std::string(row.image.begin(), row.image.end()) << "]";
}

std::wstring ListText(HWND list, int row, int column) {
    wchar_t text[600] = {};
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = 600;
    ::SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                   reinterpret_cast<LPARAM>(&item));
    return text;
}

// Records what the dialog announces to the desktop, instead of broadcasting it.
struct CRecordingAnnouncer : IDriveAnnouncer {
    void Announce(WCHAR letter, DriveChange change) override {
        announced.emplace_back(letter, change);
    }
    std::vector<std::pair<WCHAR, DriveChange>> announced;
};
using Announced = std::vector<std::pair<WCHAR, DriveChange>>;

class TolvaneDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        driver.drives = {{L'F', L"C:\\images\\first.iso", true},
                         {L'E', L"", false},
                         {L'Q', L"D:\\old\\ejected.iso", false},
                         {L'G', L"C:\\images\\hidden.iso", true, true}};
        volumes.volumes[L"F:\\"] = {4, 2048, 100, 1000};
        volumes.volumes[L"E:\\"] = {1, 512, 7, 9};
    }
    void TearDown() override { Close(); }

    void Open() {
        announcer.announced.clear();
        dlg =
            std::make_unique<CTolvaneDlg>(nullptr, driver, volumes, services, registry, announcer);
        ASSERT_TRUE(dlg->Create(CTolvaneDlg::IDD));
        list = ::GetDlgItem(dlg->m_hWnd, IDC_DRIVE_LIST);
    }
    void Close() {
        if (dlg && dlg->m_hWnd)
            dlg->DestroyWindow();
        dlg.reset();
    }

    std::vector<RowText> Rows() const {
        std::vector<RowText> rows;
        const int count = static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
        for (int row = 0; row < count; ++row)
            rows.push_back({ListText(list, row, 0), ListText(list, row, 1)});
        return rows;
    }
    std::vector<int> Selected() const {
        std::vector<int> rows;
        for (int row = -1;
             (row = static_cast<int>(::SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(row),
                                                    MAKELPARAM(LVNI_SELECTED, 0)))) != -1;)
            rows.push_back(row);
        return rows;
    }
    void Select(int row) {
        LVITEMW item = {};
        item.stateMask = LVIS_SELECTED;
        ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                       reinterpret_cast<LPARAM>(&item));
        item.state = LVIS_SELECTED;
        if (row >= 0)
            ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row),
                           reinterpret_cast<LPARAM>(&item));
    }
    int ColumnWidth(int column) const {
        return static_cast<int>(
            ::SendMessageW(list, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(column), 0));
    }
    int TextWidth(const std::wstring& text) const {
        return static_cast<int>(
            ::SendMessageW(list, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(text.c_str())));
    }
    int ClientWidth() const {
        RECT rect;
        ::GetClientRect(list, &rect);
        return rect.right;
    }
    // The four figures as shown: sectors per cluster, bytes per sector, free, total clusters.
    std::vector<std::wstring> Figures() const {
        std::vector<std::wstring> shown;
        for (int id :
             {IDC_SECTORS_PER_CLUSTER, IDC_BYTES_PER_SECTOR, IDC_FREE_CLUSTERS, IDC_TOTAL_CLUSTERS})
            shown.push_back(ItemText(dlg->m_hWnd, id));
        return shown;
    }
    // A left click at a point of the list, as the mouse makes it.
    void ClickAt(int x, int y) {
        ::SendMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
        ::SendMessageW(list, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
        PumpMessages();
    }
    void ClickRow(int row) {
        RECT rect = {};
        rect.left = LVIR_LABEL;
        ASSERT_TRUE(::SendMessageW(list, LVM_GETITEMRECT, static_cast<WPARAM>(row),
                                   reinterpret_cast<LPARAM>(&rect)));
        ClickAt(rect.left + 4, (rect.top + rect.bottom) / 2);
    }
    void Idle() { ::SendMessageW(dlg->m_hWnd, WM_KICKIDLE, MSGF_DIALOGBOX, 0); }
    std::vector<bool> DriveButtonsEnabled() const {
        std::vector<bool> enabled;
        for (int id : kDriveButtons)
            enabled.push_back(ItemEnabled(dlg->m_hWnd, id));
        return enabled;
    }

    CScriptedDriver driver;
    CScriptedVolumes volumes;
    CRecordingServiceManager services;
    CRecordingRegistry registry;
    CRecordingAnnouncer announcer;
    CBoxRecorder boxes;
    CFileChooser files;
    std::unique_ptr<CTolvaneDlg> dlg;
    HWND list = nullptr;
};

TEST_F(TolvaneDlgTest, RowsStandInTheDriversOrderWithTheirMappedImages) {
    Open();
    const std::vector<RowText> want = {{L"F:", L"C:\\images\\first.iso"},
                                       {L"E:", kPrefix + L"None"},
                                       {L"Q:", kPrefix + L"D:\\old\\ejected.iso"},
                                       {L"G:", kPrefix}};
    EXPECT_EQ(want, Rows());
    // One list request, then one image request per drive, each to that drive's device.
    ASSERT_EQ(5u, driver.requests.size());
    EXPECT_EQ(IOCTL_KELMOR_QUERY_DRIVES, driver.requests[0].code);
    const wchar_t letters[] = {L'F', L'E', L'Q', L'G'};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(IOCTL_KELMOR_QUERY_IMAGE, driver.requests[1 + i].code);
        EXPECT_EQ(letters[i], driver.requests[1 + i].letter);
    }
    EXPECT_EQ(std::vector<int>{0}, Selected()) << "the first row is selected at start";
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(TolvaneDlgTest, StartsWithHeadingsIconsFullRowSelectionAndZeroFigures) {
    Open();
    wchar_t heading[32] = {};
    LVCOLUMNW column = {};
    column.mask = LVCF_TEXT;
    column.pszText = heading;
    column.cchTextMax = 32;
    ASSERT_TRUE(::SendMessageW(list, LVM_GETCOLUMNW, 0, reinterpret_cast<LPARAM>(&column)));
    EXPECT_STREQ(L"Drive", heading);
    ASSERT_TRUE(::SendMessageW(list, LVM_GETCOLUMNW, 1, reinterpret_cast<LPARAM>(&column)));
    EXPECT_STREQ(L"Mapped Image", heading);
    EXPECT_EQ(TextWidth(L"Drive") + 25, ColumnWidth(0));

    EXPECT_TRUE(::SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) & LVS_EX_FULLROWSELECT);
    const LONG_PTR style = ::GetWindowLongPtrW(list, GWL_STYLE);
    EXPECT_EQ(LVS_REPORT, style & LVS_TYPEMASK);
    EXPECT_TRUE(style & LVS_SINGLESEL);
    EXPECT_TRUE(style & LVS_SHOWSELALWAYS);
    EXPECT_TRUE(style & LVS_NOSORTHEADER);

    ASSERT_NE(nullptr, dlg->m_hIcon);
    EXPECT_EQ(reinterpret_cast<LRESULT>(dlg->m_hIcon),
              ::SendMessageW(dlg->m_hWnd, WM_GETICON, ICON_BIG, 0));
    EXPECT_EQ(reinterpret_cast<LRESULT>(dlg->m_hIcon),
              ::SendMessageW(dlg->m_hWnd, WM_GETICON, ICON_SMALL, 0));
    EXPECT_EQ(reinterpret_cast<LRESULT>(dlg->m_hIcon),
              ::SendMessageW(dlg->m_hWnd, WM_QUERYDRAGICON, 0, 0));
    EXPECT_EQ((std::vector<std::wstring>{L"0", L"0", L"0", L"0"}), Figures());
}

TEST_F(TolvaneDlgTest, SelectedDriveStaysSelectedOtherwiseTheFirstRow) {
    Open();
    Select(2); // Q
    dlg->RefreshDriveList();
    EXPECT_EQ(std::vector<int>{2}, Selected());
    EXPECT_EQ(L'Q', dlg->GetSelectedDrive());

    // The selected drive removed by another program: the first row at the next refresh.
    driver.drives.erase(driver.drives.begin() + 2);
    dlg->RefreshDriveList();
    EXPECT_EQ(std::vector<int>{0}, Selected());

    // No selection before the refresh: the first row too.
    Select(-1);
    EXPECT_EQ(0, dlg->GetSelectedDrive());
    dlg->RefreshDriveList();
    EXPECT_EQ(std::vector<int>{0}, Selected());

    driver.drives.clear();
    dlg->RefreshDriveList();
    EXPECT_TRUE(Selected().empty());
    EXPECT_EQ(0, dlg->GetSelectedDrive());
}

TEST_F(TolvaneDlgTest, DriverAbsentLeavesTheListEmptyAndAddFails) {
    driver.loaded = false;
    Open();
    EXPECT_TRUE(Rows().empty());
    Idle();
    EXPECT_EQ((std::vector<bool>{false, false, false, false}), DriveButtonsEnabled());
    EXPECT_TRUE(ItemEnabled(dlg->m_hWnd, IDC_ADD_DRIVE));
    EXPECT_TRUE(ItemEnabled(dlg->m_hWnd, IDC_DRIVER_CONTROL));
    EXPECT_TRUE(ItemEnabled(dlg->m_hWnd, IDOK));
    EXPECT_TRUE(boxes.boxes.empty()) << "an empty list is reported to nobody";

    Click(dlg->m_hWnd, IDC_ADD_DRIVE);
    EXPECT_EQ(std::vector<std::wstring>{L"Add Failed"}, boxes.Texts());
    EXPECT_STREQ(L"Tolvane", boxes.boxes[0].caption);
    EXPECT_EQ(static_cast<UINT>(MB_OK), boxes.boxes[0].type);
}

TEST_F(TolvaneDlgTest, DriveButtonsFollowTheSelectionWhenIdle) {
    Open();
    Idle();
    EXPECT_EQ((std::vector<bool>{true, true, true, true}), DriveButtonsEnabled());
    Select(-1);
    Idle();
    EXPECT_EQ((std::vector<bool>{false, false, false, false}), DriveButtonsEnabled());
    Select(1);
    Idle();
    EXPECT_EQ((std::vector<bool>{true, true, true, true}), DriveButtonsEnabled());

    // The last drive removed with the keyboard on "&Remove Drive": the button is disabled and
    // the focus goes on to an enabled control of the dialog.
    Close();
    driver.drives.resize(1);
    Open();
    Idle();
    HWND remove = ::GetDlgItem(dlg->m_hWnd, IDC_REMOVE_DRIVE);
    ::SetFocus(remove);
    ASSERT_EQ(remove, ::GetFocus());
    Click(dlg->m_hWnd, IDC_REMOVE_DRIVE);
    ASSERT_TRUE(Rows().empty());
    Idle();
    EXPECT_EQ((std::vector<bool>{false, false, false, false}), DriveButtonsEnabled());
    HWND focus = ::GetFocus();
    EXPECT_TRUE(focus != nullptr && ::IsChild(dlg->m_hWnd, focus) && ::IsWindowEnabled(focus))
        << "the focus stayed on a disabled control";
}

TEST_F(TolvaneDlgTest, AddRefreshesTheListWithTheNewDrive) {
    driver.drives.clear();
    Open();
    driver.Clear();
    Click(dlg->m_hWnd, IDC_ADD_DRIVE);
    Click(dlg->m_hWnd, IDC_ADD_DRIVE);
    EXPECT_EQ((std::vector<RowText>{{L"D:", kPrefix + L"None"}, {L"E:", kPrefix + L"None"}}),
              Rows());
    EXPECT_EQ(IOCTL_KELMOR_ADD_DRIVE, driver.requests[0].code);
    EXPECT_EQ(0, driver.requests[0].letter) << "sent to the control device";
    EXPECT_TRUE(boxes.boxes.empty());
    // Each new drive, found in the refreshed list, is announced.
    EXPECT_EQ((Announced{{L'D', DriveChange::DriveAdded}, {L'E', DriveChange::DriveAdded}}),
              announcer.announced);
}

// Remove, Eject and Remount: one request for the selected drive, then a fresh list; on failure
// their own message and the list as it was.
struct DriveOperation {
    const char* name;
    int button;
    DWORD code;
    const wchar_t* failure;
    std::vector<RowText> after; // the rows after the request succeeded on drive Q
    DriveChange change;         // announced after it succeeded
};

TEST_F(TolvaneDlgTest, DriveOperationsSendOneRequestForTheSelectedDrive) {
    const std::vector<RowText> start = {{L"F:", L"C:\\images\\first.iso"},
                                        {L"E:", kPrefix + L"None"},
                                        {L"Q:", kPrefix + L"D:\\old\\ejected.iso"},
                                        {L"G:", kPrefix}};
    const DriveOperation operations[] = {
        {"remove",
         IDC_REMOVE_DRIVE,
         IOCTL_KELMOR_REMOVE_DRIVE,
         L"Remove Failed",
         {start[0], start[1], start[3]},
         DriveChange::DriveRemoved},
        {"eject", IDC_EJECT, IOCTL_CDROM_EJECT_MEDIA, L"Eject Failed", start,
         DriveChange::MediumRemoved},
        {"remount",
         IDC_REMOUNT,
         IOCTL_STORAGE_LOAD_MEDIA,
         L"Remount Failed",
         {start[0], start[1], {L"Q:", L"D:\\old\\ejected.iso"}, start[3]},
         DriveChange::MediumInserted},
    };
    for (const DriveOperation& op : operations) {
        for (bool fails : {false, true}) {
            SCOPED_TRACE(std::string(op.name) + (fails ? " failing" : " succeeding"));
            SetUp();
            driver.failing.clear();
            if (fails)
                driver.failing.push_back(op.code);
            boxes.boxes.clear();
            Open();
            Select(2);
            driver.Clear();
            Click(dlg->m_hWnd, op.button);
            ASSERT_FALSE(driver.requests.empty());
            EXPECT_EQ(op.code, driver.requests[0].code);
            EXPECT_EQ(L'Q', driver.requests[0].letter);
            if (fails) {
                EXPECT_EQ(std::vector<std::wstring>{op.failure}, boxes.Texts());
                EXPECT_EQ(1u, driver.requests.size()) << "the list was refreshed after a failure";
                EXPECT_EQ(start, Rows());
                EXPECT_TRUE(announcer.announced.empty());
            } else {
                EXPECT_TRUE(boxes.boxes.empty());
                EXPECT_EQ(1, driver.CountOf(IOCTL_KELMOR_QUERY_DRIVES));
                EXPECT_EQ(op.after, Rows());
                EXPECT_EQ((Announced{{L'Q', op.change}}), announcer.announced);
            }
            Close();
        }
    }
}

TEST_F(TolvaneDlgTest, DriveOperationsWithoutASelectionDoNothingAtAll) {
    Open();
    Select(-1);
    driver.Clear();
    for (int id : kDriveButtons)
        Click(dlg->m_hWnd, id);
    EXPECT_EQ(0, driver.opens) << "a device was opened";
    EXPECT_TRUE(files.requests.empty()) << "Mount asked for a file";
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(TolvaneDlgTest, MappedImageColumnFillsTheRoomOrGrowsToTheWidestText) {
    driver.drives = {{L'E', L"C:\\a.iso", true}};
    Open();
    const int room = ClientWidth() - ColumnWidth(0);
    ASSERT_GT(room, TextWidth(L"C:\\a.iso") + 25);
    EXPECT_EQ(room, ColumnWidth(1));

    const std::wstring longPath =
        L"C:\\images\\a rather long directory name\\and another one below it\\and one more "
        L"still\\disc image with a long name.iso";
    driver.drives.push_back({L'F', longPath, true});
    dlg->RefreshDriveList();
    ASSERT_LT(room, TextWidth(longPath) + 25);
    EXPECT_EQ(TextWidth(longPath) + 25, ColumnWidth(1));

    // Column 0 dragged wider than the list: no room beside it, so the widest text decides.
    driver.drives.resize(1);
    ::SendMessageW(list, LVM_SETCOLUMNWIDTH, 0, MAKELPARAM(ClientWidth() + 200, 0));
    dlg->RefreshDriveList();
    EXPECT_EQ(TextWidth(L"C:\\a.iso") + 25, ColumnWidth(1));
}

TEST_F(TolvaneDlgTest, DriverAnswersBeyondTheBuffersAreReadNoFurther) {
    driver.drives = {{L'E', std::wstring(255, L'x'), true}};
    driver.reportedCount = 40;
    driver.reportedPathLength = 0xFFF0;
    Open();
    const std::vector<RowText> rows = Rows();
    ASSERT_EQ(26u, rows.size());
    EXPECT_EQ(std::wstring(255, L'x'), rows[0].image);
}

// ---------------------------------------------------------------------------------------------
// Mount

// Answers the options dialog: ticks the boxes given, then leaves with `button`.
std::unique_ptr<CDialogScript> AnswerOptions(bool udf, bool joliet, bool persistent, int button,
                                             std::wstring* shownPath = nullptr) {
    return std::make_unique<CDialogScript>(L"Special Mount Options", [=](HWND dialog) {
        if (shownPath != nullptr)
            *shownPath = ItemText(dialog, IDC_IMAGE_PATH);
        ::CheckDlgButton(dialog, IDC_SUPPRESS_UDF, udf ? BST_CHECKED : BST_UNCHECKED);
        ::CheckDlgButton(dialog, IDC_SUPPRESS_JOLIET, joliet ? BST_CHECKED : BST_UNCHECKED);
        ::CheckDlgButton(dialog, IDC_PERSISTENT, persistent ? BST_CHECKED : BST_UNCHECKED);
        ::PostMessageW(dialog, WM_COMMAND, static_cast<WPARAM>(button), 0);
    });
}

TEST_F(TolvaneDlgTest, MountSendsTheChosenFileWithTheTickedFlags) {
    const struct {
        bool udf, joliet;
        DWORD flags;
    } cases[] = {{false, false, 0}, {true, false, 1}, {false, true, 2}, {true, true, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        SetUp();
        files.requests.clear();
        Open();
        Select(1); // E
        files.answers = {L"C:\\images\\new disc.iso"};
        std::wstring shownPath;
        auto script = AnswerOptions(c.udf, c.joliet, false, IDOK, &shownPath);
        driver.Clear();
        Click(dlg->m_hWnd, IDC_MOUNT);

        ASSERT_EQ(1u, files.requests.size());
        const CFileDialogRequest& request = files.requests[0];
        EXPECT_TRUE(request.bOpenFileDialog);
        EXPECT_TRUE(request.defaultExt.IsEmpty());
        EXPECT_TRUE(request.fileName.IsEmpty());
        EXPECT_EQ(static_cast<DWORD>(OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT), request.flags);
        EXPECT_EQ(kFilter, static_cast<LPCWSTR>(request.filter));
        EXPECT_EQ(dlg->m_hWnd, request.hOwner);
        EXPECT_EQ(L"C:\\images\\new disc.iso", shownPath);

        ASSERT_FALSE(driver.requests.empty());
        EXPECT_EQ(IOCTL_KELMOR_MOUNT_IMAGE, driver.requests[0].code);
        EXPECT_EQ(L'E', driver.requests[0].letter);
        EXPECT_EQ(L"\\??\\C:\\images\\new disc.iso", driver.requests[0].path);
        EXPECT_EQ(c.flags, driver.requests[0].flags);
        EXPECT_EQ(L"C:\\images\\new disc.iso", Rows()[1].image) << "the list was not refreshed";
        EXPECT_TRUE(boxes.boxes.empty());
        EXPECT_TRUE(registry.calls.empty()) << "a mount that is not persistent was recorded";
        EXPECT_EQ((Announced{{L'E', DriveChange::MediumInserted}}), announcer.announced);
        Close();
    }
}

TEST_F(TolvaneDlgTest, CancelledOptionsStillMountWithNoFlagsAndNoRecord) {
    Open();
    Select(1);
    files.answers = {L"C:\\images\\disc.iso"};
    auto script = AnswerOptions(true, true, true, IDCANCEL);
    driver.Clear();
    Click(dlg->m_hWnd, IDC_MOUNT);
    EXPECT_EQ(1, script->Runs());
    ASSERT_EQ(1, driver.CountOf(IOCTL_KELMOR_MOUNT_IMAGE));
    EXPECT_EQ(0u, driver.requests[0].flags);
    EXPECT_TRUE(registry.calls.empty());
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(TolvaneDlgTest, CancelledFileDialogSendsNothing) {
    Open();
    auto script = AnswerOptions(false, false, false, IDOK);
    driver.Clear();
    files.answers = {L""};
    Click(dlg->m_hWnd, IDC_MOUNT);
    EXPECT_EQ(1u, files.requests.size());
    EXPECT_EQ(0, script->Runs()) << "the options dialog came up";
    EXPECT_EQ(0, driver.opens);
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(TolvaneDlgTest, PersistentMountIsRecordedAfterTheRefresh) {
    Open();
    Select(1);
    files.answers = {L"C:\\images\\disc.iso"};
    auto script = AnswerOptions(false, true, true, IDOK);
    size_t rowsWhenRecorded = 0;
    std::wstring imageWhenRecorded;
    boxes.onBox = [&](const CMessageBoxRequest&) {
        if (boxes.boxes.size() == 1) {
            rowsWhenRecorded = Rows().size();
            imageWhenRecorded = Rows()[1].image;
        }
    };
    Click(dlg->m_hWnd, IDC_MOUNT);
    const std::vector<std::wstring> shown = {L"E:", L"\\??\\C:\\images\\disc.iso",
                                             L"KELMOR Opened!"};
    EXPECT_EQ(shown, boxes.Texts());
    EXPECT_EQ(4u, rowsWhenRecorded);
    EXPECT_EQ(L"C:\\images\\disc.iso", imageWhenRecorded) << "recorded before the refresh";
    ASSERT_EQ(4u, registry.calls.size());
    EXPECT_EQ(L"System\\CurrentControlSet\\Services\\kelmor\\Parameters\\DeviceE",
              registry.calls[0].name);
}

TEST_F(TolvaneDlgTest, FailedMountReportsAndRecordsNothing) {
    driver.failing.push_back(IOCTL_KELMOR_MOUNT_IMAGE);
    Open();
    Select(1);
    files.answers = {L"C:\\images\\disc.iso"};
    auto script = AnswerOptions(true, false, true, IDOK);
    driver.Clear();
    Click(dlg->m_hWnd, IDC_MOUNT);
    EXPECT_EQ(std::vector<std::wstring>{L"Mount Failed"}, boxes.Texts());
    EXPECT_TRUE(registry.calls.empty());
    EXPECT_EQ(0, driver.CountOf(IOCTL_KELMOR_QUERY_DRIVES)) << "refreshed after a failure";
    EXPECT_TRUE(announcer.announced.empty());
}

TEST_F(TolvaneDlgTest, PathTooLongForTheRequestIsAFailedMountThatReachesNoDevice) {
    Open();
    Select(1);
    // 252 characters: with the \??\ prefix one more than the request's 255 units hold.
    files.answers = {L"C:\\" + std::wstring(249, L'a')};
    auto script = AnswerOptions(false, false, true, IDOK);
    driver.Clear();
    Click(dlg->m_hWnd, IDC_MOUNT);
    EXPECT_EQ(std::vector<std::wstring>{L"Mount Failed"}, boxes.Texts());
    EXPECT_EQ(0, driver.opens);
    EXPECT_TRUE(driver.requests.empty());
    EXPECT_TRUE(registry.calls.empty());
}

// ---------------------------------------------------------------------------------------------
// The driver service dialog

TEST_F(TolvaneDlgTest, ClosingTheServiceDialogRefreshesTheListEvenWhenNothingWasDone) {
    Open();
    int serviceDialogs = 0;
    CDialogScript script(L"Virtual CD-ROM Driver Control", [&](HWND dialog) {
        ++serviceDialogs;
        ::PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    });
    driver.drives.push_back({L'R', L"", false});
    driver.Clear();
    Click(dlg->m_hWnd, IDC_DRIVER_CONTROL);
    EXPECT_EQ(1, serviceDialogs);
    EXPECT_EQ(1, driver.CountOf(IOCTL_KELMOR_QUERY_DRIVES));
    EXPECT_EQ(5u, Rows().size());
    EXPECT_EQ(0, services.OpenHandles());
    EXPECT_EQ(1u, services.CallsOf("OpenSCManagerW").size())
        << "the service dialog did not go through the given manager";
}

// ---------------------------------------------------------------------------------------------
// The geometry panel

TEST_F(TolvaneDlgTest, ClickingARowShowsItsFiguresAndOnlyAClickChangesThem) {
    Open();
    ClickRow(0);
    EXPECT_EQ((std::vector<std::wstring>{L"4", L"2048", L"100", L"1000"}), Figures());
    EXPECT_EQ(L"F:\\", volumes.asked.back());

    // A selection changed without a click (as the arrow keys change it) and a refresh leave the
    // figures alone.
    Select(1);
    EXPECT_EQ(L'E', dlg->GetSelectedDrive());
    dlg->RefreshDriveList();
    EXPECT_EQ((std::vector<std::wstring>{L"4", L"2048", L"100", L"1000"}), Figures());

    ClickRow(1);
    EXPECT_EQ((std::vector<std::wstring>{L"1", L"512", L"7", L"9"}), Figures());

    // Below the rows: no row is selected afterwards, and the figures stay.
    RECT last = {};
    last.left = LVIR_BOUNDS;
    ::SendMessageW(list, LVM_GETITEMRECT, 3, reinterpret_cast<LPARAM>(&last));
    const size_t asked = volumes.asked.size();
    ClickAt(last.left + 4, last.bottom + 10);
    EXPECT_EQ(0, dlg->GetSelectedDrive());
    EXPECT_EQ(asked, volumes.asked.size());
    EXPECT_EQ((std::vector<std::wstring>{L"1", L"512", L"7", L"9"}), Figures());

    // A drive whose volume cannot be queried: four zeros.
    ClickRow(2);
    EXPECT_EQ(L"Q:\\", volumes.asked.back());
    EXPECT_EQ((std::vector<std::wstring>{L"0", L"0", L"0", L"0"}), Figures());
}

// ---------------------------------------------------------------------------------------------
// The modal dialog

// Steps run from a thread timer inside the dialog's own modal loop. A step waits until the
// loop has fallen idle since the step before (a hook counts the idle messages): that is when
// the drive buttons are brought up to date. On a busy machine the next tick may already be due
// when a step ends, and the loop does not fall idle between two ticks.
struct ModalSteps {
    static ModalSteps* current;
    HWND dialog = nullptr;
    int step = 0;
    int idles = 0;
    int idlesAtLastStep = -1;
    std::vector<bool> mountEnabled;

    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        if (current != nullptr)
            current->Next();
    }
    static LRESULT CALLBACK CountIdle(int code, WPARAM wParam, LPARAM lParam) {
        const auto* sent = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
        if (code == HC_ACTION && sent->message == WM_KICKIDLE && current != nullptr)
            ++current->idles;
        return ::CallNextHookEx(nullptr, code, wParam, lParam);
    }
    void SelectFirstRow(bool selected) {
        LVITEMW item = {};
        item.state = selected ? LVIS_SELECTED : 0;
        item.stateMask = LVIS_SELECTED;
        ::SendDlgItemMessageW(dialog, IDC_DRIVE_LIST, LVM_SETITEMSTATE, 0,
                              reinterpret_cast<LPARAM>(&item));
    }
    void Next() {
        dialog = FindOwnWindow(L"Virtual CDRom Control Panel");
        if (dialog == nullptr)
            return;
        if (++step > 250) { // five seconds and more: give up
            ::PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
            return;
        }
        if (idles == idlesAtLastStep)
            return; // not idle since the last step yet
        idlesAtLastStep = idles;
        mountEnabled.push_back(ItemEnabled(dialog, IDC_MOUNT));
        if (mountEnabled.size() == 1)
            SelectFirstRow(false);
        else if (mountEnabled.size() == 2)
            SelectFirstRow(true);
        else
            ::PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    }
};

ModalSteps* ModalSteps::current = nullptr;

TEST(TolvaneModalTest, IdleUpdatesTheDriveButtonsInTheModalLoop) {
    CScriptedDriver driver;
    driver.drives = {{L'E', L"", false}};
    CScriptedVolumes volumes;
    CRecordingServiceManager services;
    CRecordingRegistry registry;
    CTolvaneDlg dlg(nullptr, driver, volumes, services, registry);

    ModalSteps steps;
    ModalSteps::current = &steps;
    HHOOK hook = ::SetWindowsHookExW(WH_CALLWNDPROCRET, &ModalSteps::CountIdle, nullptr,
                                     ::GetCurrentThreadId());
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 20, &ModalSteps::Tick);
    const INT_PTR result = dlg.DoModal();
    ::KillTimer(nullptr, timer);
    ::UnhookWindowsHookEx(hook);
    ModalSteps::current = nullptr;
    EXPECT_EQ(IDOK, result) << "the steps did not end the dialog";
    EXPECT_EQ((std::vector<bool>{true, false, true}), steps.mountEnabled);
}

// As Tolvane ends it waits for the real announcer's broadcasts still being sent. The broadcast
// waits on a window of this very thread too (for up to 2 s each), so the wait handles what is
// sent to this thread, and nothing that was posted.
TEST(DriveAnnouncerTest, TheEndHandlesSentMessagesWhileItWaits) {
    HWND window = ::CreateWindowExW(0, L"STATIC", L"listener", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                                    nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    MSG message;
    ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE); // not a hung window
    ::PostMessageW(window, WM_APP, 7, 0);
    SystemDriveAnnouncer().Announce(L'Q', DriveChange::DriveAdded);
    EXPECT_TRUE(FinishDriveAnnouncements(1000)) << "the broadcast to this thread was not handled";
    EXPECT_TRUE(::PeekMessageW(&message, window, WM_APP, WM_APP, PM_REMOVE) &&
                message.wParam == 7)
        << "the wait dispatched a posted message";
    ::DestroyWindow(window);
}

} // namespace
