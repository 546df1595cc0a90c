#include "UserActions.h"

#include <dbt.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A control of another process answers a message within this bound or the step fails: a
// program that stops answering must not hang the scenario.
constexpr UINT kSendTimeoutMs = 5000;

// The file name box of the system's file dialog (a combo box in the explorer-style dialog,
// an edit in the old style).
constexpr int kFileNameCombo = 0x47C; // cmb13
constexpr int kFileNameEdit = 0x480;  // edt1

// A window whose thread has not looked at its queue for five seconds counts as hung, and a send
// to it fails at once. On a slow machine a program may well be busy that long (building the
// file dialog, say), so there only the bound decides.
UINT SendFlags() {
    return Slowdown() > 1 ? SMTO_NORMAL : SMTO_ABORTIFHUNG;
}

LRESULT SendBounded(HWND window, UINT message, WPARAM wParam, LPARAM lParam, const char* what) {
    DWORD_PTR result = 0;
    const UINT bound = Stretched(kSendTimeoutMs);
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SendFlags(), bound, &result)) {
        char text[160];
        std::snprintf(text, sizeof(text), "%s: the window did not answer message 0x%X in %u ms",
                      what, message, bound);
        throw CUserActionFailed(text);
    }
    return static_cast<LRESULT>(result);
}

std::wstring ClassName(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

struct WindowQuery {
    DWORD pid;
    const wchar_t* caption;
    const wchar_t* className;
    HWND found;
    int control = 0; // nonzero: the window must have this control
};

// A message box is a dialog with its text in the static control 0xFFFF; a program's main dialog
// may bear the same caption.
constexpr int kMessageTextControl = 0xFFFF;

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter) {
    WindowQuery& query = *reinterpret_cast<WindowQuery*>(parameter);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != query.pid || !IsWindowVisible(window))
        return TRUE;
    if (query.className && ClassName(window) != query.className)
        return TRUE;
    if (query.caption) {
        wchar_t caption[512] = {};
        GetWindowTextW(window, caption, 512);
        if (std::wstring(caption) != query.caption)
            return TRUE;
    }
    if (query.control && !GetDlgItem(window, query.control))
        return TRUE;
    query.found = window;
    return FALSE;
}

HWND FindDescendantOfClass(HWND parent, const wchar_t* className) {
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (ClassName(child) == className)
            return child;
        if (HWND inner = FindDescendantOfClass(child, className))
            return inner;
    }
    return nullptr;
}

struct FileDialogQuery {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK MatchFileDialog(HWND window, LPARAM parameter) {
    FileDialogQuery& query = *reinterpret_cast<FileDialogQuery*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != query.pid || !IsWindowVisible(window) || ClassName(window) != L"#32770")
        return TRUE;
    if (!GetDlgItem(window, kFileNameCombo) && !GetDlgItem(window, kFileNameEdit))
        return TRUE;
    query.found = window;
    return FALSE;
}

// The file dialog of process `pid`: a visible dialog window with a file name box.
HWND FindFileDialog(DWORD pid) {
    FileDialogQuery query{pid, nullptr};
    EnumWindows(&MatchFileDialog, reinterpret_cast<LPARAM>(&query));
    return query.found;
}

} // namespace

std::string Narrow(const std::wstring& text) {
    std::string result;
    for (wchar_t ch : text)
        result += ch < 0x80 ? static_cast<char>(ch) : '?';
    return result;
}

std::wstring Widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

CProgram::~CProgram() {
    if (m_info.hProcess) {
        if (!HasEnded())
            Kill();
        CloseHandle(m_info.hThread);
        CloseHandle(m_info.hProcess);
    }
}

