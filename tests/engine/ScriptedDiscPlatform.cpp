#include "ScriptedDiscPlatform.h"

#include <cstdlib>
#include <cstring>

std::vector<std::string> ScriptedDiscPlatform::CallsStartingWith(const std::string& prefix) const {
    std::vector<std::string> matching;
    for (const std::string& call : calls)
        if (call.compare(0, prefix.size(), prefix) == 0)
            matching.push_back(call);
    return matching;
}

int ScriptedDiscPlatform::IndexOf(const std::string& prefix) const {
    for (size_t i = 0; i < calls.size(); ++i)
        if (calls[i].compare(0, prefix.size(), prefix) == 0)
            return static_cast<int>(i);
    return -1;
}

namespace {
// Each thread has its own last error, as on Windows: the copy writes on a thread of its own.
thread_local uint32_t t_lastError = 0;
} // namespace

bool ScriptedDiscPlatform::Fail(uint32_t error) {
    t_lastError = error;
    return false;
}

uint32_t ScriptedDiscPlatform::GetLastError() {
    return t_lastError;
}

void ScriptedDiscPlatform::Record(std::string call) {
    std::lock_guard<std::mutex> lock(m_callsLock);
    calls.push_back(std::move(call));
}

PlatformHandle ScriptedDiscPlatform::OpenDrive(const char* devicePath) {
    Record(std::string("OpenDrive ") + devicePath);
    if (openError) {
        Fail(openError);
        return kInvalidPlatformHandle;
    }
    ++openHandles;
    m_position = 0;
    return kDriveHandle;
}

bool ScriptedDiscPlatform::SetMediaLock(PlatformHandle drive, bool prevent) {
    Record(prevent ? "Lock" : "Unlock");
    if (drive != kDriveHandle)
        return Fail(6);
    lockDepth += prevent ? 1 : -1;
    return true;
}

bool ScriptedDiscPlatform::GetDriveGeometry(PlatformHandle, DiscGeometry& answer) {
    Record("Geometry");
    if (geometryError)
        return Fail(geometryError);
    answer = geometry;
    return true;
}

uint32_t ScriptedDiscPlatform::SetPosition(PlatformHandle, int32_t low, int32_t* high) {
    int64_t offset = high ? static_cast<int64_t>((uint64_t(uint32_t(*high)) << 32) | uint32_t(low))
                          : int64_t{low};
    Record("SetPosition " + std::to_string(offset) + (high ? "" : " (32-bit)"));
    if (positionError || offset < 0) {
        Fail(positionError ? positionError : 131);
        return kInvalidSetFilePointer;
    }
    m_position = static_cast<uint64_t>(offset);
    if (high)
        *high = static_cast<int32_t>(m_position >> 32);
    if (ambiguousPositionAt != kNever &&
        m_position == static_cast<uint64_t>(ambiguousPositionAt) * geometry.BytesPerSector) {
        t_lastError = 0;
        return kInvalidSetFilePointer;
    }
    return static_cast<uint32_t>(m_position);
}

bool ScriptedDiscPlatform::AllowExtendedDasdIo(PlatformHandle) {
    Record("AllowExtendedDasdIo");
    return true;
}

bool ScriptedDiscPlatform::GetLengthInfo(PlatformHandle, uint64_t& length) {
    Record("LengthInfo");
    if (lengthInfo == kNever)
        return Fail(1);
    length = static_cast<uint64_t>(lengthInfo);
    return true;
}

bool ScriptedDiscPlatform::GetDriveGeometryEx(PlatformHandle, DiscGeometry& answer,
                                              uint64_t& diskSize) {
    Record("GeometryEx");
    if (geometryExSize == kNever)
        return Fail(1);
    answer = geometry;
    diskSize = static_cast<uint64_t>(geometryExSize);
    return true;
}

bool ScriptedDiscPlatform::ReadToc(PlatformHandle, TocRequest request, void* answer, uint32_t size,
                                   uint32_t& returned) {
    const std::string& bytes = request == TocRequest::TracksLba   ? tocLba
                               : request == TocRequest::TracksMsf ? tocMsf
                               : request == TocRequest::FullToc   ? tocFull
                                                                  : lastSession;
    Record(request == TocRequest::TracksLba   ? "ReadToc Lba"
           : request == TocRequest::TracksMsf ? "ReadToc Msf"
           : request == TocRequest::FullToc   ? "ReadToc Full " + std::to_string(size)
                                              : "ReadToc LastSession");
    returned = 0;
    if (bytes.empty())
        return Fail(1);
    returned = static_cast<uint32_t>(bytes.size() < size ? bytes.size() : size);
    std::memcpy(answer, bytes.data(), returned);
    return true;
}

