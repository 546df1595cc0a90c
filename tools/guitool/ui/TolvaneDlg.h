#pragma once

// The control panel's main dialog: the virtual drives that the driver serves, each with the
// image it maps, the operations on them, the driver service dialog, and the file-system figures
// of the drive last clicked. It keeps no model of the drives beyond what the list shows: every
// refresh asks the driver again.

#include "DeviceIo.h"
#include "DriveAnnouncer.h"
#include "Framework.h"
#include "Registry.h"
#include "ServiceManager.h"
#include "VolumeInfo.h"
#include "Win32DeviceIo.h"
#include "resource.h"

class CTolvaneDlg : public CDialog {
public:
    // The driver is reached through `io`, the volume figures through `volumes`; the driver
    // service dialog uses `services` and the persistent-mount record `registry`; every change
    // of a drive or its medium is announced to the desktop through `announcer`.
    explicit CTolvaneDlg(CWnd* pParent = nullptr, IDeviceIo& io = SystemDeviceIo(),
                         IVolumeInfo& volumes = SystemVolumeInfo(),
                         IServiceManager& services = SystemServiceManager(),
                         IRegistry& registry = SystemRegistry(),
                         IDriveAnnouncer& announcer = SystemDriveAnnouncer());

    enum { IDD = IDD_TOLVANE_DIALOG };

    CButton m_btnDriverControl;
    CListCtrl m_driveList;
    DWORD m_freeClusters = 0;
    DWORD m_sectorsPerCluster = 0; // shown beside "Number of sectors"
    DWORD m_bytesPerSector = 0;
    DWORD m_totalClusters = 0;
    HICON m_hIcon;

    BOOL OnInitDialog() override;
    // Refills the list from the driver; the drive that was selected stays selected, otherwise
    // the first row is.
    void RefreshDriveList();
    // The letter of the selected row, or 0.
    WCHAR GetSelectedDrive() const;
    // The "Mapped Image" text of a drive, from the driver's answer.
    CString GetMappedImageText(WCHAR letter);
    // Shows the file-system figures of a drive; zeros when its volume cannot be queried.
    void UpdateDriveGeometry(WCHAR letter);

protected:
    void DoDataExchange(CDataExchange* pDX) override;

    afx_msg void OnAddDrive();
    afx_msg void OnRemoveDrive();
    afx_msg void OnMount();
    afx_msg void OnEject();
    afx_msg void OnRemount();
    afx_msg void OnDriverControl();
    afx_msg void OnClickDriveList(NMHDR* pNMHDR, LRESULT* pResult);
    afx_msg void OnPaint();
    afx_msg HCURSOR OnQueryDragIcon();
    afx_msg LRESULT OnKickIdle(WPARAM, LPARAM);
    DECLARE_MESSAGE_MAP()

private:
    // After a request: the list afresh and the change announced when it succeeded, else the
    // failure's message.
    void RefreshOrReport(BOOL succeeded, UINT nIDFailure, WCHAR letter, DriveChange change);
    // The letters the list shows.
    CString ListedLetters() const;
    // Announces the drives that the list shows no more (removed) and the ones it shows anew
    // (added, and their medium when they hold one), against the letters `before`.
    void AnnounceListChanges(const CString& before);

    IDeviceIo& m_io;
    IVolumeInfo& m_volumes;
    IServiceManager& m_services;
    IRegistry& m_registry;
    IDriveAnnouncer& m_announcer;
};
