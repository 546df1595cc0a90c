#pragma once

// Helpers for tests that drive Tolvane's real dialogs under Wine: answer the message boxes and
// file dialogs in place of the user, and act on a modal dialog as soon as it has come up.

#include "Framework.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

// Answers every message box with OK and keeps its text.
class CBoxRecorder {
public:
    CBoxRecorder();
    ~CBoxRecorder();
    CBoxRecorder(const CBoxRecorder&) = delete;
    CBoxRecorder& operator=(const CBoxRecorder&) = delete;

    std::vector<CMessageBoxRequest> boxes;
    // Runs when a box comes up, before it is answered (a test may end a dialog there).
    std::function<void(const CMessageBoxRequest&)> onBox;

    std::vector<std::wstring> Texts() const;

private:
    MessageBoxHook m_previous;
};

// Answers file dialogs from a queue: each entry is a full path, or empty for Cancel. A dialog
// with no answer left is cancelled.
class CFileChooser {
public:
    CFileChooser();
    ~CFileChooser();
    CFileChooser(const CFileChooser&) = delete;
    CFileChooser& operator=(const CFileChooser&) = delete;

    std::deque<std::wstring> answers;
    std::vector<CFileDialogRequest> requests;

private:
    FileDialogHook m_previous;
};

// Calls `action` with the window of each dialog captioned `caption` once its WM_INITDIALOG has
// been handled, on this thread. The action typically ticks boxes and posts a button click.
class CDialogScript {
public:
    CDialogScript(const wchar_t* caption, std::function<void(HWND)> action);
    ~CDialogScript();
    CDialogScript(const CDialogScript&) = delete;
    CDialogScript& operator=(const CDialogScript&) = delete;

    int Runs() const { return m_runs; }

private:
    static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam);

    std::wstring m_caption;
    std::function<void(HWND)> m_action;
    HHOOK m_hook = nullptr;
    int m_runs = 0;
    CDialogScript* m_outer = nullptr;
};

// The text of a window, and of a dialog's control.
std::wstring WindowText(HWND hWnd);
std::wstring ItemText(HWND dialog, int id);
bool ItemEnabled(HWND dialog, int id);
// Sends the click of a button as the button itself would (WM_COMMAND, BN_CLICKED).
void Click(HWND dialog, int id);
// Handles what is queued for this thread, as a message loop would.
void PumpMessages();
