// Tolvane's dialogs against the real thing under Wine: the prefix's Service Control Manager with
// the stand-in driver's service, the prefix's registry, and the driver's devices. Each test
// leaves the prefix without the service and without persistent-mount records.

#include "DialogTestSupport.h"
#include "DriverClient.h"
#include "DriverControl.h"
#include "KelmorService.h"
#include "PersistentMount.h"
#include "ScriptedDriver.h"
#include "TolvaneDlg.h"
#include "VolumePrivilege.h"
#include "Win32DeviceIo.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

// A path from the build (host form behind "Z:") as a Windows path.
std::wstring WindowsPath(const char* path) {
    std::wstring result(path, path + std::char_traits<char>::length(path));
    std::replace(result.begin(), result.end(), L'/', L'\\');
    return result;
}

std::wstring DriverFile() {
    return WindowsPath(KELMOR_SYS_PATH);
}

// An image file of 64 KiB in the test's directory; the stand-in driver only needs to open it.
std::wstring MakeImage(const wchar_t* name) {
    const std::wstring path = WindowsPath(TOLVANE_TEST_DIR) + L"\\" + name;
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, file)
        << "cannot create " << std::string(path.begin(), path.end());
    if (file != INVALID_HANDLE_VALUE) {
        std::vector<char> zeros(65536, 0);
        DWORD written = 0;
        ::WriteFile(file, zeros.data(), static_cast<DWORD>(zeros.size()), &written, nullptr);
        ::CloseHandle(file);
    }
    return path;
}

// Whether a winedevice process still has the driver loaded.
bool DriverHostRuns() {
    bool found = false;
    HANDLE processes = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (processes == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W process{};
    process.dwSize = sizeof(process);
    for (BOOL more = ::Process32FirstW(processes, &process); more && !found;
         more = ::Process32NextW(processes, &process)) {
        if (::lstrcmpiW(process.szExeFile, L"winedevice.exe") != 0)
            continue;
        HANDLE modules = ::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process.th32ProcessID);
        if (modules == INVALID_HANDLE_VALUE)
            continue;
        MODULEENTRY32W module{};
        module.dwSize = sizeof(module);
        for (BOOL more2 = ::Module32FirstW(modules, &module); more2 && !found;
             more2 = ::Module32NextW(modules, &module))
            found = ::lstrcmpiW(module.szModule, L"kelmor.sys") == 0;
        ::CloseHandle(modules);
    }
    ::CloseHandle(processes);
    return found;
}

// After a stop that the dialog made: Wine may refuse to start the service again while the
// process that hosted the driver is still on its way out.
bool WaitForDriverHostToExit() {
    for (int waited = 0; waited < 10000; waited += 50) {
        if (!DriverHostRuns())
            return true;
        ::Sleep(50);
    }
    return !DriverHostRuns();
}

// The service's configuration as the Service Control Manager has it.
struct ServiceConfig {
    bool found = false;
    DWORD type = 0, start = 0, errorControl = 0;
    std::wstring displayName, binaryPath;
};

ServiceConfig ReadServiceConfig() {
    ServiceConfig result;
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager ? ::OpenServiceW(manager, L"kelmor", SERVICE_QUERY_CONFIG) : nullptr;
    DWORD needed = 0;
    if (service && !::QueryServiceConfigW(service, nullptr, 0, &needed) && needed != 0) {
        std::vector<void*> buffer(needed / sizeof(void*) + 1);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (::QueryServiceConfigW(service, config, needed, &needed)) {
            result.found = true;
            result.type = config->dwServiceType;
            result.start = config->dwStartType;
            result.errorControl = config->dwErrorControl;
            result.displayName = config->lpDisplayName;
            result.binaryPath = config->lpBinaryPathName;
        }
    }
    if (service)
        ::CloseServiceHandle(service);
    if (manager)
        ::CloseServiceHandle(manager);
    return result;
}