void CProgram::Start(const std::wstring& path, const std::wstring& directory) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    std::wstring commandLine = L"\"" + path + L"\"";
    if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &m_info))
        throw CUserActionFailed("cannot start " + Narrow(path) + " (error " +
                                std::to_string(GetLastError()) + ")");
    // As a person does, wait until the program has come up and waits for input; a program
    // that never does shows in the first step that looks for its window.
    WaitForInputIdle(m_info.hProcess, Stretched(kWaitMs));
}

bool CProgram::HasEnded() const {
    return m_info.hProcess && WaitForSingleObject(m_info.hProcess, 0) == WAIT_OBJECT_0;
}

DWORD CProgram::WaitForExit(DWORD milliseconds, const std::string& what) {
    if (WaitForSingleObject(m_info.hProcess, Stretched(milliseconds)) != WAIT_OBJECT_0)
        throw CUserActionFailed(what + ": the program did not end within " +
                                std::to_string(milliseconds) + " ms");
    DWORD code = 0;
    GetExitCodeProcess(m_info.hProcess, &code);
    return code;
}

void CProgram::Kill() {
    if (m_info.hProcess) {
        TerminateProcess(m_info.hProcess, 1);
        WaitForSingleObject(m_info.hProcess, 5000);
    }
}

DWORD Slowdown() {
    static const DWORD factor = [] {
        wchar_t text[16] = {};
        const DWORD length = GetEnvironmentVariableW(L"BLACKBOX_SLOWDOWN", text, 16);
        const unsigned long value = length > 0 && length < 16 ? wcstoul(text, nullptr, 10) : 0;
        return value >= 1 && value <= 100 ? static_cast<DWORD>(value) : 1UL;
    }();
    return factor;
}

HWND FindProgramWindow(DWORD pid, const wchar_t* caption, const wchar_t* className) {
    WindowQuery query{pid, caption, className, nullptr};
    EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&query));
    return query.found;
}

HWND WaitForProgramWindow(DWORD pid, const wchar_t* caption, const wchar_t* className,
                          const std::string& what, DWORD milliseconds) {
    HWND found = nullptr;
    if (!PollUntil(milliseconds, [&] {
            found = FindProgramWindow(pid, caption, className);
            return found != nullptr;
        }))
        throw CUserActionFailed(what + ": no window \"" + Narrow(caption ? caption : L"*") +
                                "\" appeared within " + std::to_string(milliseconds) + " ms");
    return found;
}

void WaitForWindowGone(HWND window, const std::string& what, DWORD milliseconds) {
    if (!PollUntil(milliseconds, [&] { return !IsWindow(window) || !IsWindowVisible(window); }))
        throw CUserActionFailed(what + ": the window did not close within " +
                                std::to_string(milliseconds) + " ms");
}

HWND Control(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    if (!control)
        throw CUserActionFailed("the window has no control " + std::to_string(id));
    return control;
}

std::wstring WindowText(HWND window) {
    const LRESULT length = SendBounded(window, WM_GETTEXTLENGTH, 0, 0, "reading a text");
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const LRESULT copied = SendBounded(window, WM_GETTEXT, text.size(),
                                       reinterpret_cast<LPARAM>(&text[0]), "reading a text");
    text.resize(static_cast<size_t>(copied));
    return text;
}

std::wstring ControlText(HWND dialog, int id) {
    return WindowText(Control(dialog, id));
}

bool IsControlEnabled(HWND dialog, int id) {
    return IsWindowEnabled(Control(dialog, id)) != FALSE;
}

bool IsControlVisible(HWND dialog, int id) {
    return IsWindowVisible(Control(dialog, id)) != FALSE;
}

