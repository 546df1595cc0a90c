// The engine end to end on Linux: ISO 9660 images made by xorriso stand in for discs, bound to
// drive letters, and are ripped through the POSIX platform onto the real file system.

#include "DiscEngine.h"
#include "ForwardingDiscPlatform.h"
#include "PosixDiscPlatform.h"

#include "FileSystem.h"
#include "HeapString.h"
#include "NativePath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>
#include <vector>

namespace {

const char kDiscLetter = 'R';

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

bool Exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(generator());
    return bytes;
}

class PosixRip : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/engine-tests-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        ASSERT_EQ(mkdir((m_dir + "/c").c_str(), 0777), 0);
        BindDriveRoot('C', m_dir + "/c");
    }

    void TearDown() override {
        BindDriveDevice(kDiscLetter, "");
        BindDriveRoot('C', "");
        std::system(("rm -rf '" + m_dir + "'").c_str());
    }

    // An ISO 9660 image with volume id `volumeId` holding one file of `payload` bytes.
    std::string MakeIso(const std::string& volumeId, size_t payload) {
        std::string content = m_dir + "/content-" + std::to_string(m_nextImage);
        std::string image = m_dir + "/disc-" + std::to_string(m_nextImage++) + ".iso";
        EXPECT_EQ(mkdir(content.c_str(), 0777), 0);
        WriteFile(content + "/data.bin", RandomBytes(payload, static_cast<unsigned>(payload)));
        std::string command = "xorriso -as mkisofs -quiet -V '" + volumeId + "' -o '" + image +
                              "' '" + content + "' >/dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << "xorriso could not make " << image;
        return image;
    }

    std::string m_dir;
    int m_nextImage = 0;
};

class CRecordingProgress : public IProgressReceiver {
public:
    void SetProgress(uint32_t percent) override { values.push_back(percent); }
    std::vector<uint32_t> values;
};

