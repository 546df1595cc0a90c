#include "Scenarios.h"
#include "KelmorService.h"
#include "ProgramIds.h"
#include "UserActions.h"
#include "WineCdromLetter.h"

#include <commctrl.h>
#include <dbt.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

void Expect(bool condition, const std::string& what) {
    if (!condition)
        throw CUserActionFailed(what);
}

void WaitUntil(const std::string& what, const std::function<bool()>& done,
               DWORD milliseconds = kWaitMs) {
    if (!PollUntil(milliseconds, done))
        throw CUserActionFailed("did not happen within " + std::to_string(milliseconds) +
                                " ms: " + what);
}

// By its UTF-16 name: an image name need not be ASCII.
std::vector<char> ReadWholeFile(const std::wstring& path) {
    std::vector<char> data;
    FILE* in = _wfopen(path.c_str(), L"rb");
    if (in == nullptr)
        return data;
    char block[65536];
    for (size_t got; (got = std::fread(block, 1, sizeof(block), in)) > 0;)
        data.insert(data.end(), block, block + got);
    std::fclose(in);
    return data;
}

std::wstring RegistryString(HKEY key, const wchar_t* name, DWORD& type) {
    wchar_t value[600] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
        ERROR_SUCCESS)
        return L"(missing)";
    return value;
}

// Leaves the prefix without the driver's service and without persistent-mount records.
void ForgetTheDriver() {
    CKelmorService::RemoveLeftover();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, tolvane::kParametersKey);
}

// One scenario: its steps, the window each step photographs, and what to undo at the end.
class CScenario {
public:
    CScenario(const char* name, CStepLog& log) : m_log(log) { log.BeginScenario(name); }

    // Runs one step. `body` returns what it checked, and sets `shown` to the window that
    // pictures the step. A failure is recorded with a picture of the active window and
    // ends the scenario.
    void Step(const std::string& title, const std::function<std::string()>& body) {
        shown = nullptr;
        std::string checked;
        try {
            checked = body();
        } catch (const CUserActionFailed& failure) {
            m_log.Failed(title, failure.what(), ForegroundOf(m_pictureProcess));
            throw;
        }
        m_log.Passed(title, checked, shown);
    }

    // The program whose window a failed step photographs.
    void Photographs(DWORD pid) { m_pictureProcess = pid; }

    HWND shown = nullptr;

private:
    static HWND ForegroundOf(DWORD pid) {
        HWND window = GetForegroundWindow();
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        return owner == pid ? window : nullptr;
    }

    CStepLog& m_log;
    DWORD m_pictureProcess = 0;
};

// Tolvane's main window with a view of its drive list.
struct CTolvaneWindow {
    CTolvaneWindow(CProgram& program, HWND window)
        : program(program), main(window),
          list(Control(window, tolvane::kDriveList), program.Process()) {}

    std::wstring Row(int item, int column) const { return list.Text(item, column); }

    bool DriveButtonsEnabled(bool enabled) const {
        for (int id :
             {tolvane::kRemoveDrive, tolvane::kMount, tolvane::kEject, tolvane::kRemount}) {
            if (IsControlEnabled(main, id) != enabled)
                return false;
        }
        return true;
    }

    // Opens "Driver Control ..." and returns its window.
    HWND OpenServiceDialog() {
        ClickButton(main, tolvane::kDriverControl);
        return WaitForProgramWindow(program.Id(), tolvane::kServiceCaption, L"#32770",
                                    "opening the driver control");
    }

    CProgram& program;
    HWND main;
    CRemoteListView list;
};

// Clicks a service button until `done` holds. The Service Control Manager of a freshly
// booted Wine prefix answers "database locked" (1055) or times out (1053) for a few seconds;
// Tolvane then shows the system's text, which a user answers before trying again.
void ClickServiceButton(CTolvaneWindow& panel, HWND dialog, int button,
                        const std::function<bool()>& done, const std::string& what) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        ClickButton(dialog, button);
        bool refused = false;
        PollUntil(kWaitMs, [&] {
            if (IsMessageBoxShown(panel.program.Id(), tolvane::kMessageCaption)) {
                refused = true;
                return true;
            }
            return done();
        });
        if (!refused) {
            if (done())
                return;
            break;
        }
        CMessageBox box = WaitForMessageBox(panel.program.Id(), tolvane::kMessageCaption, what);
        std::printf("         (the service manager refused: \"%s\"; trying again)\n",
                    Narrow(box.text).c_str());
        AnswerMessageBox(box);
        Sleep(1000); // give the service manager a moment before the user's next click
    }
    throw CUserActionFailed(what + ": the service did not reach the expected state");
}

// Reads `bytes` of drive `letter` in requests of `chunk` bytes, each at its own offset, and
// returns the seconds it took: the raw rate of the drive for that request size.
double TimePositionedReads(wchar_t letter, double bytes, DWORD chunk = 2048) {
    const std::wstring device = std::wstring(L"\\\\.\\") + letter + L":";
    HANDLE drive = CreateFileW(device.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (drive == INVALID_HANDLE_VALUE)
        throw CUserActionFailed("cannot open the drive (error " + std::to_string(GetLastError()) +
                                ")");
    std::vector<char> sector(chunk);
    const ULONGLONG started = GetTickCount64();
    for (ULONGLONG offset = 0; offset < static_cast<ULONGLONG>(bytes); offset += chunk) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD read = 0;
        if (!ReadFile(drive, sector.data(), chunk, &read, &at) || read == 0)
            break;
    }
    const double seconds = static_cast<double>(GetTickCount64() - started) / 1000.0;
    CloseHandle(drive);
    return seconds > 0 ? seconds : 0.001;
}

