// The engine's logic against the scripted platform: what it acquires and releases, in which
// order, what it reads and writes, and what it returns.

#include "DiscEngine.h"
#include "DiscLayout.h"
#include "ScriptedDiscPlatform.h"

#include "HeapString.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr uint32_t kSector = 2048;
constexpr uint32_t kChunk = 128; // sectors of each read: 256 KiB
const char kImage[] = "C:\\out\\disc.iso";
// Any non-null value stands for a progress bar or an abort event: the double ignores it.
ProgressBarRef const kProgressBar = reinterpret_cast<ProgressBarRef>(0x1000);
AbortEventRef const kAbortEvent = reinterpret_cast<AbortEventRef>(0x2000);

// A disc of `sectors` sectors whose every byte tells its sector and position.
std::string MakeDisc(uint32_t sectors, uint32_t sectorSize = kSector) {
    std::string disc(size_t{sectors} * sectorSize, '\0');
    for (size_t i = 0; i < disc.size(); ++i)
        disc[i] = static_cast<char>((i / sectorSize) * 7 + i % 251);
    return disc;
}

// A double holding a disc of `sectors` sectors whose geometry says the same.
void Script(ScriptedDiscPlatform& platform, uint32_t sectors) {
    platform.disc = MakeDisc(sectors);
    platform.geometry = {sectors, 11, 1, 1, kSector};
    platform.directories = {"C:\\"};
}

std::string Label(ScriptedDiscPlatform& platform, uint32_t* result = nullptr) {
    CHeapString label("stale");
    uint32_t code = ReadDiscLabel('D', label, platform);
    if (result)
        *result = code;
    return label.GetString() ? label.GetString() : "";
}

// Every resource the engine took is given back, in the reverse order of taking.
void ExpectReleasedInOrder(const ScriptedDiscPlatform& platform) {
    EXPECT_EQ(platform.openHandles, 0);
    EXPECT_EQ(platform.liveBuffers, 0);
    EXPECT_EQ(platform.lockDepth, 0);
    ASSERT_FALSE(platform.calls.empty());
    EXPECT_EQ(platform.calls.back(), "CloseDrive");
    EXPECT_EQ(platform.CallsStartingWith("Lock").size(), 1u);
    EXPECT_EQ(platform.CallsStartingWith("Unlock").size(), 1u);
    int unlock = platform.IndexOf("Unlock");
    int freed = platform.IndexOf("Free");
    int closeImage = platform.IndexOf("CloseImage");
    EXPECT_GT(unlock, platform.IndexOf("Lock"));
    if (freed >= 0) {
        EXPECT_LT(freed, unlock);
    }
    if (closeImage >= 0) {
        EXPECT_LT(closeImage, freed);
    }
}

// --- Acquisition and release on every path ---------------------------------------------------

struct ReleaseCase {
    const char* name;
    void (*script)(ScriptedDiscPlatform&);
    const char* imagePath;
    uint32_t ripResult;
    uint32_t labelResult;
};

const ReleaseCase kReleaseCases[] = {
    {"success", [](ScriptedDiscPlatform&) {}, kImage, 0, 0},
    {"no medium", [](ScriptedDiscPlatform& p) { p.geometryError = 21; }, kImage, 21, 21},
    {"no buffer", [](ScriptedDiscPlatform& p) { p.failAllocation = true; }, kImage, 8, 8},
    {"image not created", [](ScriptedDiscPlatform& p) { p.createError = 5; }, kImage, 5, 0},
    {"read fails", [](ScriptedDiscPlatform& p) { p.failReadAt = 16; }, kImage, 23, 0},
    {"write fails", [](ScriptedDiscPlatform& p) { p.failWriteAt = 0; }, kImage, 112, 0},
    {"aborted", [](ScriptedDiscPlatform& p) { p.abortAfterChecks = 5; }, kImage, 0, 0},
    {"position fails", [](ScriptedDiscPlatform& p) { p.positionError = 87; }, kImage, 87, 87},
    {"rejected name", [](ScriptedDiscPlatform&) {}, "C:\\out\\\\disc.iso", 123, 0},
    {"root climbed", [](ScriptedDiscPlatform&) {}, "C:\\..\\disc.iso", 123, 0},
};

TEST(EngineRelease, RipDiscReleasesEverythingInReverseOrder) {
    for (const ReleaseCase& c : kReleaseCases) {
        SCOPED_TRACE(c.name);
        ScriptedDiscPlatform platform;
        Script(platform, 40);
        c.script(platform);
        EXPECT_EQ(RipDisc('D', c.imagePath, kProgressBar, kAbortEvent, platform), c.ripResult);
        ExpectReleasedInOrder(platform);
        EXPECT_EQ(platform.calls.front(), "OpenDrive \\\\.\\D:");
        EXPECT_EQ(platform.calls[1], "Lock");
    }
}

TEST(EngineRelease, ReadDiscLabelReleasesEverythingInReverseOrder) {
    for (const ReleaseCase& c : kReleaseCases) {
        SCOPED_TRACE(c.name);
        ScriptedDiscPlatform platform;
        Script(platform, 40);
        c.script(platform);
        uint32_t result = 0;
        Label(platform, &result);
        EXPECT_EQ(result, c.labelResult);
        ExpectReleasedInOrder(platform);
        EXPECT_EQ(platform.CallsStartingWith("CreateImage").size(), 0u);
    }
}

