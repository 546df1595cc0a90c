#include "PosixDiscPlatform.h"

#include "FileSystem.h"
#include "NativePath.h"

#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <linux/cdrom.h>
#include <linux/fs.h>
#include <map>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t kSectorSize = 2048;
// A CD-ROM drive reports its geometry as cylinders of 64 tracks of 32 sectors, rounded down; a
// regular file or another block device is presented the same way.
constexpr uint32_t kTracksPerCylinder = 64;
constexpr uint32_t kSectorsPerTrack = 32;
constexpr uint32_t kMediaTypeRemovable = 11; // RemovableMedia

// Win32 codes used below.
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotReady = 21;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorFileExists = 80;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorDiskFull = 112;
constexpr uint32_t kErrorNegativeSeek = 131;
constexpr uint32_t kErrorBusy = 170;
constexpr uint32_t kErrorFilenameTooLong = 206;
constexpr uint32_t kErrorIoDevice = 1117;
constexpr uint32_t kErrorGenFailure = 31;

thread_local uint32_t t_lastError = 0;

bool Fail(uint32_t error) {
    t_lastError = error;
    return false;
}

bool FailErrno() {
    return Fail(Win32ErrorFromErrno(errno));
}

// The position of each drive that OpenDrive opened. Reads are positioned reads (pread) from
// it, so that positioning costs no system call: one read and one write per sector, as with dd.
// A descriptor that is not in the table is no drive handle: positioning it or reading from it
// fails with ERROR_INVALID_HANDLE, and looking it up never adds it.
std::mutex g_positionsLock;
std::map<int, uint64_t> g_drivePositions;

void TrackDrive(int fd) {
    std::lock_guard<std::mutex> guard(g_positionsLock);
    g_drivePositions[fd] = 0;
}

void ForgetDrive(int fd) {
    std::lock_guard<std::mutex> guard(g_positionsLock);
    g_drivePositions.erase(fd);
}

bool GetDrivePosition(int fd, uint64_t& position) {
    std::lock_guard<std::mutex> guard(g_positionsLock);
    auto found = g_drivePositions.find(fd);
    if (found == g_drivePositions.end())
        return false;
    position = found->second;
    return true;
}

bool SetDrivePosition(int fd, uint64_t position) {
    std::lock_guard<std::mutex> guard(g_positionsLock);
    auto found = g_drivePositions.find(fd);
    if (found == g_drivePositions.end())
        return false;
    found->second = position;
    return true;
}

std::mutex g_bindingsLock;
std::string g_bindings[26];

int LetterIndex(char letter) {
    int upper = std::toupper(static_cast<unsigned char>(letter));
    return upper >= 'A' && upper <= 'Z' ? upper - 'A' : -1;
}

// "\\.\X:" gives X; anything else gives NUL.
char LetterOfDevicePath(const char* devicePath) {
    if (devicePath && devicePath[0] == '\\' && devicePath[1] == '\\' && devicePath[2] == '.' &&
        devicePath[3] == '\\' && devicePath[4] != '\0' && devicePath[5] == ':' &&
        devicePath[6] == '\0')
        return devicePath[4];
    return '\0';
}

bool IsBlockDevice(int fd) {
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISBLK(info.st_mode);
}

} // namespace

uint32_t Win32ErrorFromErrno(int error) {
    switch (error) {
    case 0:
        return 0;
    case ENOENT:
        return kErrorFileNotFound;
    case ENOTDIR:
        return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return kErrorAccessDenied;
    case EBADF:
        return kErrorInvalidHandle;
    case ENOMEM:
        return kErrorNotEnoughMemory;
    case ENOMEDIUM:
    case ENXIO:
    case ENODEV:
        return kErrorNotReady;
    case ETXTBSY:
        return kErrorSharingViolation;
    case ENOTTY:
    case EOPNOTSUPP:
        return kErrorNotSupported;
    case EEXIST:
        return kErrorFileExists;
    case EINVAL:
        return kErrorInvalidParameter;
    case ENOSPC:
    case EDQUOT:
        return kErrorDiskFull;
    case EBUSY:
        return kErrorBusy;
    case ENAMETOOLONG:
        return kErrorFilenameTooLong;
    case EIO:
        return kErrorIoDevice;
    default:
        return kErrorGenFailure;
    }
}

void BindDriveDevice(char letter, const std::string& devicePath) {
    int index = LetterIndex(letter);
    if (index < 0)
        return;
    std::lock_guard<std::mutex> guard(g_bindingsLock);
    g_bindings[index] = devicePath;
}

