#pragma once

#include "RavelinPlatform.h"

class Win32RavelinPlatform : public IRavelinPlatform {
public:
    DWORD GetLogicalDriveStringsA(DWORD bufferLength, LPSTR buffer) override;
    UINT GetDriveTypeA(LPCSTR root) override;
    HANDLE BeginThreadEx(ThreadProc start, void* argument) override;
    HANDLE CreateEventA(BOOL manualReset, BOOL initialState) override;
};