void ClickButton(HWND dialog, int id) {
    HWND button = Control(dialog, id);
    const std::string name =
        "button " + std::to_string(id) + " \"" + Narrow(WindowText(button)) + "\"";
    if (!IsWindowVisible(button))
        throw CUserActionFailed(name + " is hidden");
    if (!IsWindowEnabled(button))
        throw CUserActionFailed(name + " is disabled");
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

bool IsChecked(HWND dialog, int id) {
    return SendBounded(Control(dialog, id), BM_GETCHECK, 0, 0, "reading a check box") ==
           BST_CHECKED;
}

void SetCheckBox(HWND dialog, int id, bool checked) {
    if (IsChecked(dialog, id) == checked)
        return;
    SendBounded(Control(dialog, id), BM_CLICK, 0, 0, "clicking a check box");
    if (IsChecked(dialog, id) != checked)
        throw CUserActionFailed("check box " + std::to_string(id) + " did not change");
}

void TypeText(HWND dialog, int id, const std::wstring& text) {
    HWND edit = Control(dialog, id);
    SendBounded(edit, EM_SETSEL, 0, -1, "selecting a text");
    PostMessageW(edit, WM_CHAR, VK_BACK, 0);
    for (wchar_t ch : text)
        PostMessageW(edit, WM_CHAR, ch, 0);
    if (!PollUntil(kWaitMs, [&] { return WindowText(edit) == text; }))
        throw CUserActionFailed("typing into box " + std::to_string(id) + ": it shows \"" +
                                Narrow(WindowText(edit)) + "\" instead of \"" + Narrow(text) +
                                "\"");
}

void PressKey(HWND window, UINT virtualKey) {
    const UINT scan = MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC);
    PostMessageW(window, WM_KEYDOWN, virtualKey, 1 | (scan << 16));
    PostMessageW(window, WM_KEYUP, virtualKey, 1 | (scan << 16) | 0xC0000000u);
}

void SystemCommand(HWND window, UINT command) {
    PostMessageW(window, WM_SYSCOMMAND, command, 0);
}

CRemoteListView::CRemoteListView(HWND list, HANDLE process) : m_list(list), m_process(process) {
    m_remote = VirtualAllocEx(process, nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!m_remote)
        throw CUserActionFailed("cannot reach the list's process (error " +
                                std::to_string(GetLastError()) + ")");
}

CRemoteListView::~CRemoteListView() {
    VirtualFreeEx(m_process, m_remote, 0, MEM_RELEASE);
}

int CRemoteListView::Count() const {
    return static_cast<int>(SendBounded(m_list, LVM_GETITEMCOUNT, 0, 0, "counting rows"));
}

std::wstring CRemoteListView::Text(int item, int column) const {
    constexpr size_t kTextOffset = 256;
    constexpr int kTextUnits = (4096 - kTextOffset) / sizeof(wchar_t);
    char* remote = static_cast<char*>(m_remote);
    LVITEMW request = {};
    request.mask = LVIF_TEXT;
    request.iSubItem = column;
    request.pszText = reinterpret_cast<LPWSTR>(remote + kTextOffset);
    request.cchTextMax = kTextUnits;
    SIZE_T moved = 0;
    if (!WriteProcessMemory(m_process, remote, &request, sizeof(request), &moved))
        throw CUserActionFailed("cannot write into the list's process");
    const LRESULT length = SendBounded(m_list, LVM_GETITEMTEXTW, static_cast<WPARAM>(item),
                                       reinterpret_cast<LPARAM>(remote), "reading a row");
    std::wstring text(static_cast<size_t>(length), L'\0');
    if (length > 0 && !ReadProcessMemory(m_process, remote + kTextOffset, &text[0],
                                         text.size() * sizeof(wchar_t), &moved))
        throw CUserActionFailed("cannot read from the list's process");
    return text;
}

int CRemoteListView::Selected() const {
    return static_cast<int>(SendBounded(m_list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                                        LVNI_SELECTED, "reading the selection"));
}

std::vector<std::vector<std::wstring>> CRemoteListView::Rows(int columns) const {
    std::vector<std::vector<std::wstring>> rows;
    const int count = Count();
    for (int item = 0; item < count; ++item) {
        std::vector<std::wstring> row;
        for (int column = 0; column < columns; ++column)
            row.push_back(Text(item, column));
        rows.push_back(row);
    }
    return rows;
}

