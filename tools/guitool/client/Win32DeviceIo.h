#pragma once

// The device seam on the Win32 device functions, and the client operations that use it.

#include "DeviceIo.h"

class CWin32DeviceIo : public IDeviceIo {
public:
    HANDLE Open(const WCHAR* name) override;
    BOOL Control(HANDLE device, DWORD code, void* input, DWORD inputSize, void* output,
                 DWORD outputSize, DWORD* bytesReturned) override;
    void Close(HANDLE device) override;
    DWORD GetLastError() override;
    void SetLastError(DWORD error) override;
};

// The process's one Win32 device seam.
IDeviceIo& SystemDeviceIo();
