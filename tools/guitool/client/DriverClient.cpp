#include "DriverClient.h"

#include <cstring>

namespace {

// "\\.\%c:" for a drive letter.
struct DriveDeviceName {
    WCHAR text[7];

    explicit DriveDeviceName(WCHAR letter) : text{'\\', '\\', '.', '\\', letter, ':', 0} {}
};

// The five steps every operation runs: the device is named by the caller; open it, give up
// at once when that fails (the open's error stays), send the request, and close the device
// without letting the close change the last error that the request left.
BOOL SendRequest(IDeviceIo& io, const WCHAR* deviceName, DWORD code, void* input, DWORD inputSize,
                 void* output, DWORD outputSize) {
    HANDLE device = io.Open(deviceName);
    if (!IsHandleValid(device))
        return FALSE;

    DWORD bytesReturned = 0;
    const BOOL result =
        io.Control(device, code, input, inputSize, output, outputSize, &bytesReturned);

    const DWORD error = io.GetLastError();
    io.Close(device);
    io.SetLastError(error);
    return result;
}

const WCHAR kImagePathPrefix[] = {'\\', '?', '?', '\\'};
constexpr unsigned kPrefixUnits = sizeof(kImagePathPrefix) / sizeof(WCHAR);

} // namespace

bool BuildMountRequest(const WCHAR* imagePath, DWORD flags, MOUNT_REQUEST& request, DWORD& error) {
    if (imagePath == nullptr) {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    // Count no further than one unit past what fits: the path may be arbitrarily long.
    constexpr unsigned maxPathUnits = kImagePathUnits - kPrefixUnits;
    unsigned pathUnits = 0;
    while (pathUnits <= maxPathUnits && imagePath[pathUnits] != 0)
        ++pathUnits;
    if (pathUnits > maxPathUnits) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }

    std::memset(&request, 0, sizeof(request));
    std::memcpy(request.ImagePath, kImagePathPrefix, sizeof(kImagePathPrefix));
    std::memcpy(request.ImagePath + kPrefixUnits, imagePath, pathUnits * sizeof(WCHAR));
    // The memset left the terminator in place whenever the prefixed path is shorter than 255.
    request.ImagePathLength = static_cast<WORD>((kPrefixUnits + pathUnits) * sizeof(WCHAR));
    request.Flags = flags;
    return true;
}

BOOL AddDrive(IDeviceIo& io, WORD& value) {
    WORD answer = 0;
    const BOOL result = SendRequest(io, kControlDeviceName, IOCTL_KELMOR_ADD_DRIVE, nullptr, 0,
                                    &answer, sizeof(answer));
    value = answer;
    return result;
}

BOOL RemoveDrive(IDeviceIo& io, WCHAR letter) {
    return SendRequest(io, DriveDeviceName(letter).text, IOCTL_KELMOR_REMOVE_DRIVE, nullptr, 0,
                       nullptr, 0);
}

BOOL MountImage(IDeviceIo& io, WCHAR letter, const WCHAR* imagePath, DWORD flags) {
    MOUNT_REQUEST request;
    DWORD error = 0;
    if (!BuildMountRequest(imagePath, flags, request, error)) {
        io.SetLastError(error);
        return FALSE;
    }
    return SendRequest(io, DriveDeviceName(letter).text, IOCTL_KELMOR_MOUNT_IMAGE, &request,
                       sizeof(request), nullptr, 0);
}

BOOL EjectDrive(IDeviceIo& io, WCHAR letter) {
    return SendRequest(io, DriveDeviceName(letter).text, IOCTL_CDROM_EJECT_MEDIA, nullptr, 0,
                       nullptr, 0);
}

BOOL RemountDrive(IDeviceIo& io, WCHAR letter) {
    return SendRequest(io, DriveDeviceName(letter).text, IOCTL_STORAGE_LOAD_MEDIA, nullptr, 0,
                       nullptr, 0);
}

BOOL QueryDrives(IDeviceIo& io, DRIVE_LIST& list) {
    return SendRequest(io, kControlDeviceName, IOCTL_KELMOR_QUERY_DRIVES, nullptr, 0, &list,
                       sizeof(list));
}

BOOL QueryImage(IDeviceIo& io, WCHAR letter, IMAGE_INFO& info) {
    return SendRequest(io, DriveDeviceName(letter).text, IOCTL_KELMOR_QUERY_IMAGE, nullptr, 0,
                       &info, sizeof(info));
}
