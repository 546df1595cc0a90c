#pragma once

// The engine's platform on Linux. Drive letters name block devices: D: is /dev/sr0, E: is
// /dev/sr1 and so on, unless BindDriveDevice binds a letter to another block device or to an
// image file. A regular file presents itself as a disc of 2048-byte sectors as long as the
// file: its exact length is the file's size, its geometry whole cylinders rounded down, as
// Windows answers for a disc.

#include "DiscPlatform.h"

#include <atomic>
#include <cstdint>
#include <string>

// Binds drive letter `letter` (either case) to `devicePath`, a block device or an image file.
// An empty path restores the default device of the letter.
void BindDriveDevice(char letter, const std::string& devicePath);

// The device a drive letter stands for; empty for a letter that names none.
std::string DriveDevicePath(char letter);

// A manual-reset event: once set it stays set until reset. Its address is the abort event.
class CAbortEvent {
public:
    void Set() { m_bSignalled.store(true); }
    void Reset() { m_bSignalled.store(false); }
    bool IsSet() const { return m_bSignalled.load(); }

private:
    std::atomic<bool> m_bSignalled{false};
};

// Receives the copy's progress. Its address is the progress bar.
class IProgressReceiver {
public:
    virtual ~IProgressReceiver() = default;
    // Called on the copying thread, which waits for it to return.
    virtual void SetProgress(uint32_t percent) = 0;
};

class PosixDiscPlatform : public IDiscPlatform {
public:
    PlatformHandle OpenDrive(const char* devicePath) override;
    bool SetMediaLock(PlatformHandle drive, bool prevent) override;
    bool GetDriveGeometry(PlatformHandle drive, DiscGeometry& geometry) override;
    bool AllowExtendedDasdIo(PlatformHandle drive) override;
    bool GetLengthInfo(PlatformHandle drive, uint64_t& length) override;
    bool GetDriveGeometryEx(PlatformHandle drive, DiscGeometry& geometry,
                            uint64_t& diskSize) override;
    bool ReadToc(PlatformHandle drive, TocRequest request, void* answer, uint32_t size,
                 uint32_t& returned) override;
    uint32_t SetPosition(PlatformHandle drive, int32_t low, int32_t* high) override;
    bool Read(PlatformHandle drive, void* buffer, uint32_t size, uint32_t& read) override;
    bool ReadAt(PlatformHandle drive, uint64_t offset, void* buffer, uint32_t size,
                uint32_t& read) override;
    PlatformHandle CreateImage(const char* path) override;
    bool Write(PlatformHandle image, const void* buffer, uint32_t size, uint32_t& written) override;
    void Close(PlatformHandle handle) override;
    void* AllocateBuffer(uint32_t size) override;
    void FreeBuffer(void* buffer, uint32_t size) override;
    bool IsSignalled(AbortEventRef event) override;
    void SetProgress(ProgressBarRef progressBar, uint32_t percent) override;
    uint32_t GetLastError() override;
    IFileSystem& FileSystem() override;
};

// The Win32 error code closest to an errno value.
uint32_t Win32ErrorFromErrno(int error);
