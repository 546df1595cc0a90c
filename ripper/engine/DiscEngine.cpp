#include "DiscEngine.h"

#include "DirectoryTree.h"
#include "HeapString.h"
#include "Path.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

// The volume identifier of the primary volume descriptor: sector 16, bytes 40 to 71.
constexpr uint32_t kLabelSector = 16;
constexpr uint32_t kLabelOffset = 40;
constexpr uint32_t kLabelLength = 32;
constexpr uint64_t kProgressInterval = 1000;

// The owners below release in their destructors. Declared in the order of acquisition, they
// run in reverse on every way out: image closed, buffer freed, medium released, drive closed.

class CPlatformHandle {
public:
    CPlatformHandle(IDiscPlatform& platform, PlatformHandle handle)
        : m_platform(platform), m_handle(handle) {}
    CPlatformHandle(const CPlatformHandle&) = delete;
    CPlatformHandle& operator=(const CPlatformHandle&) = delete;
    ~CPlatformHandle() {
        if (IsValid())
            m_platform.Close(m_handle);
    }

    bool IsValid() const { return m_handle != kInvalidPlatformHandle; }
    PlatformHandle Get() const { return m_handle; }

private:
    IDiscPlatform& m_platform;
    PlatformHandle m_handle;
};

// Locks the medium for its lifetime. Neither request's answer matters: a drive that cannot be
// locked is still read.
class CMediumLock {
public:
    CMediumLock(IDiscPlatform& platform, PlatformHandle drive)
        : m_platform(platform), m_drive(drive) {
        m_platform.SetMediaLock(m_drive, true);
    }
    CMediumLock(const CMediumLock&) = delete;
    CMediumLock& operator=(const CMediumLock&) = delete;
    ~CMediumLock() { m_platform.SetMediaLock(m_drive, false); }

private:
    IDiscPlatform& m_platform;
    PlatformHandle m_drive;
};

class CSectorBuffer {
public:
    CSectorBuffer(IDiscPlatform& platform, uint32_t size)
        : m_platform(platform), m_size(size),
          m_pData(static_cast<unsigned char*>(platform.AllocateBuffer(size))) {}
    CSectorBuffer(const CSectorBuffer&) = delete;
    CSectorBuffer& operator=(const CSectorBuffer&) = delete;
    ~CSectorBuffer() {
        if (m_pData)
            m_platform.FreeBuffer(m_pData, m_size);
    }

    unsigned char* Get() const { return m_pData; }

private:
    IDiscPlatform& m_platform;
    uint32_t m_size;
    unsigned char* m_pData;
};

void FormatDevicePath(char letter, char (&devicePath)[8]) {
    std::snprintf(devicePath, sizeof(devicePath), "\\\\.\\%c:", letter);
}

// Parses the output name, and creates the directories of its parent. Whether they could all
// be made is not asked here: creating the image file tells. Throws CPathException for a name
// the path rules reject, std::bad_alloc when memory runs out.
void PrepareOutputDirectory(const char* imagePath, IFileSystem& fileSystem) {
    CPath path;
    {
        CHeapString text(imagePath);
        path.Parse(text);
    }
    CPath parent = path.GetParent();
    CreateDirectoryTree(parent, fileSystem);
}

// Writes `size` bytes of the buffer to the image: 0 when all of them were written, otherwise
// the write's error (ERROR_HANDLE_DISK_FULL for a short write that reports none).
uint32_t WriteSector(IDiscPlatform& platform, PlatformHandle image, const void* buffer,
                     uint32_t size) {
    uint32_t written = 0;
    if (!platform.Write(image, buffer, size, written)) {
        uint32_t error = platform.GetLastError();
        return error != 0 ? error : kErrorWriteFault;
    }
    return written == size ? 0 : kErrorHandleDiskFull;
}

} // namespace

uint64_t SectorCount(const DiscGeometry& geometry) {
    return static_cast<uint64_t>(geometry.Cylinders) * geometry.TracksPerCylinder *
           geometry.SectorsPerTrack;
}

