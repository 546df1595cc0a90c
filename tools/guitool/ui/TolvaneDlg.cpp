#include "TolvaneDlg.h"

#include "ControlPanelRules.h"
#include "DlgControl.h"
#include "DriverClient.h"
#include "DriverControl.h"
#include "MountOptionsDlg.h"
#include "PersistentMount.h"

#include <cstring>

namespace {

// Room given to a column beside its widest text, in pixels.
constexpr int kColumnPadding = 25;

} // namespace

BEGIN_MESSAGE_MAP(CTolvaneDlg, CDialog)
ON_BN_CLICKED(IDC_ADD_DRIVE, OnAddDrive)
ON_BN_CLICKED(IDC_REMOVE_DRIVE, OnRemoveDrive)
ON_BN_CLICKED(IDC_MOUNT, OnMount)
ON_BN_CLICKED(IDC_EJECT, OnEject)
ON_BN_CLICKED(IDC_REMOUNT, OnRemount)
ON_BN_CLICKED(IDC_DRIVER_CONTROL, OnDriverControl)
ON_NOTIFY(NM_CLICK, IDC_DRIVE_LIST, OnClickDriveList)
ON_WM_PAINT()
ON_WM_QUERYDRAGICON()
ON_MESSAGE(WM_KICKIDLE, OnKickIdle)
END_MESSAGE_MAP()

CTolvaneDlg::CTolvaneDlg(CWnd* pParent, IDeviceIo& io, IVolumeInfo& volumes,
                         IServiceManager& services, IRegistry& registry, IDriveAnnouncer& announcer)
    : CDialog(IDD, pParent),
      m_hIcon(::LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME))), m_io(io),
      m_volumes(volumes), m_services(services), m_registry(registry), m_announcer(announcer) {}

void CTolvaneDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_DRIVER_CONTROL, m_btnDriverControl);
    DDX_Control(pDX, IDC_DRIVE_LIST, m_driveList);
    DDX_Text(pDX, IDC_FREE_CLUSTERS, m_freeClusters);
    DDX_Text(pDX, IDC_SECTORS_PER_CLUSTER, m_sectorsPerCluster);
    DDX_Text(pDX, IDC_BYTES_PER_SECTOR, m_bytesPerSector);
    DDX_Text(pDX, IDC_TOTAL_CLUSTERS, m_totalClusters);
}

BOOL CTolvaneDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    CString driveHeading;
    driveHeading.LoadString(IDS_DRIVE_HEADING);
    CString imageHeading;
    imageHeading.LoadString(IDS_IMAGE_HEADING);
    CRect client;
    m_driveList.GetClientRect(&client);
    const int driveWidth = m_driveList.GetStringWidth(driveHeading) + kColumnPadding;
    m_driveList.InsertColumn(0, driveHeading, LVCFMT_LEFT, driveWidth);
    m_driveList.InsertColumn(1, imageHeading, LVCFMT_LEFT, client.Width() - driveWidth);
    m_driveList.SetExtendedStyle(m_driveList.GetExtendedStyle() | LVS_EX_FULLROWSELECT);

    RefreshDriveList();
    return TRUE;
}

void CTolvaneDlg::RefreshDriveList() {
    const WCHAR previous = GetSelectedDrive();
    m_driveList.DeleteAllItems();

    DRIVE_LIST list;
    std::memset(&list, 0, sizeof(list));
    if (!QueryDrives(m_io, list))
        return;

    // Column 1 fills the room beside column 0 and grows to its widest text. Signed: a column 0
    // dragged wider than the list leaves no room rather than a wrapped-around width.
    CRect client;
    m_driveList.GetClientRect(&client);
    int width = client.Width() - m_driveList.GetColumnWidth(0);
    if (width < 0)
        width = 0;

    int row = 0;
    bool reselected = false;
    const unsigned count = DriveListCount(list);
    for (unsigned i = 0; i < count; ++i) {
        const WCHAR letter = list.Letters[i];
        CString driveText;
        driveText.Format(IDS_DRIVE_TEXT, letter);
        row = m_driveList.InsertItem(row, driveText);
        const CString imageText = GetMappedImageText(letter);
        m_driveList.SetItem(row, 1, LVIF_TEXT, imageText, 0, 0, 0, 0);
        const int textWidth = m_driveList.GetStringWidth(imageText) + kColumnPadding;
        if (width <= textWidth)
            width = textWidth;
        if (previous != 0 && driveText[0] == previous) {
            m_driveList.SetItemState(row, LVIS_SELECTED, LVIS_SELECTED);
            reselected = true;
        }
        ++row;
    }
    m_driveList.SetColumnWidth(1, width);
    if (!reselected)
        m_driveList.SetItemState(0, LVIS_SELECTED, LVIS_SELECTED);
}

