#include "MountOptionsDlg.h"

#include "KelmorProtocol.h"

CMountOptionsDlg::CMountOptionsDlg(CWnd* pParent) : CDialog(IDD, pParent) {}

void CMountOptionsDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Check(pDX, IDC_SUPPRESS_JOLIET, m_suppressJoliet);
    DDX_Check(pDX, IDC_SUPPRESS_UDF, m_suppressUdf);
    DDX_Text(pDX, IDC_IMAGE_PATH, m_imagePath);
    DDX_Check(pDX, IDC_PERSISTENT, m_persistent);
}

DWORD MountFlagsFromOptions(const CMountOptionsDlg& options) {
    DWORD flags = 0;
    if (options.m_suppressUdf != 0)
        flags |= MOUNT_FLAG_SUPPRESS_UDF;
    if (options.m_suppressJoliet != 0)
        flags |= MOUNT_FLAG_SUPPRESS_JOLIET;
    return flags;
}
