#pragma once

// A double of the main dialog's Windows calls: the drive listing comes from a script, thread
// starts and the event can be made to fail, and every thread started through it is counted
// until it ends, so that a test can wait for the dialog's workers before it goes on.

#include "RavelinPlatform.h"

#include <atomic>
#include <string>
#include <vector>

class CScriptedRavelinPlatform : public IRavelinPlatform {
public:
    struct Drive {
        std::string root; // such as "D:\"
        UINT type;        // DRIVE_CDROM, DRIVE_FIXED, ...
    };

    // The script.
    std::vector<Drive> drives;     // in the order the system lists them
    bool failDriveStrings = false; // GetLogicalDriveStringsA answers 0
    DWORD driveStringsAnswer = 0;  // nonzero: GetLogicalDriveStringsA answers this length
    bool failThreads = false;      // BeginThreadEx answers null
    bool failEvent = false;        // CreateEventA answers null

    // What happened (UI thread only).
    std::vector<DWORD> driveStringsBufferLengths;
    std::vector<std::string> driveTypeQueries;
    int labelThreadsStarted = 0;
    int ripThreadsStarted = 0;

    // Threads started here that have not ended yet.
    int LiveLabelThreads() const { return m_liveLabel; }
    int LiveRipThreads() const { return m_liveRip; }
    // Handles the calling thread's messages until every thread started here has ended; false
    // when `timeout` ms pass first.
    bool WaitForThreads(DWORD timeout) const;

    DWORD GetLogicalDriveStringsA(DWORD bufferLength, LPSTR buffer) override;
    UINT GetDriveTypeA(LPCSTR root) override;
    HANDLE BeginThreadEx(ThreadProc start, void* argument) override;
    HANDLE CreateEventA(BOOL manualReset, BOOL initialState) override;

private:
    std::atomic<int> m_liveLabel{0};
    std::atomic<int> m_liveRip{0};
};

// Handles the calling thread's messages until `done` holds; false when `timeout` ms pass first.
template <typename Condition> bool PumpUntil(Condition done, DWORD timeout) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
        if (done())
            return true;
        if (::GetTickCount() - start > timeout)
            return false;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}
