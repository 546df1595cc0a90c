#pragma once

// The seam through which the main dialog reads a drive's file-system figures: GetDiskFreeSpaceW,
// with the same arguments and meaning. Tests script drives whose volume answers and drives
// whose volume does not.

#include <windows.h>

class IVolumeInfo {
public:
    virtual ~IVolumeInfo() = default;

    virtual BOOL GetDiskFreeSpaceW(LPCWSTR rootPathName, LPDWORD sectorsPerCluster,
                                   LPDWORD bytesPerSector, LPDWORD numberOfFreeClusters,
                                   LPDWORD totalNumberOfClusters) = 0;
};

class CWin32VolumeInfo : public IVolumeInfo {
public:
    BOOL GetDiskFreeSpaceW(LPCWSTR rootPathName, LPDWORD sectorsPerCluster, LPDWORD bytesPerSector,
                           LPDWORD numberOfFreeClusters, LPDWORD totalNumberOfClusters) override {
        return ::GetDiskFreeSpaceW(rootPathName, sectorsPerCluster, bytesPerSector,
                                   numberOfFreeClusters, totalNumberOfClusters);
    }
};

// The process's one Win32 volume seam.
IVolumeInfo& SystemVolumeInfo();
