#pragma once

// What the black-box scenarios know of the two programs: the captions, control ids and texts
// a user sees. Nothing here comes from the programs' sources; a change on screen shows up as
// a failed scenario.

// Tolvane: the control panel.
namespace tolvane {
constexpr const wchar_t* kMainCaption = L"Virtual CDRom Control Panel";
constexpr const wchar_t* kServiceCaption = L"Virtual CD-ROM Driver Control";
constexpr const wchar_t* kOptionsCaption = L"Special Mount Options";
constexpr const wchar_t* kMessageCaption = L"Tolvane"; // the program's name

constexpr int kDriveList = 1000;
constexpr int kSectorsPerCluster = 1002;
constexpr int kBytesPerSector = 1003;
constexpr int kFreeClusters = 1004;
constexpr int kTotalClusters = 1005;
constexpr int kAddDrive = 1006;
constexpr int kRemoveDrive = 1007;
constexpr int kMount = 1008;
constexpr int kEject = 1009;
constexpr int kRemount = 1010;
constexpr int kDriverControl = 1011;

constexpr int kInstallDriver = 1012;
constexpr int kStart = 1013;
constexpr int kStop = 1014;
constexpr int kRemoveDriver = 1015;
constexpr int kServiceStatus = 1017;

constexpr int kImagePath = 1018;
constexpr int kSuppressUdf = 1019;
constexpr int kSuppressJoliet = 1020;
constexpr int kPersistent = 1021;

constexpr const wchar_t* kNotInstalled = L"Virtual CDROM driver is not installed";
constexpr const wchar_t* kDisplayName = L"Virtual CD-ROM Device Driver";
constexpr const wchar_t* kLastOnePrefix = L"No Image Mounted. Last one was - ";
constexpr const wchar_t* kNone = L"None";
constexpr const wchar_t* kKeyOpened = L"KELMOR Opened!";
constexpr const wchar_t* kAddFailed = L"Add Failed";
constexpr const wchar_t* kParametersKey =
    L"System\\CurrentControlSet\\Services\\kelmor\\Parameters";
} // namespace tolvane

// Ravelin: the ripper.
namespace ravelin {
constexpr const wchar_t* kMainCaption = L"Ravelin";
constexpr const wchar_t* kMessageCaption = L"Ravelin";
constexpr const wchar_t* kAboutCaption = L"About Ravelin";
constexpr const wchar_t* kNoDrive = L"No CD/DVD drive was detected.";

constexpr int kDriveList = 1000;
constexpr int kOutputName = 1001;
constexpr int kRip = 1002;
constexpr int kClose = 1003;
constexpr int kProgress = 1004;
constexpr unsigned kAboutCommand = 0x0010;

constexpr const wchar_t* kRipText = L"&Rip";
constexpr const wchar_t* kAbortText = L"&Abort";
} // namespace ravelin
