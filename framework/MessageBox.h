#pragma once

// Message boxes. Every box of the framework and the programs goes through AfxShowMessageBox,
// so a test can install a hook that answers the box and records what it showed.

#include "String.h"

#include <functional>

struct CMessageBoxRequest {
    HWND hOwner;
    CString text;
    CString caption;
    UINT type;
};

// Answers a box in place of the user: returns the button id (IDOK, IDCANCEL, ...).
using MessageBoxHook = std::function<int(const CMessageBoxRequest&)>;

// Installs a hook (an empty one restores the real boxes) and returns the previous one.
MessageBoxHook AfxSetMessageBoxHook(MessageBoxHook hook);

int AfxShowMessageBox(HWND hOwner, LPCTSTR text, LPCTSTR caption, UINT type);

// A box captioned with the program's name, owned by the active window of the program.
int AfxMessageBox(LPCTSTR text, UINT type = MB_OK, UINT nIDHelp = 0);
int AfxMessageBox(UINT nIDPrompt, UINT type = MB_OK, UINT nIDHelp = static_cast<UINT>(-1));