// Removes what the driver would find at its next start.
void RemoveRecords() {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKelmorParametersKey);
}

class Environment : public ::testing::Environment {
public:
    void SetUp() override {
        StartWatchdog(540);
        ASSERT_TRUE(CKelmorService::RemoveLeftover());
        RemoveRecords();
    }
    void TearDown() override {
        CKelmorService::RemoveLeftover();
        RemoveRecords();
        StopWatchdog();
    }
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new Environment);

class OnWine : public ::testing::Test {
protected:
    void SetUp() override { RemoveRecords(); }
    void TearDown() override {
        EXPECT_TRUE(CKelmorService::RemoveLeftover());
        RemoveRecords();
    }
};

struct Row {
    bool install, remove, start, stop;
    bool operator==(const Row& o) const {
        return install == o.install && remove == o.remove && start == o.start && stop == o.stop;
    }
};

Row Buttons(HWND dialog) {
    return {ItemEnabled(dialog, IDC_INSTALL_DRIVER), ItemEnabled(dialog, IDC_REMOVE_DRIVER),
            ItemEnabled(dialog, IDC_START), ItemEnabled(dialog, IDC_STOP)};
}

std::string Describe(const std::vector<std::wstring>& texts) {
    std::string all;
    for (const auto& text : texts)
        all += "[" + std::string(text.begin(), text.end()) + "]";
    return all;
}

TEST_F(OnWine, ServiceDialogWalksThroughTheStateTableWithTheRealManager) {
    CBoxRecorder boxes;
    CFileChooser files;
    CDriverControl dlg;
    ASSERT_TRUE(dlg.Create(CDriverControl::IDD));
    const HWND h = dlg.m_hWnd;
    ASSERT_NE(nullptr, dlg.m_hSCManager) << Describe(boxes.Texts());
    EXPECT_TRUE((Row{true, false, false, false}) == Buttons(h));
    EXPECT_EQ(L"Virtual CDROM driver is not installed", ItemText(h, IDC_SERVICE_STATUS));

    files.answers.push_back(DriverFile());
    Click(h, IDC_INSTALL_DRIVER);
    ASSERT_TRUE(boxes.boxes.empty()) << Describe(boxes.Texts());
    EXPECT_TRUE((Row{false, true, true, false}) == Buttons(h));
    const ServiceConfig config = ReadServiceConfig();
    ASSERT_TRUE(config.found);
    EXPECT_EQ(2u, config.type);
    EXPECT_EQ(1u, config.start);
    EXPECT_EQ(0u, config.errorControl);
    EXPECT_EQ(L"Virtual CD-ROM Device Driver", config.displayName);
    EXPECT_EQ(DriverFile(), config.binaryPath);
    EXPECT_EQ(L" Virtual CD-ROM Device Driver : (" + config.binaryPath + L")",
              ItemText(h, IDC_SERVICE_STATUS));

    Click(h, IDC_START);
    ASSERT_TRUE(boxes.boxes.empty()) << Describe(boxes.Texts());
    EXPECT_TRUE((Row{false, true, false, true}) == Buttons(h));
    DRIVE_LIST list{};
    EXPECT_TRUE(QueryDrives(list)) << "the driver does not answer after Start";

    // Start on a running service sends nothing: no "already running" from the manager.
    Click(h, IDC_START);
    EXPECT_TRUE(boxes.boxes.empty()) << Describe(boxes.Texts());

    Click(h, IDC_STOP);
    ASSERT_TRUE(boxes.boxes.empty()) << Describe(boxes.Texts());
    EXPECT_TRUE((Row{false, true, true, false}) == Buttons(h));
    EXPECT_FALSE(QueryDrives(list)) << "the driver still answers after Stop";
    ASSERT_TRUE(WaitForDriverHostToExit()) << "the driver's host did not exit after Stop";

    Click(h, IDC_START);
    ASSERT_TRUE(boxes.boxes.empty()) << Describe(boxes.Texts());
    EXPECT_TRUE((Row{false, true, false, true}) == Buttons(h));

    // Remove of a running service stops it, then deletes it.
    Click(h, IDC_REMOVE_DRIVER);
    ASSERT_TRUE(boxes.boxes.empty()) << Describe(boxes.Texts());
    EXPECT_TRUE((Row{true, false, false, false}) == Buttons(h));
    EXPECT_EQ(L"Virtual CDROM driver is not installed", ItemText(h, IDC_SERVICE_STATUS));
    EXPECT_FALSE(QueryDrives(list)) << "the driver still answers after Remove";
    dlg.DestroyWindow();
    EXPECT_TRUE(WaitForDriverHostToExit());
    EXPECT_FALSE(ReadServiceConfig().found) << "the service is still there";
}

