// The POSIX platform on a disc larger than 4 GiB, as every DVD is past 2 GiB: a sparse image
// with data just before and after both boundaries and in its last sectors. A position kept in
// 32 bits, or a low part taken as signed, would read the wrong bytes there, or stop the copy
// at 2 GiB and leave a truncated image that looks complete.

#include "DiscEngine.h"
#include "ForwardingDiscPlatform.h"
#include "PosixDiscPlatform.h"

#include "HeapString.h"
#include "NativePath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kSector = 2048;
constexpr uint64_t kTwoGiB = uint64_t{1} << 31;
constexpr uint64_t kFourGiB = uint64_t{1} << 32;
// The image ends 1000 bytes into a sector past 4 GiB.
constexpr uint64_t kImageSize = kFourGiB + (1u << 20) + 1000;
const char kDriveLetter = 'L';
const char kDevicePath[] = "\\\\.\\L:";
const char kLabelField[] = "BIGDISC                         "; // 32 bytes, space-padded

struct ByteRange {
    uint64_t begin;
    uint64_t end;
};

// Where the image holds data; everything else is a hole that reads as zeros.
const ByteRange kDataRanges[] = {
    {16 * kSector, 17 * kSector}, // the primary volume descriptor, with the label
    {kTwoGiB - 8 * kSector, kTwoGiB + 8 * kSector},
    {kFourGiB - 8 * kSector, kImageSize},
};

bool InData(uint64_t position) {
    for (const ByteRange& range : kDataRanges)
        if (position >= range.begin && position < range.end)
            return true;
    return false;
}

// Every data byte depends on its whole 64-bit position, so a read from a wrapped or truncated
// position finds other bytes.
char ImageByte(uint64_t position) {
    if (position >= 16 * kSector + 40 && position < 16 * kSector + 72)
        return kLabelField[position - (16 * kSector + 40)];
    if (!InData(position))
        return 0;
    return static_cast<char>((position * 0x9E3779B97F4A7C15ull) >> 56);
}

std::string ExpectedBytes(uint64_t position, uint64_t count) {
    std::string bytes(count, '\0');
    for (uint64_t i = 0; i < count; ++i)
        bytes[i] = ImageByte(position + i);
    return bytes;
}

std::string ReadBack(const std::string& path, uint64_t position, uint64_t count) {
    std::string bytes(count, '\0');
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::string();
    ssize_t n = pread(fd, &bytes[0], count, static_cast<off_t>(position));
    close(fd);
    bytes.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return bytes;
}

// The engine's reads of 256 KiB that hold data, the last (partial) one included. The ranges
// share no read.
uint64_t DataReadCount() {
    constexpr uint64_t kRead = 256 * 1024;
    uint64_t count = 0;
    for (const ByteRange& range : kDataRanges)
        count += (range.end + kRead - 1) / kRead - range.begin / kRead;
    return count;
}

// The real POSIX platform, except that a sector that lies wholly inside a hole of the image is
// neither read nor written: its read delivers a full sector without touching the file, and its
// write leaves a hole in the copy. A rip of the whole image then reads and writes only the
// sectors that hold data (a few hundred of two million), while every position, the end of the
// medium and every byte of data go through the real platform.
class CDataOnlyPlatform : public ForwardingDiscPlatform {
public:
    explicit CDataOnlyPlatform(IDiscPlatform& inner) : ForwardingDiscPlatform(inner) {}

    uint32_t SetPosition(PlatformHandle drive, int32_t low, int32_t* high) override {
        m_position = high ? (uint64_t(uint32_t(*high)) << 32) | uint32_t(low) : uint32_t(low);
        return m_inner.SetPosition(drive, low, high);
    }

    bool Read(PlatformHandle drive, void* buffer, uint32_t size, uint32_t& read) override {
        if (IsHole(m_position, size)) {
            read = size;
            return true;
        }
        ++realReads;
        return m_inner.Read(drive, buffer, size, read);
    }

