#pragma once

// A device seam for tests: it records every call, answers from a script, and keeps a last
// error of its own in place of the thread's.

#include "DeviceIo.h"

#include <cstdint>
#include <string>
#include <vector>

class CRecordingDeviceIo : public IDeviceIo {
public:
    enum class Call { Open, Control, Close };

    struct Event {
        Call call;
        std::u16string deviceName;  // Open: the name asked for
        HANDLE handle;              // Control, Close: the handle used; Open: the one returned
        DWORD code;                 // Control: the request
        std::vector<uint8_t> input; // Control: the input bytes as sent
        bool inputIsNull;           // Control: the input pointer was null
        DWORD outputSize;           // Control: the output size offered
        bool outputIsNull;          // Control: the output pointer was null
    };

    // What the next calls do. By default every open and request succeeds and leaves the last
    // error untouched.
    bool openFails = false;
    HANDLE failedOpenHandle = INVALID_HANDLE_VALUE; // what a failing open returns
    DWORD openError = 0;                            // last error set by a failing open
    BOOL controlResult = TRUE;
    DWORD controlError = 0;             // last error set by the request (when nonzero)
    std::vector<uint8_t> controlOutput; // copied into the output buffer, up to its size
    DWORD closeError = 0;               // last error that closing sets (when nonzero)

    std::vector<Event> events;
    DWORD lastError = 0;

    HANDLE Open(const WCHAR* name) override;
    BOOL Control(HANDLE device, DWORD code, void* input, DWORD inputSize, void* output,
                 DWORD outputSize, DWORD* bytesReturned) override;
    void Close(HANDLE device) override;
    DWORD GetLastError() override { return lastError; }
    void SetLastError(DWORD error) override { lastError = error; }

    // How many events of one kind were recorded.
    size_t Count(Call call) const;

private:
    uintptr_t m_nextHandle = 0x100;
};
