#pragma once

// The driver service dialog: installs the virtual CD-ROM driver's service from a driver file
// that the user picks, starts, stops and removes it, and shows whether it is installed and from
// which file. It holds the Service Control Manager and the service from OnInitDialog until the
// dialog closes; every service call goes through an IServiceManager.

#include "Framework.h"
#include "ServiceManager.h"
#include "resource.h"

// The system's message text for a Windows error code; (DWORD)-1 stands for the thread's last
// error. A code the system has no text for gives "Unknown error <code> (0x<hex>)".
CString GetSystemErrorText(DWORD code = static_cast<DWORD>(-1));

class CDriverControl : public CDialog {
public:
    explicit CDriverControl(CWnd* pParent = nullptr,
                            IServiceManager& serviceManager = SystemServiceManager());
    ~CDriverControl() override;

    enum { IDD = IDD_DRIVER_CONTROL };

    CButton m_btnRemove;
    CButton m_btnStop;
    CButton m_btnStart;
    CButton m_btnInstall;
    CString m_strStatus;
    SC_HANDLE m_hSCManager = nullptr;
    SC_HANDLE m_hService = nullptr; // null: the service is not installed

    BOOL OnInitDialog() override;
    // Enables the buttons and shows the status text for the service's current state.
    void UpdateStatus();

protected:
    void DoDataExchange(CDataExchange* pDX) override;

    afx_msg void OnInstallDriver();
    afx_msg void OnStart();
    afx_msg void OnStop();
    afx_msg void OnClose();
    afx_msg void OnRemoveDriver();
    DECLARE_MESSAGE_MAP()

private:
    // The service's state as an interrogation reports it; 0 when it fills in nothing.
    DWORD QueryState();
    // " <display name> : (<driver file>)", or the text of string 17 when the configuration
    // cannot be read.
    CString ServiceDescription();
    void CloseHandles();

    IServiceManager& m_scm;
};
