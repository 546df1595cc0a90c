#pragma once

// The engine's platform on Windows: each operation is the one Windows call it names in
// DiscPlatform.h, with those arguments. The progress bar is an HWND, the abort event a HANDLE.

#include "DiscPlatform.h"

class Win32DiscPlatform : public IDiscPlatform {
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
    bool IsProgressBarOfThisThread(ProgressBarRef progressBar) override;
    uint32_t GetLastError() override;
    IFileSystem& FileSystem() override;
};