TEST_F(OnWine, ServiceThatExistsShowsItsFileAndEveryWayOutLetsItGo) {
    for (const UINT exitMessage : {UINT(WM_COMMAND), UINT(WM_KEYDOWN), UINT(WM_SYSCOMMAND)}) {
        SCOPED_TRACE(exitMessage);
        CKelmorService service;
        std::wstring error;
        ASSERT_TRUE(service.Install(DriverFile(), error))
            << std::string(error.begin(), error.end());

        CBoxRecorder boxes;
        Row row{};
        std::wstring status;
        CDialogScript script(L"Virtual CD-ROM Driver Control", [&](HWND dialog) {
            row = Buttons(dialog);
            status = ItemText(dialog, IDC_SERVICE_STATUS);
            const WPARAM wParam = exitMessage == WM_COMMAND   ? IDOK
                                  : exitMessage == WM_KEYDOWN ? VK_ESCAPE
                                                              : SC_CLOSE;
            ::PostMessageW(dialog, exitMessage, wParam, 0);
        });
        {
            CDriverControl dlg;
            dlg.DoModal();
        }
        EXPECT_TRUE(boxes.boxes.empty()) << Describe(boxes.Texts());
        EXPECT_TRUE((Row{false, true, true, false}) == row);
        EXPECT_EQ(L" Virtual CD-ROM Device Driver : (" + DriverFile() + L")", status);
        // A handle left open would keep the deleted service in the database.
        EXPECT_TRUE(service.Remove()) << "the dialog kept a handle to the service";
    }
}

// ---------------------------------------------------------------------------------------------
// The persistent-mount record in the prefix's registry

struct RegistryText {
    LONG result = ERROR_FILE_NOT_FOUND;
    DWORD type = 0;
    DWORD size = 0;
    std::wstring text;
};

RegistryText ReadValue(const std::wstring& keyPath, const wchar_t* name) {
    RegistryText value;
    HKEY key = nullptr;
    value.result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key);
    if (value.result != ERROR_SUCCESS)
        return value;
    wchar_t data[600] = {};
    value.size = sizeof(data);
    value.result = ::RegQueryValueExW(key, name, nullptr, &value.type,
                                      reinterpret_cast<BYTE*>(data), &value.size);
    value.text.assign(data, value.size / sizeof(wchar_t));
    ::RegCloseKey(key);
    return value;
}

std::wstring DeviceKey(wchar_t letter) {
    return std::wstring(kKelmorParametersKey) + L"\\Device" + letter;
}

void ExpectRecord(wchar_t letter, const std::wstring& image) {
    const RegistryText drive = ReadValue(DeviceKey(letter), L"DRIVE");
    ASSERT_EQ(ERROR_SUCCESS, drive.result);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), drive.type);
    EXPECT_EQ(std::wstring(1, letter) + std::wstring(L":", 2), drive.text);
    EXPECT_EQ(3 * sizeof(wchar_t), drive.size);
    const RegistryText path = ReadValue(DeviceKey(letter), L"IMAGE");
    ASSERT_EQ(ERROR_SUCCESS, path.result);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), path.type);
    EXPECT_EQ(L"\\??\\" + image + std::wstring(1, L'\0'), path.text);
    EXPECT_EQ((image.size() + 5) * sizeof(wchar_t), path.size);
}