TEST_F(PosixRip, LabelAndImageMatchTheDisc) {
    struct {
        const char* volumeId;
        const char* label;
    } const cases[] = {
        {"MYDISC", "MYDISC"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ_01234", "ABCDEFGHIJKLMNOPQRSTUVWXYZ_01234"},
        {"MY DISC", "MY"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.volumeId);
        std::string iso = MakeIso(c.volumeId, 300000);
        BindDriveDevice(kDiscLetter, iso);

        CHeapString label;
        EXPECT_EQ(ReadDiscLabel(kDiscLetter, label), 0u);
        EXPECT_STREQ(label.GetString(), c.label);

        std::string name = std::string("C:\\rips\\") + c.label + "\\" + c.label + ".iso";
        EXPECT_EQ(RipDisc(kDiscLetter, name.c_str(), nullptr, nullptr), 0u);
        std::string copy = m_dir + "/c/rips/" + c.label + "/" + c.label + ".iso";
        std::string original = ReadFile(iso);
        ASSERT_GT(original.size(), 32768u);
        EXPECT_TRUE(ReadFile(copy) == original) << "the image differs from the disc";
    }
}

TEST_F(PosixRip, ProgressAndAnExistingImageReplaced) {
    std::string iso = MakeIso("PROGRESS", 3 * 1024 * 1024);
    BindDriveDevice(kDiscLetter, iso);
    std::string copy = m_dir + "/c/disc.iso";
    WriteFile(copy, std::string(8 * 1024 * 1024, 'x'));

    CRecordingProgress progress;
    CAbortEvent abort;
    EXPECT_EQ(RipDisc(kDiscLetter, "C:\\disc.iso", &progress, &abort), 0u);
    EXPECT_TRUE(ReadFile(copy) == ReadFile(iso));
    // Fewer sectors than one cylinder: the exact length counts, and the reports come after
    // sectors 0 and 1000.
    const uint32_t sectors = static_cast<uint32_t>(ReadFile(iso).size() / 2048);
    ASSERT_LT(sectors, 2048u);
    EXPECT_EQ(progress.values, (std::vector<uint32_t>{0, 1000 * 100 / sectors}));
}

TEST_F(PosixRip, SignalledAbortLeavesAnEmptyImage) {
    BindDriveDevice(kDiscLetter, MakeIso("ABORTED", 100000));
    CAbortEvent abort;
    abort.Set();
    EXPECT_EQ(RipDisc(kDiscLetter, "C:\\new\\disc.iso", nullptr, &abort), 0u);
    std::string copy = m_dir + "/c/new/disc.iso";
    ASSERT_TRUE(Exists(copy));
    EXPECT_EQ(ReadFile(copy), "");
}

TEST_F(PosixRip, ImageThatEndsInsideASectorIsCopiedExactly) {
    std::string plain = m_dir + "/odd.img";
    std::string bytes = RandomBytes(16 * 2048 + 5000, 7);
    WriteFile(plain, bytes);
    BindDriveDevice(kDiscLetter, plain);
    EXPECT_EQ(RipDisc(kDiscLetter, "C:\\odd.iso", nullptr, nullptr), 0u);
    EXPECT_TRUE(ReadFile(m_dir + "/c/odd.iso") == bytes);
}

TEST_F(PosixRip, DriveFailuresReturnTheirErrorAndCreateNothing) {
    struct {
        const char* name;
        std::string device; // empty: the letter is bound to nothing
        char letter;
        uint32_t result;
    } const cases[] = {
        {"no drive", "", 'B', kErrorFileNotFound},
        {"missing device", m_dir + "/absent.iso", kDiscLetter, kErrorFileNotFound},
        {"no geometry", m_dir, kDiscLetter, 50}, // a directory: ERROR_NOT_SUPPORTED
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BindDriveDevice(kDiscLetter, c.device);
        EXPECT_EQ(RipDisc(c.letter, "C:\\out\\disc.iso", nullptr, nullptr), c.result);
        EXPECT_FALSE(Exists(m_dir + "/c/out"));
        CHeapString label("stale");
        EXPECT_EQ(ReadDiscLabel(c.letter, label), c.result);
        EXPECT_TRUE(label.IsEmpty());
    }
}

TEST_F(PosixRip, ImageThatCannotBeCreatedReturnsItsError) {
    BindDriveDevice(kDiscLetter, MakeIso("NOWHERE", 10000));
    WriteFile(m_dir + "/c/file", "in the way");
    // A file stands where a directory is needed; nothing under it can be made.
    EXPECT_EQ(RipDisc(kDiscLetter, "C:\\file\\disc.iso", nullptr, nullptr), kErrorPathNotFound);
    // A drive bound to no directory.
    EXPECT_EQ(RipDisc(kDiscLetter, "Q:\\disc.iso", nullptr, nullptr), kErrorPathNotFound);
    // A name the path rules reject.
    EXPECT_EQ(RipDisc(kDiscLetter, "C:\\a<b.iso", nullptr, nullptr), kErrorInvalidName);
    EXPECT_FALSE(Exists(m_dir + "/c/a<b.iso"));
}

TEST_F(PosixRip, LowerCaseDriveLettersWorkLikeUpperCaseOnes) {
    std::string iso = MakeIso("LETTERS", 50000);
    const std::string original = ReadFile(iso);
    struct {
        char rootBound;   // the letter the output drive is bound under
        const char* path; // the output name, with its drive letter as typed
        char discBound;   // the letter the disc is bound under
        char discLetter;  // the letter the rip is asked for
    } const cases[] = {
        {'C', "c:\\out\\disc.iso", 'R', 'r'},
        {'c', "C:\\out\\disc.iso", 'r', 'R'},
        {'c', "c:\\out\\disc.iso", 'r', 'r'},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + std::string(" bound as ") + c.rootBound + ", disc " + c.discLetter +
                     " bound as " + c.discBound);
        std::system(("rm -rf '" + m_dir + "/c/out'").c_str());
        BindDriveRoot('C', "");
        BindDriveRoot(c.rootBound, m_dir + "/c");
        BindDriveDevice(kDiscLetter, "");
        BindDriveDevice(c.discBound, iso);

        CHeapString label;
        EXPECT_EQ(ReadDiscLabel(c.discLetter, label), 0u);
        EXPECT_STREQ(label.GetString(), "LETTERS");
        EXPECT_EQ(RipDisc(c.discLetter, c.path, nullptr, nullptr), 0u);
        EXPECT_TRUE(ReadFile(m_dir + "/c/out/disc.iso") == original)
            << "the image is missing or differs from the disc";
    }
}