std::wstring Drive(wchar_t letter) {
    return std::wstring(1, letter) + L":";
}

} // namespace

bool RunTolvaneScenario(const CScenarioSettings& s, CStepLog& log) {
    using namespace tolvane;
    CScenario scenario("tolvane", log);
    ForgetTheDriver();
    CProgram program;
    CDeviceChangeListener listener; // another program's top-level window
    try {
        program.Start(s.tolvane, s.work);
        scenario.Photographs(program.Id());
        HWND mainWindow = nullptr;
        scenario.Step("Tolvane starts: no driver, no drives", [&] {
            mainWindow =
                WaitForProgramWindow(program.Id(), kMainCaption, L"#32770", "starting Tolvane");
            scenario.shown = mainWindow;
            return std::string("the drive list is empty");
        });
        CTolvaneWindow panel(program, mainWindow);
        scenario.Step("The drive buttons are disabled without a selection", [&] {
            scenario.shown = panel.main;
            Expect(panel.list.Count() == 0, "the list has rows");
            if (!PollUntil(kWaitMs, [&] { return panel.DriveButtonsEnabled(false); })) {
                std::string enabled;
                for (int id : {kRemoveDrive, kMount, kEject, kRemount}) {
                    if (IsControlEnabled(panel.main, id))
                        enabled += " " + Narrow(ControlText(panel.main, id));
                }
                DWORD_PTR ignored = 0;
                const bool answers = SendMessageTimeoutW(panel.main, WM_NULL, 0, 0,
                                                         SMTO_ABORTIFHUNG, 2000, &ignored) != 0;
                throw CUserActionFailed("still enabled after " + std::to_string(kWaitMs) +
                                        " ms:" + enabled + (answers ? "" : " (Tolvane hangs)"));
            }
            return std::string("Remove Drive, Mount, Eject and Remount disabled");
        });

        HWND service = nullptr;
        scenario.Step("\"Driver Control ...\": the driver is not installed", [&] {
            service = panel.OpenServiceDialog();
            scenario.shown = service;
            Expect(ControlText(service, kServiceStatus) == kNotInstalled,
                   "status reads \"" + Narrow(ControlText(service, kServiceStatus)) + "\"");
            Expect(IsControlEnabled(service, kInstallDriver) &&
                       !IsControlEnabled(service, kRemoveDriver) &&
                       !IsControlEnabled(service, kStart) && !IsControlEnabled(service, kStop),
                   "only Install Driver should be enabled");
            return "status \"" + Narrow(kNotInstalled) + "\", only Install enabled";
        });
        scenario.Step("\"Install Driver ...\" with kelmor.sys", [&] {
            // A freshly booted service manager may refuse for a few seconds (see
            // ClickServiceButton): the user answers the message and installs again.
            for (int attempt = 1;; ++attempt) {
                ClickButton(service, kInstallDriver);
                AnswerFileDialog(program.Id(), s.driver, "choosing the driver file");
                bool refused = false;
                WaitUntil("the status names the installed driver", [&] {
                    refused = IsMessageBoxShown(program.Id(), kMessageCaption);
                    return refused || ControlText(service, kServiceStatus).find(kDisplayName) !=
                                          std::wstring::npos;
                });
                if (!refused)
                    break;
                CMessageBox box = WaitForMessageBox(program.Id(), kMessageCaption, "install");
                AnswerMessageBox(box);
                if (attempt == 8)
                    throw CUserActionFailed("install failed: " + Narrow(box.text));
                std::printf("         (the service manager refused: \"%s\"; trying again)\n",
                            Narrow(box.text).c_str());
                Sleep(1000);
            }
            const std::wstring status = ControlText(service, kServiceStatus);
            Expect(status.find(L"kelmor.sys") != std::wstring::npos,
                   "the status does not name the file: " + Narrow(status));
            Expect(!IsControlEnabled(service, kInstallDriver) &&
                       IsControlEnabled(service, kStart) && !IsControlEnabled(service, kStop),
                   "Start should be the only state button enabled");
            scenario.shown = service;
            return "status \"" + Narrow(status) + "\"; Start enabled";
        });
        scenario.Step("\"Start\" runs the driver", [&] {
            ClickServiceButton(
                panel, service, kStart,
                [&] {
                    return IsControlEnabled(service, kStop) && !IsControlEnabled(service, kStart);
                },
                "starting the driver");
            scenario.shown = service;
            return std::string("Stop enabled, Start disabled");
        });
        scenario.Step("\"OK\" closes the driver control", [&] {
            ClickButton(service, IDOK);
            WaitForWindowGone(service, "closing the driver control");
            scenario.shown = panel.main;
            return std::string("back to the panel; the list is refreshed (still empty)");
        });

        wchar_t first = 0, second = 0;
        scenario.Step("\"&Add Drive\" twice", [&] {
            ClickButton(panel.main, kAddDrive);
            WaitUntil("one row", [&] { return panel.list.Count() == 1; });
            ClickButton(panel.main, kAddDrive);
            WaitUntil("two rows", [&] { return panel.list.Count() == 2; });
            const std::wstring a = panel.Row(0, 0), b = panel.Row(1, 0);
            Expect(a.size() == 2 && a[1] == L':' && b.size() == 2 && b[1] == L':',
                   "drive texts \"" + Narrow(a) + "\", \"" + Narrow(b) + "\"");
            first = a[0];
            second = b[0];
            const std::wstring never = std::wstring(kLastOnePrefix) + kNone;
            Expect(panel.Row(0, 1) == never && panel.Row(1, 1) == never,
                   "a new drive should read \"" + Narrow(never) + "\", reads \"" +
                       Narrow(panel.Row(0, 1)) + "\"");
            scenario.shown = panel.main;
            return "rows " + Narrow(a) + " and " + Narrow(b) + ", each \"" + Narrow(never) + "\"";
        });
        scenario.Step("Select the first drive", [&] {
            panel.list.ClickRow(0);
            WaitUntil("the first row selected", [&] { return panel.list.Selected() == 0; });
            WaitUntil("the drive buttons enabled", [&] { return panel.DriveButtonsEnabled(true); });
            scenario.shown = panel.main;
            return "row " + Narrow(Drive(first)) + " selected; the drive buttons enabled";
        });
        scenario.Step("\"Mount\" the sample with Suppress Joliet and Persistent mount", [&] {
            ClickButton(panel.main, kMount);
            AnswerFileDialog(program.Id(), s.sample, "choosing the image");
            HWND options =
                WaitForProgramWindow(program.Id(), kOptionsCaption, L"#32770", "the mount options");
            Expect(ControlText(options, kImagePath) == s.sample,
                   "the options show \"" + Narrow(ControlText(options, kImagePath)) + "\"");
            Expect(!IsChecked(options, kSuppressUdf) && !IsChecked(options, kSuppressJoliet) &&
                       !IsChecked(options, kPersistent),
                   "every option should start unticked");
            SetCheckBox(options, kSuppressJoliet, true);
            SetCheckBox(options, kPersistent, true);
            log.Passed("The options dialog, ticked", "Suppress Joliet and Persistent mount",
                       options);
            ClickButton(options, IDOK);
            ExpectMessageBox(program.Id(), kMessageCaption, Drive(first), "the drive text");
            ExpectMessageBox(program.Id(), kMessageCaption, L"\\??\\" + s.sample, "the image text");
            ExpectMessageBox(program.Id(), kMessageCaption, kKeyOpened, "the record's key");
            WaitUntil("the row shows the image",
                      [&] { return panel.list.Count() == 2 && panel.Row(0, 1) == s.sample; });
            scenario.shown = panel.main;
            return "boxes \"" + Narrow(Drive(first)) + "\", \"\\??\\" + Narrow(s.sample) +
                   "\", \"KELMOR Opened!\"; the row shows the path";
        });
        scenario.Step("\"Eject\"", [&] {
            ClickButton(panel.main, kEject);
            const std::wstring ejected = kLastOnePrefix + s.sample;
            WaitUntil("the row shows the last image",
                      [&] { return panel.list.Count() == 2 && panel.Row(0, 1) == ejected; });
            scenario.shown = panel.main;
            return "the row reads \"" + Narrow(ejected) + "\"";
        });
        scenario.Step("\"Remount\"", [&] {
            WaitUntil("Remount enabled", [&] { return IsControlEnabled(panel.main, kRemount); });
            ClickButton(panel.main, kRemount);
            WaitUntil("the row shows the image again",
                      [&] { return panel.list.Count() == 2 && panel.Row(0, 1) == s.sample; });
            scenario.shown = panel.main;
            return "the row shows the path again";
        });
        scenario.Step("\"&Remove Drive\" on the second row", [&] {
            panel.list.ClickRow(1);
            WaitUntil("the second row selected", [&] { return panel.list.Selected() == 1; });
            WaitUntil("Remove Drive enabled",
                      [&] { return IsControlEnabled(panel.main, kRemoveDrive); });
            ClickButton(panel.main, kRemoveDrive);
            WaitUntil("one row left", [&] { return panel.list.Count() == 1; });
            Expect(panel.Row(0, 0) == Drive(first), "the remaining row is not the first drive");
            Expect(panel.list.Selected() == 0, "the remaining row is not selected");
            scenario.shown = panel.main;
            return Narrow(Drive(second)) + " removed; " + Narrow(Drive(first)) +
                   " left and selected";
        });
        scenario.Step("Every change announced to other programs' windows", [&] {
            using Event = CDeviceChangeListener::Event;
            const WPARAM in = DBT_DEVICEARRIVAL, out = DBT_DEVICEREMOVECOMPLETE;
            const std::vector<Event> expected = {{in, first, false}, {in, second, false},
                                                 {in, first, true},  {out, first, true},
                                                 {in, first, true},  {out, second, false}};
            WaitUntil("WM_DEVICECHANGE for each change",
                      [&] { return listener.Events().size() >= expected.size(); });
            std::string seen;
            for (const Event& e : listener.Events())
                seen += std::string(e.event == in ? " arrival " : " removal ") +
                        static_cast<char>(e.letter) + (e.media ? " (medium)" : "");
            Expect(listener.Events() == expected, "received" + seen);
            return "WM_DEVICECHANGE:" + seen;
        });
        scenario.Step("The persistent-mount record", [&] {
            const std::wstring keyPath =
                std::wstring(kParametersKey) + L"\\Device" + static_cast<wchar_t>(first);
            HKEY key = nullptr;
            Expect(RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key) ==
                       ERROR_SUCCESS,
                   "no key " + Narrow(keyPath));
            DWORD driveType = 0, imageType = 0;
            const std::wstring drive = RegistryString(key, L"DRIVE", driveType);
            const std::wstring image = RegistryString(key, L"IMAGE", imageType);
            RegCloseKey(key);
            Expect(drive == Drive(first) && driveType == REG_SZ,
                   "DRIVE reads \"" + Narrow(drive) + "\"");
            Expect(image == L"\\??\\" + s.sample && imageType == REG_SZ,
                   "IMAGE reads \"" + Narrow(image) + "\"");
            scenario.shown = panel.main;
            return "HKLM\\" + Narrow(keyPath) + ": DRIVE \"" + Narrow(drive) + "\", IMAGE \"" +
                   Narrow(image) + "\"";
        });
        scenario.Step("Stop and start the driver, close the box: the drive is back", [&] {
            service = panel.OpenServiceDialog();
            ClickServiceButton(
                panel, service, kStop,
                [&] {
                    return IsControlEnabled(service, kStart) && !IsControlEnabled(service, kStop);
                },
                "stopping the driver");
            ClickServiceButton(
                panel, service, kStart,
                [&] {
                    return IsControlEnabled(service, kStop) && !IsControlEnabled(service, kStart);
                },
                "starting the driver again");
            SystemCommand(service, SC_CLOSE);
            WaitForWindowGone(service, "closing the driver control with its close box");
            WaitUntil("the recorded drive listed with its image", [&] {
                return panel.list.Count() == 1 && panel.Row(0, 0) == Drive(first) &&
                       panel.Row(0, 1) == s.sample;
            });
            scenario.shown = panel.main;
            return Narrow(Drive(first)) + " is back with " + Narrow(s.sample);
        });
        scenario.Step("\"&Add Drive\" once more: two drives", [&] {
            ClickButton(panel.main, kAddDrive);
            WaitUntil("two rows", [&] { return panel.list.Count() == 2; });
            second = panel.Row(1, 0)[0];
            scenario.shown = panel.main;
            return "rows " + Narrow(Drive(first)) + " and " + Narrow(Drive(second));
        });
        scenario.Step("\"Stop\" and \"Remove Driver\"", [&] {
            service = panel.OpenServiceDialog();
            ClickServiceButton(
                panel, service, kStop,
                [&] {
                    return IsControlEnabled(service, kStart) && !IsControlEnabled(service, kStop);
                },
                "stopping the driver");
            ClickServiceButton(
                panel, service, kRemoveDriver,
                [&] { return ControlText(service, kServiceStatus) == kNotInstalled; },
                "removing the driver");
            scenario.shown = service;
            Expect(IsControlEnabled(service, kInstallDriver), "Install should be enabled");
            return "status \"" + Narrow(kNotInstalled) + "\"";
        });
        scenario.Step("Without the driver \"&Add Drive\" answers \"Add Failed\"", [&] {
            ClickButton(service, IDOK);
            WaitForWindowGone(service, "closing the driver control");
            WaitUntil("the list empty", [&] { return panel.list.Count() == 0; });
            // The drives the stop took away are announced when the box closes.
            using Event = CDeviceChangeListener::Event;
            const WPARAM out = DBT_DEVICEREMOVECOMPLETE;
            const std::vector<Event> removals = {{out, first, false}, {out, second, false}};
            WaitUntil("WM_DEVICECHANGE for both drives", [&] {
                const std::vector<Event> events = listener.Events();
                return events.size() >= 2 &&
                       std::vector<Event>(events.end() - 2, events.end()) == removals;
            });
            ClickButton(panel.main, kAddDrive);
            CMessageBox box = WaitForMessageBox(program.Id(), kMessageCaption, "Add Drive");
            scenario.shown = box.window;
            log.Passed("The \"Add Failed\" box", "text \"" + Narrow(box.text) + "\"", box.window);
            AnswerMessageBox(box);
            Expect(box.text == kAddFailed, "the box says \"" + Narrow(box.text) + "\"");
            scenario.shown = panel.main;
            return std::string("\"Add Failed\" shown and answered; the list stays empty");
        });
        scenario.Step("\"OK\" ends Tolvane", [&] {
            ClickButton(panel.main, IDOK);
            program.WaitForExit(kWaitMs, "ending Tolvane");
            return std::string("the program has ended");
        });
    } catch (const CUserActionFailed&) {
        program.Kill();
        ForgetTheDriver();
        return false;
    }
    ForgetTheDriver();
    return true;
}