TEST_F(OnWine, RecordLandsInTheRegistryAndASecondOneOverwritesIt) {
    CBoxRecorder boxes;
    RecordPersistentMount(L'e', L"C:\\images\\disc.iso");
    const std::vector<std::wstring> shown = {L"E:", L"\\??\\C:\\images\\disc.iso",
                                             L"KELMOR Opened!"};
    EXPECT_EQ(shown, boxes.Texts());
    ExpectRecord(L'E', L"C:\\images\\disc.iso");

    RecordPersistentMount(L'E', L"D:\\other.iso");
    ExpectRecord(L'E', L"D:\\other.iso");
    RecordPersistentMount(L'F', L"C:\\images\\second.iso");
    ExpectRecord(L'E', L"D:\\other.iso");
    ExpectRecord(L'F', L"C:\\images\\second.iso");
    EXPECT_EQ(9u, boxes.boxes.size());
}

TEST_F(OnWine, DriverRestoresARecordedMountWhenItStartsAgain) {
    const std::wstring image = MakeImage(L"persistent.iso");
    CKelmorService service;
    std::wstring error;
    ASSERT_TRUE(service.Install(DriverFile(), error)) << std::string(error.begin(), error.end());
    ASSERT_TRUE(service.Start(error)) << std::string(error.begin(), error.end());
    WORD added = 0;
    ASSERT_TRUE(AddDrive(added)) << ::GetLastError();
    const wchar_t letter = static_cast<wchar_t>(added);

    CBoxRecorder boxes;
    RecordPersistentMount(static_cast<wchar_t>(::towlower(letter)), image.c_str());
    ASSERT_EQ(3u, boxes.boxes.size());

    ASSERT_TRUE(service.Stop(error)) << std::string(error.begin(), error.end());
    ASSERT_TRUE(service.Start(error)) << std::string(error.begin(), error.end());
    DRIVE_LIST list{};
    ASSERT_TRUE(QueryDrives(list)) << ::GetLastError();
    ASSERT_EQ(1u, DriveListCount(list));
    EXPECT_EQ(letter, list.Letters[0]);
    IMAGE_INFO info{};
    ASSERT_TRUE(QueryImage(letter, info)) << ::GetLastError();
    EXPECT_NE(0u, info.Mounted);
    EXPECT_EQ(image, std::wstring(info.ImagePath, info.ImagePath + ImagePathUnits(info)));
}

// ---------------------------------------------------------------------------------------------
// The main dialog on the stand-in driver

// The Win32 device seam with a tap: what the dialog sent, on its way to the driver.
class CTappedDeviceIo : public IDeviceIo {
public:
    struct Request {
        DWORD code;
        DWORD flags; // mount requests
    };
    std::vector<Request> requests;

    HANDLE Open(const WCHAR* name) override { return SystemDeviceIo().Open(name); }
    BOOL Control(HANDLE device, DWORD code, void* input, DWORD inputSize, void* output,
                 DWORD outputSize, DWORD* bytesReturned) override {
        DWORD flags = 0;
        if (code == IOCTL_KELMOR_MOUNT_IMAGE && inputSize == sizeof(MOUNT_REQUEST))
            flags = static_cast<const MOUNT_REQUEST*>(input)->Flags;
        requests.push_back({code, flags});
        return SystemDeviceIo().Control(device, code, input, inputSize, output, outputSize,
                                        bytesReturned);
    }
    void Close(HANDLE device) override { SystemDeviceIo().Close(device); }
    DWORD GetLastError() override { return SystemDeviceIo().GetLastError(); }
    void SetLastError(DWORD error) override { SystemDeviceIo().SetLastError(error); }
};

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

