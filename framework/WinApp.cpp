#include "WinApp.h"
#include "Wnd.h"

#include <commctrl.h>

namespace {

CWinApp* g_pApp = nullptr;

CString ProgramName() {
    TCHAR path[MAX_PATH] = {};
    ::GetModuleFileName(nullptr, path, MAX_PATH);
    CString name(path);
    int slash = name.GetLength() - 1;
    while (slash >= 0 && name[slash] != '\\' && name[slash] != '/')
        --slash;
    name = name.Mid(slash + 1);
    int dot = name.GetLength() - 1;
    while (dot > 0 && name[dot] != '.')
        --dot;
    return dot > 0 ? name.Left(dot) : name;
}

} // namespace

CWinApp::CWinApp(LPCTSTR lpszAppName)
    : m_hInstance(::GetModuleHandle(nullptr)), m_strAppName(lpszAppName) {
    if (m_strAppName.IsEmpty())
        m_strAppName = ProgramName();
    m_pszAppName = m_strAppName;
    g_pApp = this;
}

CWinApp::~CWinApp() {
    if (g_pApp == this)
        g_pApp = nullptr;
}

int CWinApp::Run() {
    MSG msg;
    while (::GetMessage(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessage(&msg);
    }
    return ExitInstance();
}

HICON CWinApp::LoadIcon(UINT nIDResource) const {
    return ::LoadIcon(AfxGetResourceHandle(), MAKEINTRESOURCE(nIDResource));
}

CWinApp* AfxGetApp() {
    return g_pApp;
}

CWnd* AfxGetMainWnd() {
    return g_pApp ? g_pApp->m_pMainWnd : nullptr;
}

HWND AfxGetMainWndHandle() {
    CWnd* pMainWnd = AfxGetMainWnd();
    return pMainWnd ? pMainWnd->m_hWnd : nullptr;
}

HINSTANCE AfxGetInstanceHandle() {
    return ::GetModuleHandle(nullptr);
}

HINSTANCE AfxGetResourceHandle() {
    return ::GetModuleHandle(nullptr);
}

LPCTSTR AfxGetAppName() {
    if (g_pApp)
        return g_pApp->m_pszAppName;
    static const CString name = ProgramName();
    return name;
}

void AfxInitCommonControls() {
    static const BOOL done = [] {
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
        return ::InitCommonControlsEx(&controls);
    }();
    (void)done;
}

// The program's entry point. Neither program reads its command line.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    CWinApp* pApp = AfxGetApp();
    if (!pApp)
        return 1;
    AfxInitCommonControls();
    if (!pApp->InitInstance())
        return pApp->ExitInstance();
    return pApp->Run();
}

DWORD AfxWaitHandlingSentMessages(HANDLE handle, DWORD timeout) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        MSG msg;
        ::PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        DWORD remaining = INFINITE;
        if (timeout != INFINITE) {
            const DWORD elapsed = ::GetTickCount() - start;
            remaining = elapsed < timeout ? timeout - elapsed : 0;
        }
        const DWORD result = ::MsgWaitForMultipleObjectsEx(1, &handle, remaining, QS_SENDMESSAGE,
                                                           MWMO_INPUTAVAILABLE);
        if (result != WAIT_OBJECT_0 + 1)
            return result;
    }
}
