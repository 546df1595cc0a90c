#pragma once

// The device seam of the driver client: open a device by name, send it one control request,
// close it, and read or set the thread's last error. The Win32 implementation calls the
// kernel32 functions of the same names; tests use a recording double.

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdint>

// The few Win32 types and values the client needs, so that its logic builds without
// <windows.h>. WCHAR is a UTF-16 code unit on both sides.
typedef int BOOL;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef char16_t WCHAR;
typedef void* HANDLE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
#endif

static_assert(sizeof(WCHAR) == 2, "the driver protocol carries UTF-16 code units");
static_assert(sizeof(WORD) == 2 && sizeof(DWORD) == 4, "protocol fields are 16 and 32 bits");

// A handle that CreateFileW may return on failure is either null or INVALID_HANDLE_VALUE.
inline bool IsHandleValid(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

class IDeviceIo {
public:
    virtual ~IDeviceIo() = default;
    // Opens the device `name` for reading and writing, shared for both; null or
    // INVALID_HANDLE_VALUE on failure, with the reason in the last error.
    virtual HANDLE Open(const WCHAR* name) = 0;
    // Sends one control request synchronously.
    virtual BOOL Control(HANDLE device, DWORD code, void* input, DWORD inputSize, void* output,
                         DWORD outputSize, DWORD* bytesReturned) = 0;
    virtual void Close(HANDLE device) = 0;
    virtual DWORD GetLastError() = 0;
    virtual void SetLastError(DWORD error) = 0;
};