    bool ReadAt(PlatformHandle drive, uint64_t offset, void* buffer, uint32_t size,
                uint32_t& read) override {
        m_position = offset;
        if (IsHole(offset, size)) {
            read = size;
            return true;
        }
        ++realReads;
        return m_inner.ReadAt(drive, offset, buffer, size, read);
    }

    PlatformHandle CreateImage(const char* path) override {
        m_image = m_inner.CreateImage(path);
        return m_image;
    }

    // The copy writes each chunk at the disc offset it was read from, on a thread of its own
    // while the next chunk is read: the write's own offset tells a hole.
    bool Write(PlatformHandle image, const void* buffer, uint32_t size,
               uint32_t& written) override {
        const uint64_t offset = m_written;
        m_written += size;
        if (IsHole(offset, size)) {
            m_hole += size;
            written = size;
            return true;
        }
        SkipHole();
        return m_inner.Write(image, buffer, size, written);
    }

    void Close(PlatformHandle handle) override {
        if (handle == m_image) {
            SkipHole();
            if (ftruncate(static_cast<int>(handle), lseek(static_cast<int>(handle), 0, SEEK_CUR)))
                holeFailures++;
        }
        m_inner.Close(handle);
    }

    int realReads = 0;
    int holeFailures = 0;

private:
    static bool IsHole(uint64_t position, uint32_t size) {
        if (position + size > kImageSize)
            return false;
        for (const ByteRange& range : kDataRanges)
            if (position < range.end && position + size > range.begin)
                return false;
        return true;
    }

    void SkipHole() {
        if (m_hole != 0 &&
            lseek(static_cast<int>(m_image), static_cast<off_t>(m_hole), SEEK_CUR) < 0)
            holeFailures++;
        m_hole = 0;
    }

    uint64_t m_position = 0;
    uint64_t m_written = 0;
    PlatformHandle m_image = kInvalidPlatformHandle;
    uint64_t m_hole = 0;
};

class PosixLargeImage : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/engine-large-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        ASSERT_EQ(mkdir((m_dir + "/c").c_str(), 0777), 0);
        BindDriveRoot('C', m_dir + "/c");

        // Sparse: the file takes its size with truncate and only the data ranges are written.
        m_image = m_dir + "/large.iso";
        int fd = open(m_image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kImageSize)), 0)
            << "the file system cannot hold a sparse file of " << kImageSize << " bytes";
        for (const ByteRange& range : kDataRanges) {
            std::string bytes = ExpectedBytes(range.begin, range.end - range.begin);
            ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(range.begin)),
                      static_cast<ssize_t>(bytes.size()));
        }
        close(fd);
        BindDriveDevice(kDriveLetter, m_image);
    }

    void TearDown() override {
        BindDriveDevice(kDriveLetter, "");
        BindDriveRoot('C', "");
        std::system(("rm -rf '" + m_dir + "'").c_str());
    }

    std::string m_dir;
    std::string m_image;
};

