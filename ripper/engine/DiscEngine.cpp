#include "DiscEngine.h"

#include "DirectoryTree.h"
#include "DiscLayout.h"
#include "HeapString.h"
#include "ImageWriter.h"
#include "Path.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

namespace {

// The volume identifier of the primary volume descriptor: sector 16, bytes 40 to 71.
constexpr uint32_t kLabelSector = 16;
constexpr uint32_t kLabelOffset = 40;
constexpr uint32_t kLabelLength = 32;
// Each read asks for this much: one request per sector is the slowest way to read a drive,
// since every request is a command with its own latency. Measured on the stand-in driver under
// Wine (driver_read_benchmark, a 200 MB disc): reads of 64 KiB 71 MB/s, of 256 KiB 170 MB/s;
// the copy reading 64 KiB at a time 0.36 of the 256 KiB rate, 256 KiB at a time 0.70, 1 MiB at
// a time 0.85. With each read positioned in the same call and the image written on a thread of
// its own, 256 KiB reads copy at 0.9 to 1.1 of that rate, so 1 MiB no longer pays; 256 KiB
// keeps a damaged disc's sector-by-sector pass short.
constexpr uint32_t kReadBytes = 256 * 1024;
// The primary volume descriptor: type 1, "CD001", the volume's size in sectors at byte 80.
constexpr uint32_t kVolumeSizeOffset = 80;

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

// The medium's size in bytes: its exact length where the drive tells it, else the size the
// extended geometry gives, else the geometry's cylinders, which Windows' CD-ROM class driver
// rounds down (up to 2047 sectors short of the disc). `exact` tells which.
uint64_t MediumBytes(IDiscPlatform& platform, PlatformHandle drive, const DiscGeometry& geometry,
                     bool& exact) {
    uint64_t length = 0;
    exact = true;
    if (platform.GetLengthInfo(drive, length))
        return length;
    DiscGeometry extended = {};
    if (platform.GetDriveGeometryEx(drive, extended, length))
        return length;
    exact = false;
    return SectorCount(geometry) * geometry.BytesPerSector;
}

// The copy of one disc into one image file, in reads of many sectors, each written by the
// image writer while the next one is read into the other buffer. Positions are in bytes, so
// that a read that delivers less than it was asked for is written as delivered and the copy
// goes on from there.
class CDiscCopy : private IVolumeProbe {
public:
    CDiscCopy(IDiscPlatform& platform, PlatformHandle drive, PlatformHandle image,
              unsigned char* buffer, unsigned char* spare, uint32_t sectorSize,
              uint32_t chunkSectors, const CDiscLayout& layout, uint64_t endBytes,
              ProgressBarRef progressBar, AbortEventRef abortEvent, RipReport& report)
        : m_platform(platform), m_drive(drive), m_buffer(buffer), m_spare(spare),
          m_sectorSize(sectorSize), m_chunkSectors(chunkSectors), m_layout(layout),
          m_endBytes(endBytes), m_abortEvent(abortEvent), m_report(report),
          m_writer(platform, image, progressBar, sectorSize, layout.End()) {}

    // 0 when every sector was copied or the copy was aborted; otherwise the error of the
    // write, or of the read that failed (its sector in the report). Every write handed over
    // is done when it returns.
    uint32_t Run() {
        const uint32_t error = Copy();
        const uint32_t writeError = m_writer.Finish();
        return error != 0 ? error : writeError;
    }

private:
    uint32_t Copy() {
        while (m_offset < m_endBytes) {
            if (Aborted())
                return 0;
            const uint64_t sector = m_offset / m_sectorSize;
            const DiscExtent extent = m_layout.ExtentAt(sector);
            uint64_t count = extent.End - sector;
            if (count > m_chunkSectors)
                count = m_chunkSectors;
            uint32_t error =
                extent.Data ? CopySectors(static_cast<uint32_t>(count)) : WriteZeros(extent.End);
            if (error == kFailedRead)
                error = SettleFailedRead();
            if (error != 0)
                return error;
        }
        return 0;
    }

    // CopySectors' answer when a read failed: m_failedSector and m_readError say which.
    static constexpr uint32_t kFailedRead = 0xFFFFFFFFu;

