#include "DriverControl.h"

#include "ControlPanelRules.h"
#include "KelmorProtocol.h"

#include <new>
#include <vector>

CString GetSystemErrorText(DWORD code) {
    if (code == static_cast<DWORD>(-1))
        code = ::GetLastError();
    // Without FORMAT_MESSAGE_IGNORE_INSERTS a message with %1-style inserts would be expanded
    // from an argument list that is not there.
    LPWSTR buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    CString text;
    if (length != 0 && buffer != nullptr)
        text = CString(buffer, static_cast<int>(length));
    if (buffer != nullptr)
        ::LocalFree(buffer);
    // A box with no text would leave the user guessing.
    if (text.IsEmpty())
        text.Format(L"Unknown error %lu (0x%lX)", static_cast<unsigned long>(code),
                    static_cast<unsigned long>(code));
    return text;
}

BEGIN_MESSAGE_MAP(CDriverControl, CDialog)
ON_BN_CLICKED(IDC_INSTALL_DRIVER, OnInstallDriver)
ON_BN_CLICKED(IDC_START, OnStart)
ON_BN_CLICKED(IDC_STOP, OnStop)
ON_WM_CLOSE()
ON_BN_CLICKED(IDC_REMOVE_DRIVER, OnRemoveDriver)
END_MESSAGE_MAP()

CDriverControl::CDriverControl(CWnd* pParent, IServiceManager& serviceManager)
    : CDialog(IDD, pParent), m_scm(serviceManager) {}

// OK and Esc end the dialog without OnClose: what is still held goes here.
CDriverControl::~CDriverControl() {
    CloseHandles();
}

void CDriverControl::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_REMOVE_DRIVER, m_btnRemove);
    DDX_Control(pDX, IDC_STOP, m_btnStop);
    DDX_Control(pDX, IDC_START, m_btnStart);
    DDX_Control(pDX, IDC_INSTALL_DRIVER, m_btnInstall);
    DDX_Text(pDX, IDC_SERVICE_STATUS, m_strStatus);
}

BOOL CDriverControl::OnInitDialog() {
    CDialog::OnInitDialog();
    m_hSCManager = m_scm.OpenSCManagerW(nullptr, L"ServicesActive", SC_MANAGER_ALL_ACCESS);
    if (m_hSCManager == nullptr) {
        // Read before anything else runs: building the text may change the thread's last error.
        const DWORD error = m_scm.GetLastError();
        CString message(L"Cannot Open SCM : ");
        message += GetSystemErrorText(error);
        AfxMessageBox(message, MB_OK);
        return FALSE;
    }
    m_hService = m_scm.OpenServiceW(m_hSCManager, kKelmorServiceName, SERVICE_ALL_ACCESS);
    UpdateStatus();
    return TRUE;
}

DWORD CDriverControl::QueryState() {
    // The call's result is not looked at: a stopped service answers the interrogation with an
    // error but still reports its state. Zeroed first, a status that the call leaves alone
    // reads as neither stopped nor running.
    SERVICE_STATUS status = {};
    m_scm.ControlService(m_hService, SERVICE_CONTROL_INTERROGATE, &status);
    return status.dwCurrentState;
}

CString CDriverControl::ServiceDescription() {
    CString text;
    DWORD needed = 0;
    if (m_scm.QueryServiceConfigW(m_hService, nullptr, 0, &needed) ||
        m_scm.GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) {
        text.LoadString(IDS_SERVICE_INFO_FAILED);
        return text;
    }
    // QUERY_SERVICE_CONFIGW holds pointers: the buffer is allocated as pointer-sized units.
    std::vector<void*> buffer;
    try {
        buffer.resize((needed + sizeof(void*) - 1) / sizeof(void*));
    } catch (const std::bad_alloc&) {
        text.LoadString(IDS_SERVICE_INFO_FAILED);
        return text;
    }
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!m_scm.QueryServiceConfigW(m_hService, config, needed, &needed)) {
        text.LoadString(IDS_SERVICE_INFO_FAILED);
        return text;
    }
    text.Format(IDS_SERVICE_STATUS, config->lpDisplayName ? config->lpDisplayName : L"",
                config->lpBinaryPathName ? config->lpBinaryPathName : L"");
    return text;
}