// The rows as "E: | text".
std::vector<std::wstring> Rows(HWND dialog) {
    const HWND list = ::GetDlgItem(dialog, IDC_DRIVE_LIST);
    std::vector<std::wstring> rows;
    const int count = static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int row = 0; row < count; ++row)
        rows.push_back(ListText(list, row, 0) + L" | " + ListText(list, row, 1));
    return rows;
}

int SelectedRow(HWND dialog) {
    return static_cast<int>(::SendDlgItemMessageW(dialog, IDC_DRIVE_LIST, LVM_GETNEXTITEM,
                                                  static_cast<WPARAM>(-1),
                                                  MAKELPARAM(LVNI_SELECTED, 0)));
}

void SelectRow(HWND dialog, int row) {
    LVITEMW item = {};
    item.state = LVIS_SELECTED;
    item.stateMask = LVIS_SELECTED;
    ::SendDlgItemMessageW(dialog, IDC_DRIVE_LIST, LVM_SETITEMSTATE, static_cast<WPARAM>(row),
                          reinterpret_cast<LPARAM>(&item));
}

const std::wstring kPrefix = L"No Image Mounted. Last one was - ";

std::wstring Row(wchar_t letter, const std::wstring& text) {
    return std::wstring(1, letter) + L": | " + text;
}

// Answers the options dialog with the ticks given and a button.
std::unique_ptr<CDialogScript> AnswerOptions(bool udf, bool joliet, bool persistent, int button) {
    return std::make_unique<CDialogScript>(L"Special Mount Options", [=](HWND dialog) {
        ::CheckDlgButton(dialog, IDC_SUPPRESS_UDF, udf ? BST_CHECKED : BST_UNCHECKED);
        ::CheckDlgButton(dialog, IDC_SUPPRESS_JOLIET, joliet ? BST_CHECKED : BST_UNCHECKED);
        ::CheckDlgButton(dialog, IDC_PERSISTENT, persistent ? BST_CHECKED : BST_UNCHECKED);
        ::PostMessageW(dialog, WM_COMMAND, static_cast<WPARAM>(button), 0);
    });
}

bool KeyExists(const std::wstring& path) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    ::RegCloseKey(key);
    return true;
}

// The attributes of SeManageVolumePrivilege in this process's token; 0xFFFFFFFF when the token
// does not hold it.
DWORD ManageVolumeAttributes() {
    HANDLE token = nullptr;
    DWORD attributes = 0xFFFFFFFF;
    LUID luid{};
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return attributes;
    std::vector<BYTE> buffer(4096);
    DWORD size = 0;
    if (::LookupPrivilegeValueW(nullptr, SE_MANAGE_VOLUME_NAME, &luid) &&
        ::GetTokenInformation(token, TokenPrivileges, buffer.data(),
                              static_cast<DWORD>(buffer.size()), &size)) {
        const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
        for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
            const LUID& held = privileges->Privileges[i].Luid;
            if (held.LowPart == luid.LowPart && held.HighPart == luid.HighPart)
                attributes = privileges->Privileges[i].Attributes;
        }
    }
    ::CloseHandle(token);
    return attributes;
}

// The driver adds, removes and mounts only for a caller with SeManageVolumePrivilege enabled
// (Wine's check never refuses, so the driver's side is shown natively): an elevated token holds
// it disabled, and Tolvane enables it at start.
TEST_F(OnWine, TolvaneEnablesTheManageVolumePrivilege) {
    HANDLE token = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
    TOKEN_PRIVILEGES disabled{1, {{{0, 0}, 0}}};
    ASSERT_TRUE(
        ::LookupPrivilegeValueW(nullptr, SE_MANAGE_VOLUME_NAME, &disabled.Privileges[0].Luid));
    ASSERT_TRUE(::AdjustTokenPrivileges(token, FALSE, &disabled, 0, nullptr, nullptr));
    ::CloseHandle(token);
    ASSERT_NE(ManageVolumeAttributes(), 0xFFFFFFFFu) << "the administrator's token lacks it";
    EXPECT_EQ(ManageVolumeAttributes() & SE_PRIVILEGE_ENABLED, 0u);

    EXPECT_TRUE(EnableManageVolumePrivilege()) << ::GetLastError();
    EXPECT_NE(ManageVolumeAttributes() & SE_PRIVILEGE_ENABLED, 0u);
}

