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

bool ScriptedDiscPlatform::Fail(uint32_t error) {
    m_lastError = error;
    return false;
}

PlatformHandle ScriptedDiscPlatform::OpenDrive(const char* devicePath) {
    calls.push_back(std::string("OpenDrive ") + devicePath);
    if (openError) {
        Fail(openError);
        return kInvalidPlatformHandle;
    }
    ++openHandles;
    m_position = 0;
    return kDriveHandle;
}

bool ScriptedDiscPlatform::SetMediaLock(PlatformHandle drive, bool prevent) {
    calls.push_back(prevent ? "Lock" : "Unlock");
    if (drive != kDriveHandle)
        return Fail(6);
    lockDepth += prevent ? 1 : -1;
    return true;
}

bool ScriptedDiscPlatform::GetDriveGeometry(PlatformHandle, DiscGeometry& answer) {
    calls.push_back("Geometry");
    if (geometryError)
        return Fail(geometryError);
    answer = geometry;
    return true;
}

uint32_t ScriptedDiscPlatform::SetPosition(PlatformHandle, int32_t low, int32_t* high) {
    int64_t offset = high ? static_cast<int64_t>((uint64_t(uint32_t(*high)) << 32) | uint32_t(low))
                          : int64_t{low};
    calls.push_back("SetPosition " + std::to_string(offset) + (high ? "" : " (32-bit)"));
    if (positionError || offset < 0) {
        Fail(positionError ? positionError : 131);
        return kInvalidSetFilePointer;
    }
    m_position = static_cast<uint64_t>(offset);
    if (high)
        *high = static_cast<int32_t>(m_position >> 32);
    if (ambiguousPositionAt != kNever &&
        m_position == static_cast<uint64_t>(ambiguousPositionAt) * geometry.BytesPerSector) {
        m_lastError = 0;
        return kInvalidSetFilePointer;
    }
    return static_cast<uint32_t>(m_position);
}

bool ScriptedDiscPlatform::Read(PlatformHandle, void* buffer, uint32_t size, uint32_t& read) {
    calls.push_back("Read " + std::to_string(size));
    ++sectorReads;
    read = 0;
    int64_t sector = size ? static_cast<int64_t>(m_position / size) : 0;
    if (sector == failReadAt)
        return Fail(23); // ERROR_CRC
    uint64_t end = mediumSize ? mediumSize : disc.size();
    uint64_t available = m_position < end ? end - m_position : 0;
    uint32_t count = available < size ? static_cast<uint32_t>(available) : size;
    if (sector == shortReadAt)
        count = shortReadBytes;
    if (m_position < disc.size()) {
        uint64_t stored = disc.size() - m_position;
        std::memcpy(buffer, disc.data() + m_position, stored < count ? stored : count);
    }
    m_position += count;
    read = count;
    return true;
}

PlatformHandle ScriptedDiscPlatform::CreateImage(const char* path) {
    calls.push_back(std::string("CreateImage ") + path);
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
    calls.push_back("Write " + std::to_string(size));
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
    calls.push_back(handle == kDriveHandle ? "CloseDrive" : "CloseImage");
    m_images.erase(handle);
    m_written.erase(handle);
    --openHandles;
}

void* ScriptedDiscPlatform::AllocateBuffer(uint32_t size) {
    calls.push_back("Allocate " + std::to_string(size));
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
    calls.push_back("Free");
    --liveBuffers;
    std::free(buffer);
}

bool ScriptedDiscPlatform::IsSignalled(AbortEventRef) {
    calls.push_back("AbortCheck");
    return abortAfterChecks != kNever && m_abortChecks++ >= abortAfterChecks;
}

void ScriptedDiscPlatform::SetProgress(ProgressBarRef, uint32_t percent) {
    calls.push_back("Progress " + std::to_string(percent));
    progress.push_back(percent);
}

uint32_t ScriptedDiscPlatform::QueryAttributes(const char* path) {
    calls.push_back(std::string("GetFileAttributes ") + path);
    return directories.count(path) ? kFileAttributeDirectory : kInvalidFileAttributes;
}

bool ScriptedDiscPlatform::MakeDirectory(const char* path) {
    calls.push_back(std::string("CreateDirectory ") + path);
    return directories.insert(path).second;
}