TEST(EngineRelease, FailedOpenReturnsItsErrorAndTouchesNothingElse) {
    ScriptedDiscPlatform platform;
    Script(platform, 40);
    platform.openError = 2;
    EXPECT_EQ(RipDisc('q', kImage, kProgressBar, kAbortEvent, platform), 2u);
    EXPECT_EQ(platform.calls, std::vector<std::string>{"OpenDrive \\\\.\\q:"});

    platform.calls.clear();
    uint32_t result = 0;
    EXPECT_EQ(Label(platform, &result), "");
    EXPECT_EQ(result, 2u);
    EXPECT_EQ(platform.calls.size(), 1u);
}

// --- The volume label -----------------------------------------------------------------------

struct LabelCase {
    const char* name;
    std::string field; // written at bytes 40.. of sector 16
    const char* label;
};

TEST(EngineLabel, TakesTheVolumeIdentifierUpToTheFirstSpaceOrNul) {
    const LabelCase cases[] = {
        {"padded", "MYDISC" + std::string(26, ' '), "MYDISC"},
        {"inner space", "MY DISC" + std::string(25, ' '), "MY"},
        {"leading space", " MYDISC" + std::string(25, ' '), ""},
        {"leading NUL", std::string(1, '\0') + "MYDISC", ""},
        {"NUL inside", std::string("AB\0CD", 5), "AB"},
        {"full field", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345XYZ", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"},
    };
    for (const LabelCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDiscPlatform platform;
        Script(platform, 20);
        // No descriptor type or standard identifier: only the field counts.
        platform.disc.replace(16 * kSector, 40, 40, '\xFF');
        platform.disc.replace(16 * kSector + 40, c.field.size(), c.field);
        uint32_t result = 1;
        EXPECT_EQ(Label(platform, &result), c.label);
        EXPECT_EQ(result, 0u);
        EXPECT_EQ(platform.CallsStartingWith("SetPosition"),
                  std::vector<std::string>{"SetPosition 32768 (32-bit)"});
        EXPECT_EQ(platform.CallsStartingWith("Read "), std::vector<std::string>{"Read 2048"});
    }
}

TEST(EngineLabel, UnreadableLabelSectorGivesEmptyLabelAndNoError) {
    ScriptedDiscPlatform failing;
    Script(failing, 20);
    failing.failReadAt = 16;
    uint32_t result = 1;
    EXPECT_EQ(Label(failing, &result), "");
    EXPECT_EQ(result, 0u);

    ScriptedDiscPlatform tooShort; // the medium ends before sector 16: a 0-byte read
    Script(tooShort, 16);
    EXPECT_EQ(Label(tooShort, &result), "");
    EXPECT_EQ(result, 0u);
}

