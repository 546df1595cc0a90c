#include "RecordingDeviceIo.h"

#include <algorithm>
#include <cstring>

HANDLE CRecordingDeviceIo::Open(const WCHAR* name) {
    Event event{};
    event.call = Call::Open;
    for (const WCHAR* p = name; *p != 0; ++p)
        event.deviceName.push_back(static_cast<char16_t>(*p));
    if (openFails) {
        event.handle = failedOpenHandle;
        lastError = openError;
    } else {
        event.handle = reinterpret_cast<HANDLE>(m_nextHandle);
        m_nextHandle += 4;
    }
    events.push_back(event);
    return event.handle;
}

BOOL CRecordingDeviceIo::Control(HANDLE device, DWORD code, void* input, DWORD inputSize,
                                 void* output, DWORD outputSize, DWORD* bytesReturned) {
    Event event{};
    event.call = Call::Control;
    event.handle = device;
    event.code = code;
    event.inputIsNull = input == nullptr;
    if (input != nullptr) {
        const auto* bytes = static_cast<const uint8_t*>(input);
        event.input.assign(bytes, bytes + inputSize);
    }
    event.outputSize = outputSize;
    event.outputIsNull = output == nullptr;
    events.push_back(event);

    const size_t copied = std::min<size_t>(controlOutput.size(), output ? outputSize : 0);
    if (copied != 0)
        std::memcpy(output, controlOutput.data(), copied);
    if (bytesReturned != nullptr)
        *bytesReturned = static_cast<DWORD>(copied);
    if (controlError != 0)
        lastError = controlError;
    return controlResult;
}

void CRecordingDeviceIo::Close(HANDLE device) {
    Event event{};
    event.call = Call::Close;
    event.handle = device;
    events.push_back(event);
    if (closeError != 0)
        lastError = closeError;
}

size_t CRecordingDeviceIo::Count(Call call) const {
    return static_cast<size_t>(std::count_if(events.begin(), events.end(),
                                             [call](const Event& e) { return e.call == call; }));
}
