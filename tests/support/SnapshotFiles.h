#pragma once

// The photographed program's side of cmake/snapshot.sh: once its window shows what is to be
// photographed, the program writes the window's screen rectangle into the "ready" file; the
// script photographs the screen, then creates the "done" file, and the program closes.

#include <windows.h>

#include <cstdio>

// Brings the window to the front, painted, and reports its rectangle; false when the ready
// file cannot be written.
inline bool ReportWindowReady(HWND window, const char* readyFile) {
    ::SetForegroundWindow(window); // an active title bar, as a user would see it
    ::UpdateWindow(window);
    RECT rect;
    ::GetWindowRect(window, &rect);
    FILE* ready = std::fopen(readyFile, "w");
    if (!ready)
        return false;
    std::fprintf(ready, "%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left,
                 rect.bottom - rect.top);
    return std::fclose(ready) == 0;
}

inline bool IsSnapshotTaken(const char* doneFile) {
    return ::GetFileAttributesA(doneFile) != INVALID_FILE_ATTRIBUTES;
}