std::string DriveDevicePath(char letter) {
    int index = LetterIndex(letter);
    if (index < 0)
        return std::string();
    {
        std::lock_guard<std::mutex> guard(g_bindingsLock);
        if (!g_bindings[index].empty())
            return g_bindings[index];
    }
    // A, B and C are never optical drives; D onwards are the SCSI CD-ROM devices in order.
    if (index < 3)
        return std::string();
    return "/dev/sr" + std::to_string(index - 3);
}

PlatformHandle PosixDiscPlatform::OpenDrive(const char* devicePath) {
    std::string path = DriveDevicePath(LetterOfDevicePath(devicePath));
    if (path.empty()) {
        Fail(kErrorFileNotFound);
        return kInvalidPlatformHandle;
    }
    // Non-blocking, so that a drive without a disc opens and its geometry request is what
    // fails, as on Windows.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        FailErrno();
        return kInvalidPlatformHandle;
    }
    TrackDrive(fd);
    return fd;
}

bool PosixDiscPlatform::SetMediaLock(PlatformHandle drive, bool prevent) {
    int fd = static_cast<int>(drive);
    if (!IsBlockDevice(fd))
        return Fail(kErrorNotSupported);
    if (ioctl(fd, CDROM_LOCKDOOR, prevent ? 1 : 0) != 0)
        return FailErrno();
    return true;
}

// The medium's exact size and the sector size its reads keep to.
static bool MediumSize(int fd, uint64_t& size, uint32_t& sectorSize) {
    struct stat info;
    if (fstat(fd, &info) != 0)
        return FailErrno();

    size = 0;
    sectorSize = kSectorSize;
    if (S_ISBLK(info.st_mode)) {
        int logicalSize = 0;
        if (ioctl(fd, BLKGETSIZE64, &size) != 0 || ioctl(fd, BLKSSZGET, &logicalSize) != 0)
            return FailErrno();
        // Reads stay whole logical blocks on a device whose blocks exceed a disc sector.
        if (logicalSize > static_cast<int>(kSectorSize))
            sectorSize = static_cast<uint32_t>(logicalSize);
        // An optical drive without a disc reports no size.
        if (size == 0)
            return Fail(kErrorNotReady);
    } else if (S_ISREG(info.st_mode)) {
        size = static_cast<uint64_t>(info.st_size);
    } else {
        return Fail(kErrorNotSupported);
    }
    return true;
}

bool PosixDiscPlatform::GetDriveGeometry(PlatformHandle drive, DiscGeometry& geometry) {
    uint64_t size = 0;
    uint32_t sectorSize = 0;
    if (!MediumSize(static_cast<int>(drive), size, sectorSize))
        return false;
    // Whole cylinders only, rounded down, as Windows' CD-ROM class driver answers: the geometry
    // may cover up to a cylinder less than the medium, and its exact size is GetLengthInfo's.
    uint64_t sectors = (size + sectorSize - 1) / sectorSize;
    geometry.Cylinders =
        static_cast<int64_t>(sectors / (uint64_t{kTracksPerCylinder} * kSectorsPerTrack));
    geometry.MediaType = kMediaTypeRemovable;
    geometry.TracksPerCylinder = kTracksPerCylinder;
    geometry.SectorsPerTrack = kSectorsPerTrack;
    geometry.BytesPerSector = sectorSize;
    return true;
}

bool PosixDiscPlatform::AllowExtendedDasdIo(PlatformHandle drive) {
    // A block device or a file reads to its end anyway.
    struct stat info;
    return fstat(static_cast<int>(drive), &info) == 0 ? true : FailErrno();
}

bool PosixDiscPlatform::GetLengthInfo(PlatformHandle drive, uint64_t& length) {
    uint32_t sectorSize = 0;
    return MediumSize(static_cast<int>(drive), length, sectorSize);
}

bool PosixDiscPlatform::GetDriveGeometryEx(PlatformHandle drive, DiscGeometry& geometry,
                                           uint64_t& diskSize) {
    uint32_t sectorSize = 0;
    return GetDriveGeometry(drive, geometry) &&
           MediumSize(static_cast<int>(drive), diskSize, sectorSize);
}

bool PosixDiscPlatform::ReadToc(PlatformHandle, TocRequest, void*, uint32_t, uint32_t& returned) {
    // No table of contents is read here: the medium is one data track of its exact size.
    returned = 0;
    return Fail(kErrorInvalidFunction);
}

