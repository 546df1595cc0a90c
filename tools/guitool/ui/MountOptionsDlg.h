#pragma once

// The options asked for before an image is mounted: whether the driver is to ignore the image's
// UDF file system or its Joliet extensions, and whether the mount is to be persistent. The
// dialog only exchanges data; a new one is made for every mount, so nothing is remembered.

#include "Framework.h"
#include "resource.h"

class CMountOptionsDlg : public CDialog {
public:
    explicit CMountOptionsDlg(CWnd* pParent = nullptr);

    enum { IDD = IDD_MOUNT_OPTIONS };

    int m_suppressJoliet = 0;
    int m_suppressUdf = 0;
    CString m_imagePath; // shown, never edited
    int m_persistent = 0;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
};

// The mount request's flags for the options of a finished dialog: MOUNT_FLAG_SUPPRESS_UDF and
// MOUNT_FLAG_SUPPRESS_JOLIET. "Persistent mount" is no flag: it only leads to the record.
DWORD MountFlagsFromOptions(const CMountOptionsDlg& options);
