#include "DialogTestSupport.h"

// The test programs' application object: like the program's own, it captions every message
// box with the program's name.
CWinApp theTestApp(L"Tolvane");

namespace {

CDialogScript* g_script = nullptr;

} // namespace

CBoxRecorder::CBoxRecorder() {
    m_previous = AfxSetMessageBoxHook([this](const CMessageBoxRequest& box) {
        boxes.push_back(box);
        if (onBox)
            onBox(box);
        return IDOK;
    });
}

CBoxRecorder::~CBoxRecorder() {
    AfxSetMessageBoxHook(m_previous);
}

std::vector<std::wstring> CBoxRecorder::Texts() const {
    std::vector<std::wstring> texts;
    for (const CMessageBoxRequest& box : boxes)
        texts.emplace_back(static_cast<LPCWSTR>(box.text));
    return texts;
}

CFileChooser::CFileChooser() {
    m_previous = AfxSetFileDialogHook([this](const CFileDialogRequest& request, CString& path) {
        requests.push_back(request);
        if (answers.empty())
            return static_cast<INT_PTR>(IDCANCEL);
        const std::wstring answer = answers.front();
        answers.pop_front();
        if (answer.empty())
            return static_cast<INT_PTR>(IDCANCEL);
        path = answer.c_str();
        return static_cast<INT_PTR>(IDOK);
    });
}

CFileChooser::~CFileChooser() {
    AfxSetFileDialogHook(m_previous);
}

CDialogScript::CDialogScript(const wchar_t* caption, std::function<void(HWND)> action)
    : m_caption(caption), m_action(std::move(action)), m_outer(g_script) {
    g_script = this;
    m_hook = ::SetWindowsHookExW(WH_CALLWNDPROCRET, &CDialogScript::Hook, nullptr,
                                 ::GetCurrentThreadId());
}

CDialogScript::~CDialogScript() {
    if (m_hook != nullptr)
        ::UnhookWindowsHookEx(m_hook);
    g_script = m_outer;
}

LRESULT CALLBACK CDialogScript::Hook(int code, WPARAM wParam, LPARAM lParam) {
    const auto* sent = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    if (code == HC_ACTION && sent->message == WM_INITDIALOG) {
        const std::wstring caption = WindowText(sent->hwnd);
        for (CDialogScript* script = g_script; script != nullptr; script = script->m_outer) {
            if (caption == script->m_caption) {
                ++script->m_runs;
                script->m_action(sent->hwnd);
                break;
            }
        }
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

std::wstring WindowText(HWND hWnd) {
    const int length = ::GetWindowTextLengthW(hWnd);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int copied = ::GetWindowTextW(hWnd, &text[0], length + 1);
    text.resize(static_cast<size_t>(copied));
    return text;
}

std::wstring ItemText(HWND dialog, int id) {
    return WindowText(::GetDlgItem(dialog, id));
}

bool ItemEnabled(HWND dialog, int id) {
    return ::IsWindowEnabled(::GetDlgItem(dialog, id)) != FALSE;
}

void Click(HWND dialog, int id) {
    ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}

void PumpMessages() {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}
