#pragma once

// CRavelinApp: the ripper's application object. It runs the main dialog modally as the
// program's main window; the program ends when the dialog closes.

#include "Framework.h"

class CRavelinApp : public CWinApp {
public:
    CRavelinApp() = default;
    ~CRavelinApp() override = default;

    BOOL InitInstance() override;

    DECLARE_MESSAGE_MAP()
};
