#pragma once

// The control panel's decisions that need no window: which buttons of the driver service dialog
// are enabled in which service state, what the drive list shows for a drive's image, and the
// texts of a persistent-mount record. The dialogs call these; they build on every platform.

#include "DeviceIo.h"
#include "KelmorProtocol.h"

#include <string>

using WString = std::basic_string<WCHAR>;

// The service states that the dialog tells apart (SERVICE_STOPPED, SERVICE_RUNNING).
constexpr DWORD kServiceStopped = 1;
constexpr DWORD kServiceRunning = 4;

struct ServiceButtons {
    bool install;
    bool remove;
    bool start;
    bool stop;
};

// Install while no service handle is held, Remove while one is; Start only for a held service
// that has stopped, Stop only for one that runs. Pending states enable neither.
ServiceButtons ServiceButtonsFor(bool serviceHeld, DWORD state);

// The "Mapped Image" text of a drive. `answered` is whether the image query succeeded; `info`
// is its answer (never read when it failed). The path is the first ImagePathLength / 2 units
// of ImagePath, no more than the 255 that it holds, as the driver reports them.
//   mounted:              the path
//   never mounted:        prefix + none
//   ejected:              prefix + the last path
//   query failed:         prefix
WString MappedImageText(bool answered, const IMAGE_INFO& info, const WString& prefix,
                        const WString& none);

// Drive letters a to z become A to Z; any other unit stays as it is.
WCHAR UpperDriveLetter(WCHAR letter);

// What RecordPersistentMount writes for a mount of `imagePath` on drive `letter`.
struct PersistentMountRecord {
    WString keyPath;   // under HKEY_LOCAL_MACHINE: ...\kelmor\Parameters\Device<L>
    WString driveText; // "<L>:"
    WString imageText; // "\??\" and the full path
};

PersistentMountRecord MakePersistentMountRecord(WCHAR letter, const WString& imagePath);
