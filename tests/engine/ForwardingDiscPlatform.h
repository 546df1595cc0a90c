#pragma once

// A platform that hands every call on to another one. Tests derive from it to watch or replace
// the few calls they care about and keep the real platform for all the others.

#include "DiscPlatform.h"

class ForwardingDiscPlatform : public IDiscPlatform {
public:
    explicit ForwardingDiscPlatform(IDiscPlatform& inner) : m_inner(inner) {}

    PlatformHandle OpenDrive(const char* devicePath) override {
        return m_inner.OpenDrive(devicePath);
    }
    bool SetMediaLock(PlatformHandle drive, bool prevent) override {
        return m_inner.SetMediaLock(drive, prevent);
    }
    bool GetDriveGeometry(PlatformHandle drive, DiscGeometry& geometry) override {
        return m_inner.GetDriveGeometry(drive, geometry);
    }
    bool AllowExtendedDasdIo(PlatformHandle drive) override {
        return m_inner.AllowExtendedDasdIo(drive);
    }
    bool GetLengthInfo(PlatformHandle drive, uint64_t& length) override {
        return m_inner.GetLengthInfo(drive, length);
    }
    bool GetDriveGeometryEx(PlatformHandle drive, DiscGeometry& geometry,
                            uint64_t& diskSize) override {
        return m_inner.GetDriveGeometryEx(drive, geometry, diskSize);
    }
    bool ReadToc(PlatformHandle drive, TocRequest request, void* answer, uint32_t size,
                 uint32_t& returned) override {
        return m_inner.ReadToc(drive, request, answer, size, returned);
    }
    uint32_t SetPosition(PlatformHandle drive, int32_t low, int32_t* high) override {
        return m_inner.SetPosition(drive, low, high);
    }
    bool Read(PlatformHandle drive, void* buffer, uint32_t size, uint32_t& read) override {
        return m_inner.Read(drive, buffer, size, read);
    }
    bool ReadAt(PlatformHandle drive, uint64_t offset, void* buffer, uint32_t size,
                uint32_t& read) override {
        return m_inner.ReadAt(drive, offset, buffer, size, read);
    }
    PlatformHandle CreateImage(const char* path) override { return m_inner.CreateImage(path); }
    bool Write(PlatformHandle image, const void* buffer, uint32_t size,
               uint32_t& written) override {
        return m_inner.Write(image, buffer, size, written);
    }
    void Close(PlatformHandle handle) override { m_inner.Close(handle); }
    void* AllocateBuffer(uint32_t size) override { return m_inner.AllocateBuffer(size); }
    void FreeBuffer(void* buffer, uint32_t size) override { m_inner.FreeBuffer(buffer, size); }
    bool IsSignalled(AbortEventRef event) override { return m_inner.IsSignalled(event); }
    void SetProgress(ProgressBarRef progressBar, uint32_t percent) override {
        m_inner.SetProgress(progressBar, percent);
    }
    bool IsProgressBarOfThisThread(ProgressBarRef progressBar) override {
        return m_inner.IsProgressBarOfThisThread(progressBar);
    }
    uint32_t GetLastError() override { return m_inner.GetLastError(); }
    IFileSystem& FileSystem() override { return m_inner.FileSystem(); }

protected:
    IDiscPlatform& m_inner;
};