bool RunRavelinScenario(const CScenarioSettings& s, CStepLog& log) {
    using namespace ravelin;
    CScenario scenario("ravelin", log);
    CProgram program;
    try {
        program.Start(s.ravelin, s.work);
        scenario.Photographs(program.Id());
        scenario.Step("Ravelin starts on a machine without a CD/DVD drive", [&] {
            CMessageBox box = WaitForMessageBox(program.Id(), kMessageCaption, "starting Ravelin");
            scenario.shown = box.window;
            Expect(box.text == kNoDrive, "the box says \"" + Narrow(box.text) + "\"");
            log.Passed("The start-up message", "\"" + Narrow(box.text) + "\"", box.window);
            AnswerMessageBox(box);
            // Shown once: no second box follows the answer.
            Expect(
                !PollUntil(1000, [&] { return IsMessageBoxShown(program.Id(), kMessageCaption); }),
                "the message came a second time");
            scenario.shown =
                WaitForProgramWindow(program.Id(), kMainCaption, L"#32770", "the main window");
            return "\"" + Narrow(kNoDrive) + "\" shown once and answered";
        });
        HWND mainWindow = scenario.shown;
        scenario.Step("The empty drive list leaves Rip disabled", [&] {
            scenario.shown = mainWindow;
            Expect(SendMessageW(Control(mainWindow, kDriveList), CB_GETCOUNT, 0, 0) == 0,
                   "the drive list has entries");
            Expect(!IsControlEnabled(mainWindow, kRip), "Rip is enabled");
            Expect(!IsControlVisible(mainWindow, kProgress), "the progress bar shows");
            Expect(ControlText(mainWindow, kRip) == kRipText, "the button is not \"&Rip\"");
            return std::string("no entries; \"&Rip\" disabled; no progress bar");
        });
        scenario.Step("A typed name; Rip stays off without a drive", [&] {
            TypeText(mainWindow, kOutputName, L"typed.iso");
            // Rip needs a selected drive as well as a name.
            Expect(!PollUntil(500, [&] { return IsControlEnabled(mainWindow, kRip); }),
                   "Rip was enabled without a drive");
            scenario.shown = mainWindow;
            return std::string("the name box reads typed.iso; \"&Rip\" still disabled");
        });
        scenario.Step("The About box from the system menu", [&] {
            SystemCommand(mainWindow, kAboutCommand);
            HWND about =
                WaitForProgramWindow(program.Id(), kAboutCaption, L"#32770", "the About box");
            scenario.shown = about;
            log.Passed("About Ravelin", "the box is shown", about);
            ClickButton(about, IDOK);
            WaitForWindowGone(about, "closing the About box");
            scenario.shown = mainWindow;
            return std::string("\"About Ravelin\" shown and closed with OK");
        });
        scenario.Step("Esc closes Ravelin", [&] {
            PressKey(mainWindow, VK_ESCAPE);
            program.WaitForExit(kWaitMs, "ending Ravelin with Esc");
            return std::string("the program has ended");
        });
    } catch (const CUserActionFailed&) {
        program.Kill();
        return false;
    }
    return true;
}

