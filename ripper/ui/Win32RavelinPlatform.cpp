#include "Win32RavelinPlatform.h"

#include <process.h>

DWORD Win32RavelinPlatform::GetLogicalDriveStringsA(DWORD bufferLength, LPSTR buffer) {
    return ::GetLogicalDriveStringsA(bufferLength, buffer);
}

UINT Win32RavelinPlatform::GetDriveTypeA(LPCSTR root) {
    return ::GetDriveTypeA(root);
}

HANDLE Win32RavelinPlatform::BeginThreadEx(ThreadProc start, void* argument) {
    return reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, start, argument, 0, nullptr));
}

HANDLE Win32RavelinPlatform::CreateEventA(BOOL manualReset, BOOL initialState) {
    return ::CreateEventA(nullptr, manualReset, initialState, nullptr);
}

IRavelinPlatform& SystemRavelinPlatform() {
    static Win32RavelinPlatform platform;
    return platform;
}
