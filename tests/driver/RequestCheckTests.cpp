// The stand-in driver's request checks, built natively: which device takes which request, the
// sizes each request needs, and the fields of a mount request.

#include "answer.h"
#include "patch.h"
#include "request.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kUnknownCode = KELMOR_CONTROL_CODE(KELMOR_DEVICE_CD_ROM, 0xCC5, 0);

// A mount request as the control panel builds it: "\??\" and `path`, terminated when shorter
// than 255 units.
std::vector<uint8_t> MountRequest(const std::u16string& path, uint32_t flags = 0) {
    std::vector<uint8_t> bytes(KELMOR_MOUNT_REQUEST_BYTES, 0);
    const std::u16string full = u"\\??\\" + path;
    for (size_t i = 0; i < full.size() && i < KELMOR_PATH_UNITS; ++i) {
        bytes[2 * i] = static_cast<uint8_t>(full[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>(full[i] >> 8);
    }
    const uint16_t length = static_cast<uint16_t>(2 * full.size());
    bytes[510] = static_cast<uint8_t>(length & 0xFF);
    bytes[511] = static_cast<uint8_t>(length >> 8);
    for (int i = 0; i < 4; ++i)
        bytes[512 + i] = static_cast<uint8_t>(flags >> (8 * i));
    return bytes;
}

void SetLength(std::vector<uint8_t>& request, uint16_t length) {
    request[510] = static_cast<uint8_t>(length & 0xFF);
    request[511] = static_cast<uint8_t>(length >> 8);
}

KELMOR_VERDICT Check(KELMOR_TARGET target, uint32_t code, uint32_t input, uint32_t output,
                     KELMOR_CHECKED_REQUEST* request = nullptr) {
    // The input is zero-filled, so a mount request's fields are refused unless the caller
    // builds them (MountRequest).
    std::vector<uint8_t> buffer(std::max(input, output) + 1, 0);
    KELMOR_CHECKED_REQUEST ignored;
    return KelmorCheckRequest(target, code, buffer.data(), input, output,
                              request ? request : &ignored);
}

struct SizeCase {
    const char* what;
    KELMOR_TARGET target;
    uint32_t code;
    uint32_t input;
    uint32_t output;
    KELMOR_VERDICT verdict;
    uint32_t answerBytes;
};

TEST(RequestChecks, SizesOfEachRequestOnItsDevice) {
    const KELMOR_TARGET control = KelmorTargetControl, drive = KelmorTargetDrive;
    const SizeCase cases[] = {
        {"add drive", control, KELMOR_ADD_DRIVE, 0, 2, KelmorAccepted, 2},
        {"add drive, larger answer room", control, KELMOR_ADD_DRIVE, 0, 64, KelmorAccepted, 2},
        {"add drive, one byte of room", control, KELMOR_ADD_DRIVE, 0, 1, KelmorBufferTooSmall, 0},
        {"add drive with input", control, KELMOR_ADD_DRIVE, 1, 2, KelmorInvalidParameter, 0},
        {"query drives", control, KELMOR_QUERY_DRIVES, 0, 54, KelmorAccepted, 54},
        {"query drives, short", control, KELMOR_QUERY_DRIVES, 0, 53, KelmorBufferTooSmall, 0},
        {"query drives, no room", control, KELMOR_QUERY_DRIVES, 0, 0, KelmorBufferTooSmall, 0},
        {"query image", drive, KELMOR_QUERY_IMAGE, 0, 514, KelmorAccepted, 514},
        {"query image, short", drive, KELMOR_QUERY_IMAGE, 0, 513, KelmorBufferTooSmall, 0},
        {"query image with input", drive, KELMOR_QUERY_IMAGE, 4, 514, KelmorInvalidParameter, 0},
        {"remove", drive, KELMOR_REMOVE_DRIVE, 0, 0, KelmorAccepted, 0},
        {"remove with output", drive, KELMOR_REMOVE_DRIVE, 0, 1, KelmorInvalidParameter, 0},
        {"remove with input", drive, KELMOR_REMOVE_DRIVE, 1, 0, KelmorInvalidParameter, 0},
        {"mount, short", drive, KELMOR_MOUNT_IMAGE, 515, 0, KelmorInvalidParameter, 0},
        {"mount, long", drive, KELMOR_MOUNT_IMAGE, 517, 0, KelmorInvalidParameter, 0},
        {"mount, none", drive, KELMOR_MOUNT_IMAGE, 0, 0, KelmorInvalidParameter, 0},
        {"eject, any buffers", drive, KELMOR_CDROM_EJECT_MEDIA, 7, 9, KelmorAccepted, 0},
        {"load media", drive, KELMOR_STORAGE_LOAD_MEDIA, 0, 0, KelmorAccepted, 0},
        {"geometry", drive, KELMOR_CDROM_GET_DRIVE_GEOMETRY, 0, 24, KelmorAccepted, 24},
        {"geometry, short", drive, KELMOR_DISK_GET_DRIVE_GEOMETRY, 0, 23, KelmorBufferTooSmall, 0},
        {"media removal", drive, KELMOR_CDROM_MEDIA_REMOVAL, 1, 0, KelmorAccepted, 0},
        {"media removal, no input", drive, KELMOR_STORAGE_MEDIA_REMOVAL, 0, 0,
         KelmorInvalidParameter, 0},
        {"check verify, no answer", drive, KELMOR_CDROM_CHECK_VERIFY, 0, 0, KelmorAccepted, 0},
        {"check verify, answer", drive, KELMOR_STORAGE_CHECK_VERIFY2, 0, 4, KelmorAccepted, 4},
        {"check verify, short", drive, KELMOR_DISK_CHECK_VERIFY, 0, 3, KelmorBufferTooSmall, 0},
        {"length", drive, KELMOR_DISK_GET_LENGTH_INFO, 0, 8, KelmorAccepted, 8},
        {"length, short", drive, KELMOR_DISK_GET_LENGTH_INFO, 0, 7, KelmorBufferTooSmall, 0},
        {"geometry ex", drive, KELMOR_CDROM_GET_DRIVE_GEOMETRY_EX, 0, 40, KelmorAccepted, 32},
        {"geometry ex, short", drive, KELMOR_DISK_GET_DRIVE_GEOMETRY_EX, 0, 31,
         KelmorBufferTooSmall, 0},
        {"read TOC", drive, KELMOR_CDROM_READ_TOC, 0, 804, KelmorAccepted, 20},
        {"read TOC, header only", drive, KELMOR_CDROM_READ_TOC, 0, 4, KelmorAccepted, 4},
        {"read TOC, no header", drive, KELMOR_CDROM_READ_TOC, 0, 3, KelmorBufferTooSmall, 0},
        {"read TOC ex", drive, KELMOR_CDROM_READ_TOC_EX, 4, 804, KelmorAccepted, 20},
        {"read TOC ex, length only", drive, KELMOR_CDROM_READ_TOC_EX, 4, 2, KelmorAccepted, 2},
        {"read TOC ex, no room", drive, KELMOR_CDROM_READ_TOC_EX, 4, 1, KelmorBufferTooSmall, 0},
        {"read TOC ex, short input", drive, KELMOR_CDROM_READ_TOC_EX, 3, 804,
         KelmorInvalidParameter, 0},
        {"last session", drive, KELMOR_CDROM_GET_LAST_SESSION, 0, 12, KelmorAccepted, 12},
        {"last session, short", drive, KELMOR_CDROM_GET_LAST_SESSION, 0, 11, KelmorBufferTooSmall,
         0},
        {"extended DASD", drive, KELMOR_FSCTL_ALLOW_EXTENDED_DASD_IO, 0, 0, KelmorAccepted, 0},
        {"is writable", drive, KELMOR_DISK_IS_WRITABLE, 0, 0, KelmorAccepted, 0},
        {"disk eject", drive, KELMOR_DISK_EJECT_MEDIA, 0, 0, KelmorAccepted, 0},
        {"disk media removal", drive, KELMOR_DISK_MEDIA_REMOVAL, 1, 0, KelmorAccepted, 0},
        {"media types", drive, KELMOR_STORAGE_GET_MEDIA_TYPES_EX, 0, 64, KelmorAccepted, 40},
        {"media types, short", drive, KELMOR_STORAGE_GET_MEDIA_TYPES_EX, 0, 39,
         KelmorBufferTooSmall, 0},
        {"hotplug", drive, KELMOR_STORAGE_GET_HOTPLUG_INFO, 0, 8, KelmorAccepted, 8},
        {"hotplug, short", drive, KELMOR_STORAGE_GET_HOTPLUG_INFO, 0, 7, KelmorBufferTooSmall, 0},
        {"device number", drive, KELMOR_STORAGE_GET_DEVICE_NUMBER, 0, 12, KelmorAccepted, 12},
        {"device number, short", drive, KELMOR_STORAGE_GET_DEVICE_NUMBER, 0, 11,
         KelmorBufferTooSmall, 0},
        {"read capacity", drive, KELMOR_STORAGE_READ_CAPACITY, 0, 32, KelmorAccepted, 32},
        {"read capacity, short", drive, KELMOR_STORAGE_READ_CAPACITY, 0, 31, KelmorBufferTooSmall,
         0},
        {"MCN control", drive, KELMOR_STORAGE_MCN_CONTROL, 1, 0, KelmorAccepted, 0},
        {"MCN control, no input", drive, KELMOR_STORAGE_MCN_CONTROL, 0, 0, KelmorLengthMismatch, 0},
        // StorageDeviceProperty (the zero-filled query), standard query.
        {"device property", drive, KELMOR_STORAGE_QUERY_PROPERTY, 12, 1024, KelmorAccepted, 66},
        {"device property, header", drive, KELMOR_STORAGE_QUERY_PROPERTY, 12, 8, KelmorAccepted, 8},
        {"device property, no room", drive, KELMOR_STORAGE_QUERY_PROPERTY, 12, 0, KelmorAccepted,
         0},
        {"device property, 7 bytes", drive, KELMOR_STORAGE_QUERY_PROPERTY, 12, 7,
         KelmorBufferTooSmall, 0},
        {"device property, short query", drive, KELMOR_STORAGE_QUERY_PROPERTY, 11, 1024,
         KelmorLengthMismatch, 0},
        // Each device takes its own requests only.
        {"add drive on a drive", drive, KELMOR_ADD_DRIVE, 0, 2, KelmorUnknownRequest, 0},
        {"query drives on a drive", drive, KELMOR_QUERY_DRIVES, 0, 54, KelmorUnknownRequest, 0},
        {"query image on control", control, KELMOR_QUERY_IMAGE, 0, 514, KelmorUnknownRequest, 0},
        {"eject on control", control, KELMOR_CDROM_EJECT_MEDIA, 0, 0, KelmorUnknownRequest, 0},
        {"unknown function", drive, kUnknownCode, 0, 0, KelmorUnknownRequest, 0},
        // The same function with another transfer method is another request.
        {"query image, direct I/O", drive, KELMOR_QUERY_IMAGE | 1, 0, 514, KelmorUnknownRequest, 0},
        {"query drives, neither I/O", control, KELMOR_QUERY_DRIVES | 3, 0, 54, KelmorUnknownRequest,
         0},
        {"unknown device", static_cast<KELMOR_TARGET>(0), KELMOR_ADD_DRIVE, 0, 2,
         KelmorUnknownRequest, 0},
    };
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(c.what);
        KELMOR_CHECKED_REQUEST request;
        EXPECT_EQ(Check(c.target, c.code, c.input, c.output, &request), c.verdict);
        EXPECT_EQ(request.AnswerBytes, c.answerBytes);
        if (c.verdict != KelmorAccepted) {
            EXPECT_EQ(request.Action, KelmorActionNone);
        }
        // Only what changes which drives exist or what they hold for every user needs
        // SeManageVolumePrivilege; queries, eject, load and locks keep a CD-ROM drive's rule.
        const bool privileged = c.code == KELMOR_ADD_DRIVE || c.code == KELMOR_REMOVE_DRIVE;
        EXPECT_EQ(KelmorActionNeedsPrivilege(request.Action) != 0,
                  privileged && c.verdict == KelmorAccepted);
        EXPECT_LE(request.AnswerBytes, c.output);
    }
}

// READ_TOC_EX names its format and form in its first byte: the tracks (0) in LBA or MSF, the
// last session (1, always LBA); the other formats are refused as requests the drive does not
// take, and reserved bits or bytes as wrong input.
TEST(RequestChecks, ReadTocExFormatsAndTheirAnswers) {
    struct {
        uint8_t input[4];
        KELMOR_VERDICT verdict;
        KELMOR_ACTION action;
        int msf;
    } const cases[] = {
        {{0x00, 1, 0, 0}, KelmorAccepted, KelmorActionReadToc, 0},
        {{0x80, 0, 0, 0}, KelmorAccepted, KelmorActionReadToc, 1},
        {{0x01, 0, 0, 0}, KelmorAccepted, KelmorActionLastSession, 0},
        {{0x81, 0, 0, 0}, KelmorAccepted, KelmorActionLastSession, 0},
        {{0x82, 1, 0, 0}, KelmorAccepted, KelmorActionFullToc, 1},
        {{0x02, 1, 0, 0}, KelmorInvalidParameter, KelmorActionNone, 0},
        {{0x03, 0, 0, 0}, KelmorUnknownRequest, KelmorActionNone, 0},
        {{0x05, 0, 0, 0}, KelmorUnknownRequest, KelmorActionNone, 0},
        {{0x10, 0, 0, 0}, KelmorInvalidParameter, KelmorActionNone, 0},
        {{0x00, 0, 1, 0}, KelmorInvalidParameter, KelmorActionNone, 0},
        {{0x00, 0, 0, 1}, KelmorInvalidParameter, KelmorActionNone, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.input[0]) * 1000 + c.input[2] * 10 + c.input[3]);
        uint8_t buffer[804] = {};
        std::memcpy(buffer, c.input, 4);
        KELMOR_CHECKED_REQUEST request;
        EXPECT_EQ(KelmorCheckRequest(KelmorTargetDrive, KELMOR_CDROM_READ_TOC_EX, buffer, 4, 804,
                                     &request),
                  c.verdict);
        EXPECT_EQ(request.Action, c.action);
        EXPECT_EQ(request.TocMsf, c.msf);
    }

    // The answers of a disc of 333,000 sectors (74 minutes): every length covers the header and
    // every descriptor; the lead-out follows the last sector, in MSF 150 sectors later.
    uint8_t toc[KELMOR_TOC_BYTES];
    KelmorBuildToc(333000, 0, toc);
    const uint8_t lba[] = {0, 18, 1, 1,    0,    0x14, 1, 0,    0,    0,
                           0, 0,  0, 0x14, 0xAA, 0,    0, 0x05, 0x14, 0xC8};
    EXPECT_EQ(std::vector<uint8_t>(toc, toc + sizeof(toc)), std::vector<uint8_t>(lba, lba + 20));
    KelmorBuildToc(333000, 1, toc);
    const uint8_t msf[] = {0, 18, 1, 1, 0, 0x14, 1, 0, 0, 0, 2, 0, 0, 0x14, 0xAA, 0, 0, 74, 2, 0};
    EXPECT_EQ(std::vector<uint8_t>(toc, toc + sizeof(toc)), std::vector<uint8_t>(msf, msf + 20));
    uint8_t session[KELMOR_SESSION_BYTES];
    KelmorBuildLastSession(session);
    const uint8_t last[] = {0, 10, 1, 1, 0, 0x14, 1, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(session, session + 12), std::vector<uint8_t>(last, last + 12));
    // The full TOC: A0 (first track 1, disc type 0), A1 (last track 1), A2 (the lead-out) and
    // track 1 at 00:02:00, all of session 1.
    uint8_t full[KELMOR_FULL_TOC_BYTES];
    KelmorBuildFullToc(333000, full);
    const uint8_t points[] = {0,    46, 1,    1, 1, 0x14, 0,    0xA0, 0, 0, 0, 0,    1, 0,    0, 1,
                              0x14, 0,  0xA1, 0, 0, 0,    0,    1,    0, 0, 1, 0x14, 0, 0xA2, 0, 0,
                              0,    0,  74,   2, 0, 1,    0x14, 0,    1, 0, 0, 0,    0, 0,    2, 0};
    EXPECT_EQ(std::vector<uint8_t>(full, full + 48), std::vector<uint8_t>(points, points + 48));
    EXPECT_EQ(KelmorDiscSectors(0), 0u);
    EXPECT_EQ(KelmorDiscSectors(2049), 2u);
}