// The POSIX platform, whose directory creation is refused: the image file is then created
// under a directory that does not exist, as when Windows cannot make one on the way.
class CNoNewDirectories : public ForwardingDiscPlatform, public IFileSystem {
public:
    explicit CNoNewDirectories(IDiscPlatform& inner) : ForwardingDiscPlatform(inner) {}
    IFileSystem& FileSystem() override { return *this; }
    uint32_t QueryAttributes(const char* path) override {
        return m_inner.FileSystem().QueryAttributes(path);
    }
    bool MakeDirectory(const char*) override { return false; }
};

TEST_F(PosixRip, MissingDirectoryIsPathNotFoundAsOnWindows) {
    // CreateFileA answers ERROR_PATH_NOT_FOUND (3) when a directory on the way is missing, and
    // ERROR_FILE_NOT_FOUND (2) only for a missing file that it was asked to open.
    WriteFile(m_dir + "/c/file", "in the way");
    BindDriveRoot('M', m_dir + "/unmade");
    PosixDiscPlatform platform;
    for (const char* path : {"C:\\missing\\disc.iso", "C:\\a\\b\\disc.iso", "C:\\file\\disc.iso",
                             "M:\\disc.iso", "Q:\\disc.iso"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(platform.CreateImage(path), kInvalidPlatformHandle);
        EXPECT_EQ(platform.GetLastError(), kErrorPathNotFound);
    }
    BindDriveRoot('M', "");

    BindDriveDevice(kDiscLetter, MakeIso("UNMADE", 10000));
    CNoNewDirectories refusing(platform);
    EXPECT_EQ(RipDisc(kDiscLetter, "C:\\new\\disc.iso", nullptr, nullptr, refusing),
              kErrorPathNotFound);
    EXPECT_FALSE(Exists(m_dir + "/c/new"));
}

TEST_F(PosixRip, FullDiskEndsTheCopyWithDiskFull) {
    // /dev/full accepts the open and fails every write with ENOSPC, as a disk that is full.
    struct stat info;
    if (stat("/dev/full", &info) != 0 || !S_ISCHR(info.st_mode))
        GTEST_SKIP() << "no /dev/full on this host";
    BindDriveDevice(kDiscLetter, MakeIso("FULL", 100000));
    BindDriveRoot('F', "/dev");
    EXPECT_EQ(RipDisc(kDiscLetter, "F:\\full", nullptr, nullptr), 112u); // ERROR_DISK_FULL
    BindDriveRoot('F', "");
}

TEST(PosixDrives, DescriptorsThatAreNoOpenDriveArePositionedAndReadNever) {
    // SetFilePointer and ReadFile fail with ERROR_INVALID_HANDLE on a handle that is not open;
    // the platform answers so for any descriptor that OpenDrive did not give, and asking
    // about one does not make it a drive.
    char path[] = "/tmp/engine-descriptor-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "data", 4), 4);
    PosixDiscPlatform platform;
    char buffer[16];
    uint32_t read = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        SCOPED_TRACE(attempt);
        EXPECT_FALSE(platform.Read(fd, buffer, sizeof(buffer), read));
        EXPECT_EQ(platform.GetLastError(), 6u);
        EXPECT_EQ(read, 0u);
        int32_t high = 0;
        EXPECT_EQ(platform.SetPosition(fd, 0, &high), kInvalidSetFilePointer);
        EXPECT_EQ(platform.GetLastError(), 6u);
    }
    close(fd);

    // A drive's descriptor is forgotten when the drive is closed.
    BindDriveDevice('R', path);
    PlatformHandle drive = platform.OpenDrive("\\\\.\\R:");
    ASSERT_NE(drive, kInvalidPlatformHandle);
    EXPECT_TRUE(platform.Read(drive, buffer, sizeof(buffer), read));
    EXPECT_EQ(read, 4u);
    platform.Close(drive);
    EXPECT_EQ(platform.SetPosition(drive, 0, nullptr), kInvalidSetFilePointer);
    EXPECT_EQ(platform.GetLastError(), 6u);
    BindDriveDevice('R', "");
    unlink(path);
}

