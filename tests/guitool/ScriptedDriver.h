#pragma once

// A virtual CD-ROM driver for tests of the main dialog, behind the client's device seam: a list
// of drives with their images, which answers the seven requests as the driver would, records
// each request with the drive it went to, and fails any of them on demand.

#include "DeviceIo.h"
#include "KelmorProtocol.h"
#include "VolumeInfo.h"

#include <map>
#include <string>
#include <vector>

class CScriptedDriver : public IDeviceIo {
public:
    struct Drive {
        WCHAR letter;
        std::wstring imagePath; // as the driver reports it; empty: never had an image
        bool mounted = false;
        bool queryFails = false; // its image query fails
    };

    struct Request {
        DWORD code;
        WCHAR letter;        // 0 for the control device
        std::wstring path;   // mount: the path as sent, "\??\" included
        DWORD flags = 0;     // mount
        WORD pathLength = 0; // mount: ImagePathLength
    };

    bool loaded = true; // false: no device opens, as with the driver stopped
    std::vector<Drive> drives;
    std::vector<DWORD> failing;       // request codes that the driver fails
    WORD reportedCount = 0xFFFF;      // when set, the Count that QueryDrives reports
    WORD reportedPathLength = 0xFFFF; // when set, the ImagePathLength of every image answer

    std::vector<Request> requests;
    int opens = 0;

    int CountOf(DWORD code) const;
    Drive* Find(WCHAR letter);
    void Clear() { requests.clear(), opens = 0; }

    HANDLE Open(const WCHAR* name) override;
    BOOL Control(HANDLE device, DWORD code, void* input, DWORD inputSize, void* output,
                 DWORD outputSize, DWORD* bytesReturned) override;
    void Close(HANDLE) override {}
    DWORD GetLastError() override { return m_lastError; }
    void SetLastError(DWORD error) override { m_lastError = error; }

private:
    BOOL Answer(DWORD code, WCHAR letter, void* input, DWORD inputSize, void* output,
                DWORD outputSize);

    DWORD m_lastError = 0;
};

// File-system figures per drive root; a root without figures fails as a drive with no medium.
class CScriptedVolumes : public IVolumeInfo {
public:
    struct Figures {
        DWORD sectorsPerCluster, bytesPerSector, freeClusters, totalClusters;
    };
    std::map<std::wstring, Figures> volumes;
    std::vector<std::wstring> asked;

    BOOL GetDiskFreeSpaceW(LPCWSTR rootPathName, LPDWORD sectorsPerCluster, LPDWORD bytesPerSector,
                           LPDWORD numberOfFreeClusters, LPDWORD totalNumberOfClusters) override;
};
