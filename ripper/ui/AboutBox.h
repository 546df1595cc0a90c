#pragma once

// CAboutBox: the modal About box of the ripper, reached from the main window's system menu.
// It shows the program's icon, name and version, and the project's web link.

#include "Framework.h"
#include "LinkStatic.h"

class CAboutBox : public CDialog {
public:
    CAboutBox();
    ~CAboutBox() override;

protected:
    void DoDataExchange(CDataExchange* pDX) override;

    CLinkStatic m_link;

    DECLARE_MESSAGE_MAP()
};