namespace {

// Clicks Rip with `name` typed and waits for the copy to end: the image file's bytes.
// Rips the disc into `name` under `work` through the window and reads the image back;
// `seconds`, when given, receives the time from the click to the copy's end.
std::vector<char> RipWhole(HWND rip, const std::wstring& work, const std::wstring& name,
                           double* seconds = nullptr) {
    using namespace ravelin;
    const std::wstring path = work + L"\\" + name;
    DeleteFileW(path.c_str());
    TypeText(rip, kOutputName, name);
    const ULONGLONG clicked = GetTickCount64();
    ClickButton(rip, kRip);
    // The click is posted: the copy has begun once its image exists or "&Abort" shows. Looked
    // at ten times a second: each look is a request to Ravelin's window through the Wine
    // server, whose time the copy's reads share.
    const ULONGLONG deadline = clicked + Stretched(kWaitMs);
    bool begun = false;
    for (;;) {
        begun = begun || GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES ||
                ControlText(rip, kRip) == kAbortText;
        if (begun && ControlText(rip, kRip) == kRipText && !IsControlVisible(rip, kProgress))
            break;
        if (GetTickCount64() >= deadline)
            throw CUserActionFailed("did not happen within " + std::to_string(kWaitMs) +
                                    " ms: the copy to end");
        Sleep(begun ? 100 : 10);
    }
    if (seconds)
        *seconds = std::max(0.001, static_cast<double>(GetTickCount64() - clicked) / 1000.0);
    return ReadWholeFile(path);
}

// Starts a program of the host: Wine starts a Unix program as it starts a Windows one, but its
// handle cannot be waited on, so the caller watches for what the program does.
bool StartHostProgram(const std::wstring& program, std::wstring arguments) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.c_str(), &arguments[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process))
        return false;
    if (process.hThread)
        CloseHandle(process.hThread);
    if (process.hProcess)
        CloseHandle(process.hProcess);
    return true;
}

