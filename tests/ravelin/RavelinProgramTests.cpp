// Runs the shipped program, Ravelin.exe, as a user starts it: its application object runs the
// main dialog as the only window, the program ends when the dialog is closed, and a machine
// without a CD or DVD drive gets the one message box first.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// The program's path in Wine's view of the build tree (the host's root is drive Z:).
std::string ProgramPath() {
    std::string path = "Z:" RAVELIN_EXE;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

struct Windows {
    DWORD processId;
    HWND dialog = nullptr;     // the main dialog: it has the drive list
    HWND messageBox = nullptr; // a dialog of the program without one
};

BOOL CALLBACK FindProgramWindow(HWND hWnd, LPARAM lParam) {
    auto* found = reinterpret_cast<Windows*>(lParam);
    DWORD processId = 0;
    ::GetWindowThreadProcessId(hWnd, &processId);
    if (processId != found->processId || !::IsWindowVisible(hWnd))
        return TRUE;
    if (::GetDlgItem(hWnd, 1000))
        found->dialog = hWnd;
    else
        found->messageBox = hWnd;
    return TRUE;
}

std::string TextOf(HWND hWnd) {
    char text[256] = {};
    ::GetWindowTextA(hWnd, text, sizeof(text));
    return text;
}

BOOL CALLBACK CollectTexts(HWND hWnd, LPARAM lParam) {
    *reinterpret_cast<std::string*>(lParam) += TextOf(hWnd) + "|";
    return TRUE;
}

TEST(RavelinProgramTest, RunsItsDialogAndEndsWhenItIsClosed) {
    std::string commandLine = "\"" + ProgramPath() + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(::CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                                 nullptr, &startup, &process))
        << "Ravelin.exe did not start: error " << ::GetLastError();

    Windows found{process.dwProcessId};
    std::string boxTexts;
    int boxes = 0;
    const DWORD start = ::GetTickCount();
    while (::GetTickCount() - start < 30000) {
        found.dialog = found.messageBox = nullptr;
        ::EnumWindows(&FindProgramWindow, reinterpret_cast<LPARAM>(&found));
        if (found.messageBox) {
            // The message box of a machine without a CD/DVD drive comes before the dialog.
            ++boxes;
            ::EnumChildWindows(found.messageBox, &CollectTexts,
                               reinterpret_cast<LPARAM>(&boxTexts));
            boxTexts += "caption " + TextOf(found.messageBox);
            ::PostMessageA(found.messageBox, WM_COMMAND, IDOK, 0);
            while (::IsWindow(found.messageBox) && ::GetTickCount() - start < 30000)
                ::Sleep(20);
            continue;
        }
        if (found.dialog)
            break;
        ::Sleep(50);
    }
    ASSERT_NE(nullptr, found.dialog) << "the main dialog did not come up";
    EXPECT_LE(boxes, 1);
    if (boxes == 1) {
        EXPECT_NE(std::string::npos, boxTexts.find("No CD/DVD drive was detected.")) << boxTexts;
        EXPECT_NE(std::string::npos, boxTexts.find("caption Ravelin")) << boxTexts;
    }

    EXPECT_EQ("Ravelin", TextOf(found.dialog));
    EXPECT_NE(0, ::GetWindowLongPtrA(found.dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW);
    EXPECT_FALSE(::IsWindowVisible(::GetDlgItem(found.dialog, 1004)));
    EXPECT_EQ("&Rip", TextOf(::GetDlgItem(found.dialog, 1002)));

    HWND close = ::GetDlgItem(found.dialog, 1003);
    ::PostMessageA(found.dialog, WM_COMMAND, MAKEWPARAM(1003, BN_CLICKED),
                   reinterpret_cast<LPARAM>(close));
    DWORD waited = ::WaitForSingleObject(process.hProcess, 15000);
    EXPECT_EQ(WAIT_OBJECT_0, waited) << "Ravelin.exe did not end when its dialog was closed";
    if (waited != WAIT_OBJECT_0)
        ::TerminateProcess(process.hProcess, 1);
    DWORD exitCode = 99;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    EXPECT_EQ(0u, exitCode);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
}

} // namespace
