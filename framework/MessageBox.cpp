#include "MessageBox.h"
#include "WinApp.h"

namespace {

MessageBoxHook& Hook() {
    static MessageBoxHook hook;
    return hook;
}

HWND DefaultOwner() {
    HWND hOwner = ::GetActiveWindow();
    if (!hOwner)
        hOwner = AfxGetMainWndHandle();
    return hOwner;
}

} // namespace

MessageBoxHook AfxSetMessageBoxHook(MessageBoxHook hook) {
    MessageBoxHook previous = std::move(Hook());
    Hook() = std::move(hook);
    return previous;
}

int AfxShowMessageBox(HWND hOwner, LPCTSTR text, LPCTSTR caption, UINT type) {
    if (Hook())
        return Hook()(CMessageBoxRequest{hOwner, text, caption, type});
    return ::MessageBox(hOwner, text, caption, type);
}

int AfxMessageBox(LPCTSTR text, UINT type, UINT) {
    return AfxShowMessageBox(DefaultOwner(), text, AfxGetAppName(), type);
}

int AfxMessageBox(UINT nIDPrompt, UINT type, UINT) {
    CString text;
    text.LoadString(nIDPrompt);
    return AfxMessageBox(text, type);
}