LONGLONG FileSizeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return static_cast<LONGLONG>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

// The host's path of a Z: path ("Z:\work\x" is "/work/x").
std::wstring HostPath(std::wstring path) {
    if (path.size() >= 2 && (path[0] == L'Z' || path[0] == L'z') && path[1] == L':')
        path.erase(0, 2);
    std::replace(path.begin(), path.end(), L'\\', L'/');
    return path;
}

// Mounts a copy of the large disc, cuts the copy to half its size under the driver (as a disc
// pulled out or an image file that shrank would be), and rips it: the read of the first
// missing sector fails with a data error, Ravelin says so and the image holds what came before.
std::string RipShortenedImage(const CScenarioSettings& s, CTolvaneWindow& panel,
                              CProgram& panelProgram, HWND rip, DWORD ripper, CStepLog& log) {
    using namespace ravelin;
    const std::wstring shrinking = s.work + L"\\shrinking.iso";
    Expect(CopyFileW(s.bigImage.c_str(), shrinking.c_str(), FALSE) != FALSE,
           "cannot copy the large disc (error " + std::to_string(GetLastError()) + ")");
    const std::vector<char> original = ReadWholeFile(shrinking);
    const size_t half = original.size() / 2 / 2048 * 2048;
    ClickButton(panel.main, tolvane::kMount);
    AnswerFileDialog(panelProgram.Id(), shrinking, "choosing the image to cut short");
    ClickButton(WaitForProgramWindow(panelProgram.Id(), tolvane::kOptionsCaption, L"#32770",
                                     "the mount options"),
                IDCANCEL);
    WaitUntil("the row shows it", [&] { return panel.Row(0, 1) == shrinking; });
    Expect(StartHostProgram(L"Z:\\usr\\bin\\truncate", L"truncate -s " + std::to_wstring(half) +
                                                           L" \"" + HostPath(shrinking) + L"\""),
           "truncate did not start (error " + std::to_string(GetLastError()) + ")");
    WaitUntil("the image cut short",
              [&] { return FileSizeOf(shrinking) == static_cast<LONGLONG>(half); });

    const std::wstring path = s.work + L"\\shortened.iso";
    DeleteFileW(path.c_str());
    TypeText(rip, kOutputName, L"shortened.iso");
    ClickButton(rip, kRip);
    CMessageBox box = WaitForMessageBox(ripper, kMessageCaption, "the failed read told");
    const std::wstring told = L"The disc could not be read at sector " +
                              std::to_wstring(half / 2048) + L" of " +
                              std::to_wstring(original.size() / 2048) + L" (error 23):";
    log.Passed("Ravelin's message on the failed read", "text \"" + Narrow(box.text) + "\"",
               box.window);
    Expect(box.text.compare(0, told.size(), told) == 0,
           "the message reads \"" + Narrow(box.text) + "\"");
    AnswerMessageBox(box);
    WaitUntil("idle again", [&] {
        return ControlText(rip, kRip) == kRipText && !IsControlVisible(rip, kProgress);
    });
    const std::vector<char> copy = ReadWholeFile(path);
    Expect(copy.size() == half && std::equal(copy.begin(), copy.end(), original.begin()),
           "the image holds " + std::to_string(copy.size()) + " bytes, not the first " +
               std::to_string(half));
    return Narrow(box.text.substr(0, told.size())) + " shown; shortened.iso holds the first " +
           std::to_string(half) + " bytes";
}