TEST(EngineLabel, SectorShorterThanTheFieldGivesOnlyTheBytesDelivered) {
    ScriptedDiscPlatform platform;
    Script(platform, 20);
    platform.disc.replace(16 * kSector + 40, 32, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345");
    platform.shortReadAt = 16;
    platform.shortReadBytes = 45;
    EXPECT_EQ(Label(platform), "ABCDE");

    platform.geometry.BytesPerSector = 44; // sector 16 now starts at byte 704
    platform.shortReadAt = ScriptedDiscPlatform::kNever;
    platform.disc.replace(16 * 44 + 40, 4, "WXYZ");
    EXPECT_EQ(Label(platform), "WXYZ");
}

// --- The copy -------------------------------------------------------------------------------

TEST(EngineCopy, CopiesEverySectorAndCreatesTheDirectories) {
    ScriptedDiscPlatform platform;
    Script(platform, 200);
    EXPECT_EQ(RipDisc('D', "C:\\out\\sub\\disc.iso", nullptr, nullptr, platform), 0u);
    EXPECT_TRUE(platform.files["C:\\out\\sub\\disc.iso"] == platform.disc);
    // 256 KiB at a time, never past the end; sector i is read from byte i x 2048, each read
    // positioned in the same call.
    EXPECT_EQ(platform.CallsStartingWith("ReadAt"),
              (std::vector<std::string>{"ReadAt 0 262144", "ReadAt 262144 147456"}));
    EXPECT_EQ(platform.IndexOf("SetPosition"), -1);
    // Directories first, then the file under the name as given.
    EXPECT_EQ(
        platform.CallsStartingWith("CreateDirectory"),
        (std::vector<std::string>{"CreateDirectory C:\\out", "CreateDirectory C:\\out\\sub"}));
    EXPECT_LT(platform.IndexOf("CreateDirectory C:\\out\\sub"), platform.IndexOf("CreateImage"));
    EXPECT_EQ(platform.CallsStartingWith("CreateImage"),
              std::vector<std::string>{"CreateImage C:\\out\\sub\\disc.iso"});
    // The two buffers (one read into while the other is written) are taken once, before the
    // path is looked at.
    EXPECT_EQ(platform.CallsStartingWith("Allocate"),
              (std::vector<std::string>{"Allocate 262144", "Allocate 262144"}));
    EXPECT_LT(platform.IndexOf("Allocate"), platform.IndexOf("GetFileAttributes"));
    // Neither a progress bar nor an abort event was given.
    EXPECT_EQ(platform.IndexOf("Progress"), -1);
    EXPECT_EQ(platform.IndexOf("AbortCheck"), -1);
}

TEST(EngineCopy, ReportsProgressEveryThousandSectorsAndNeverAHundred) {
    ScriptedDiscPlatform platform;
    Script(platform, 2500);
    EXPECT_EQ(RipDisc('D', kImage, kProgressBar, kAbortEvent, platform), 0u);
    EXPECT_EQ(platform.progress, (std::vector<uint32_t>{0, 40, 80}));
    // Each report follows the write of its sector; the abort test comes before every read.
    // Sector 1000 is written by the eighth write (sectors 896 to 1023).
    int eighthWrite = -1;
    for (int i = 0, writes = 0; i < int(platform.calls.size()) && writes < 8; ++i)
        if (platform.calls[i].compare(0, 6, "Write ") == 0 && ++writes == 8)
            eighthWrite = i;
    EXPECT_GT(platform.IndexOf("Progress 0"), platform.IndexOf("Write 262144"));
    EXPECT_GT(platform.IndexOf("Progress 40"), eighthWrite);
    EXPECT_GT(eighthWrite, platform.IndexOf("Progress 0"));
    EXPECT_EQ(platform.CallsStartingWith("AbortCheck").size(), (2500u + kChunk - 1) / kChunk);
    EXPECT_TRUE(platform.files[kImage] == platform.disc);
}

TEST(EngineCopy, ProgressIsTheIndexOfTheSectorJustWrittenRoundedDown) {
    struct {
        uint32_t sectors;
        std::vector<uint32_t> progress;
    } const cases[] = {
        {1, {0}},
        {1001, {0, 99}}, // sector 1000 of 1001: 99.9 is sent as 99, never as 100
        {3000, {0, 33, 66}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sectors);
        ScriptedDiscPlatform platform;
        Script(platform, c.sectors);
        EXPECT_EQ(RipDisc('D', kImage, kProgressBar, nullptr, platform), 0u);
        EXPECT_EQ(platform.progress, c.progress);
    }
}

// A disc of no sectors holds no data track: nothing is created, as for an audio CD.
TEST(EngineCopy, SectorCountOfZeroIsNoDiscToCopy) {
    ScriptedDiscPlatform platform;
    Script(platform, 10);
    platform.geometry.Cylinders = 0;
    EXPECT_EQ(RipDisc('D', "C:\\new\\disc.iso", kProgressBar, kAbortEvent, platform),
              kErrorUnrecognizedMedia);
    EXPECT_TRUE(platform.files.empty());
    EXPECT_EQ(platform.directories.count("C:\\new"), 0u);
    EXPECT_EQ(platform.sectorReads, 0);
    EXPECT_EQ(platform.IndexOf("Progress"), -1);
}

TEST(EngineCopy, SectorCountIsTheLow64BitsOfTheProduct) {
    struct {
        DiscGeometry geometry;
        uint64_t sectors;
    } const cases[] = {
        {{2, 0, 64, 32, 2048}, 4096u},
        // The two 32-bit factors multiply in 64 bits: their product alone exceeds 32 bits.
        {{1, 0, 1u << 16, 1u << 16, 2048}, uint64_t{1} << 32},
        {{3, 0, 0x80000000u, 2, 2048}, uint64_t{3} << 32},
        // The factors are zero-extended, never sign-extended.
        {{1, 0, 0xFFFFFFFFu, 1, 2048}, 0xFFFFFFFFu},
        {{2, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, 2048}, uint64_t{0xFFFFFFFC00000002u}},
        // Only the low 64 bits count.
        {{int64_t{1} << 32, 0, 0xFFFFFFFFu, 2, 2048}, uint64_t{0xFFFFFFFEu} << 32},
        {{int64_t{1} << 33, 0, 1u << 16, 1u << 16, 2048}, 0u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sectors);
        EXPECT_EQ(SectorCount(c.geometry), c.sectors);
    }

    // A product that wraps to 0 copies nothing.
    ScriptedDiscPlatform wrapped;
    Script(wrapped, 10);
    wrapped.geometry = {int64_t{1} << 33, 0, 1u << 16, 1u << 16, kSector};
    EXPECT_EQ(RipDisc('D', kImage, nullptr, nullptr, wrapped), kErrorUnrecognizedMedia);
    EXPECT_EQ(wrapped.sectorReads, 0);

    // One whose 32-bit factors alone would wrap to 0 copies the disc until its medium ends,
    // which is a failed read: the medium is shorter than it says.
    ScriptedDiscPlatform large;
    Script(large, 10);
    large.geometry = {1, 0, 1u << 16, 1u << 16, kSector};
    RipReport report;
    EXPECT_EQ(RipDisc('D', kImage, nullptr, nullptr, large, &report), kErrorReadFault);
    EXPECT_TRUE(large.files[kImage] == large.disc);
    EXPECT_EQ(report.FailedSector, 10u);
    EXPECT_EQ(report.SectorCount, uint64_t{1} << 32);
}

TEST(EngineCopy, PositionsPastFourGigabytesWithTheWholeOffset) {
    // Sectors of 1 MiB: sector 4096 starts at 4 GiB, where an offset kept in 32 bits would
    // wrap to the start of the disc. The medium is that long but holds no stored bytes.
    constexpr uint32_t kLargeSector = 1u << 20;
    ScriptedDiscPlatform platform;
    platform.directories = {"C:\\"};
    platform.geometry = {4098, 11, 1, 1, kLargeSector};
    platform.mediumSize = uint64_t{4098} * kLargeSector;
    platform.keepImages = false;
    EXPECT_EQ(RipDisc('D', kImage, nullptr, nullptr, platform), 0u);
    EXPECT_EQ(platform.sectorReads, 4098);
    std::vector<std::string> positions = platform.CallsStartingWith("ReadAt");
    ASSERT_EQ(positions.size(), 4098u);
    EXPECT_EQ(positions[4095], "ReadAt 4293918720 1048576");
    EXPECT_EQ(positions[4096], "ReadAt 4294967296 1048576");
    EXPECT_EQ(positions[4097], "ReadAt 4296015872 1048576");
}

// A positioned read that fails before it reads is a failed read of its first sector.
TEST(EngineCopy, PositionedReadThatFailsIsAFailedRead) {
    ScriptedDiscPlatform failing;
    Script(failing, 10);
    failing.positionError = 87;
    RipReport report;
    EXPECT_EQ(RipDisc('D', kImage, nullptr, nullptr, failing, &report), 87u);
    EXPECT_EQ(failing.files[kImage], "");
    EXPECT_EQ(failing.sectorReads, 0);
    EXPECT_TRUE(report.ReadFailed);
    EXPECT_EQ(report.FailedSector, 0u);
}

TEST(EngineCopy, SignalledAbortBeforeTheFirstSectorLeavesAnEmptyImage) {
    ScriptedDiscPlatform platform;
    Script(platform, 10);
    platform.abortAfterChecks = 0;
    EXPECT_EQ(RipDisc('D', "C:\\new\\disc.iso", kProgressBar, kAbortEvent, platform), 0u);
    EXPECT_EQ(platform.files["C:\\new\\disc.iso"], "");
    EXPECT_EQ(platform.directories.count("C:\\new"), 1u);
    EXPECT_EQ(platform.sectorReads, 0);
    EXPECT_EQ(platform.IndexOf("Progress"), -1);
}

TEST(EngineCopy, AbortStopsBeforeTheNextRead) {
    ScriptedDiscPlatform platform;
    Script(platform, 600);
    platform.abortAfterChecks = 4;
    RipReport report;
    EXPECT_EQ(RipDisc('D', kImage, nullptr, kAbortEvent, platform, &report), 0u);
    EXPECT_TRUE(platform.files[kImage] == platform.disc.substr(0, 4 * kChunk * kSector));
    EXPECT_EQ(platform.sectorReads, 4);
    EXPECT_FALSE(report.ReadFailed);
}

// The medium's size: its exact length first, then the extended geometry's disc size, then the
// geometry, whose cylinders Windows' CD-ROM class driver rounds down.
TEST(EngineCopy, SizeComesFromTheExactLengthNotTheRoundedDownGeometry) {
    struct {
        uint32_t sectors;
        bool length;
        bool geometryEx;
        uint32_t copied;
    } const cases[] = {
        {0, true, false, 0},        {1, true, false, 1},       {2047, true, false, 2047},
        {2048, true, false, 2048},  {2049, true, false, 2049}, {2049, false, true, 2049},
        {2049, false, false, 2048}, // the geometry alone: its cylinders only
        {2047, false, false, 0},    // no sector: no disc to copy
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.sectors) + (c.length ? " length" : "") +
                     (c.geometryEx ? " geometry-ex" : ""));
        ScriptedDiscPlatform platform;
        Script(platform, c.sectors);
        platform.geometry = {c.sectors / 2048, 11, 64, 32, kSector};
        if (c.length)
            platform.lengthInfo = int64_t{c.sectors} * kSector;
        if (c.geometryEx)
            platform.geometryExSize = int64_t{c.sectors} * kSector;
        RipReport report;
        EXPECT_EQ(RipDisc('D', kImage, nullptr, nullptr, platform, &report),
                  c.copied == 0 ? kErrorUnrecognizedMedia : 0u);
        EXPECT_TRUE(platform.files[kImage] == platform.disc.substr(0, size_t{c.copied} * kSector));
        EXPECT_EQ(report.SectorCount, c.copied);
        EXPECT_LT(platform.IndexOf("AllowExtendedDasdIo"), platform.IndexOf("Geometry"));
    }

    // Past 4 GiB: the length's 64 bits count, and the last read ends with the medium.
    ScriptedDiscPlatform large;
    large.directories = {"C:\\"};
    const uint64_t sectors = (uint64_t{1} << 21) + 5;
    large.mediumSize = sectors * kSector;
    large.lengthInfo = static_cast<int64_t>(large.mediumSize);
    large.geometry = {1024, 11, 64, 32, kSector};
    large.keepImages = false;
    EXPECT_EQ(RipDisc('D', kImage, nullptr, nullptr, large), 0u);
    EXPECT_EQ(large.sectorReads, static_cast<int>((sectors + kChunk - 1) / kChunk));
    EXPECT_EQ(large.CallsStartingWith("ReadAt").back(),
              "ReadAt " + std::to_string((sectors - 5) * kSector) + " 10240");
}