TEST_F(OnWine, MainDialogWithoutTheDriverListsNothingAndCannotAdd) {
    CBoxRecorder boxes;
    CScriptedVolumes volumes;
    CTolvaneDlg dlg(nullptr, SystemDeviceIo(), volumes);
    ASSERT_TRUE(dlg.Create(CTolvaneDlg::IDD));
    EXPECT_TRUE(Rows(dlg.m_hWnd).empty());
    ::SendMessageW(dlg.m_hWnd, WM_KICKIDLE, MSGF_DIALOGBOX, 0);
    for (int id : {IDC_REMOVE_DRIVE, IDC_MOUNT, IDC_EJECT, IDC_REMOUNT})
        EXPECT_FALSE(ItemEnabled(dlg.m_hWnd, id)) << id;
    Click(dlg.m_hWnd, IDC_ADD_DRIVE);
    EXPECT_EQ(std::vector<std::wstring>{L"Add Failed"}, boxes.Texts());
    dlg.DestroyWindow();
}

TEST_F(OnWine, MainDialogAddsMountsEjectsRemountsAndRemovesDrives) {
    const std::wstring first = MakeImage(L"first.iso");
    const std::wstring second = MakeImage(L"second image.iso");
    CKelmorService service;
    std::wstring error;
    ASSERT_TRUE(service.Install(DriverFile(), error)) << std::string(error.begin(), error.end());
    ASSERT_TRUE(service.Start(error)) << std::string(error.begin(), error.end());

    CBoxRecorder boxes;
    CFileChooser files;
    CTappedDeviceIo io;
    CScriptedVolumes volumes;
    CTolvaneDlg dlg(nullptr, io, volumes);
    ASSERT_TRUE(dlg.Create(CTolvaneDlg::IDD));
    const HWND h = dlg.m_hWnd;
    EXPECT_TRUE(Rows(h).empty());

    Click(h, IDC_ADD_DRIVE);
    Click(h, IDC_ADD_DRIVE);
    DRIVE_LIST list{};
    ASSERT_TRUE(QueryDrives(list));
    ASSERT_EQ(2u, DriveListCount(list));
    const wchar_t x = list.Letters[0];
    const wchar_t y = list.Letters[1];
    EXPECT_EQ((std::vector<std::wstring>{Row(x, kPrefix + L"None"), Row(y, kPrefix + L"None")}),
              Rows(h));
    EXPECT_EQ(0, SelectedRow(h));

    // Mount the four flag combinations on the first drive, the last one persistent.
    const struct {
        bool udf, joliet, persistent;
        int button;
        DWORD flags;
    } mounts[] = {{true, false, false, IDOK, 1},
                  {false, true, false, IDOK, 2},
                  {true, true, false, IDCANCEL, 0},
                  {true, true, true, IDOK, 3}};
    for (const auto& mount : mounts) {
        SCOPED_TRACE(mount.flags);
        files.answers = {first};
        auto script = AnswerOptions(mount.udf, mount.joliet, mount.persistent, mount.button);
        io.requests.clear();
        Click(h, IDC_MOUNT);
        ASSERT_FALSE(io.requests.empty());
        EXPECT_EQ(IOCTL_KELMOR_MOUNT_IMAGE, io.requests[0].code);
        EXPECT_EQ(mount.flags, io.requests[0].flags);
        EXPECT_EQ(Row(x, first), Rows(h)[0]);
    }
    const std::vector<std::wstring> recorded = {std::wstring(1, x) + L":", L"\\??\\" + first,
                                                L"KELMOR Opened!"};
    EXPECT_EQ(recorded, boxes.Texts());
    ExpectRecord(x, first);
    boxes.boxes.clear();

    // The second drive, selected, keeps its selection across the refresh of its mount.
    SelectRow(h, 1);
    files.answers = {second};
    {
        auto script = AnswerOptions(false, false, false, IDOK);
        Click(h, IDC_MOUNT);
    }
    EXPECT_EQ((std::vector<std::wstring>{Row(x, first), Row(y, second)}), Rows(h));
    EXPECT_EQ(1, SelectedRow(h));

    // Cancelling the file dialog sends nothing.
    io.requests.clear();
    files.answers = {L""};
    Click(h, IDC_MOUNT);
    EXPECT_TRUE(io.requests.empty());

    SelectRow(h, 0);
    Click(h, IDC_EJECT);
    EXPECT_EQ(Row(x, kPrefix + first), Rows(h)[0]);
    EXPECT_EQ(0, SelectedRow(h));
    Click(h, IDC_REMOUNT);
    EXPECT_EQ(Row(x, first), Rows(h)[0]);

    // A mount that fails leaves no record and no new row text.
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKelmorParametersKey);
    files.answers = {WindowsPath(TOLVANE_TEST_DIR) + L"\\missing.iso"};
    {
        auto script = AnswerOptions(false, false, true, IDOK);
        Click(h, IDC_MOUNT);
    }
    EXPECT_EQ(std::vector<std::wstring>{L"Mount Failed"}, boxes.Texts());
    EXPECT_FALSE(KeyExists(DeviceKey(x)));
    EXPECT_EQ(Row(x, first), Rows(h)[0]);

    // Removing the selected drive selects the first row that is left.
    Click(h, IDC_REMOVE_DRIVE);
    EXPECT_EQ(std::vector<std::wstring>{Row(y, second)}, Rows(h));
    EXPECT_EQ(0, SelectedRow(h));
    Click(h, IDC_REMOVE_DRIVE);
    EXPECT_TRUE(Rows(h).empty());
    EXPECT_EQ(-1, SelectedRow(h));
    EXPECT_EQ(1u, boxes.boxes.size()) << "an operation failed";
    dlg.DestroyWindow();
}