// The storage answers as the CD-ROM class driver gives them, on a disc of 4,097 sectors (two
// cylinders and a sector); the property query's other properties and queries.
TEST(RequestChecks, StorageAnswers) {
    auto u32 = [](const uint8_t* at) {
        return at[0] | at[1] << 8 | at[2] << 16 | uint32_t(at[3]) << 24;
    };
    uint8_t types[40];
    KelmorBuildMediaTypes(4097, 1, types);
    EXPECT_EQ(std::vector<uint32_t>({u32(types), u32(types + 4), u32(types + 8), u32(types + 16),
                                     u32(types + 28), u32(types + 32), u32(types + 36)}),
              std::vector<uint32_t>({2, 1, 2, 0x33, 2048, 1, 0x80000004u}));
    KelmorBuildMediaTypes(0, 0, types);
    EXPECT_EQ(u32(types + 36), 4u) << "no medium, not mounted";
    uint8_t capacity[32];
    KelmorBuildReadCapacity(4097, capacity);
    EXPECT_EQ(std::vector<uint32_t>({u32(capacity), u32(capacity + 4), u32(capacity + 8),
                                     u32(capacity + 16), u32(capacity + 24)}),
              std::vector<uint32_t>({32, 32, 2048, 4097, 4097 * 2048}));
    uint8_t number[12], hotplug[8];
    KelmorBuildDeviceNumber(1003, number);
    EXPECT_EQ(std::vector<uint32_t>({u32(number), u32(number + 4), u32(number + 8)}),
              std::vector<uint32_t>({2, 1003, 0xFFFFFFFFu}));
    KelmorBuildHotplugInfo(hotplug);
    EXPECT_EQ(std::vector<uint8_t>(hotplug, hotplug + 8),
              std::vector<uint8_t>({8, 0, 0, 0, 1, 0, 0, 0}));
    // The descriptor whole, and cut: a string that does not fit has no offset.
    uint8_t whole[66], cut[50] = {};
    KelmorBuildDeviceDescriptor(66, whole);
    EXPECT_EQ(
        std::vector<uint32_t>({u32(whole), u32(whole + 4), whole[8], whole[10], u32(whole + 12),
                               u32(whole + 16), u32(whole + 20), u32(whole + 24)}),
        std::vector<uint32_t>({40, 66, 5, 1, 40, 47, 62, 0}));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(whole) + 47), "VIRTUAL CD-ROM");
    KelmorBuildDeviceDescriptor(50, cut);
    EXPECT_EQ(std::vector<uint32_t>({u32(cut + 4), u32(cut + 12), u32(cut + 16), u32(cut + 20)}),
              std::vector<uint32_t>({66, 40, 0, 0}));
    for (const uint32_t query : {0x00000001u, 0x00000002u}) {
        uint8_t input[12] = {};
        std::memcpy(input, &query, 4); // another property, or a standard query of the adapter
        KELMOR_CHECKED_REQUEST request;
        EXPECT_EQ(KelmorCheckRequest(KelmorTargetDrive, KELMOR_STORAGE_QUERY_PROPERTY, input, 12,
                                     12, &request),
                  KelmorUnknownRequest);
    }
    const uint8_t exists[12] = {0, 0, 0, 0, 1};
    KELMOR_CHECKED_REQUEST request;
    EXPECT_EQ(KelmorCheckRequest(KelmorTargetDrive, KELMOR_STORAGE_QUERY_PROPERTY, exists, 12, 66,
                                 &request),
              KelmorAccepted);
    EXPECT_EQ(request.AnswerBytes, 0u);
}