// A read that fails, or delivers nothing, before the end of the medium ends the copy with its
// error and its sector; the large read is done again sector by sector, so that the image holds
// every good sector before the one that failed.
TEST(EngineCopy, FailedReadEndsTheCopyWithItsErrorAndSector) {
    struct {
        const char* name;
        int64_t failAt;
        uint32_t error;
        uint32_t result;
        size_t reads; // the large read that failed, then one per sector up to the failure
    } const cases[] = {
        {"first sector, CRC", 0, 23, 23, 1 + 1},
        {"middle, sector not found", 37, 27, 27, 1 + 37 + 1},
        {"last sector", 99, 23, 23, 1 + 99 + 1},
        {"no error code", 50, 0, kErrorReadFault, 1 + 50 + 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDiscPlatform platform;
        Script(platform, 100);
        platform.lengthInfo = 100 * kSector;
        platform.failReadAt = c.failAt;
        platform.readError = c.error;
        RipReport report;
        EXPECT_EQ(RipDisc('D', kImage, nullptr, kAbortEvent, platform, &report), c.result);
        EXPECT_TRUE(platform.files[kImage] == platform.disc.substr(0, c.failAt * kSector));
        EXPECT_TRUE(report.ReadFailed);
        EXPECT_EQ(report.FailedSector, uint64_t(c.failAt));
        EXPECT_EQ(report.SectorCount, 100u);
        // And the volume descriptor, which could have made the end a run-out.
        std::vector<std::string> reads = platform.CallsStartingWith("ReadAt");
        ASSERT_EQ(reads.size(), c.reads + 1);
        EXPECT_EQ(reads[c.reads - 1], "ReadAt " + std::to_string(c.failAt * kSector) + " 2048");
        EXPECT_EQ(reads.back(), "ReadAt 32768 2048");
        ExpectReleasedInOrder(platform);
    }

    ScriptedDiscPlatform empty; // the medium ends early: a read delivers nothing
    Script(empty, 10);
    empty.disc.resize(7 * kSector);
    RipReport report;
    EXPECT_EQ(RipDisc('D', kImage, nullptr, nullptr, empty, &report), kErrorReadFault);
    EXPECT_TRUE(empty.files[kImage] == empty.disc);
    EXPECT_EQ(report.FailedSector, 7u);
}

TEST(EngineCopy, ShortReadIsWrittenAsDeliveredAndTheCopyGoesOn) {
    ScriptedDiscPlatform platform;
    Script(platform, 40);
    platform.shortReadAt = 3;
    platform.shortReadBytes = 100;
    EXPECT_EQ(RipDisc('D', kImage, nullptr, nullptr, platform), 0u);
    EXPECT_TRUE(platform.files[kImage] == platform.disc);
    EXPECT_EQ(platform.CallsStartingWith("Write")[0], "Write " + std::to_string(3 * kSector + 100));
    EXPECT_EQ(platform.CallsStartingWith("ReadAt")[1],
              "ReadAt " + std::to_string(3 * kSector + 100) + " " + std::to_string(37 * kSector));
}

// A disc written track-at-once ends its track with two run-out sectors no drive reads: a
// failure there is the end of a complete copy when the volume descriptor's size ends before.
TEST(EngineCopy, RunOutSectorsAfterTheVolumeEndTheCopy) {
    struct {
        uint32_t volumeSectors;
        int64_t failAt;
        uint32_t result;
    } const cases[] = {{98, 98, 0}, {98, 99, 0}, {99, 98, 23}, {98, 97, 23}, {100, 99, 23}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.volumeSectors) + " " + std::to_string(c.failAt));
        ScriptedDiscPlatform platform;
        Script(platform, 100);
        platform.lengthInfo = 100 * kSector;
        platform.disc.replace(16 * kSector, 6,
                              "\x01"
                              "CD001");
        const char size[4] = {char(c.volumeSectors), 0, 0, 0};
        platform.disc.replace(16 * kSector + 80, 4, size, 4);
        platform.unreadable = {{uint64_t(c.failAt), 100}};
        EXPECT_EQ(RipDisc('D', kImage, nullptr, nullptr, platform), c.result);
        EXPECT_TRUE(platform.files[kImage] == platform.disc.substr(0, c.failAt * kSector));
    }
}

