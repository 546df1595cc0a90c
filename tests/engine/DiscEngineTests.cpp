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
        EXPECT_EQ(platform.CallsStartingWith("Read"), std::vector<std::string>{"Read 2048"});
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
    // 256 KiB at a time, never past the end.
    EXPECT_EQ(platform.CallsStartingWith("Read "),
              (std::vector<std::string>{"Read 262144", "Read 147456"}));
    // Directories first, then the file under the name as given.
    EXPECT_EQ(
        platform.CallsStartingWith("CreateDirectory"),
        (std::vector<std::string>{"CreateDirectory C:\\out", "CreateDirectory C:\\out\\sub"}));
    EXPECT_LT(platform.IndexOf("CreateDirectory C:\\out\\sub"), platform.IndexOf("CreateImage"));
    EXPECT_EQ(platform.CallsStartingWith("CreateImage"),
              std::vector<std::string>{"CreateImage C:\\out\\sub\\disc.iso"});
    // The buffer is taken once, before the path is looked at.
    EXPECT_EQ(platform.CallsStartingWith("Allocate"), std::vector<std::string>{"Allocate 262144"});
    EXPECT_LT(platform.IndexOf("Allocate"), platform.IndexOf("GetFileAttributes"));
    // Sector i is read from byte i x 2048 with a 64-bit position.
    EXPECT_EQ(platform.CallsStartingWith("SetPosition"),
              (std::vector<std::string>{"SetPosition 0", "SetPosition 262144"}));
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
    EXPECT_EQ(platform.calls[platform.IndexOf("Progress 0") - 1], "Write 262144");
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

TEST(EngineCopy, SectorCountOfZeroGivesAnEmptyImage) {
    ScriptedDiscPlatform platform;
    Script(platform, 10);
    platform.geometry.Cylinders = 0;
    EXPECT_EQ(RipDisc('D', kImage, kProgressBar, kAbortEvent, platform), 0u);
    ASSERT_EQ(platform.files.count(kImage), 1u);
    EXPECT_EQ(platform.files[kImage], "");
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
    EXPECT_EQ(RipDisc('D', kImage, nullptr, nullptr, wrapped), 0u);
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
    std::vector<std::string> positions = platform.CallsStartingWith("SetPosition");
    ASSERT_EQ(positions.size(), 4098u);
    EXPECT_EQ(positions[4095], "SetPosition 4293918720");
    EXPECT_EQ(positions[4096], "SetPosition 4294967296");
    EXPECT_EQ(positions[4097], "SetPosition 4296015872");
}

TEST(EngineCopy, PositionAnsweringAllOnesWithoutAnErrorGoesOn) {
    // SetFilePointer's failure answer is also the low part of some valid positions; only the
    // error code tells a failure.
    ScriptedDiscPlatform platform;
    Script(platform, 200);
    platform.ambiguousPositionAt = kChunk;
    EXPECT_EQ(RipDisc('D', kImage, nullptr, nullptr, platform), 0u);
    EXPECT_TRUE(platform.files[kImage] == platform.disc);

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
        {2047, false, false, 0},
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
        EXPECT_EQ(RipDisc('D', kImage, nullptr, nullptr, platform, &report), 0u);
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
    EXPECT_EQ(large.CallsStartingWith("Read ").back(), "Read 10240");
    EXPECT_EQ(large.CallsStartingWith("SetPosition").back(),
              "SetPosition " + std::to_string((sectors - 5) * kSector));
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
        {"last sector", 99, 23, 23, 1 + 99 + 1 + 1}, // and the volume descriptor: no run-out
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
        std::vector<std::string> reads = platform.CallsStartingWith("Read ");
        ASSERT_EQ(reads.size(), c.reads);
        EXPECT_EQ(reads.back(), "Read 2048");
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
    EXPECT_EQ(platform.CallsStartingWith("SetPosition")[1],
              "SetPosition " + std::to_string(3 * kSector + 100));
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

// Discs of several sessions or with audio tracks: the copy runs to the end of the last data
// track, and what no drive reads as data (audio, the gap between sessions) is zeros.
TEST(EngineCopy, SessionGapsAndAudioTracksAreZerosAndTheRestIsCopied) {
    struct {
        const char* name;
        std::vector<std::pair<uint32_t, bool>> tracks;
        uint32_t leadOut;
        bool twoSessions;
        std::vector<std::pair<uint64_t, uint64_t>> unreadable;
        uint32_t result;
        std::vector<std::pair<uint64_t, uint64_t>> zeros; // in the image
        uint64_t end;
    } const cases[] = {
        {"two sessions",
         {{0, true}, {20000, true}},
         21000,
         true,
         {{8600, 20000}},
         0,
         {{8600, 20000}},
         21000},
        {"damage inside the first session",
         {{0, true}, {20000, true}},
         21000,
         true,
         {{500, 501}, {8600, 20000}},
         23,
         {},
         500},
        {"audio then data", {{0, false}, {300, true}}, 900, false, {{0, 300}}, 0, {{0, 300}}, 900},
        {"data then audio",
         {{0, true}, {2000, false}},
         5000,
         false,
         {{1850, 5000}},
         0,
         {{1850, 2000}},
         2000},
        {"audio only", {{0, false}}, 900, false, {{0, 900}}, 0, {}, 0},
    };
    for (bool msf : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (msf ? " (MSF)" : ""));
            ScriptedDiscPlatform platform;
            Script(platform, c.leadOut);
            platform.lengthInfo = int64_t{c.leadOut} * kSector;
            (msf ? platform.tocMsf : platform.tocLba) = Toc(c.tracks, c.leadOut, msf);
            if (c.twoSessions) {
                platform.lastSession =
                    std::string{0, 10, 1, 2, 0, 0x14, 2, 0} + BigEndian(c.tracks.back().first);
            }
            platform.unreadable = c.unreadable;
            std::string expected = platform.disc.substr(0, c.end * kSector);
            for (const auto& zero : c.zeros)
                expected.replace(zero.first * kSector, (zero.second - zero.first) * kSector,
                                 (zero.second - zero.first) * kSector, '\0');
            EXPECT_EQ(RipDisc('D', kImage, nullptr, nullptr, platform), c.result);
            EXPECT_TRUE(platform.files[kImage] == expected);
        }
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
        EXPECT_FALSE(layout.ParseTracks(bytes.get(), uint32_t(c.toc.size()), false, false, 0));
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
    EXPECT_EQ(shortWrite.sectorReads, 1);
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