bool RunLoop(const char* name, const CScenarioSettings& s, CStepLog& log) {
    CScenario scenario(name, log);
    if (!s.serviceCreatedByRig)
        ForgetTheDriver();
    CKelmorService service;
    CProgram panelProgram, ripper;
    wchar_t letter = 0;
    bool passed = true;
    try {
        if (s.serviceCreatedByRig) {
            scenario.Step("The driver runs (its service created by the test rig)", [&] {
                std::wstring binary, error;
                Expect(service.Open(binary, error), Narrow(error));
                Expect(lstrcmpiW(binary.c_str(), s.driver.c_str()) == 0,
                       "the service is of \"" + Narrow(binary) + "\"");
                // What the rig is for: Wine hosts a service it has marked WOW64 in its 32-bit
                // driver host, which cannot load a 64-bit driver.
                DWORD wow64 = 0, size = sizeof(wow64);
                Expect(RegGetValueW(HKEY_LOCAL_MACHINE,
                                    L"System\\CurrentControlSet\\Services\\kelmor", L"WOW64",
                                    RRF_RT_REG_DWORD, nullptr, &wow64, &size) != ERROR_SUCCESS ||
                           wow64 == 0,
                       "the service is marked WOW64");
                Expect(service.Start(error), Narrow(error));
                return "service \"kelmor\" of " + Narrow(binary) + " running";
            });
        } else {
            scenario.Step("The driver runs (installed by the test rig)", [&] {
                std::wstring error;
                Expect(service.Install(s.driver, error) && service.Start(error), Narrow(error));
                return std::string("service \"kelmor\" running");
            });
        }
        panelProgram.Start(s.tolvane, s.work);
        scenario.Photographs(panelProgram.Id());
        HWND mainWindow = WaitForProgramWindow(panelProgram.Id(), tolvane::kMainCaption, L"#32770",
                                               "starting Tolvane");
        if (s.serviceCreatedByRig) {
            scenario.Step("Tolvane runs at the rig's width on 64-bit Windows", [&] {
                SYSTEM_INFO system = {};
                GetNativeSystemInfo(&system);
                Expect(system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64,
                       "the system is not 64-bit");
                BOOL wow64 = FALSE;
                Expect(IsWow64Process(panelProgram.Process(), &wow64) != 0,
                       "IsWow64Process failed with " + std::to_string(GetLastError()));
                Expect((wow64 != FALSE) == (sizeof(void*) == 4),
                       wow64 ? "Tolvane is a 32-bit process" : "Tolvane is a 64-bit process");
                return std::string(wow64 ? "a 32-bit process under WoW64 on x64"
                                         : "a 64-bit process on x64");
            });
        }
        CTolvaneWindow panel(panelProgram, mainWindow);
        scenario.Step("Tolvane adds a drive and mounts the sample", [&] {
            ClickButton(panel.main, tolvane::kAddDrive);
            WaitUntil("one row", [&] { return panel.list.Count() == 1; });
            letter = panel.Row(0, 0)[0];
            WaitUntil("Mount enabled",
                      [&] { return IsControlEnabled(panel.main, tolvane::kMount); });
            ClickButton(panel.main, tolvane::kMount);
            AnswerFileDialog(panelProgram.Id(), s.sample, "choosing the image");
            HWND options = WaitForProgramWindow(panelProgram.Id(), tolvane::kOptionsCaption,
                                                L"#32770", "the mount options");
            ClickButton(options, IDOK);
            WaitUntil("the row shows the image", [&] { return panel.Row(0, 1) == s.sample; });
            scenario.shown = panel.main;
            return Narrow(Drive(letter)) + " maps " + Narrow(s.sample);
        });
        scenario.Step("The rig tells Wine the letter is a CD-ROM drive", [&] {
            std::string error;
            Expect(DefineWineCdromLetter(letter, error), error);
            const std::string root = std::string(1, static_cast<char>(letter)) + ":\\";
            Expect(GetDriveTypeA(root.c_str()) == DRIVE_CDROM, "GetDriveTypeA is not DRIVE_CDROM");
            return RunningOnWine() ? std::string("GetDriveTypeA answers DRIVE_CDROM")
                                   : std::string("a CD-ROM drive already (not Wine)");
        });

        using namespace ravelin;
        ripper.Start(s.ravelin, s.work);
        scenario.Photographs(ripper.Id());
        HWND rip = nullptr;
        const std::wstring root = Drive(letter) + L"\\";
        const std::wstring proposed = Widen(s.sampleLabel) + L".iso";
        scenario.Step("Ravelin lists the drive and proposes the label", [&] {
            rip = WaitForProgramWindow(ripper.Id(), kMainCaption, L"#32770", "starting Ravelin");
            Expect(!IsMessageBoxShown(ripper.Id(), kMessageCaption),
                   "Ravelin says it sees no CD/DVD drive");
            HWND combo = Control(rip, kDriveList);
            WaitUntil("the drive selected",
                      [&] { return SendMessageW(combo, CB_GETCURSEL, 0, 0) != CB_ERR; });
            const std::wstring entry = WindowText(combo);
            Expect(entry == root, "the selected entry is \"" + Narrow(entry) + "\"");
            WaitUntil("the name \"" + Narrow(proposed) + "\" proposed",
                      [&] { return ControlText(rip, kOutputName) == proposed; });
            WaitUntil("Rip enabled", [&] { return IsControlEnabled(rip, kRip); });
            scenario.shown = rip;
            return "entry " + Narrow(root) + " selected; name " + Narrow(proposed) +
                   "; \"&Rip\" enabled";
        });
        scenario.Step("An emptied name disables Rip, a typed one enables it", [&] {
            TypeText(rip, kOutputName, L"");
            WaitUntil("Rip disabled", [&] { return !IsControlEnabled(rip, kRip); });
            TypeText(rip, kOutputName, proposed);
            WaitUntil("Rip enabled", [&] { return IsControlEnabled(rip, kRip); });
            scenario.shown = rip;
            return std::string("disabled with no name, enabled with a typed one");
        });
        const std::wstring ripped = s.work + L"\\" + proposed;
        DeleteFileW(ripped.c_str());
        double ripSeconds = 0;
        scenario.Step("\"&Rip\": the progress bar shows, \"&Abort\" turns back into \"&Rip\"", [&] {
            const ULONGLONG clicked = GetTickCount64();
            ClickButton(rip, kRip);
            bool sawCopying = false;
            WaitUntil("the copy to end", [&] {
                if (IsControlVisible(rip, kProgress) && ControlText(rip, kRip) == kAbortText) {
                    if (!sawCopying)
                        log.Passed("Copying", "progress bar shown, \"&Abort\"", rip);
                    sawCopying = true;
                }
                return sawCopying && ControlText(rip, kRip) == kRipText &&
                       !IsControlVisible(rip, kProgress);
            });
            ripSeconds = static_cast<double>(GetTickCount64() - clicked) / 1000.0;
            scenario.shown = rip;
            return std::string("copying seen; idle again");
        });
        scenario.Step("The ripped image is the sample, byte for byte", [&] {
            const std::vector<char> copy = ReadWholeFile(ripped),
                                    original = ReadWholeFile(s.sample);
            Expect(!original.empty(), "the sample cannot be read");
            Expect(copy == original, "the image differs: " + std::to_string(copy.size()) +
                                         " bytes against " + std::to_string(original.size()));
            return Narrow(ripped) + ": " + std::to_string(copy.size()) + " bytes, identical";
        });
        scenario.Step("The rip rate beside positioned reads of the same drive", [&] {
            const double bytes = static_cast<double>(ReadWholeFile(s.sample).size());
            const double readSeconds = TimePositionedReads(letter, bytes);
            char text[200];
            std::snprintf(text, sizeof(text),
                          "rip %.1f MB/s (%.2f s, click to idle); 2048-byte positioned reads "
                          "%.1f MB/s (%.2f s)",
                          bytes / 1e6 / ripSeconds, ripSeconds, bytes / 1e6 / readSeconds,
                          readSeconds);
            std::printf("         %s\n", text);
            return std::string(text);
        });

        if (!s.bigImage.empty()) {
            const std::wstring partial = s.work + L"\\aborted.iso";
            DeleteFileW(partial.c_str());
            scenario.Step("Tolvane mounts the large disc on the same drive", [&] {
                ClickButton(panel.main, tolvane::kMount);
                AnswerFileDialog(panelProgram.Id(), s.bigImage, "choosing the large image");
                HWND options = WaitForProgramWindow(panelProgram.Id(), tolvane::kOptionsCaption,
                                                    L"#32770", "the mount options");
                ClickButton(options, IDCANCEL); // Cancel still mounts, without options
                WaitUntil("the row shows the large image",
                          [&] { return panel.Row(0, 1) == s.bigImage; });
                scenario.shown = panel.main;
                return Narrow(Drive(letter)) + " maps " + Narrow(s.bigImage);
            });
            scenario.Step("\"&Abort\" mid-copy keeps a prefix of the disc", [&] {
                TypeText(rip, kOutputName, L"aborted.iso");
                ClickButton(rip, kRip);
                // The click lands once the bar shows the copy under way and far from its end,
                // however fast the copy runs.
                WaitUntil("copying, between 1 and 60 per cent", [&] {
                    const LRESULT position =
                        SendMessageW(Control(rip, kProgress), PBM_GETPOS, 0, 0);
                    return IsControlVisible(rip, kProgress) &&
                           ControlText(rip, kRip) == kAbortText && position >= 1 && position <= 60;
                });
                log.Passed("Copying the large disc", "progress bar shown", rip);
                ClickButton(rip, kRip);
                WaitUntil("idle again", [&] {
                    return ControlText(rip, kRip) == kRipText && !IsControlVisible(rip, kProgress);
                });
                const std::vector<char> copy = ReadWholeFile(partial),
                                        original = ReadWholeFile(s.bigImage);
                Expect(copy.size() < original.size(), "the copy ran to its end before the abort");
                Expect(std::equal(copy.begin(), copy.end(), original.begin()),
                       "the partial image is not a prefix of the disc");
                scenario.shown = rip;
                return "aborted.iso holds the first " + std::to_string(copy.size()) + " of " +
                       std::to_string(original.size()) + " bytes";
            });
            scenario.Step(
                "The large disc, no whole number of cylinders, copied byte for byte", [&] {
                    const std::vector<char> original = ReadWholeFile(s.bigImage);
                    Expect(original.size() / 2048 % 2048 != 0, "the large disc is whole cylinders");
                    double copySeconds = 0;
                    const std::vector<char> copy = RipWhole(rip, s.work, L"big.iso", &copySeconds);
                    Expect(copy == original, "the image differs: " + std::to_string(copy.size()) +
                                                 " bytes against " +
                                                 std::to_string(original.size()));
                    // The copy through the window beside the drive's raw rate of 256 KiB reads.
                    const double bytes = static_cast<double>(original.size());
                    const double rawSeconds = TimePositionedReads(letter, bytes, 256 * 1024);
                    char rates[160];
                    std::snprintf(rates, sizeof(rates),
                                  "copy %.1f MB/s (click to idle), 256 KiB reads %.1f MB/s: %.2f "
                                  "of the raw rate",
                                  bytes / 1e6 / copySeconds, bytes / 1e6 / rawSeconds,
                                  rawSeconds / copySeconds);
                    std::printf("         %s\n", rates);
                    scenario.shown = rip;
                    return std::to_string(original.size() / 2048) + " sectors, identical; " + rates;
                });
            if (RunningOnWine())
                scenario.Step("An image cut short while mounted: Ravelin tells where the read "
                              "failed and keeps the sectors before it",
                              [&] {
                                  return RipShortenedImage(s, panel, panelProgram, rip, ripper.Id(),
                                                           log);
                              });
        }
        scenario.Step("\"Close\" ends Ravelin", [&] {
            ClickButton(rip, kClose);
            ripper.WaitForExit(kWaitMs, "ending Ravelin");
            return std::string("the program has ended");
        });
        scenario.Photographs(panelProgram.Id());
        scenario.Step("Tolvane removes the drive and ends", [&] {
            ClickButton(panel.main, tolvane::kRemoveDrive);
            WaitUntil("no rows", [&] { return panel.list.Count() == 0; });
            ClickButton(panel.main, IDOK);
            panelProgram.WaitForExit(kWaitMs, "ending Tolvane");
            return std::string("the drive is gone; the program has ended");
        });
    } catch (const CUserActionFailed&) {
        passed = false;
    }
    ripper.Kill();
    panelProgram.Kill();
    // The driver goes first, taking its link with it; then the letter's definition. The
    // service object lets go of its handle, or the deletion would wait for it.
    service.Remove();
    ForgetTheDriver();
    if (letter) {
        std::string error;
        UndefineWineCdromLetter(letter, error);
    }
    return passed;
}

} // namespace

bool RunLoopScenario(const CScenarioSettings& s, CStepLog& log) {
    return RunLoop("loop", s, log);
}

bool RunWow64Scenario(const CScenarioSettings& s, CStepLog& log) {
    CScenarioSettings wow64 = s;
    // "Échantillon диск ü.iso": Latin, Cyrillic and a space.
    wow64.sample = s.work + L"\\\u00c9chantillon \u0434\u0438\u0441\u043a \u00fc.iso";
    if (!CopyFileW(s.sample.c_str(), wow64.sample.c_str(), FALSE)) {
        std::fprintf(stderr, "wow64: cannot copy the sample (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return false;
    }
    wow64.serviceCreatedByRig = true;
    wow64.bigImage.clear();
    const bool passed = RunLoop("wow64", wow64, log);
    DeleteFileW(wow64.sample.c_str());
    return passed;
}
