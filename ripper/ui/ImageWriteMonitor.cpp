#include "ImageWriteMonitor.h"

PlatformHandle CImageWriteMonitor::OpenDrive(const char* devicePath) {
    return m_platform.OpenDrive(devicePath);
}

bool CImageWriteMonitor::SetMediaLock(PlatformHandle drive, bool prevent) {
    return m_platform.SetMediaLock(drive, prevent);
}

bool CImageWriteMonitor::GetDriveGeometry(PlatformHandle drive, DiscGeometry& geometry) {
    return m_platform.GetDriveGeometry(drive, geometry);
}

bool CImageWriteMonitor::AllowExtendedDasdIo(PlatformHandle drive) {
    return m_platform.AllowExtendedDasdIo(drive);
}

bool CImageWriteMonitor::GetLengthInfo(PlatformHandle drive, uint64_t& length) {
    return m_platform.GetLengthInfo(drive, length);
}

bool CImageWriteMonitor::GetDriveGeometryEx(PlatformHandle drive, DiscGeometry& geometry,
                                            uint64_t& diskSize) {
    return m_platform.GetDriveGeometryEx(drive, geometry, diskSize);
}

bool CImageWriteMonitor::ReadToc(PlatformHandle drive, TocRequest request, void* answer,
                                 uint32_t size, uint32_t& returned) {
    return m_platform.ReadToc(drive, request, answer, size, returned);
}

uint32_t CImageWriteMonitor::SetPosition(PlatformHandle drive, int32_t low, int32_t* high) {
    return m_platform.SetPosition(drive, low, high);
}

bool CImageWriteMonitor::Read(PlatformHandle drive, void* buffer, uint32_t size, uint32_t& read) {
    return m_platform.Read(drive, buffer, size, read);
}

bool CImageWriteMonitor::ReadAt(PlatformHandle drive, uint64_t offset, void* buffer, uint32_t size,
                                uint32_t& read) {
    return m_platform.ReadAt(drive, offset, buffer, size, read);
}

PlatformHandle CImageWriteMonitor::CreateImage(const char* path) {
    return m_platform.CreateImage(path);
}

bool CImageWriteMonitor::Write(PlatformHandle image, const void* buffer, uint32_t size,
                               uint32_t& written) {
    bool ok = m_platform.Write(image, buffer, size, written);
    if (!ok || written != size)
        m_bWriteFailed = true;
    return ok;
}

void CImageWriteMonitor::Close(PlatformHandle handle) {
    m_platform.Close(handle);
}

void* CImageWriteMonitor::AllocateBuffer(uint32_t size) {
    return m_platform.AllocateBuffer(size);
}

void CImageWriteMonitor::FreeBuffer(void* buffer, uint32_t size) {
    m_platform.FreeBuffer(buffer, size);
}

bool CImageWriteMonitor::IsSignalled(AbortEventRef event) {
    return m_platform.IsSignalled(event);
}

void CImageWriteMonitor::SetProgress(ProgressBarRef progressBar, uint32_t percent) {
    m_platform.SetProgress(progressBar, percent);
}

uint32_t CImageWriteMonitor::GetLastError() {
    return m_platform.GetLastError();
}

IFileSystem& CImageWriteMonitor::FileSystem() {
    return m_platform.FileSystem();
}