// `value` as four big-endian bytes, as a table of contents holds its addresses.
std::string BigEndian(uint32_t value) {
    return {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
}

// The table of contents: a TracksLba or TracksMsf answer of `tracks` (start, data) and the
// lead-out.
std::string Toc(const std::vector<std::pair<uint32_t, bool>>& tracks, uint32_t leadOut, bool msf) {
    std::string toc(4, '\0');
    auto add = [&](uint8_t number, uint32_t start, bool data) {
        uint32_t a = msf ? 0 : start;
        if (msf) {
            uint32_t f = start + 150;
            a = (f / 4500) << 16 | (f / 75 % 60) << 8 | f % 75;
        }
        toc += {0, char(data ? 0x14 : 0x10), char(number), 0};
        toc += BigEndian(a);
    };
    for (size_t i = 0; i < tracks.size(); ++i)
        add(uint8_t(i + 1), tracks[i].first, tracks[i].second);
    add(0xAA, leadOut, true);
    toc[1] = char(toc.size() - 2);
    toc[2] = 1;
    toc[3] = char(tracks.size());
    return toc;
}

struct Session {
    std::vector<std::pair<uint32_t, bool>> tracks; // start, data
    uint32_t leadOut;
};

// The full TOC of `sessions` (format 2, MSF): each session's A2 point, then its tracks.
std::string FullToc(const std::vector<Session>& sessions) {
    std::string toc(4, '\0');
    uint8_t number = 1;
    auto add = [&](uint8_t session, uint8_t control, uint8_t point, uint32_t lba) {
        const uint32_t f = lba + 150;
        toc += {char(session),  char(0x10 | control), 0,           char(point), 0, 0, 0, 0,
                char(f / 4500), char(f / 75 % 60),    char(f % 75)};
    };
    for (size_t s = 0; s < sessions.size(); ++s) {
        add(uint8_t(s + 1), 4, 0xA2, sessions[s].leadOut);
        add(uint8_t(s + 1), 4, 0xB0, 0); // a lead-in address: not a point to use
        for (const auto& track : sessions[s].tracks)
            add(uint8_t(s + 1), track.second ? 4 : 0, number++, track.first);
    }
    toc[0] = char((toc.size() - 2) >> 8);
    toc[1] = char(toc.size() - 2);
    toc[2] = 1;
    toc[3] = char(sessions.size());
    return toc;
}

// Discs people own, each read through the full TOC and through format 0 with the last session:
// what is data, what is zeros, where a failed read is lost data and where it is a run-out, a
// pregap or a session gap.
TEST(EngineCopy, DiscsOfSessionsAudioTracksAndRunOuts) {
    enum { kFull = 1, kFormat0 = 2, kNoToc = 4 };
    struct Row {
        const char* name;
        int forms;
        std::vector<Session> sessions;
        uint32_t medium;                                       // exact length
        std::vector<std::pair<uint32_t, uint32_t>> volumes;    // descriptor sector, volume size
        std::vector<std::pair<uint64_t, uint64_t>> unreadable; // [first, end)
        uint32_t result;
        uint64_t failed;
        std::vector<std::pair<uint32_t, bool>> image; // extents from 0: end, data (else zeros)
    } const rows[] = {
        {"track-at-once CD-R of two sessions",
         kFull | kFormat0,
         {{{{0, true}}, 1000}, {{{12400, true}}, 13400}},
         13400,
         {{16, 998}, {12416, 13398}},
         {{998, 12400}, {13398, 13400}},
         0,
         0,
         {{998, true}, {12400, false}, {13398, true}}},
        {"two sessions without descriptors",
         kFull | kFormat0,
         {{{{0, true}}, 1000}, {{{12400, true}}, 13400}},
         13400,
         {},
         {{998, 12400}, {13398, 13400}},
         23,
         13398,
         {{998, true}, {12400, false}, {13398, true}}},
        {"three sessions, damage inside the middle one",
         kFull | kFormat0,
         {{{{0, true}}, 1000}, {{{12400, true}}, 13400}, {{{20300, true}}, 21000}},
         21000,
         {{16, 998}, {12416, 13398}, {20316, 20998}},
         {{998, 12400}, {13000, 13001}, {13398, 20300}, {20998, 21000}},
         23,
         13000,
         {{998, true}, {12400, false}, {13000, true}}},
        {"mixed mode, a pregap of 225",
         kFull | kFormat0,
         {{{{0, true}, {3000, false}}, 5000}},
         5000,
         {{16, 2775}},
         {{2775, 5000}},
         0,
         0,
         {{2775, true}}},
        {"mixed mode, damage inside the volume",
         kFull | kFormat0,
         {{{{0, true}, {3000, false}}, 5000}},
         5000,
         {{16, 2775}},
         {{1500, 1501}, {2775, 5000}},
         23,
         1500,
         {{1500, true}}},
        {"mixed mode without a descriptor, a pregap of 225",
         kFull | kFormat0,
         {{{{0, true}, {3000, false}}, 5000}},
         5000,
         {},
         {{2775, 5000}},
         23,
         2775,
         {{2775, true}}},
        {"two data tracks of one session, damage at the first one's end",
         kFull | kFormat0,
         {{{{0, true}, {500, true}}, 1000}},
         1000,
         {{16, 1000}},
         {{499, 500}},
         23,
         499,
         {{499, true}}},
        {"enhanced CD: audio, then a data session",
         kFull | kFormat0,
         {{{{0, false}, {3000, false}}, 5000}, {{{16400, true}}, 17400}},
         17400,
         {{16416, 17398}},
         {{0, 16400}, {17398, 17400}},
         0,
         0,
         {{16400, false}, {17398, true}}},
        {"audio CD",
         kFull | kFormat0,
         {{{{0, false}, {4000, false}}, 9000}},
         9000,
         {},
         {{0, 9000}},
         kErrorUnrecognizedMedia,
         0,
         {}},
        {"a TOC shorter than the medium",
         kFull | kFormat0,
         {{{{0, true}}, 800}},
         1000,
         {{16, 1000}},
         {},
         0,
         0,
         {{1000, true}}},
        {"a TOC longer than the medium",
         kFull | kFormat0,
         {{{{0, true}}, 5000000}},
         1000,
         {{16, 1000}},
         {},
         0,
         0,
         {{1000, true}}},
        {"UDF only, written track-at-once",
         kFull | kFormat0 | kNoToc,
         {{{{0, true}}, 1000}},
         1000,
         {},
         {{998, 1000}},
         23,
         998,
         {{998, true}}},
    };
    for (const Row& row : rows) {
        for (int form : {kFull, kFormat0, kNoToc}) {
            if (!(row.forms & form))
                continue;
            SCOPED_TRACE(std::string(row.name) + (form == kFull      ? " (full TOC)"
                                                  : form == kFormat0 ? " (format 0)"
                                                                     : " (no TOC)"));
            ScriptedDiscPlatform platform;
            Script(platform, row.medium);
            platform.lengthInfo = int64_t{row.medium} * kSector;
            std::string label;
            for (const auto& volume : row.volumes) {
                const uint32_t v = volume.second;
                label = "VOL" + std::to_string(volume.first);
                platform.disc.replace(size_t{volume.first} * kSector, 6,
                                      "\x01"
                                      "CD001");
                platform.disc.replace(size_t{volume.first} * kSector + 40, label.size() + 1,
                                      label + " ");
                platform.disc.replace(
                    size_t{volume.first} * kSector + 80, 4,
                    std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)});
            }
            std::vector<std::pair<uint32_t, bool>> tracks;
            for (const Session& session : row.sessions)
                tracks.insert(tracks.end(), session.tracks.begin(), session.tracks.end());
            const uint32_t lastStart = row.sessions.back().tracks.front().first;
            platform.lastSession =
                std::string{0,
                            10,
                            1,
                            char(row.sessions.size()),
                            0,
                            0x14,
                            char(tracks.size() - row.sessions.back().tracks.size() + 1),
                            0} +
                BigEndian(lastStart);
            if (form == kFull)
                platform.tocFull = FullToc(row.sessions);
            if (form == kFormat0)
                platform.tocLba = Toc(tracks, row.sessions.back().leadOut, false);
            platform.unreadable = row.unreadable;
            std::string expected;
            for (const auto& extent : row.image) {
                const size_t from = expected.size();
                expected += extent.second
                                ? platform.disc.substr(from, extent.first * kSector - from)
                                : std::string(extent.first * kSector - from, '\0');
            }
            RipReport report;
            EXPECT_EQ(RipDisc('D', kImage, nullptr, nullptr, platform, &report), row.result);
            EXPECT_EQ(report.ReadFailed, row.result != 0 && row.result != kErrorUnrecognizedMedia);
            EXPECT_EQ(report.FailedSector, row.failed);
            if (row.result == kErrorUnrecognizedMedia) {
                EXPECT_EQ(platform.files.count(kImage), 0u); // nothing created, nothing read
                EXPECT_EQ(platform.IndexOf("CreateDirectory"), -1);
                EXPECT_EQ(platform.sectorReads, 0);
            } else {
                EXPECT_EQ(platform.files[kImage].size(), expected.size());
                EXPECT_TRUE(platform.files[kImage] == expected);
            }
            ExpectReleasedInOrder(platform);
            // The label is the last session's.
            if (!row.volumes.empty() && row.volumes.back().first == lastStart + 16 &&
                form != kNoToc) {
                EXPECT_EQ(Label(platform), label);
            }
        }
    }
}

