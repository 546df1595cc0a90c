#pragma once

// The control panel program: its one dialog, run modally; the program ends with it.

#include "Framework.h"

class CTolvaneApp : public CWinApp {
public:
    BOOL InitInstance() override;

protected:
    DECLARE_MESSAGE_MAP()
};