WCHAR CTolvaneDlg::GetSelectedDrive() const {
    POSITION pos = m_driveList.GetFirstSelectedItemPosition();
    if (pos == nullptr)
        return 0;
    const int row = m_driveList.GetNextSelectedItem(pos);
    return m_driveList.GetItemText(row, 0)[0];
}

CString CTolvaneDlg::GetMappedImageText(WCHAR letter) {
    CString prefix;
    prefix.LoadString(IDS_NO_IMAGE_PREFIX);
    CString none;
    none.LoadString(IDS_NO_IMAGE_EVER);
    IMAGE_INFO info;
    std::memset(&info, 0, sizeof(info));
    const bool answered = QueryImage(m_io, letter, info) != FALSE;
    const WString text =
        MappedImageText(answered, info, static_cast<LPCWSTR>(prefix), static_cast<LPCWSTR>(none));
    return CString(text.c_str(), static_cast<int>(text.size()));
}

void CTolvaneDlg::UpdateDriveGeometry(WCHAR letter) {
    const WCHAR root[] = {letter, L':', L'\\', 0};
    m_sectorsPerCluster = 0;
    m_bytesPerSector = 0;
    m_freeClusters = 0;
    m_totalClusters = 0;
    // A volume that cannot be queried (no medium, say) shows zeros, whatever a failed call
    // may have left in its outputs.
    if (!m_volumes.GetDiskFreeSpaceW(root, &m_sectorsPerCluster, &m_bytesPerSector, &m_freeClusters,
                                     &m_totalClusters)) {
        m_sectorsPerCluster = 0;
        m_bytesPerSector = 0;
        m_freeClusters = 0;
        m_totalClusters = 0;
    }
    UpdateData(FALSE);
}

void CTolvaneDlg::RefreshOrReport(BOOL succeeded, UINT nIDFailure, WCHAR letter,
                                  DriveChange change) {
    if (!succeeded) {
        AfxMessageBox(nIDFailure, MB_OK);
        return;
    }
    RefreshDriveList();
    m_announcer.Announce(letter, change);
}

CString CTolvaneDlg::ListedLetters() const {
    CString letters;
    for (int row = 0; row < m_driveList.GetItemCount(); ++row)
        letters += m_driveList.GetItemText(row, 0).Left(1);
    return letters;
}

void CTolvaneDlg::OnAddDrive() {
    WORD answer = 0; // the driver's answer means nothing to the panel
    const CString before = ListedLetters();
    if (!AddDrive(m_io, answer)) {
        AfxMessageBox(IDS_ADD_FAILED, MB_OK);
        return;
    }
    RefreshDriveList();
    AnnounceListChanges(before);
}

void CTolvaneDlg::AnnounceListChanges(const CString& before) {
    const CString after = ListedLetters();
    for (int i = 0; i < before.GetLength(); ++i) {
        if (after.Find(before[i]) < 0)
            m_announcer.Announce(before[i], DriveChange::DriveRemoved);
    }
    for (int i = 0; i < after.GetLength(); ++i) {
        if (before.Find(after[i]) >= 0)
            continue;
        m_announcer.Announce(after[i], DriveChange::DriveAdded);
        // A drive restored from its persistent record comes with its medium.
        IMAGE_INFO info;
        std::memset(&info, 0, sizeof(info));
        if (QueryImage(m_io, after[i], info) && info.Mounted)
            m_announcer.Announce(after[i], DriveChange::MediumInserted);
    }
}

