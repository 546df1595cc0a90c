#include "ScriptedDrives.h"

#include <commctrl.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

constexpr uint32_t kLabelSector = 16;
constexpr uint32_t kLabelOffset = 40;
constexpr uint32_t kLabelLength = 32;
constexpr uint32_t kErrorNotReady = 21;     // ERROR_NOT_READY: no disc in the drive
constexpr uint32_t kErrorInvalidHandle = 6; // ERROR_INVALID_HANDLE

// Each thread has its own last error, as on Windows.
thread_local uint32_t t_lastError = 0;

} // namespace

bool CScriptedDrives::Fail(uint32_t error) {
    t_lastError = error;
    return false;
}

void CScriptedDrives::Insert(char letter, const Disc& disc) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_discs[letter] = disc;
}

CScriptedDrives::Disc CScriptedDrives::DiscOf(char letter) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_discs.find(letter);
    return found == m_discs.end() ? Disc() : found->second;
}

std::string CScriptedDrives::Sector(char letter, uint32_t sector) const {
    // Every sector differs from every other, on every drive, so a sector copied to the wrong
    // place or from the wrong drive shows.
    std::string bytes(kSectorSize, '\0');
    for (uint32_t i = 0; i < kSectorSize; i += 4) {
        uint32_t word = (sector * 2654435761u) ^ (static_cast<uint32_t>(letter) << 24) ^ i;
        std::memcpy(&bytes[i], &word, 4);
    }
    if (sector == kLabelSector) {
        std::string field = DiscOf(letter).label.substr(0, kLabelLength);
        field.resize(kLabelLength, ' ');
        bytes.replace(kLabelOffset, kLabelLength, field);
    }
    return bytes;
}

std::string CScriptedDrives::Expected(char letter, uint32_t count) const {
    std::string image;
    for (uint32_t i = 0; i < count; ++i)
        image += Sector(letter, i);
    return image;
}

std::string CScriptedDrives::Image(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_images.find(name);
    return found == m_images.end() ? std::string() : found->second;
}

bool CScriptedDrives::HasImage(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_images.count(name) != 0;
}

int CScriptedDrives::ImagesCreated() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_imagesCreated;
}

std::vector<uint32_t> CScriptedDrives::Progress() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_progress;
}

int CScriptedDrives::DrivesOpened() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_drivesOpened;
}

int CScriptedDrives::OpenHandles() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_handles.size());
}

int CScriptedDrives::LockDepth() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lockDepth;
}

PlatformHandle CScriptedDrives::OpenDrive(const char* devicePath) {
    // "\\.\D:"
    std::lock_guard<std::mutex> lock(m_mutex);
    // Every worker that reaches a drive fails critical errors instead of Windows' own box.
    if ((::GetThreadErrorMode() & SEM_FAILCRITICALERRORS) == 0)
        ++m_opensWithSystemBoxes;
    if (std::strlen(devicePath) != 6 || std::strncmp(devicePath, "\\\\.\\", 4) != 0 ||
        devicePath[5] != ':' || !m_discs.count(devicePath[4])) {
        Fail(kErrorFileNotFound);
        return kInvalidPlatformHandle;
    }
    ++m_drivesOpened;
    Handle handle;
    handle.letter = devicePath[4];
    m_handles[m_nextHandle] = handle;
    return m_nextHandle++;
}

bool CScriptedDrives::SetMediaLock(PlatformHandle drive, bool prevent) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_handles.find(drive);
    if (found == m_handles.end() || !found->second.letter)
        return Fail(kErrorInvalidHandle);
    m_lockDepth += prevent ? 1 : -1;
    return true;
}

bool CScriptedDrives::GetDriveGeometry(PlatformHandle drive, DiscGeometry& geometry) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_handles.find(drive);
    if (found == m_handles.end() || !found->second.letter)
        return Fail(kErrorInvalidHandle);
    const Disc& disc = m_discs[found->second.letter];
    if (!disc.present)
        return Fail(kErrorNotReady);
    geometry = {static_cast<int64_t>(disc.sectors), 11, 1, 1, kSectorSize};
    return true;
}

// The drives answer no exact length, and a table of contents only for an audio CD: the copy
// takes the geometry's sectors as one data track.
bool CScriptedDrives::AllowExtendedDasdIo(PlatformHandle) {
    return true;
}

bool CScriptedDrives::GetLengthInfo(PlatformHandle, uint64_t&) {
    return Fail(kErrorInvalidFunction);
}

bool CScriptedDrives::GetDriveGeometryEx(PlatformHandle, DiscGeometry&, uint64_t&) {
    return Fail(kErrorInvalidFunction);
}

bool CScriptedDrives::ReadToc(PlatformHandle drive, TocRequest request, void* answer, uint32_t size,
                              uint32_t& returned) {
    returned = 0;
    Disc disc;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto found = m_handles.find(drive);
        if (found == m_handles.end() || !found->second.letter)
            return Fail(kErrorInvalidHandle);
        disc = m_discs[found->second.letter];
    }
    if (!disc.audio || request != TocRequest::TracksLba || size < 20)
        return Fail(kErrorInvalidFunction);
    // Track 1 (Control 0: audio) at LBA 0, the lead-out (0xAA) after the last sector.
    const uint8_t toc[20] = {0,
                             18,
                             1,
                             1,
                             0,
                             0x10,
                             1,
                             0,
                             0,
                             0,
                             0,
                             0,
                             0,
                             0x10,
                             0xAA,
                             0,
                             uint8_t(disc.sectors >> 24),
                             uint8_t(disc.sectors >> 16),
                             uint8_t(disc.sectors >> 8),
                             uint8_t(disc.sectors)};
    std::memcpy(answer, toc, sizeof(toc));
    returned = sizeof(toc);
    return true;
}

