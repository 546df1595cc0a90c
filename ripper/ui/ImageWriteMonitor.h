#pragma once

// CImageWriteMonitor: passes every operation of the copy on to the platform underneath and
// notes whether a write to the image file failed or wrote less than it was given. The rip
// thread tells the user about an incomplete image from this, since the copy's result code
// alone does not say whether the drive or the image file failed.

#include "DiscPlatform.h"

class CImageWriteMonitor : public IDiscPlatform {
public:
    explicit CImageWriteMonitor(IDiscPlatform& platform) : m_platform(platform) {}

    bool WriteFailed() const { return m_bWriteFailed; }

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
    bool IsProgressBarOfThisThread(ProgressBarRef progressBar) override {
        return m_platform.IsProgressBarOfThisThread(progressBar);
    }
    uint32_t GetLastError() override;
    IFileSystem& FileSystem() override;

private:
    IDiscPlatform& m_platform;
    bool m_bWriteFailed = false;
};