// The whole loop: a recorded mount, the driver installed and started through the service dialog
// opened from the main dialog, and the drive back in the list when that dialog closes.
TEST_F(OnWine, DriverStartedFromTheMainDialogBringsBackARecordedMount) {
    const std::wstring image = MakeImage(L"restored.iso");
    const DWORD taken = ::GetLogicalDrives();
    wchar_t letter = L'D';
    while (letter < L'Z' && (taken & (1u << (letter - L'A'))))
        ++letter;
    CBoxRecorder boxes;
    RecordPersistentMount(letter, image.c_str());

    CFileChooser files;
    CScriptedVolumes volumes;
    CTolvaneDlg dlg(nullptr, SystemDeviceIo(), volumes);
    ASSERT_TRUE(dlg.Create(CTolvaneDlg::IDD));
    EXPECT_TRUE(Rows(dlg.m_hWnd).empty());

    files.answers = {DriverFile()};
    CDialogScript script(L"Virtual CD-ROM Driver Control", [](HWND dialog) {
        Click(dialog, IDC_INSTALL_DRIVER);
        Click(dialog, IDC_START);
        ::PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    });
    boxes.boxes.clear();
    Click(dlg.m_hWnd, IDC_DRIVER_CONTROL);
    EXPECT_EQ(1, script.Runs());
    EXPECT_TRUE(boxes.boxes.empty()) << Describe(boxes.Texts());
    EXPECT_EQ(std::vector<std::wstring>{Row(letter, image)}, Rows(dlg.m_hWnd));
    dlg.DestroyWindow();
}

} // namespace
