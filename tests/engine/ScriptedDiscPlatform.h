#pragma once

// A platform for the engine's tests: a disc given as bytes, faults injected on request, and a
// record of every call in the order it was made (the reading and the writing thread's calls
// interleaved). Image files and directories live in memory.

#include "DiscPlatform.h"

#include "FileSystem.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

class ScriptedDiscPlatform : public IDiscPlatform, public IFileSystem {
public:
    static constexpr PlatformHandle kDriveHandle = 100;
    static constexpr int64_t kNever = -1;

    // The script. A fault "at sector k" hits the read or write of that 0-based sector.
    DiscGeometry geometry = {1, 11, 1, 1, 2048};
    std::string disc;           // the medium's data; reads past its end deliver 0 bytes
    uint32_t openError = 0;     // nonzero: OpenDrive fails with it
    uint32_t geometryError = 0; // nonzero: the geometry request fails with it
    bool failAllocation = false;
    uint32_t createError = 0;   // nonzero: CreateImage fails with it
    uint32_t positionError = 0; // nonzero: positioning fails with it
    // A read that covers one of these sectors fails as a whole with readError, as Windows'
    // CD-ROM class driver fails it.
    int64_t failReadAt = kNever;
    std::vector<std::pair<uint64_t, uint64_t>> unreadable; // sector ranges [first, end)
    uint32_t readError = 23;                               // ERROR_CRC
    // A read that covers that sector delivers the sectors before it and shortReadBytes of it.
    int64_t shortReadAt = kNever;
    uint32_t shortReadBytes = 0;
    // IOCTL_DISK_GET_LENGTH_INFO's and IOCTL_CDROM_GET_DRIVE_GEOMETRY_EX's size in bytes; kNever:
    // the request fails with ERROR_INVALID_FUNCTION.
    int64_t lengthInfo = kNever;
    int64_t geometryExSize = kNever;
    // The answers to the TOC requests; empty: the request fails with ERROR_INVALID_FUNCTION.
    std::string tocLba, tocMsf, lastSession, tocFull;
    int64_t failWriteAt = kNever; // WriteFile answers FALSE with writeError
    uint32_t writeError = 112;
    int64_t shortWriteAt = kNever;     // WriteFile writes half and answers TRUE
    int64_t abortAfterChecks = kNever; // the abort event is signalled from that check on
    // Positioning at that sector answers 0xFFFFFFFF with no error, as SetFilePointer does for a
    // position whose low part is all ones: a success.
    int64_t ambiguousPositionAt = kNever;
    // A medium longer than `disc`: nonzero gives its size in bytes, and reads past `disc`
    // deliver whole sectors without filling the buffer.
    uint64_t mediumSize = 0;
    bool keepImages = true; // false: writes are counted but not kept, for very large media
    std::set<std::string> directories; // directories that exist

    // What happened.
    std::vector<std::string> calls;
    std::map<std::string, std::string> files; // image files by name
    std::vector<uint32_t> progress;
    int sectorReads = 0;
    int openHandles = 0;
    int liveBuffers = 0;
    int lockDepth = 0;

    // The calls whose text starts with `prefix`, in order.
    std::vector<std::string> CallsStartingWith(const std::string& prefix) const;
    // Index of the first call starting with `prefix`, or -1.
    int IndexOf(const std::string& prefix) const;

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
    IFileSystem& FileSystem() override { return *this; }

    uint32_t QueryAttributes(const char* path) override;
    bool MakeDirectory(const char* path) override;

private:
    bool Fail(uint32_t error);
    // Calls come from the copy's reading and writing threads: each is recorded under a lock.
    void Record(std::string call);
    bool ReadHere(void* buffer, uint32_t size, uint32_t& read);

    std::mutex m_callsLock;
    uint64_t m_position = 0;
    int64_t m_abortChecks = 0;
    PlatformHandle m_nextImage = 200;
    std::map<PlatformHandle, std::string> m_images; // open image handles and their names
    std::map<PlatformHandle, uint64_t> m_written;   // bytes written through each image handle
};
