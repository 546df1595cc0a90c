#pragma once

// What a person (or an accessibility tool) can do to another program's windows: find them by
// caption and class, read their controls, click, type, tick, pick list rows, answer message
// boxes and the file dialog. Every wait is a bounded poll; a wait that runs out throws
// CUserActionFailed naming what did not appear.

#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

class CUserActionFailed : public std::runtime_error {
public:
    explicit CUserActionFailed(const std::string& what) : std::runtime_error(what) {}
};

std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

// How many times slower than usual this machine runs programs: the BLACKBOX_SLOWDOWN
// environment variable (a whole number, 1 when unset), which a run under an emulated CPU sets.
// Every bound below is stretched by it, so that a slow machine is not taken for a hung program.
DWORD Slowdown();
inline DWORD Stretched(DWORD milliseconds) {
    return milliseconds * Slowdown();
}

// Polls `done` every 10 ms for at most `milliseconds` (stretched); true as soon as it holds.
template <typename Predicate> bool PollUntil(DWORD milliseconds, Predicate done) {
    const ULONGLONG deadline = GetTickCount64() + Stretched(milliseconds);
    for (;;) {
        if (done())
            return true;
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(10);
    }
}

// The default bound of a wait for a window or a state: generous, as Wine starts a program in
// about a second and a driver service in a few.
constexpr DWORD kWaitMs = 20000;

// A program started for the scenario, ended when the object goes if it is still running.
class CProgram {
public:
    CProgram() = default;
    ~CProgram();
    CProgram(const CProgram&) = delete;
    CProgram& operator=(const CProgram&) = delete;

    void Start(const std::wstring& path, const std::wstring& directory);
    DWORD Id() const { return m_info.dwProcessId; }
    HANDLE Process() const { return m_info.hProcess; }
    bool HasEnded() const;
    // Waits for the program to end by itself; throws when it does not.
    DWORD WaitForExit(DWORD milliseconds, const std::string& what);
    void Kill();

private:
    PROCESS_INFORMATION m_info = {};
};

// A top-level window of process `pid` with this caption and class (either may be null for
// "any"), visible; null when there is none.
HWND FindProgramWindow(DWORD pid, const wchar_t* caption, const wchar_t* className);
HWND WaitForProgramWindow(DWORD pid, const wchar_t* caption, const wchar_t* className,
                          const std::string& what, DWORD milliseconds = kWaitMs);
void WaitForWindowGone(HWND window, const std::string& what, DWORD milliseconds = kWaitMs);

HWND Control(HWND dialog, int id);
std::wstring WindowText(HWND window);
std::wstring ControlText(HWND dialog, int id);
bool IsControlEnabled(HWND dialog, int id);
bool IsControlVisible(HWND dialog, int id);

// Clicks a push button as the user would: it must be visible and enabled. The click is
// posted, so a button that opens a modal dialog does not hold the caller.
void ClickButton(HWND dialog, int id);
// Ticks or clears an auto check box by clicking it when its state differs.
void SetCheckBox(HWND dialog, int id, bool checked);
bool IsChecked(HWND dialog, int id);
// Replaces the text of an edit box by typing: select all, delete, then one WM_CHAR per
// character; returns when the box shows the text.
void TypeText(HWND dialog, int id, const std::wstring& text);
// Presses a key on the focused control of the dialog's thread (WM_KEYDOWN/UP posted).
void PressKey(HWND window, UINT virtualKey);
void SystemCommand(HWND window, UINT command);

// A list view of another process, read through memory of that process.
class CRemoteListView {
public:
    CRemoteListView(HWND list, HANDLE process);
    ~CRemoteListView();
    CRemoteListView(const CRemoteListView&) = delete;
    CRemoteListView& operator=(const CRemoteListView&) = delete;

    int Count() const;
    std::wstring Text(int item, int column) const;
    int Selected() const; // -1 when no row is selected
    std::vector<std::vector<std::wstring>> Rows(int columns) const;
    // Clicks the middle of a row's first column with the left button, as the mouse does.
    void ClickRow(int item) const;

private:
    HWND m_list;
    HANDLE m_process;
    void* m_remote = nullptr;
};

// A top-level window of the rig's own, on a thread of its own, that records every
// WM_DEVICECHANGE with a DEV_BROADCAST_VOLUME another program sends to all windows.
class CDeviceChangeListener {
public:
    struct Event {
        WPARAM event; // DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE
        wchar_t letter;
        bool media; // DBTF_MEDIA
        bool operator==(const Event& other) const {
            return event == other.event && letter == other.letter && media == other.media;
        }
    };
    CDeviceChangeListener();
    ~CDeviceChangeListener();
    CDeviceChangeListener(const CDeviceChangeListener&) = delete;
    CDeviceChangeListener& operator=(const CDeviceChangeListener&) = delete;
    std::vector<Event> Events() const;

private:
    static DWORD WINAPI Pump(void* self);
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    mutable CRITICAL_SECTION m_lock;
    std::vector<Event> m_events;
    HANDLE m_ready = nullptr;
    HANDLE m_thread = nullptr;
    DWORD m_threadId = 0;
};

// A message box of process `pid` with this caption: its text and its answer.
struct CMessageBox {
    HWND window = nullptr;
    std::wstring text;
};
CMessageBox WaitForMessageBox(DWORD pid, const wchar_t* caption, const std::string& what,
                              DWORD milliseconds = kWaitMs);
// Waits for a message box, checks its text and presses OK; throws on another text.
void ExpectMessageBox(DWORD pid, const wchar_t* caption, const std::wstring& text,
                      const std::string& what);
void AnswerMessageBox(const CMessageBox& box, int button = IDOK);
// True when process `pid` shows a message box with this caption right now.
bool IsMessageBoxShown(DWORD pid, const wchar_t* caption);

// Answers the system's file dialog of process `pid`: the full path typed into its file-name
// box, then its OK button.
void AnswerFileDialog(DWORD pid, const std::wstring& path, const std::string& what);
void CancelFileDialog(DWORD pid, const std::string& what);

// The screen rectangle of a window and its owned pop-ups, saved as a 24-bit BMP.
bool SaveWindowPicture(HWND window, const std::wstring& path);