// A DVD read through a drive that answers only the MSF form, whose lead-out stops at
// 255:59:74 (LBA 1,151,849): the copy runs to the medium's exact length.
TEST(EngineCopy, AnMsfOnlyDvdIsCopiedToItsExactLength) {
    const uint64_t sectors = 2800000;
    for (bool exact : {true, false}) {
        SCOPED_TRACE(exact ? "exact length" : "geometry only");
        ScriptedDiscPlatform platform;
        platform.directories = {"C:\\"};
        platform.mediumSize = sectors * kSector;
        if (exact)
            platform.lengthInfo = static_cast<int64_t>(platform.mediumSize);
        platform.geometry = {int64_t(sectors / 2048), 11, 64, 32, kSector};
        platform.keepImages = false;
        std::string toc = Toc({{0, true}}, 0, true);
        toc.replace(toc.size() - 3, 3, "\xFF\x3B\x4A"); // the lead-out at 255:59:74
        platform.tocMsf = toc;
        RipReport report;
        EXPECT_EQ(RipDisc('D', kImage, nullptr, nullptr, platform, &report), 0u);
        // Without the exact length the geometry's whole cylinders are the end.
        const uint64_t end = exact ? sectors : sectors / 2048 * 2048;
        EXPECT_EQ(report.SectorCount, end);
        EXPECT_EQ(platform.CallsStartingWith("ReadAt").back(),
                  "ReadAt " + std::to_string((end - 1) / kChunk * kChunk * kSector) + " " +
                      std::to_string((end - (end - 1) / kChunk * kChunk) * kSector));
    }
}

