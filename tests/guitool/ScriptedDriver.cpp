#include "ScriptedDriver.h"

#include <algorithm>
#include <cstring>

namespace {

// Handles: 1 for the control device, 0x100 + letter for a drive's device.
constexpr uintptr_t kControlHandle = 1;
constexpr uintptr_t kDriveHandleBase = 0x100;

} // namespace

int CScriptedDriver::CountOf(DWORD code) const {
    return static_cast<int>(std::count_if(requests.begin(), requests.end(),
                                          [code](const Request& r) { return r.code == code; }));
}

CScriptedDriver::Drive* CScriptedDriver::Find(WCHAR letter) {
    for (Drive& drive : drives) {
        if (drive.letter == letter)
            return &drive;
    }
    return nullptr;
}

HANDLE CScriptedDriver::Open(const WCHAR* name) {
    ++opens;
    const std::wstring device(name);
    if (loaded && device == kControlDeviceName)
        return reinterpret_cast<HANDLE>(kControlHandle);
    if (loaded && device.size() == 6 && device.compare(0, 4, L"\\\\.\\") == 0 && device[5] == ':' &&
        Find(device[4]) != nullptr)
        return reinterpret_cast<HANDLE>(kDriveHandleBase + device[4]);
    m_lastError = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
}

BOOL CScriptedDriver::Control(HANDLE device, DWORD code, void* input, DWORD inputSize, void* output,
                              DWORD outputSize, DWORD* bytesReturned) {
    const auto handle = reinterpret_cast<uintptr_t>(device);
    const WCHAR letter =
        handle == kControlHandle ? 0 : static_cast<WCHAR>(handle - kDriveHandleBase);
    Request request{code, letter, L"", 0, 0};
    if (code == IOCTL_KELMOR_MOUNT_IMAGE && input != nullptr &&
        inputSize == sizeof(MOUNT_REQUEST)) {
        const auto* mount = static_cast<const MOUNT_REQUEST*>(input);
        request.pathLength = mount->ImagePathLength;
        request.path.assign(mount->ImagePath, mount->ImagePath + mount->ImagePathLength / 2);
        request.flags = mount->Flags;
    }
    requests.push_back(request);
    if (bytesReturned != nullptr)
        *bytesReturned = 0;
    if (std::find(failing.begin(), failing.end(), code) != failing.end()) {
        m_lastError = ERROR_NOT_READY;
        return FALSE;
    }
    return Answer(code, letter, input, inputSize, output, outputSize);
}

BOOL CScriptedDriver::Answer(DWORD code, WCHAR letter, void*, DWORD, void* output,
                             DWORD outputSize) {
    Drive* drive = Find(letter);
    switch (code) {
    case IOCTL_KELMOR_QUERY_DRIVES: {
        if (output == nullptr || outputSize != sizeof(DRIVE_LIST))
            break;
        auto* list = static_cast<DRIVE_LIST*>(output);
        list->Count = static_cast<WORD>(drives.size());
        for (size_t i = 0; i < drives.size() && i < kMaxDrives; ++i)
            list->Letters[i] = drives[i].letter;
        if (reportedCount != 0xFFFF)
            list->Count = reportedCount;
        return TRUE;
    }
    case IOCTL_KELMOR_QUERY_IMAGE: {
        if (drive == nullptr || output == nullptr || outputSize != sizeof(IMAGE_INFO))
            break;
        if (drive->queryFails) {
            m_lastError = ERROR_NOT_READY;
            return FALSE;
        }
        auto* info = static_cast<IMAGE_INFO*>(output);
        const size_t units = std::min<size_t>(drive->imagePath.size(), kImagePathUnits);
        std::copy(drive->imagePath.begin(), drive->imagePath.begin() + static_cast<long>(units),
                  info->ImagePath);
        info->ImagePathLength = static_cast<WORD>(units * 2);
        if (reportedPathLength != 0xFFFF)
            info->ImagePathLength = reportedPathLength;
        info->Mounted = drive->mounted ? 1 : 0;
        return TRUE;
    }
    case IOCTL_KELMOR_ADD_DRIVE: {
        WCHAR next = 'D';
        while (Find(next) != nullptr)
            ++next;
        drives.push_back({next, L"", false, false});
        if (output != nullptr && outputSize == sizeof(WORD))
            std::memcpy(output, &next, sizeof(WORD));
        return TRUE;
    }
    case IOCTL_KELMOR_REMOVE_DRIVE:
        if (drive == nullptr)
            break;
        drives.erase(drives.begin() + (drive - drives.data()));
        return TRUE;
    case IOCTL_KELMOR_MOUNT_IMAGE:
        if (drive == nullptr)
            break;
        // The driver reports the path without its "\??\".
        drive->imagePath = requests.back().path.substr(4);
        drive->mounted = true;
        return TRUE;
    case IOCTL_CDROM_EJECT_MEDIA:
        if (drive == nullptr)
            break;
        drive->mounted = false;
        return TRUE;
    case IOCTL_STORAGE_LOAD_MEDIA:
        if (drive == nullptr || drive->imagePath.empty())
            break;
        drive->mounted = true;
        return TRUE;
    default:
        break;
    }
    m_lastError = ERROR_INVALID_FUNCTION;
    return FALSE;
}

BOOL CScriptedVolumes::GetDiskFreeSpaceW(LPCWSTR rootPathName, LPDWORD sectorsPerCluster,
                                         LPDWORD bytesPerSector, LPDWORD numberOfFreeClusters,
                                         LPDWORD totalNumberOfClusters) {
    asked.emplace_back(rootPathName);
    auto found = volumes.find(rootPathName);
    if (found == volumes.end()) {
        // What a failing call leaves in its outputs is not to be shown.
        *sectorsPerCluster = *bytesPerSector = 0xBAD;
        *numberOfFreeClusters = *totalNumberOfClusters = 0xBAD;
        ::SetLastError(ERROR_NOT_READY);
        return FALSE;
    }
    *sectorsPerCluster = found->second.sectorsPerCluster;
    *bytesPerSector = found->second.bytesPerSector;
    *numberOfFreeClusters = found->second.freeClusters;
    *totalNumberOfClusters = found->second.totalClusters;
    return TRUE;
}