void CTolvaneDlg::OnRemoveDrive() {
    const WCHAR letter = GetSelectedDrive();
    if (letter == 0)
        return;
    RefreshOrReport(RemoveDrive(m_io, letter), IDS_REMOVE_FAILED, letter,
                    DriveChange::DriveRemoved);
}

void CTolvaneDlg::OnEject() {
    const WCHAR letter = GetSelectedDrive();
    if (letter == 0)
        return;
    RefreshOrReport(EjectDrive(m_io, letter), IDS_EJECT_FAILED, letter, DriveChange::MediumRemoved);
}

void CTolvaneDlg::OnRemount() {
    const WCHAR letter = GetSelectedDrive();
    if (letter == 0)
        return;
    RefreshOrReport(RemountDrive(m_io, letter), IDS_REMOUNT_FAILED, letter,
                    DriveChange::MediumInserted);
}

void CTolvaneDlg::OnMount() {
    // The button is disabled without a selection; this guards a click sent by another program.
    const WCHAR letter = GetSelectedDrive();
    if (letter == 0)
        return;

    CString filter;
    filter.LoadString(IDS_IMAGE_FILTER);
    CFileDialog fileDialog(TRUE, nullptr, nullptr, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, filter,
                           this);
    if (fileDialog.DoModal() != IDOK)
        return;
    const CString imagePath = fileDialog.GetPathName();

    // Cancel keeps every option off, and the mount still goes ahead.
    CMountOptionsDlg options(this);
    options.m_imagePath = imagePath;
    options.DoModal();
    const DWORD flags = MountFlagsFromOptions(options);

    if (!MountImage(m_io, letter, imagePath, flags)) {
        AfxMessageBox(IDS_MOUNT_FAILED, MB_OK);
        return;
    }
    RefreshDriveList();
    m_announcer.Announce(letter, DriveChange::MediumInserted);
    if (options.m_persistent != 0)
        RecordPersistentMount(letter, imagePath, m_registry);
}

void CTolvaneDlg::OnDriverControl() {
    const CString before = ListedLetters();
    CDriverControl driverControl(this, m_services);
    driverControl.DoModal();
    // The driver may have come or gone, whatever the dialog's result: a stop removes every
    // drive and a start restores the persistent ones, which the desktop hears of as of the
    // panel's own changes.
    RefreshDriveList();
    AnnounceListChanges(before);
}

void CTolvaneDlg::OnClickDriveList(NMHDR*, LRESULT* pResult) {
    // A click below the rows leaves none selected: the figures shown stay.
    const WCHAR letter = GetSelectedDrive();
    if (letter != 0)
        UpdateDriveGeometry(letter);
    *pResult = 0;
}

LRESULT CTolvaneDlg::OnKickIdle(WPARAM, LPARAM) {
    const BOOL selected = m_driveList.GetFirstSelectedItemPosition() != nullptr;
    // A button disabled while it has the focus hands the focus on (the last drive removed
    // with "&Remove Drive" would leave the keyboard on a dead button otherwise).
    for (int id : {IDC_REMOVE_DRIVE, IDC_MOUNT, IDC_EJECT, IDC_REMOUNT})
        EnableDlgControl(this, static_cast<UINT>(id), selected);
    return 0;
}

void CTolvaneDlg::OnPaint() {
    if (!IsIconic()) {
        CDialog::OnPaint();
        return;
    }
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    const int cxIcon = ::GetSystemMetrics(SM_CXICON);
    const int cyIcon = ::GetSystemMetrics(SM_CYICON);
    CRect client;
    GetClientRect(&client);
    const int x = (client.Width() - cxIcon + 1) / 2;
    const int y = (client.Height() - cyIcon + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CTolvaneDlg::OnQueryDragIcon() {
    return static_cast<HCURSOR>(m_hIcon);
}