uint32_t CScriptedDrives::SetPosition(PlatformHandle drive, int32_t low, int32_t* high) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_handles.find(drive);
    if (found == m_handles.end() || !found->second.letter) {
        Fail(kErrorInvalidHandle);
        return kInvalidSetFilePointer;
    }
    uint64_t offset = high ? (uint64_t(uint32_t(*high)) << 32) | uint32_t(low) : uint32_t(low);
    found->second.position = offset;
    found->second.labelProbe = high == nullptr;
    t_lastError = 0;
    return static_cast<uint32_t>(offset);
}

bool CScriptedDrives::Read(PlatformHandle drive, void* buffer, uint32_t size, uint32_t& read) {
    read = 0;
    Handle handle;
    Disc disc;
    HWND hProgress = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto found = m_handles.find(drive);
        if (found == m_handles.end() || !found->second.letter)
            return Fail(kErrorInvalidHandle);
        handle = found->second;
        disc = m_discs[handle.letter];
        hProgress = m_hProgress;
    }
    const uint32_t sector = static_cast<uint32_t>(handle.position / kSectorSize);
    if (handle.labelProbe) {
        if (disc.labelGate)
            ::WaitForSingleObject(disc.labelGate, 30000);
    } else {
        if (disc.readDelayMs)
            ::Sleep(disc.readDelayMs);
        if (disc.readGate && disc.gateAt != kNever && sector >= disc.gateAt)
            ::WaitForSingleObject(disc.readGate, 60000);
        if (disc.throwAt == static_cast<int64_t>(sector))
            throw std::runtime_error("the scripted drive failed");
        if (disc.failAt == static_cast<int64_t>(sector))
            return Fail(disc.failError);
        if (disc.progressEverySector && hProgress && sector > 0) {
            m_sendInFlight = true;
            ::SendMessageA(hProgress, PBM_SETPOS,
                           static_cast<WPARAM>(sector * 100ull / disc.sectors), 0);
            m_sendInFlight = false;
            ++m_sendsCompleted;
        }
    }
    if (sector >= disc.sectors || size < kSectorSize)
        return true; // the end of the medium: nothing delivered
    std::string bytes = Sector(handle.letter, sector);
    std::memcpy(buffer, bytes.data(), kSectorSize);
    read = kSectorSize;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_handles.find(drive);
    if (found != m_handles.end())
        found->second.position += kSectorSize;
    return true;
}

bool CScriptedDrives::ReadAt(PlatformHandle drive, uint64_t offset, void* buffer, uint32_t size,
                             uint32_t& read) {
    int32_t high = static_cast<int32_t>(offset >> 32);
    if (SetPosition(drive, static_cast<int32_t>(offset & 0xFFFFFFFFu), &high) ==
            kInvalidSetFilePointer &&
        GetLastError() != 0) {
        read = 0;
        return false;
    }
    return Read(drive, buffer, size, read);
}

PlatformHandle CScriptedDrives::CreateImage(const char* path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_images[path].clear(); // an existing file is replaced
    ++m_imagesCreated;
    Handle handle;
    handle.image = path;
    m_handles[m_nextHandle] = handle;
    return m_nextHandle++;
}

bool CScriptedDrives::Write(PlatformHandle image, const void* buffer, uint32_t size,
                            uint32_t& written) {
    std::lock_guard<std::mutex> lock(m_mutex);
    written = 0;
    auto found = m_handles.find(image);
    if (found == m_handles.end() || found->second.image.empty())
        return Fail(kErrorInvalidHandle);
    Handle& handle = found->second;
    const int64_t sector = static_cast<int64_t>(handle.written / kSectorSize);
    if (sector == failWriteAt)
        return Fail(writeError);
    uint32_t count = sector == shortWriteAt ? size / 2 : size;
    m_images[handle.image].append(static_cast<const char*>(buffer), count);
    handle.written += count;
    written = count;
    if (count == kSectorSize)
        ++m_sectorsWritten;
    return true;
}

void CScriptedDrives::Close(PlatformHandle handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handles.erase(handle);
}

void* CScriptedDrives::AllocateBuffer(uint32_t size) {
    ++m_liveBuffers;
    return std::calloc(size, 1);
}

void CScriptedDrives::FreeBuffer(void* buffer, uint32_t) {
    --m_liveBuffers;
    std::free(buffer);
}

bool CScriptedDrives::IsSignalled(AbortEventRef event) {
    return ::WaitForSingleObject(static_cast<HANDLE>(event), 0) == WAIT_OBJECT_0;
}

void CScriptedDrives::SetProgress(ProgressBarRef progressBar, uint32_t percent) {
    HWND hProgress = static_cast<HWND>(progressBar);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_progress.push_back(percent);
        m_hProgress = hProgress;
    }
    ::SendMessageA(hProgress, PBM_SETPOS, percent, 0);
}

uint32_t CScriptedDrives::GetLastError() {
    return t_lastError;
}

uint32_t CScriptedDrives::QueryAttributes(const char* path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_directories.count(path) ? kFileAttributeDirectory : kInvalidFileAttributes;
}

bool CScriptedDrives::MakeDirectory(const char* path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_directories.insert(path).second;
}