// A table of contents the drive garbled lays out nothing: the copy keeps the single track of
// the medium's size. Each answer lies in a heap block of exactly its size, so that a read past
// it shows under the address sanitizer.
TEST(EngineCopy, AGarbledTableOfContentsLeavesTheSingleTrack) {
    const std::string one = Toc({{0, true}}, 900, false);
    const struct {
        const char* name;
        std::string toc;
    } cases[] = {
        {"a length field shorter than the header", std::string("\0\1\1\1", 4)},
        {"a header and no track", Toc({}, 900, false)},
        {"no lead-out", one.substr(0, 12)},
        {"tracks going back", Toc({{500, true}, {0, true}}, 900, false)},
        {"the lead-out before the last track", Toc({{0, true}, {600, true}}, 500, false)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::unique_ptr<uint8_t[]> bytes(new uint8_t[c.toc.size()]);
        std::memcpy(bytes.get(), c.toc.data(), c.toc.size());
        CDiscLayout layout;
        layout.SetSingleTrack(777);
        EXPECT_FALSE(layout.ParseTracks(bytes.get(), uint32_t(c.toc.size()), false, 0));
        EXPECT_EQ(layout.End(), 777u);
    }
}

TEST(EngineCopy, FailedOrShortWriteEndsTheCopyWithAnError) {
    ScriptedDiscPlatform failing;
    Script(failing, 200);
    failing.failWriteAt = kChunk;
    failing.writeError = 112; // ERROR_DISK_FULL
    EXPECT_EQ(RipDisc('D', kImage, nullptr, nullptr, failing), 112u);
    EXPECT_TRUE(failing.files[kImage] == failing.disc.substr(0, kChunk * kSector));
    EXPECT_EQ(failing.sectorReads, 2);

    ScriptedDiscPlatform silent; // a failed write that reports no error is still an error
    Script(silent, 200);
    silent.failWriteAt = kChunk;
    silent.writeError = 0;
    EXPECT_EQ(RipDisc('D', kImage, nullptr, nullptr, silent), kErrorWriteFault);

    ScriptedDiscPlatform shortWrite;
    Script(shortWrite, 200);
    shortWrite.shortWriteAt = 0;
    EXPECT_EQ(RipDisc('D', kImage, nullptr, nullptr, shortWrite), kErrorHandleDiskFull);
    EXPECT_TRUE(shortWrite.files[kImage] == shortWrite.disc.substr(0, kChunk / 2 * kSector));
    EXPECT_LE(shortWrite.sectorReads, 2); // the next chunk may have been read meanwhile
}

TEST(EngineCopy, ExistingImageIsReplaced) {
    ScriptedDiscPlatform platform;
    Script(platform, 3);
    platform.files[kImage] = std::string(10 * kSector, 'x');
    EXPECT_EQ(RipDisc('D', kImage, nullptr, nullptr, platform), 0u);
    EXPECT_TRUE(platform.files[kImage] == platform.disc);
}

TEST(EngineCopy, GeometryFailureReadsNothingAndCreatesNothing) {
    ScriptedDiscPlatform platform;
    Script(platform, 10);
    platform.geometryError = 21; // ERROR_NOT_READY: no disc
    EXPECT_EQ(RipDisc('D', "C:\\new\\disc.iso", kProgressBar, kAbortEvent, platform), 21u);
    EXPECT_EQ(platform.calls,
              (std::vector<std::string>{"OpenDrive \\\\.\\D:", "Lock", "AllowExtendedDasdIo",
                                        "Geometry", "Unlock", "CloseDrive"}));
    EXPECT_TRUE(platform.files.empty());
}

TEST(EngineCopy, RejectedNameCreatesNothingAndReadsNothing) {
    struct {
        const char* path;
        uint32_t result;
    } const cases[] = {
        {"C:\\out\\\\disc.iso", kErrorInvalidName}, // empty component
        {"C:\\o|ut\\disc.iso", kErrorInvalidName},  // forbidden character
        {"C:\\out\\disc>.iso", kErrorInvalidName},  // forbidden character in the file name
        {"C:\\..\\disc.iso", kErrorInvalidName},    // climbs past the drive
        {"C:\\D:\\disc.iso", kErrorInvalidName},    // a second drive
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ScriptedDiscPlatform platform;
        Script(platform, 10);
        EXPECT_EQ(RipDisc('D', c.path, kProgressBar, kAbortEvent, platform), c.result);
        EXPECT_EQ(platform.IndexOf("CreateImage"), -1);
        EXPECT_EQ(platform.IndexOf("CreateDirectory"), -1);
        EXPECT_EQ(platform.sectorReads, 0);
        EXPECT_TRUE(platform.files.empty());
    }
}

TEST(EngineCopy, MissingDirectoryShowsAsTheImageCreationError) {
    ScriptedDiscPlatform platform;
    Script(platform, 10);
    platform.directories.clear(); // not even the drive's root: nothing can be created
    platform.createError = 3;     // ERROR_PATH_NOT_FOUND
    EXPECT_EQ(RipDisc('D', "C:\\out\\disc.iso", nullptr, nullptr, platform), 3u);
    EXPECT_EQ(platform.sectorReads, 0);
}

} // namespace
