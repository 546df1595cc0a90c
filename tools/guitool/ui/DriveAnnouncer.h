#pragma once

// Tells the rest of the desktop that a virtual drive or its medium came or went, as Windows'
// own drives do: Explorer windows and file dialogs otherwise go on showing the old state.
// Each announcement is WM_DEVICECHANGE with a DEV_BROADCAST_VOLUME for the drive's letter,
// sent to every top-level window (a posted one cannot carry its data to another process), and
// the shell's matching SHChangeNotify. A window that does not answer could hold the sender up
// for its time-out, so the announcements are made by a worker thread, in the order they were
// asked for, never by the UI thread.

#include <windows.h>

enum class DriveChange {
    DriveAdded,     // DBT_DEVICEARRIVAL; SHCNE_DRIVEADD
    DriveRemoved,   // DBT_DEVICEREMOVECOMPLETE; SHCNE_DRIVEREMOVED
    MediumInserted, // DBT_DEVICEARRIVAL with DBTF_MEDIA; SHCNE_MEDIAINSERTED
    MediumRemoved,  // DBT_DEVICEREMOVECOMPLETE with DBTF_MEDIA; SHCNE_MEDIAREMOVED
};

class IDriveAnnouncer {
public:
    virtual ~IDriveAnnouncer() = default;
    // Queues the announcement of `change` for drive `letter` and returns at once.
    virtual void Announce(WCHAR letter, DriveChange change) = 0;
};

// The Win32 announcer: one worker thread, started with the first announcement, sends them.
IDriveAnnouncer& SystemDriveAnnouncer();

// Waits up to `milliseconds` for the Win32 announcer to send all it was asked to; true when it
// has. The program calls it as it ends, which would otherwise cut off the last announcements.
bool FinishDriveAnnouncements(DWORD milliseconds);

// What the worker sends for one change; its own thread must not be one whose windows the
// broadcast waits for. Exposed for the tests.
void SendDriveAnnouncement(WCHAR letter, DriveChange change);
