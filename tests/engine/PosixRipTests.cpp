// The engine end to end on Linux: ISO 9660 images made by xorriso stand in for discs, bound to
// drive letters, and are ripped through the POSIX platform onto the real file system.

#include "DiscEngine.h"
#include "PosixDiscPlatform.h"

#include "../../ripper/path/HeapString.h"
#include "../../ripper/path/NativePath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
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
    // About 1700 sectors, presented as one cylinder of 2048: reports after sectors 0 and 1000.
    EXPECT_EQ(progress.values, (std::vector<uint32_t>{0, 1000 * 100 / 2048}));
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

TEST(PosixDrives, GeometryOfAFileRoundsUpToWholeCylinders) {
    char path[] = "/tmp/engine-geometry-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    PosixDiscPlatform platform;
    struct {
        off_t size;
        int64_t cylinders;
    } const cases[] = {{0, 0}, {1, 1}, {2048 * 2048, 1}, {2048 * 2048 + 1, 2}};
    for (const auto& c : cases) {
        ASSERT_EQ(ftruncate(fd, c.size), 0);
        DiscGeometry geometry = {};
        ASSERT_TRUE(platform.GetDriveGeometry(fd, geometry));
        EXPECT_EQ(geometry.Cylinders, c.cylinders) << c.size;
        EXPECT_EQ(geometry.BytesPerSector, 2048u);
        EXPECT_EQ(SectorCount(geometry), uint64_t(c.cylinders) * 2048);
    }
    // A file cannot be locked; the engine ignores that answer.
    EXPECT_FALSE(platform.SetMediaLock(fd, true));
    close(fd);
    unlink(path);
}

} // namespace