// What the mount flags suppress, found on crafted discs: the descriptors from sector 16 (type,
// "CD001", version 1; Joliet escapes at 88), the recognition sequence, and anchors at 256,
// N-257 and N-1.
TEST(RequestChecks, MountFlagsFindWhatTheySuppress) {
    struct Disc {
        std::vector<std::vector<uint8_t>> sectors;
        static int Read(void* context, uint32_t sector, uint8_t* buffer) {
            const auto& disc = *static_cast<Disc*>(context);
            std::memset(buffer, 0, 2048);
            if (sector < disc.sectors.size() && !disc.sectors[sector].empty())
                std::memcpy(buffer, disc.sectors[sector].data(), 2048);
            return 1;
        }
        void Descriptor(uint32_t at, uint8_t type, const char* id, const char* escapes = "") {
            std::vector<uint8_t>& s = Sector(at);
            s[0] = type;
            std::memcpy(s.data() + 1, id, 5);
            s[6] = 1;
            std::memcpy(s.data() + 88, escapes, std::strlen(escapes));
        }
        void Anchor(uint32_t at, uint32_t location, int checksumError = 0) {
            std::vector<uint8_t>& s = Sector(at);
            s[0] = 2;
            for (int i = 0; i < 4; ++i)
                s[12 + i] = static_cast<uint8_t>(location >> (8 * i));
            uint8_t sum = 0;
            for (int i = 0; i < 16; ++i)
                sum = static_cast<uint8_t>(sum + (i == 4 ? 0 : s[i]));
            s[4] = static_cast<uint8_t>(sum + checksumError);
        }
        std::vector<uint8_t>& Sector(uint32_t at) {
            if (sectors.size() <= at)
                sectors.resize(at + 1);
            sectors[at].resize(2048);
            return sectors[at];
        }
    };
    auto bridge = [](uint32_t length, const char* nsr) {
        Disc d;
        d.Descriptor(16, 1, "CD001");
        d.Descriptor(17, 2, "CD001", "%/E");
        d.Descriptor(18, 2, "CD001", ""); // a supplementary descriptor that is not Joliet
        d.Descriptor(19, 2, "CD001", "%/@");
        d.Descriptor(20, 255, "CD001");
        d.Descriptor(21, 0, "BEA01");
        d.Descriptor(22, 0, nsr);
        d.Descriptor(23, 0, "TEA01");
        d.Anchor(256, 256);
        d.Sector(length - 1);
        return d;
    };
    Disc plain = bridge(1000, "NSR02"), nsr3 = bridge(600, "NSR03"), late = bridge(300, "NSR02"),
         wrong = bridge(1000, "NSR02"), noUdf = bridge(1000, "BEA01");
    plain.Anchor(743, 743);
    plain.Anchor(999, 999);
    nsr3.Anchor(599, 599);
    late.Descriptor(19, 255, "CD001"); // the terminator comes before the second Joliet one
    late.Descriptor(20, 2, "CD001", "%/C");
    wrong.Anchor(743, 742);    // not where it says it is
    wrong.Anchor(999, 999, 1); // a wrong checksum
    Disc random, small;
    random.Sector(299)[5] = 7;
    small.Descriptor(16, 0, "BEA01"); // UDF alone, on a disc too short for an anchor
    small.Descriptor(17, 0, "NSR03");
    small.Sector(199);
    struct {
        const char* what;
        Disc* disc;
        uint32_t flags;
        std::vector<uint32_t> patched; // sector * 1000 + offset of each patch
    } const cases[] = {
        {"no flags", &plain, 0, {}},
        {"Joliet", &plain, 2, {17088, 19088}},
        {"UDF", &plain, 1, {22001, 256000, 743000, 999000}},
        {"both", &plain, 3, {17088, 19088, 22001, 256000, 743000, 999000}},
        {"NSR03, N-257 is 256", &nsr3, 1, {22001, 256000, 599000}},
        {"terminator before a Joliet descriptor", &late, 3, {17088, 22001, 256000}},
        {"anchors misplaced or mis-summed", &wrong, 1, {22001, 256000}},
        {"no NSR: no UDF volume", &noUdf, 1, {}},
        {"random bytes", &random, 3, {}},
        {"200 sectors, UDF alone", &small, 3, {17001}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        KELMOR_PATCHES patches;
        uint8_t buffer[2048];
        // A disc shorter than 257 sectors (late: 300) has its anchor at 256 only.
        const uint64_t length = c.disc->sectors.size();
        KelmorFindPatches(c.flags, length, Disc::Read, c.disc, buffer, &patches);
        std::vector<uint32_t> found;
        for (uint32_t i = 0; i < patches.Count; ++i)
            found.push_back(patches.Patch[i].Sector * 1000 + patches.Patch[i].Offset);
        EXPECT_EQ(found, c.patched);
    }

    // Applied to a read that starts inside the NSR descriptor's sector and spans the next ones,
    // and to a read that ends in the middle of the patched identifier.
    KELMOR_PATCHES patches;
    uint8_t buffer[2048];
    KelmorFindPatches(3, plain.sectors.size(), Disc::Read, &plain, buffer, &patches);
    std::vector<uint8_t> span(3 * 2048 - 100, 0xEE);
    KelmorApplyPatches(&patches, 21 * 2048 + 100, static_cast<uint32_t>(span.size()), span.data());
    EXPECT_EQ(std::string(span.begin() + 2048 - 100 + 1, span.begin() + 2048 - 100 + 6), "NSR00");
    EXPECT_EQ(span[2048 - 100], 0xEE);
    std::vector<uint8_t> head(3, 0xEE);
    KelmorApplyPatches(&patches, 22 * 2048, 3, head.data());
    EXPECT_EQ(head, std::vector<uint8_t>({0xEE, 'N', 'S'}));
}

// A persistent record may name only a file on a drive letter.
// Which paths a persistent record may name, and which drive letter a path starts with (a mount
// of an image on one of the driver's own drives is refused by it).
TEST(RequestChecks, RecordedImagesAreFilesOnADriveLetter) {
    struct {
        std::u16string path;
        bool local;
        char16_t letter;
    } const cases[] = {
        {u"\\??\\C:\\disc.iso", true, u'C'},
        {u"\\??\\z:\\a", true, u'Z'},
        {u"\\??\\C:\\", false, u'C'},
        {u"\\??\\e:", false, u'E'},
        {u"\\??\\C:disc.iso", false, 0},
        {u"\\??\\UNC\\server\\share\\disc.iso", false, 0},
        {u"\\??\\PhysicalDrive0", false, 0},
        {u"\\Device\\HarddiskVolume1\\disc.iso", false, 0},
        {u"\\??\\1:\\disc.iso", false, 0},
        {u"C:\\disc.iso", false, 0},
        {u"\\DosDevices\\f:\\disc.iso", false, u'F'},
        {u"\\GLOBAL??\\G:", false, u'G'},
        {u"\\??\\", false, 0},
        {u"\\??\\E", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
        const std::vector<uint16_t> units(c.path.begin(), c.path.end());
        const uint16_t count = static_cast<uint16_t>(units.size());
        EXPECT_EQ(KelmorIsLocalFilePath(units.data(), count) != 0, c.local);
        EXPECT_EQ(KelmorPathDriveLetter(units.data(), count), c.letter);
    }
}

TEST(RequestChecks, NullBufferWithASizeIsRefused) {
    KELMOR_CHECKED_REQUEST request;
    EXPECT_EQ(
        KelmorCheckRequest(KelmorTargetControl, KELMOR_QUERY_DRIVES, nullptr, 0, 54, &request),
        KelmorInvalidParameter);
    EXPECT_EQ(KelmorCheckRequest(KelmorTargetDrive, KELMOR_MOUNT_IMAGE, nullptr, 516, 0, &request),
              KelmorInvalidParameter);
    EXPECT_EQ(
        KelmorCheckRequest(KelmorTargetDrive, KELMOR_CDROM_MEDIA_REMOVAL, nullptr, 1, 0, &request),
        KelmorInvalidParameter);
    // No buffers at all is how the requests without any are sent.
    EXPECT_EQ(KelmorCheckRequest(KelmorTargetDrive, KELMOR_REMOVE_DRIVE, nullptr, 0, 0, &request),
              KelmorAccepted);
    EXPECT_EQ(request.Action, KelmorActionRemoveDrive);
}

TEST(RequestChecks, MountRequestFields) {
    struct Case {
        const char* what;
        void (*spoil)(std::vector<uint8_t>&);
        bool accepted;
    };
    const Case cases[] = {
        {"as the panel builds it", [](std::vector<uint8_t>&) {}, true},
        {"odd length", [](std::vector<uint8_t>& r) { SetLength(r, 2 * 12 - 1); }, false},
        {"zero length", [](std::vector<uint8_t>& r) { SetLength(r, 0); }, false},
        {"prefix alone", [](std::vector<uint8_t>& r) { SetLength(r, 8); }, false},
        {"length past the path field", [](std::vector<uint8_t>& r) { SetLength(r, 512); }, false},
        {"no terminator", [](std::vector<uint8_t>& r) { SetLength(r, 2 * 11); }, false},
        {"NUL inside the path", [](std::vector<uint8_t>& r) { r[2 * 6] = r[2 * 6 + 1] = 0; },
         false},
        {"no prefix", [](std::vector<uint8_t>& r) { r[2] = 'X'; }, false},
        {"unknown flag", [](std::vector<uint8_t>& r) { r[512] = 0x4; }, false},
        {"high flag", [](std::vector<uint8_t>& r) { r[515] = 0x80; }, false},
        {"both known flags", [](std::vector<uint8_t>& r) { r[512] = 0x3; }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes = MountRequest(u"C:\\a\\b.iso"); // 4 + 10 = 14 units
        c.spoil(bytes);
        KELMOR_CHECKED_REQUEST request;
        const KELMOR_VERDICT verdict = KelmorCheckRequest(KelmorTargetDrive, KELMOR_MOUNT_IMAGE,
                                                          bytes.data(), 516, 0, &request);
        EXPECT_EQ(verdict, c.accepted ? KelmorAccepted : KelmorInvalidParameter);
        if (c.accepted) {
            EXPECT_EQ(request.Action, KelmorActionMountImage);
            EXPECT_TRUE(KelmorActionNeedsPrivilege(request.Action));
            EXPECT_EQ(request.ImagePath, bytes.data());
            EXPECT_EQ(request.ImagePathUnits, 14u);
            EXPECT_EQ(request.Flags, static_cast<uint32_t>(bytes[512]));
        }
    }
}

TEST(RequestChecks, MountPathOfFullLengthNeedsNoTerminator) {
    // 251 characters after the prefix fill all 255 units; the length field follows at once.
    std::vector<uint8_t> bytes = MountRequest(std::u16string(251, u'n'), 0x1);
    KELMOR_CHECKED_REQUEST request;
    ASSERT_EQ(
        KelmorCheckRequest(KelmorTargetDrive, KELMOR_MOUNT_IMAGE, bytes.data(), 516, 0, &request),
        KelmorAccepted);
    EXPECT_EQ(request.ImagePathUnits, 255u);
    EXPECT_EQ(request.Flags, 0x1u);
    // 250 characters leave one unit, which must be the terminator.
    bytes = MountRequest(std::u16string(250, u'n'));
    bytes[2 * 254] = 'x';
    EXPECT_EQ(
        KelmorCheckRequest(KelmorTargetDrive, KELMOR_MOUNT_IMAGE, bytes.data(), 516, 0, &request),
        KelmorInvalidParameter);
}

TEST(RequestChecks, MediaRemovalReadsItsOneByte) {
    for (uint8_t value : {0, 1, 0xFF}) {
        SCOPED_TRACE(value);
        uint8_t input[4] = {value, 0xEE, 0xEE, 0xEE};
        KELMOR_CHECKED_REQUEST request;
        ASSERT_EQ(KelmorCheckRequest(KelmorTargetDrive, KELMOR_CDROM_MEDIA_REMOVAL, input, 1, 0,
                                     &request),
                  KelmorAccepted);
        EXPECT_EQ(request.Action, KelmorActionMediaRemoval);
        EXPECT_EQ(request.Prevent != 0, value != 0);
    }
}

TEST(RequestChecks, CodesFollowTheControlCodeRule) {
    EXPECT_EQ(KELMOR_ADD_DRIVE, 0x23300u);
    EXPECT_EQ(KELMOR_REMOVE_DRIVE, 0x23304u);
    EXPECT_EQ(KELMOR_MOUNT_IMAGE, 0x23308u);
    EXPECT_EQ(KELMOR_QUERY_DRIVES, 0x2330Cu);
    EXPECT_EQ(KELMOR_QUERY_IMAGE, 0x23310u);
    EXPECT_EQ(KELMOR_CDROM_EJECT_MEDIA, 0x24808u);
    EXPECT_EQ(KELMOR_STORAGE_LOAD_MEDIA, 0x2D480Cu);
    EXPECT_EQ(KELMOR_CDROM_MEDIA_REMOVAL, 0x24804u);
    EXPECT_EQ(KELMOR_CDROM_GET_DRIVE_GEOMETRY, 0x2404Cu);
}

} // namespace