uint32_t PosixDiscPlatform::SetPosition(PlatformHandle drive, int32_t low, int32_t* high) {
    int64_t offset = high ? static_cast<int64_t>((uint64_t(uint32_t(*high)) << 32) | uint32_t(low))
                          : int64_t{low};
    if (offset < 0) {
        Fail(kErrorNegativeSeek);
        return kInvalidSetFilePointer;
    }
    // Like SetFilePointer, a position past the end is accepted; the read there delivers 0.
    uint64_t newPosition = static_cast<uint64_t>(offset);
    if (!SetDrivePosition(static_cast<int>(drive), newPosition)) {
        Fail(kErrorInvalidHandle);
        return kInvalidSetFilePointer;
    }
    if (high)
        *high = static_cast<int32_t>(newPosition >> 32);
    // A position whose low part looks like the failure answer is told apart by a clear error.
    uint32_t lowPart = static_cast<uint32_t>(newPosition);
    if (lowPart == kInvalidSetFilePointer)
        t_lastError = 0;
    return lowPart;
}

bool PosixDiscPlatform::Read(PlatformHandle drive, void* buffer, uint32_t size, uint32_t& read) {
    int fd = static_cast<int>(drive);
    uint64_t position = 0;
    read = 0;
    if (!GetDrivePosition(fd, position))
        return Fail(kErrorInvalidHandle);
    if (!ReadAt(drive, position, buffer, size, read))
        return false;
    SetDrivePosition(fd, position + read);
    return true;
}

bool PosixDiscPlatform::ReadAt(PlatformHandle drive, uint64_t offset, void* buffer, uint32_t size,
                               uint32_t& read) {
    // Like ReadFile on a disc: the whole request unless the data ends first.
    int fd = static_cast<int>(drive);
    read = 0;
    char* target = static_cast<char*>(buffer);
    while (read < size) {
        ssize_t n = pread(fd, target + read, size - read, static_cast<off_t>(offset + read));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (read > 0)
                break; // the failure shows on the next read
            return FailErrno();
        }
        if (n == 0)
            break;
        read += static_cast<uint32_t>(n);
    }
    return true;
}

PlatformHandle PosixDiscPlatform::CreateImage(const char* path) {
    std::string nativePath;
    if (!path || !ToNativePath(path, nativePath) || nativePath.empty()) {
        Fail(kErrorPathNotFound);
        return kInvalidPlatformHandle;
    }
    int fd = open(nativePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        // A missing directory on the way is a missing path, as Windows reports it.
        if (errno == ENOENT)
            Fail(kErrorPathNotFound);
        else
            FailErrno();
        return kInvalidPlatformHandle;
    }
    return fd;
}

bool PosixDiscPlatform::Write(PlatformHandle image, const void* buffer, uint32_t size,
                              uint32_t& written) {
    written = 0;
    const char* source = static_cast<const char*>(buffer);
    while (written < size) {
        ssize_t n = ::write(static_cast<int>(image), source + written, size - written);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return FailErrno();
        }
        if (n == 0)
            break;
        written += static_cast<uint32_t>(n);
    }
    return true;
}

void PosixDiscPlatform::Close(PlatformHandle handle) {
    ForgetDrive(static_cast<int>(handle));
    close(static_cast<int>(handle));
}

void* PosixDiscPlatform::AllocateBuffer(uint32_t size) {
    if (size == 0) {
        Fail(kErrorInvalidParameter);
        return nullptr;
    }
    // Anonymous pages: page-aligned and zero-filled, like the Windows page allocator's.
    void* buffer = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (buffer == MAP_FAILED) {
        FailErrno();
        return nullptr;
    }
    return buffer;
}

void PosixDiscPlatform::FreeBuffer(void* buffer, uint32_t size) {
    munmap(buffer, size);
}

bool PosixDiscPlatform::IsSignalled(AbortEventRef event) {
    return event->IsSet();
}

void PosixDiscPlatform::SetProgress(ProgressBarRef progressBar, uint32_t percent) {
    progressBar->SetProgress(percent);
}

uint32_t PosixDiscPlatform::GetLastError() {
    return t_lastError;
}

IFileSystem& PosixDiscPlatform::FileSystem() {
    return SystemFileSystem();
}

IDiscPlatform& SystemDiscPlatform() {
    static PosixDiscPlatform platform;
    return platform;
}
