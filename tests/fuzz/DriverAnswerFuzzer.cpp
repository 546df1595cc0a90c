// libFuzzer target: the driver client over any answer the driver may give. The input is
//   byte 0    faults: bit 0 the device does not open (bit 3: the open answers null rather than
//             INVALID_HANDLE_VALUE), bit 1 the request fails, bit 2 closing sets an error
//   byte 1    the error the failing call leaves
//   bytes 2-5 mount flags
//   the rest  the driver's answer, copied into the caller's buffer up to its size (so it may
//             fill it, fall short of it or exceed it), and, read as UTF-16 units up to the
//             first 0, an image path to mount.
// DRIVE_LIST and IMAGE_INFO live on the heap at their exact sizes, so AddressSanitizer sees a
// read one byte past them. Whatever the answer says (a Count above 26, an ImagePathLength above
// 510), the bounded readers must keep inside the buffers and give exactly the bounded values.
#include "DriverClient.h"
#include "RecordingDeviceIo.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using Call = CRecordingDeviceIo::Call;

constexpr DWORD kCloseError = 6; // ERROR_INVALID_HANDLE

void Check(bool condition) {
    if (!condition)
        std::abort();
}

struct Script {
    bool openFails;
    bool nullHandle;
    bool requestFails;
    bool closeSetsError;
    DWORD error;
    std::vector<uint8_t> answer;
};

void Arrange(CRecordingDeviceIo& io, const Script& script) {
    io.openFails = script.openFails;
    io.failedOpenHandle = script.nullHandle ? nullptr : INVALID_HANDLE_VALUE;
    io.openError = script.error;
    io.controlResult = script.requestFails ? FALSE : TRUE;
    io.controlError = script.requestFails ? script.error : 0;
    io.closeError = script.closeSetsError ? kCloseError : 0;
    io.controlOutput = script.answer;
    io.lastError = 0;
}

// One request went out on `code` with no input and an output of `outputSize`, the device was
// closed, and the result and last error are those of the request (or of the open).
void CheckOneRequest(const CRecordingDeviceIo& io, const Script& script, BOOL result, DWORD code,
                     DWORD outputSize) {
    if (script.openFails) {
        Check(!result);
        Check(io.events.size() == 1 && io.events[0].call == Call::Open);
        Check(io.lastError == script.error);
        return;
    }
    Check(result == (script.requestFails ? FALSE : TRUE));
    Check(io.events.size() == 3);
    Check(io.events[1].call == Call::Control && io.events[1].code == code);
    Check(io.events[1].inputIsNull && io.events[1].input.empty());
    Check(io.events[1].outputSize == outputSize);
    Check(io.events[2].call == Call::Close && io.events[2].handle == io.events[0].handle);
    Check(io.lastError == (script.requestFails ? script.error : 0));
}

// The caller's buffer after the request: the answer's first bytes, the rest as it was (zero).
void CheckArrived(const Script& script, const void* buffer, size_t size) {
    std::vector<uint8_t> expected(size, 0);
    if (!script.openFails && !script.answer.empty())
        std::memcpy(expected.data(), script.answer.data(), std::min(size, script.answer.size()));
    Check(std::memcmp(buffer, expected.data(), size) == 0);
}

void QueryDrivesOver(const Script& script) {
    CRecordingDeviceIo io;
    Arrange(io, script);
    std::unique_ptr<DRIVE_LIST> list(new DRIVE_LIST());
    const BOOL result = QueryDrives(io, *list);
    CheckOneRequest(io, script, result, IOCTL_KELMOR_QUERY_DRIVES, sizeof(DRIVE_LIST));
    CheckArrived(script, list.get(), sizeof(DRIVE_LIST));

    const unsigned count = DriveListCount(*list);
    Check(count == (list->Count < 26u ? list->Count : 26u));
    std::vector<WCHAR> letters;
    for (unsigned i = 0; i < count; ++i)
        letters.push_back(list->Letters[i]);
    Check(letters.size() == count);
}

void QueryImageOver(const Script& script) {
    CRecordingDeviceIo io;
    Arrange(io, script);
    std::unique_ptr<IMAGE_INFO> info(new IMAGE_INFO());
    const BOOL result = QueryImage(io, 'E', *info);
    CheckOneRequest(io, script, result, IOCTL_KELMOR_QUERY_IMAGE, sizeof(IMAGE_INFO));
    Check(io.openFails || io.events[0].deviceName == u"\\\\.\\E:");
    CheckArrived(script, info.get(), sizeof(IMAGE_INFO));

    const unsigned units = ImagePathUnits(*info);
    Check(units == (info->ImagePathLength / 2u < 255u ? info->ImagePathLength / 2u : 255u));
    std::vector<WCHAR> path(info->ImagePath, info->ImagePath + units);
    Check(path.size() == units);
}

void MountImageOf(const Script& script, DWORD flags) {
    // The answer's bytes as a zero-terminated UTF-16 path, in a buffer of exactly its size.
    size_t units = 0;
    while (units < script.answer.size() / 2 &&
           (script.answer[2 * units] != 0 || script.answer[2 * units + 1] != 0))
        ++units;
    std::unique_ptr<WCHAR[]> path(new WCHAR[units + 1]);
    for (size_t i = 0; i < units; ++i)
        path[i] = static_cast<WCHAR>(script.answer[2 * i] | script.answer[2 * i + 1] << 8);
    path[units] = 0;

    CRecordingDeviceIo io;
    Arrange(io, script);
    const BOOL result = MountImage(io, 'F', path.get(), flags);
    if (units > 251) { // the prefixed path would not fit the request's 255 units
        Check(!result);
        Check(io.events.empty());
        Check(io.lastError == ERROR_FILENAME_EXCED_RANGE);
        return;
    }
    if (script.openFails) {
        Check(!result && io.events.size() == 1);
        return;
    }
    Check(io.events.size() == 3);
    const std::vector<uint8_t>& sent = io.events[1].input;
    Check(io.events[1].code == IOCTL_KELMOR_MOUNT_IMAGE && sent.size() == sizeof(MOUNT_REQUEST));
    Check(io.events[1].outputIsNull && io.events[1].outputSize == 0);
    MOUNT_REQUEST request;
    std::memcpy(&request, sent.data(), sizeof(request));
    const WCHAR prefix[] = {'\\', '?', '?', '\\'};
    Check(std::memcmp(request.ImagePath, prefix, sizeof(prefix)) == 0);
    Check(std::memcmp(request.ImagePath + 4, path.get(), units * sizeof(WCHAR)) == 0);
    Check(request.ImagePathLength == (4 + units) * 2);
    Check(4 + units == 255 || request.ImagePath[4 + units] == 0);
    Check(request.Flags == flags);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6)
        return 0;
    Script script;
    script.openFails = data[0] & 1;
    script.requestFails = data[0] & 2;
    script.closeSetsError = data[0] & 4;
    script.nullHandle = data[0] & 8;
    script.error = data[1] + 1u;
    const DWORD flags = data[2] | data[3] << 8 | data[4] << 16 | static_cast<DWORD>(data[5]) << 24;
    script.answer.assign(data + 6, data + size);

    QueryDrivesOver(script);
    QueryImageOver(script);
    MountImageOf(script, flags);
    return 0;
}