bool ScriptedDiscPlatform::Read(PlatformHandle, void* buffer, uint32_t size, uint32_t& read) {
    Record("Read " + std::to_string(size));
    return ReadHere(buffer, size, read);
}

bool ScriptedDiscPlatform::ReadAt(PlatformHandle, uint64_t offset, void* buffer, uint32_t size,
                                  uint32_t& read) {
    Record("ReadAt " + std::to_string(offset) + " " + std::to_string(size));
    if (positionError) {
        read = 0;
        return Fail(positionError);
    }
    m_position = offset;
    return ReadHere(buffer, size, read);
}

bool ScriptedDiscPlatform::ReadHere(void* buffer, uint32_t size, uint32_t& read) {
    ++sectorReads;
    read = 0;
    const uint32_t sectorSize = geometry.BytesPerSector ? geometry.BytesPerSector : 1;
    const uint64_t first = m_position / sectorSize;
    const uint64_t end = (m_position + size + sectorSize - 1) / sectorSize;
    auto covers = [&](uint64_t from, uint64_t to) { return from < end && to > first; };
    if (failReadAt != kNever && covers(uint64_t(failReadAt), uint64_t(failReadAt) + 1))
        return Fail(readError);
    for (const auto& range : unreadable)
        if (covers(range.first, range.second))
            return Fail(readError);
    uint64_t mediumEnd = mediumSize ? mediumSize : disc.size();
    uint64_t available = m_position < mediumEnd ? mediumEnd - m_position : 0;
    uint32_t count = available < size ? static_cast<uint32_t>(available) : size;
    if (shortReadAt != kNever && covers(uint64_t(shortReadAt), uint64_t(shortReadAt) + 1)) {
        count =
            static_cast<uint32_t>(uint64_t(shortReadAt) * sectorSize - m_position) + shortReadBytes;
        shortReadAt = kNever; // once: the read after it delivers the rest
    }
    if (m_position < disc.size()) {
        uint64_t stored = disc.size() - m_position;
        std::memcpy(buffer, disc.data() + m_position, stored < count ? stored : count);
    }
    m_position += count;
    read = count;
    return true;
}

PlatformHandle ScriptedDiscPlatform::CreateImage(const char* path) {
    Record(std::string("CreateImage ") + path);
    if (createError) {
        Fail(createError);
        return kInvalidPlatformHandle;
    }
    files[path].clear(); // an existing file is truncated
    ++openHandles;
    m_images[m_nextImage] = path;
    return m_nextImage++;
}

bool ScriptedDiscPlatform::Write(PlatformHandle image, const void* buffer, uint32_t size,
                                 uint32_t& written) {
    Record("Write " + std::to_string(size));
    written = 0;
    std::string& file = files[m_images.at(image)];
    uint64_t& done = m_written[image];
    int64_t sector = static_cast<int64_t>(done / geometry.BytesPerSector);
    if (sector == failWriteAt)
        return Fail(writeError);
    uint32_t count = sector == shortWriteAt ? size / 2 : size;
    if (keepImages)
        file.append(static_cast<const char*>(buffer), count);
    done += count;
    written = count;
    return true;
}

void ScriptedDiscPlatform::Close(PlatformHandle handle) {
    Record(handle == kDriveHandle ? "CloseDrive" : "CloseImage");
    m_images.erase(handle);
    m_written.erase(handle);
    --openHandles;
}

void* ScriptedDiscPlatform::AllocateBuffer(uint32_t size) {
    Record("Allocate " + std::to_string(size));
    if (failAllocation) {
        Fail(8);
        return nullptr;
    }
    if (size == 0) { // VirtualAlloc refuses an empty region
        Fail(87);
        return nullptr;
    }
    ++liveBuffers;
    return std::calloc(size, 1);
}

void ScriptedDiscPlatform::FreeBuffer(void* buffer, uint32_t) {
    Record("Free");
    --liveBuffers;
    std::free(buffer);
}

bool ScriptedDiscPlatform::IsSignalled(AbortEventRef) {
    Record("AbortCheck");
    return abortAfterChecks != kNever && m_abortChecks++ >= abortAfterChecks;
}

void ScriptedDiscPlatform::SetProgress(ProgressBarRef, uint32_t percent) {
    Record("Progress " + std::to_string(percent));
    progress.push_back(percent);
}

uint32_t ScriptedDiscPlatform::QueryAttributes(const char* path) {
    Record(std::string("GetFileAttributes ") + path);
    return directories.count(path) ? kFileAttributeDirectory : kInvalidFileAttributes;
}

bool ScriptedDiscPlatform::MakeDirectory(const char* path) {
    Record(std::string("CreateDirectory ") + path);
    return directories.insert(path).second;
}
