#pragma once

// A top-level window of this process with the given caption, or null. The test programs run
// side by side on one display, and another one may show a window with the same caption (the
// black-box scenarios run the real programs): FindWindow alone could take that one.

#include <windows.h>

inline HWND FindOwnWindow(const wchar_t* caption) {
    HWND window = nullptr;
    while ((window = ::FindWindowExW(nullptr, window, nullptr, caption)) != nullptr) {
        DWORD pid = 0;
        ::GetWindowThreadProcessId(window, &pid);
        if (pid == ::GetCurrentProcessId())
            return window;
    }
    return nullptr;
}

inline HWND FindOwnWindow(const char* caption) {
    HWND window = nullptr;
    while ((window = ::FindWindowExA(nullptr, window, nullptr, caption)) != nullptr) {
        DWORD pid = 0;
        ::GetWindowThreadProcessId(window, &pid);
        if (pid == ::GetCurrentProcessId())
            return window;
    }
    return nullptr;
}