void CRemoteListView::ClickRow(int item) const {
    RECT rect = {};
    rect.left = LVIR_LABEL;
    SIZE_T moved = 0;
    if (!WriteProcessMemory(m_process, m_remote, &rect, sizeof(rect), &moved))
        throw CUserActionFailed("cannot write into the list's process");
    if (!SendBounded(m_list, LVM_GETITEMRECT, static_cast<WPARAM>(item),
                     reinterpret_cast<LPARAM>(m_remote), "finding a row"))
        throw CUserActionFailed("the list has no row " + std::to_string(item));
    if (!ReadProcessMemory(m_process, m_remote, &rect, sizeof(rect), &moved))
        throw CUserActionFailed("cannot read from the list's process");
    const LPARAM point = MAKELPARAM((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
    PostMessageW(m_list, WM_LBUTTONDOWN, MK_LBUTTON, point);
    PostMessageW(m_list, WM_LBUTTONUP, 0, point);
}

CMessageBox WaitForMessageBox(DWORD pid, const wchar_t* caption, const std::string& what,
                              DWORD milliseconds) {
    CMessageBox box;
    WindowQuery query{pid, caption, L"#32770", nullptr, kMessageTextControl};
    if (!PollUntil(milliseconds, [&] {
            EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&query));
            return query.found != nullptr;
        }))
        throw CUserActionFailed(what + ": no message box \"" + Narrow(caption) +
                                "\" appeared within " + std::to_string(milliseconds) + " ms");
    box.window = query.found;
    box.text = WindowText(Control(box.window, kMessageTextControl));
    return box;
}

void AnswerMessageBox(const CMessageBox& box, int button) {
    HWND control = GetDlgItem(box.window, button);
    PostMessageW(box.window, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(control));
    WaitForWindowGone(box.window, "answering the message box \"" + Narrow(box.text) + "\"");
}

void ExpectMessageBox(DWORD pid, const wchar_t* caption, const std::wstring& text,
                      const std::string& what) {
    CMessageBox box = WaitForMessageBox(pid, caption, what);
    if (box.text != text) {
        AnswerMessageBox(box);
        throw CUserActionFailed(what + ": the message box says \"" + Narrow(box.text) +
                                "\", expected \"" + Narrow(text) + "\"");
    }
    AnswerMessageBox(box);
}

bool IsMessageBoxShown(DWORD pid, const wchar_t* caption) {
    WindowQuery query{pid, caption, L"#32770", nullptr, kMessageTextControl};
    EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&query));
    return query.found != nullptr;
}

void AnswerFileDialog(DWORD pid, const std::wstring& path, const std::string& what) {
    HWND dialog = nullptr;
    if (!PollUntil(kWaitMs, [&] { return (dialog = FindFileDialog(pid)) != nullptr; }))
        throw CUserActionFailed(what + ": the file dialog did not appear");
    HWND box = GetDlgItem(dialog, kFileNameCombo);
    if (box) {
        // The explorer-style box is a combo box with an edit inside.
        if (HWND edit = FindDescendantOfClass(box, L"Edit"))
            box = edit;
    } else {
        box = Control(dialog, kFileNameEdit);
    }
    SendBounded(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()), "typing a file name");
    if (WindowText(box) != path)
        throw CUserActionFailed(what + ": the file dialog's name box did not take the path");
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    WaitForWindowGone(dialog, what + ": the file dialog");
}

void CancelFileDialog(DWORD pid, const std::string& what) {
    HWND dialog = nullptr;
    if (!PollUntil(kWaitMs, [&] { return (dialog = FindFileDialog(pid)) != nullptr; }))
        throw CUserActionFailed(what + ": the file dialog did not appear");
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
    WaitForWindowGone(dialog, what + ": the file dialog");
}

