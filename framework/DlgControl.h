#pragma once

// Helpers for the controls of a dialog.

#include "Wnd.h"

// Enables or disables control nID of pDialog. A control that is disabled while it has the
// focus first hands the focus on to the next control in tab order, so the keyboard is never
// left on a dead control. A control that is enabled again and is the dialog's default push
// button is made the default once more, so that it shows the default button's look again.
void EnableDlgControl(CWnd* pDialog, UINT nID, BOOL bEnable);
