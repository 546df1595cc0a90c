#pragma once

// The Windows calls of the ripper's main dialog that tests must steer: the drive listing, the
// start of its worker threads and the creation of the abort event. Each method is the one call
// it names; Win32RavelinPlatform makes exactly that call, and the tests script drives and
// inject failures through a double.

#include <windows.h>

class IRavelinPlatform {
public:
    using ThreadProc = unsigned(__stdcall*)(void* argument);

    virtual ~IRavelinPlatform() = default;

    // GetLogicalDriveStringsA(bufferLength, buffer): the length of the list without its final
    // NUL, 0 on failure, or the size needed when the buffer is too small.
    virtual DWORD GetLogicalDriveStringsA(DWORD bufferLength, LPSTR buffer) = 0;
    // GetDriveTypeA(root).
    virtual UINT GetDriveTypeA(LPCSTR root) = 0;
    // _beginthreadex(NULL, 0, start, argument, 0, NULL): the running thread's handle, or null.
    virtual HANDLE BeginThreadEx(ThreadProc start, void* argument) = 0;
    // CreateEventA(NULL, manualReset, initialState, NULL): an unnamed event, or null.
    virtual HANDLE CreateEventA(BOOL manualReset, BOOL initialState) = 0;
};

// The Win32 implementation, shared by the program.
IRavelinPlatform& SystemRavelinPlatform();