    bool Aborted() { return m_abortEvent && m_platform.IsSignalled(m_abortEvent); }

    uint32_t BytesUpToEnd(uint64_t bytes) const {
        return static_cast<uint32_t>(bytes < m_endBytes - m_offset ? bytes : m_endBytes - m_offset);
    }

    // Reads `count` sectors at byte `offset` into the buffer, in one positioned read: the
    // bytes delivered, or 0 with the read's error in m_readError (ERROR_READ_FAULT when it
    // gave none, or read nothing).
    uint32_t ReadAt(uint64_t offset, uint32_t count) {
        uint32_t read = 0;
        if (!m_platform.ReadAt(m_drive, offset, m_buffer, count * m_sectorSize, read)) {
            const uint32_t error = m_platform.GetLastError();
            m_readError = error != 0 ? error : kErrorReadFault;
            return 0;
        }
        if (read == 0)
            m_readError = kErrorReadFault;
        return read;
    }

    // Reads `count` sectors from where the copy stands and writes what was delivered. A large
    // read that fails is read again sector by sector, so that the image holds every good
    // sector before the first one that fails.
    uint32_t CopySectors(uint32_t count) {
        const uint32_t read = ReadAt(m_offset, count);
        if (read != 0)
            return Write(read);
        for (uint32_t i = 0; count > 1 && i < count; ++i) {
            if (i > 0 && Aborted())
                return 0;
            const uint32_t one = ReadAt(m_offset, 1);
            if (one == 0)
                return FailedAt(m_offset / m_sectorSize);
            if (uint32_t error = Write(one))
                return error;
            if (one != m_sectorSize)
                return 0; // a short read: the copy goes on from where it ended
        }
        return count > 1 ? 0 : FailedAt(m_offset / m_sectorSize);
    }

    uint32_t FailedAt(uint64_t sector) {
        m_failedSector = sector;
        return kFailedRead;
    }

    // Writes zeros for the sectors up to `end` that no drive reads as data, a read's worth at a
    // time.
    uint32_t WriteZeros(uint64_t end) {
        const uint64_t sector = m_offset / m_sectorSize;
        uint64_t count = end - sector;
        if (count > m_chunkSectors)
            count = m_chunkSectors;
        std::memset(m_buffer, 0, count * m_sectorSize);
        return Write(static_cast<uint32_t>(count * m_sectorSize));
    }

    // Hands `bytes` of the buffer (no more than reach the end) to the writer and goes on in
    // the other buffer; the error of an earlier write stops the copy.
    uint32_t Write(uint32_t bytes) {
        bytes = BytesUpToEnd(bytes);
        if (uint32_t error = m_writer.Submit(m_buffer, bytes))
            return error;
        m_offset += bytes;
        std::swap(m_buffer, m_spare);
        return 0;
    }

    // A read failed at m_failedSector. Where the disc holds sectors no drive reads as data (a
    // session's gap, an audio track's pregap, a track's run-out) the copy writes zeros up to
    // the next data track, or ends complete when none follows; anywhere else the copy ends
    // with the read's error.
    uint32_t SettleFailedRead() {
        const FailedRead verdict = m_layout.Settle(m_failedSector, *this);
        if (!verdict.Gap) {
            m_report.ReadFailed = true;
            m_report.FailedSector = m_failedSector;
            return m_readError;
        }
        if (verdict.Resume == FailedRead::kNothingFollows) {
            m_endBytes = m_offset;
            return 0;
        }
        while (m_offset < verdict.Resume * m_sectorSize && m_offset < m_endBytes) {
            if (uint32_t error = WriteZeros(verdict.Resume))
                return error;
        }
        return 0;
    }

    // The size of the volume whose primary volume descriptor stands at `sector` (type 1,
    // "CD001", the size at byte 80), or 0.
    uint64_t VolumeSectors(uint64_t sector) override {
        const uint32_t error = m_readError;
        const uint32_t read =
            m_sectorSize > kVolumeSizeOffset + 4 ? ReadAt(sector * m_sectorSize, 1) : 0;
        m_readError = error;
        if (read < kVolumeSizeOffset + 4 || m_buffer[0] != 1 ||
            std::memcmp(m_buffer + 1, "CD001", 5) != 0)
            return 0;
        const unsigned char* size = m_buffer + kVolumeSizeOffset;
        return uint32_t{size[0]} | uint32_t{size[1]} << 8 | uint32_t{size[2]} << 16 |
               uint32_t{size[3]} << 24;
    }