void CDriverControl::UpdateStatus() {
    const bool held = m_hService != nullptr;
    const ServiceButtons buttons = ServiceButtonsFor(held, held ? QueryState() : 0);
    m_btnInstall.EnableWindow(buttons.install);
    m_btnRemove.EnableWindow(buttons.remove);
    m_btnStart.EnableWindow(buttons.start);
    m_btnStop.EnableWindow(buttons.stop);

    if (held)
        m_strStatus = ServiceDescription();
    else
        m_strStatus.LoadString(IDS_DRIVER_NOT_INSTALLED);
    UpdateData(FALSE);
}

void CDriverControl::OnInstallDriver() {
    CFileDialog dialog(TRUE, nullptr, nullptr, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT,
                       L"Virtual CDROM Driver|kelmor.sys|All Files(*.*)|*.*||", this);
    if (dialog.DoModal() == IDOK) {
        if (m_hService != nullptr) {
            AfxMessageBox(IDS_DRIVER_ALREADY_INSTALLED, MB_OK);
        } else {
            const CString path = dialog.GetPathName();
            SC_HANDLE created = m_scm.CreateServiceW(
                m_hSCManager, kKelmorServiceName, kKelmorDisplayName, STANDARD_RIGHTS_REQUIRED,
                SERVICE_FILE_SYSTEM_DRIVER, SERVICE_SYSTEM_START, SERVICE_ERROR_IGNORE, path,
                nullptr, nullptr, nullptr, nullptr, nullptr);
            // The new service's handle carries only the standard rights: open it again with all.
            if (created != nullptr) {
                m_scm.CloseServiceHandle(created);
                m_hService =
                    m_scm.OpenServiceW(m_hSCManager, kKelmorServiceName, SERVICE_ALL_ACCESS);
            }
            if (m_hService == nullptr)
                AfxMessageBox(GetSystemErrorText(m_scm.GetLastError()), MB_OK);
        }
    }
    UpdateStatus();
}

void CDriverControl::OnStart() {
    if (m_hService != nullptr && QueryState() != SERVICE_RUNNING) {
        if (!m_scm.StartServiceW(m_hService, 0, nullptr))
            AfxMessageBox(GetSystemErrorText(m_scm.GetLastError()), MB_OK);
    }
    UpdateStatus();
}

void CDriverControl::OnStop() {
    if (m_hService != nullptr && QueryState() != SERVICE_STOPPED) {
        SERVICE_STATUS status = {};
        if (!m_scm.ControlService(m_hService, SERVICE_CONTROL_STOP, &status))
            AfxMessageBox(GetSystemErrorText(m_scm.GetLastError()), MB_OK);
    }
    UpdateStatus();
}

void CDriverControl::OnRemoveDriver() {
    if (m_hService == nullptr) {
        AfxMessageBox(IDS_DRIVER_NOT_PRESENT, MB_OK);
    } else {
        OnStop();
        if (m_scm.DeleteService(m_hService)) {
            m_scm.CloseServiceHandle(m_hService);
            m_hService = nullptr;
        } else {
            AfxMessageBox(GetSystemErrorText(m_scm.GetLastError()), MB_OK);
        }
    }
    UpdateStatus();
}

void CDriverControl::OnClose() {
    CloseHandles();
    CDialog::OnClose();
}

void CDriverControl::CloseHandles() {
    if (m_hService != nullptr) {
        m_scm.CloseServiceHandle(m_hService);
        m_hService = nullptr;
    }
    if (m_hSCManager != nullptr) {
        m_scm.CloseServiceHandle(m_hSCManager);
        m_hSCManager = nullptr;
    }
}