uint32_t ReadDiscLabel(char letter, CHeapString& label, IDiscPlatform& platform) {
    label.Empty();

    char devicePath[8];
    FormatDevicePath(letter, devicePath);
    CPlatformHandle drive(platform, platform.OpenDrive(devicePath));
    if (!drive.IsValid())
        return platform.GetLastError();
    CMediumLock lock(platform, drive.Get());

    DiscGeometry geometry = {};
    if (!platform.GetDriveGeometry(drive.Get(), geometry))
        return platform.GetLastError();

    CSectorBuffer buffer(platform, geometry.BytesPerSector);
    if (!buffer.Get())
        return kErrorNotEnoughMemory;

    // The probe positions with a 32-bit offset and no high part, as the drive's first sectors
    // are always within reach of one.
    uint32_t offset = kLabelSector * geometry.BytesPerSector;
    if (platform.SetPosition(drive.Get(), static_cast<int32_t>(offset), nullptr) ==
        kInvalidSetFilePointer)
        return platform.GetLastError();

    uint32_t read = 0;
    if (!platform.Read(drive.Get(), buffer.Get(), geometry.BytesPerSector, read) || read == 0)
        return 0;

    // Only bytes the drive delivered are taken; the rest of the field stays NUL, so a sector
    // shorter than the descriptor cannot make the probe read past the data.
    char field[kLabelLength + 1] = {};
    if (read > kLabelOffset) {
        uint32_t available = read - kLabelOffset;
        std::memcpy(field, buffer.Get() + kLabelOffset,
                    available < kLabelLength ? available : kLabelLength);
    }
    for (uint32_t i = 0; i < kLabelLength; ++i) {
        if (field[i] == ' ') {
            field[i] = '\0';
            break;
        }
    }
    // The engine reports failures as error codes, never by exceptions: the worker thread that
    // calls it has no handler.
    try {
        label.Assign(field);
    } catch (const std::bad_alloc&) {
        return kErrorNotEnoughMemory;
    }
    return 0;
}

uint32_t RipDisc(char letter, const char* imagePath, ProgressBarRef progressBar,
                 AbortEventRef abortEvent, IDiscPlatform& platform) {
    if (!imagePath)
        imagePath = "";

    char devicePath[8];
    FormatDevicePath(letter, devicePath);
    CPlatformHandle drive(platform, platform.OpenDrive(devicePath));
    if (!drive.IsValid())
        return platform.GetLastError();
    CMediumLock lock(platform, drive.Get());

    DiscGeometry geometry = {};
    if (!platform.GetDriveGeometry(drive.Get(), geometry))
        return platform.GetLastError();
    const uint64_t sectorCount = SectorCount(geometry);
    const uint32_t sectorSize = geometry.BytesPerSector;

    CSectorBuffer buffer(platform, sectorSize);
    if (!buffer.Get())
        return kErrorNotEnoughMemory;

    // A rejected name ends the rip before the image file exists or the disc is read.
    try {
        PrepareOutputDirectory(imagePath, platform.FileSystem());
    } catch (const CPathException& e) {
        return e.m_nCode == PATH_ERR_NO_MEMORY ? kErrorNotEnoughMemory : kErrorInvalidName;
    } catch (const std::bad_alloc&) {
        return kErrorNotEnoughMemory;
    }

    // The file is created under the name as given, not under one rebuilt from the path.
    CPlatformHandle image(platform, platform.CreateImage(imagePath));
    if (!image.IsValid())
        return platform.GetLastError();

    for (uint64_t i = 0; i < sectorCount; ++i) {
        if (abortEvent && platform.IsSignalled(abortEvent))
            break;

        uint64_t offset = i * sectorSize;
        int32_t high = static_cast<int32_t>(offset >> 32);
        if (platform.SetPosition(drive.Get(), static_cast<int32_t>(offset & 0xFFFFFFFFu), &high) ==
                kInvalidSetFilePointer &&
            platform.GetLastError() != 0)
            break;

        // A failed or empty read is the end of the medium, which may come before the end
        // that the geometry gives: what was copied so far is the image.
        uint32_t read = 0;
        if (!platform.Read(drive.Get(), buffer.Get(), sectorSize, read) || read == 0)
            break;

        // A short read is written as delivered and ends the copy, so the image holds exactly
        // what the drive gave.
        if (uint32_t error = WriteSector(platform, image.Get(), buffer.Get(), read))
            return error;
        if (read != sectorSize)
            break;

        if (i % kProgressInterval == 0 && progressBar)
            platform.SetProgress(progressBar, static_cast<uint32_t>(i * 100 / sectorCount));
    }
    return 0;
}