    IDiscPlatform& m_platform;
    PlatformHandle m_drive;
    unsigned char* m_buffer; // the one being filled
    unsigned char* m_spare;  // the writer's
    uint32_t m_sectorSize;
    uint32_t m_chunkSectors;
    const CDiscLayout& m_layout;
    uint64_t m_endBytes;
    AbortEventRef m_abortEvent;
    RipReport& m_report;
    uint64_t m_offset = 0;
    uint64_t m_failedSector = 0;
    uint32_t m_readError = 0;
    CImageWriter m_writer; // last: it waits for its write before the buffers can go
};

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

    // The label is the last session's, as Windows' file system reads it: its primary volume
    // descriptor is 16 sectors in (sector 16 on a disc of one session; on an enhanced CD,
    // whose first session is audio, only the last one holds data). The probe positions with a
    // 32-bit offset and no high part where one reaches, as on a disc of one session.
    const uint64_t offset = (ReadLastSessionStart(platform, drive.Get(), nullptr) + kLabelSector) *
                            geometry.BytesPerSector;
    int32_t high = static_cast<int32_t>(offset >> 32);
    if (platform.SetPosition(drive.Get(), static_cast<int32_t>(offset & 0xFFFFFFFFu),
                             offset > 0x7FFFFFFF ? &high : nullptr) == kInvalidSetFilePointer)
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
                 AbortEventRef abortEvent, IDiscPlatform& platform, RipReport* report) {
    RipReport unused;
    RipReport& outcome = report ? *report : unused;
    outcome = RipReport();
    if (!imagePath)
        imagePath = "";

    char devicePath[8];
    FormatDevicePath(letter, devicePath);
    CPlatformHandle drive(platform, platform.OpenDrive(devicePath));
    if (!drive.IsValid())
        return platform.GetLastError();
    CMediumLock lock(platform, drive.Get());
    // Through a mounted file system a volume handle reads only as far as the file system's
    // idea of the disc, unless the handle asks for the whole medium. A drive handle has
    // nothing to grant, so the answer does not matter.
    platform.AllowExtendedDasdIo(drive.Get());

    DiscGeometry geometry = {};
    if (!platform.GetDriveGeometry(drive.Get(), geometry))
        return platform.GetLastError();
    const uint32_t sectorSize = geometry.BytesPerSector;
    const uint32_t chunkSectors =
        sectorSize != 0 && sectorSize < kReadBytes ? kReadBytes / sectorSize : 1;

    // Two buffers: one is read into while the other is written.
    CSectorBuffer buffer(platform, chunkSectors * sectorSize);
    if (!buffer.Get() || sectorSize == 0)
        return kErrorNotEnoughMemory;
    CSectorBuffer spare(platform, chunkSectors * sectorSize);
    if (!spare.Get())
        return kErrorNotEnoughMemory;

    bool exact = false;
    const uint64_t mediumBytes = MediumBytes(platform, drive.Get(), geometry, exact);
    CDiscLayout layout;
    layout.Read(platform, drive.Get(), buffer.Get(), chunkSectors * sectorSize,
                (mediumBytes + sectorSize - 1) / sectorSize, exact);
    // A disc without a data track (an audio CD) has nothing an image could hold: nothing is
    // created.
    if (layout.End() == 0)
        return kErrorUnrecognizedMedia;
    // A medium whose length is no whole number of sectors ends within its last one.
    uint64_t endBytes = layout.End() * sectorSize;
    if (endBytes > mediumBytes && endBytes - mediumBytes < sectorSize)
        endBytes = mediumBytes;
    outcome.SectorCount = layout.End();

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

    CDiscCopy copy(platform, drive.Get(), image.Get(), buffer.Get(), spare.Get(), sectorSize,
                   chunkSectors, layout, endBytes, progressBar, abortEvent, outcome);
    return copy.Run();
}