// The progress bar and the abort event are typed: one cannot be passed for the other, nor any
// other object.
static_assert(!std::is_convertible<CAbortEvent*, ProgressBarRef>::value, "typed progress bar");
static_assert(!std::is_convertible<IProgressReceiver*, AbortEventRef>::value, "typed event");
static_assert(!std::is_convertible<int*, AbortEventRef>::value, "typed event");
static_assert(!std::is_convertible<void*, ProgressBarRef>::value, "typed progress bar");
static_assert(!std::is_invocable<decltype(RipDisc)&, char, const char*, CAbortEvent*,
                                 IProgressReceiver*, IDiscPlatform&, RipReport*>::value,
              "swapped progress bar and abort event");
static_assert(std::is_invocable<decltype(RipDisc)&, char, const char*, IProgressReceiver*,
                                CAbortEvent*, IDiscPlatform&, RipReport*>::value,
              "RipDisc takes a progress receiver and an abort event");

TEST(PosixDrives, DefaultLettersNameTheCdromDevicesInOrder) {
    EXPECT_EQ(DriveDevicePath('C'), "");
    EXPECT_EQ(DriveDevicePath('D'), "/dev/sr0");
    EXPECT_EQ(DriveDevicePath('e'), "/dev/sr1");
    EXPECT_EQ(DriveDevicePath('Z'), "/dev/sr22");
    EXPECT_EQ(DriveDevicePath('1'), "");
    BindDriveDevice('d', "/tmp/x.iso");
    EXPECT_EQ(DriveDevicePath('D'), "/tmp/x.iso");
    BindDriveDevice('D', "");
    EXPECT_EQ(DriveDevicePath('D'), "/dev/sr0");
}

TEST(PosixDrives, BufferIsPageAlignedAndZeroFilled) {
    PosixDiscPlatform platform;
    void* buffer = platform.AllocateBuffer(2048);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer) % sysconf(_SC_PAGESIZE), 0u);
    const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
    EXPECT_EQ(std::count(bytes, bytes + 2048, 0), 2048);
    platform.FreeBuffer(buffer, 2048);
    EXPECT_EQ(platform.AllocateBuffer(0), nullptr);
}

TEST(PosixDrives, GeometryRoundsDownAndTheLengthIsExact) {
    // Windows' arithmetic: whole cylinders of 2048 sectors, rounded down, and the exact size.
    char path[] = "/tmp/engine-geometry-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    PosixDiscPlatform platform;
    struct {
        off_t size;
        int64_t cylinders;
    } const cases[] = {{0, 0},
                       {1, 0},
                       {2047 * 2048, 0},
                       {2048 * 2048, 1},
                       {2048 * 2048 + 1, 1},
                       {2049 * 2048, 1},
                       {off_t{5} << 32, 5 * 1024}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        ASSERT_EQ(ftruncate(fd, c.size), 0);
        DiscGeometry geometry = {};
        ASSERT_TRUE(platform.GetDriveGeometry(fd, geometry));
        EXPECT_EQ(geometry.Cylinders, c.cylinders);
        EXPECT_EQ(geometry.BytesPerSector, 2048u);
        uint64_t length = 0, diskSize = 0;
        ASSERT_TRUE(platform.GetLengthInfo(fd, length));
        EXPECT_EQ(length, uint64_t(c.size));
        ASSERT_TRUE(platform.GetDriveGeometryEx(fd, geometry, diskSize));
        EXPECT_EQ(diskSize, uint64_t(c.size));
    }
    // A file cannot be locked and has no table of contents; the engine ignores the one and
    // takes the other as one data track.
    EXPECT_FALSE(platform.SetMediaLock(fd, true));
    uint8_t toc[kTocBytes];
    uint32_t returned = 1;
    EXPECT_FALSE(platform.ReadToc(fd, TocRequest::TracksLba, toc, sizeof(toc), returned));
    EXPECT_EQ(returned, 0u);
    close(fd);
    unlink(path);
}

} // namespace