TEST_F(PosixLargeImage, PositionsPastTwoAndFourGigabytesReadTheBytesStoredThere) {
    struct {
        const char* name;
        uint64_t position;
    } const cases[] = {
        {"across 2 GiB", kTwoGiB - 1000},
        {"at 2 GiB", kTwoGiB},
        {"past 2 GiB, inside a sector", kTwoGiB + 3 * kSector + 5},
        {"across 4 GiB", kFourGiB - 1000},
        {"at 4 GiB", kFourGiB},
        {"past 4 GiB, inside a sector", kFourGiB + 300 * kSector + 17},
        {"the last bytes", kImageSize - 700},
    };
    PosixDiscPlatform platform;
    PlatformHandle drive = platform.OpenDrive(kDevicePath);
    ASSERT_NE(drive, kInvalidPlatformHandle);
    std::vector<char> buffer(kSector);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int32_t high = static_cast<int32_t>(c.position >> 32);
        EXPECT_EQ(
            platform.SetPosition(drive, static_cast<int32_t>(c.position & 0xFFFFFFFFu), &high),
            static_cast<uint32_t>(c.position));
        EXPECT_EQ(high, static_cast<int32_t>(c.position >> 32));

        uint32_t read = 0;
        ASSERT_TRUE(platform.Read(drive, buffer.data(), kSector, read));
        uint32_t expected =
            static_cast<uint32_t>(std::min<uint64_t>(kSector, kImageSize - c.position));
        ASSERT_EQ(read, expected);
        EXPECT_TRUE(std::string(buffer.data(), read) == ExpectedBytes(c.position, read))
            << "the bytes read are not those stored at " << c.position;

        // Like ReadFile, a read moves the position on by what it delivered.
        uint64_t next = c.position + read;
        ASSERT_TRUE(platform.Read(drive, buffer.data(), kSector, read));
        ASSERT_EQ(read, std::min<uint64_t>(kSector, kImageSize - next));
        EXPECT_TRUE(std::string(buffer.data(), read) == ExpectedBytes(next, read))
            << "the second read did not go on from " << next;
    }

    // Past the end a position is accepted and the read there delivers nothing.
    const uint64_t pastEnd = kImageSize + kSector;
    int32_t high = static_cast<int32_t>(pastEnd >> 32);
    EXPECT_EQ(platform.SetPosition(drive, static_cast<int32_t>(pastEnd & 0xFFFFFFFFu), &high),
              static_cast<uint32_t>(pastEnd));
    uint32_t read = 1;
    EXPECT_TRUE(platform.Read(drive, buffer.data(), kSector, read));
    EXPECT_EQ(read, 0u);
    platform.Close(drive);
}

TEST_F(PosixLargeImage, LengthIsExactGeometryRoundsDownAndTheLabelIsFound) {
    PosixDiscPlatform platform;
    PlatformHandle drive = platform.OpenDrive(kDevicePath);
    ASSERT_NE(drive, kInvalidPlatformHandle);
    DiscGeometry geometry = {};
    ASSERT_TRUE(platform.GetDriveGeometry(drive, geometry));
    uint64_t length = 0;
    ASSERT_TRUE(platform.GetLengthInfo(drive, length));
    platform.Close(drive);
    EXPECT_EQ(length, kImageSize);
    uint64_t sectors = SectorCount(geometry);
    const uint64_t cylinderBytes = uint64_t{64} * 32 * kSector;
    EXPECT_LE(sectors * kSector, kImageSize);
    EXPECT_GT(sectors * kSector + cylinderBytes, kImageSize);

    CHeapString label;
    EXPECT_EQ(ReadDiscLabel(kDriveLetter, label), 0u);
    EXPECT_STREQ(label.GetString(), "BIGDISC");
}

TEST_F(PosixLargeImage, RipCopiesTheDataPastBothBoundariesAndEndsWithTheImage) {
    PosixDiscPlatform posix;
    CDataOnlyPlatform platform(posix);
    ASSERT_EQ(RipDisc(kDriveLetter, "C:\\big\\disc.iso", nullptr, nullptr, platform), 0u);
    EXPECT_EQ(platform.holeFailures, 0);
    EXPECT_EQ(platform.realReads, static_cast<int>(DataReadCount()));

    std::string copy = m_dir + "/c/big/disc.iso";
    struct stat info;
    ASSERT_EQ(stat(copy.c_str(), &info), 0);
    EXPECT_EQ(static_cast<uint64_t>(info.st_size), kImageSize)
        << "the copy does not end where the disc does";
    for (const ByteRange& range : kDataRanges) {
        SCOPED_TRACE(range.begin);
        EXPECT_TRUE(ReadBack(copy, range.begin, range.end - range.begin) ==
                    ExpectedBytes(range.begin, range.end - range.begin))
            << "the copy differs from the disc in " << range.begin << ".." << range.end;
    }
}

} // namespace