bool SaveWindowPicture(HWND window, const std::wstring& path) {
    // The picture is taken from the screen: another program's window in front of this one
    // (the panel, after it mounted a disc for the ripper) would be photographed instead. It is
    // raised without being activated, so that focus stays where the steps left it.
    SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    // A window that has just appeared may not have painted all of its children yet: have it
    // paint now, and wait until its thread has handled that.
    RedrawWindow(window, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(window, WM_NULL, 0, 0, SendFlags(), Stretched(kSendTimeoutMs), &ignored);
    RECT rect = {};
    if (!GetWindowRect(window, &rect))
        return false;
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0)
        return false;
    const int stride = (width * 3 + 3) & ~3;

    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height; // bottom-up, as a BMP file stores it
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool saved = false;
    if (memory && bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY | CAPTUREBLT);
        SelectObject(memory, old);
        GdiFlush();

        BITMAPFILEHEADER file = {};
        file.bfType = 0x4D42; // "BM"
        file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
        file.bfSize = file.bfOffBits + static_cast<DWORD>(stride) * height;
        if (FILE* out = _wfopen(path.c_str(), L"wb")) {
            saved = std::fwrite(&file, sizeof(file), 1, out) == 1 &&
                    std::fwrite(&info.bmiHeader, sizeof(info.bmiHeader), 1, out) == 1 &&
                    std::fwrite(bits, static_cast<size_t>(stride) * height, 1, out) == 1;
            saved = std::fclose(out) == 0 && saved;
        }
    }
    if (bitmap)
        DeleteObject(bitmap);
    if (memory)
        DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return saved;
}

CDeviceChangeListener::CDeviceChangeListener() {
    InitializeCriticalSection(&m_lock);
    m_ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_thread = CreateThread(nullptr, 0, &CDeviceChangeListener::Pump, this, 0, &m_threadId);
    if (m_thread)
        WaitForSingleObject(m_ready, Stretched(kWaitMs));
}

CDeviceChangeListener::~CDeviceChangeListener() {
    if (m_thread) {
        PostThreadMessageW(m_threadId, WM_QUIT, 0, 0);
        WaitForSingleObject(m_thread, Stretched(kWaitMs));
        CloseHandle(m_thread);
    }
    if (m_ready)
        CloseHandle(m_ready);
    DeleteCriticalSection(&m_lock);
}

std::vector<CDeviceChangeListener::Event> CDeviceChangeListener::Events() const {
    EnterCriticalSection(&m_lock);
    std::vector<Event> events = m_events;
    LeaveCriticalSection(&m_lock);
    return events;
}

DWORD WINAPI CDeviceChangeListener::Pump(void* context) {
    auto* self = static_cast<CDeviceChangeListener*>(context);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = &CDeviceChangeListener::WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"BlackBoxDeviceChangeListener";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"device changes", WS_OVERLAPPED, 0,
                                  0, 10, 10, nullptr, nullptr, windowClass.hInstance, nullptr);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE); // the thread's queue exists now
    SetEvent(self->m_ready);
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    DestroyWindow(window);
    return 0;
}

LRESULT CALLBACK CDeviceChangeListener::WindowProc(HWND window, UINT message, WPARAM wParam,
                                                   LPARAM lParam) {
    auto* self = reinterpret_cast<CDeviceChangeListener*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    if (message == WM_DEVICECHANGE && self && header &&
        header->dbch_devicetype == DBT_DEVTYP_VOLUME) {
        const auto* volume = reinterpret_cast<const DEV_BROADCAST_VOLUME*>(lParam);
        EnterCriticalSection(&self->m_lock);
        for (int bit = 0; bit < 26; ++bit) {
            if (volume->dbcv_unitmask & (1u << bit))
                self->m_events.push_back({wParam, static_cast<wchar_t>(L'A' + bit),
                                          (volume->dbcv_flags & DBTF_MEDIA) != 0});
        }
        LeaveCriticalSection(&self->m_lock);
        return TRUE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
