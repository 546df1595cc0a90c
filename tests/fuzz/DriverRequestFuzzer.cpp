// libFuzzer target: arbitrary requests (device, code, sizes and input bytes) through the stand-in
// driver's request checks. A request is accepted exactly when the protocol, restated here on
// its own, allows it; an accepted one says no more than its output can hold and points only into
// its input; and the checks read nothing past the input (AddressSanitizer watches the heap copy,
// which is exactly as long as the input).
//
// Input layout: byte 0 chooses the device (bits 0-1: 1 control, 2 or 3 drive, 0 neither), a
// null buffer (bit 2) and a large output (bit 3: the output size is shifted left by 8); byte 1
// picks a known code when below its count, else bytes 2-5 are the code; bytes 6-7 and 8-9 are
// the input and output sizes (little-endian); the rest is the input, zero-padded to its size.
#include "request.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

const uint32_t kCodes[] = {
    KELMOR_ADD_DRIVE,
    KELMOR_REMOVE_DRIVE,
    KELMOR_MOUNT_IMAGE,
    KELMOR_QUERY_DRIVES,
    KELMOR_QUERY_IMAGE,
    KELMOR_CDROM_CHECK_VERIFY,
    KELMOR_CDROM_MEDIA_REMOVAL,
    KELMOR_CDROM_EJECT_MEDIA,
    KELMOR_CDROM_LOAD_MEDIA,
    KELMOR_CDROM_GET_DRIVE_GEOMETRY,
    KELMOR_STORAGE_CHECK_VERIFY,
    KELMOR_STORAGE_CHECK_VERIFY2,
    KELMOR_STORAGE_MEDIA_REMOVAL,
    KELMOR_STORAGE_EJECT_MEDIA,
    KELMOR_STORAGE_LOAD_MEDIA,
    KELMOR_STORAGE_LOAD_MEDIA2,
    KELMOR_DISK_GET_DRIVE_GEOMETRY,
    KELMOR_DISK_CHECK_VERIFY,
    KELMOR_DISK_GET_LENGTH_INFO,
    KELMOR_DISK_GET_DRIVE_GEOMETRY_EX,
    KELMOR_CDROM_GET_DRIVE_GEOMETRY_EX,
    KELMOR_CDROM_READ_TOC,
    KELMOR_CDROM_READ_TOC_EX,
    KELMOR_CDROM_GET_LAST_SESSION,
    KELMOR_FSCTL_ALLOW_EXTENDED_DASD_IO,
    KELMOR_DISK_IS_WRITABLE,
    KELMOR_DISK_MEDIA_REMOVAL,
    KELMOR_DISK_EJECT_MEDIA,
    KELMOR_STORAGE_GET_MEDIA_TYPES_EX,
    KELMOR_STORAGE_GET_HOTPLUG_INFO,
    KELMOR_STORAGE_GET_DEVICE_NUMBER,
    KELMOR_STORAGE_READ_CAPACITY,
    KELMOR_STORAGE_MCN_CONTROL,
    KELMOR_STORAGE_QUERY_PROPERTY,
};

uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// What the protocol says of a request. Codes 0x23300..0x23310 are the driver's own five (exact
// input, room for the whole answer, no output where there is no answer); the standard drive
// requests keep the rules of a CD-ROM drive, and a table of contents is cut to the room given
// once that holds at least `least` bytes.
struct Rule {
    uint32_t code;
    int target; // 1 control, 2 drive
    KELMOR_ACTION action;
    int64_t input;  // exact size, or -1: any, or -2: at least one byte
    int64_t answer; // bytes of answer, 0 none; -1: 4 bytes when there is room, none for 0
    bool own;
    int64_t least = 0; // nonzero: the answer is cut to the room, which must hold this much
    int msf = 0;       // the form of a table of contents: 1 MSF, 0 LBA
};

const Rule kRules[] = {
    {0x23300, 1, KelmorActionAddDrive, 0, 2, true},
    {0x2330C, 1, KelmorActionQueryDrives, 0, 54, true},
    {0x23304, 2, KelmorActionRemoveDrive, 0, 0, true},
    {0x23308, 2, KelmorActionMountImage, 516, 0, true},
    {0x23310, 2, KelmorActionQueryImage, 0, 514, true},
    {0x24808, 2, KelmorActionEject, -1, 0, false},
    {0x2D4808, 2, KelmorActionEject, -1, 0, false},
    {0x2480C, 2, KelmorActionLoadMedia, -1, 0, false},
    {0x2D480C, 2, KelmorActionLoadMedia, -1, 0, false},
    {0x2D080C, 2, KelmorActionLoadMedia, -1, 0, false},
    {0x2404C, 2, KelmorActionGetGeometry, -1, 24, false},
    {0x70000, 2, KelmorActionGetGeometry, -1, 24, false},
    {0x24804, 2, KelmorActionMediaRemoval, -2, 0, false},
    {0x2D4804, 2, KelmorActionMediaRemoval, -2, 0, false},
    {0x24800, 2, KelmorActionCheckVerify, -1, -1, false},
    {0x2D4800, 2, KelmorActionCheckVerify, -1, -1, false},
    {0x2D0800, 2, KelmorActionCheckVerify, -1, -1, false},
    {0x74800, 2, KelmorActionCheckVerify, -1, -1, false},
    {0x7405C, 2, KelmorActionGetLengthInfo, -1, 8, false},
    {0x24050, 2, KelmorActionGetGeometryEx, -1, 32, false},
    {0x700A0, 2, KelmorActionGetGeometryEx, -1, 32, false},
    {0x24000, 2, KelmorActionReadToc, -1, 20, false, 4, 1},
    {0x24038, 2, KelmorActionLastSession, -1, 12, false},
    {0x90083, 2, KelmorActionAllowExtendedDasd, -1, 0, false},
    {0x70024, 2, KelmorActionIsWritable, -1, 0, false},
    {0x74808, 2, KelmorActionEject, -1, 0, false},
    {0x74804, 2, KelmorActionMediaRemoval, -2, 0, false},
    {0x2D0C04, 2, KelmorActionMediaTypes, -1, 40, false},
    {0x2D0C14, 2, KelmorActionHotplugInfo, -1, 8, false},
    {0x2D1080, 2, KelmorActionDeviceNumber, -1, 12, false},
    {0x2D5140, 2, KelmorActionReadCapacity, -1, 32, false},
    {0x2D0944, 2, KelmorActionMcnControl, -2, 0, false},
    // QUERY_PROPERTY (0x2D1400) depends on its query: see PropertyRule.
    // READ_TOC_EX (0x24054) names its format in 4 bytes of input: see TocExRule.
};

// READ_TOC_EX: byte 0 holds the format (bits 0-3) and MSF (bit 7), bits 4-6 and bytes 2-3 must
// be 0. Format 0 is the table, format 1 the session (always LBA), format 2 the full TOC (MSF
// only: asked in LBA it is wrong input); any other format is a request the drive does not take.
// `inputOk` is false for an input that breaks these rules.
const Rule kTocEx[] = {
    {0x24054, 2, KelmorActionReadToc, -1, 20, false, 2, 0},
    {0x24054, 2, KelmorActionReadToc, -1, 20, false, 2, 1},
    {0x24054, 2, KelmorActionLastSession, -1, 12, false, 2, 0},
    {0x24054, 2, KelmorActionFullToc, -1, 48, false, 2, 1},
};

const Rule* TocExRule(const uint8_t* in, uint32_t inputLength, bool* inputOk) {
    static const Rule kBadInput = {0x24054, 2, KelmorActionReadToc, -1, 20, false, 2, 0};
    *inputOk = in != nullptr && inputLength >= 4 && (in[0] & 0x70) == 0 && in[2] == 0 && in[3] == 0;
    if (!*inputOk)
        return &kBadInput;
    const int format = in[0] & 0x0F;
    *inputOk = format != 2 || (in[0] & 0x80) != 0;
    if (format == 2)
        return *inputOk ? &kTocEx[3] : &kBadInput;
    if (format == 0)
        return &kTocEx[(in[0] & 0x80) ? 1 : 0];
    return format == 1 ? &kTocEx[2] : nullptr;
}

// QUERY_PROPERTY: 12 bytes of query (shorter: a length mismatch); StorageDeviceProperty (0)
// alone, as an exists query (1, no answer) or a standard one (0: no answer to no room, else the
// 66-byte descriptor cut to the room, which must hold its 8-byte header). Other properties and
// query types are requests the drive does not take.
const Rule kProperty[] = {
    {0x2D1400, 2, KelmorActionQueryProperty, -1, 0, false},
    {0x2D1400, 2, KelmorActionQueryProperty, -1, 66, false, 8},
};

const Rule* PropertyRule(const uint8_t* in, uint32_t inputLength, uint32_t outputLength,
                         bool* inputOk) {
    *inputOk = in != nullptr && inputLength >= 12;
    if (!*inputOk)
        return &kProperty[0];
    uint32_t property, type;
    std::memcpy(&property, in, 4);
    std::memcpy(&type, in + 4, 4);
    if (property != 0 || type > 1)
        return nullptr;
    return type == 1 || outputLength == 0 ? &kProperty[0] : &kProperty[1];
}

bool MountFieldsAllowed(const uint8_t* in) {
    const uint16_t length = U16(in + 510);
    if (length % 2 || length < 10 || length > 510)
        return false;
    const unsigned units = length / 2;
    if (units < 255 && U16(in + 2 * units) != 0)
        return false;
    static const char16_t prefix[] = u"\\??\\";
    for (unsigned i = 0; i < units; ++i) {
        const uint16_t unit = U16(in + 2 * i);
        if (unit == 0 || (i < 4 && unit != prefix[i]))
            return false;
    }
    uint32_t flags;
    std::memcpy(&flags, in + 512, 4); // the fuzzing hosts are little-endian
    return (flags & ~3u) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 10)
        return 0;
    const int targetBits = data[0] & 3;
    const KELMOR_TARGET target = targetBits == 0   ? static_cast<KELMOR_TARGET>(0)
                                 : targetBits == 1 ? KelmorTargetControl
                                                   : KelmorTargetDrive;
    const bool nullBuffer = (data[0] & 4) != 0;
    uint32_t code;
    if (data[1] < sizeof(kCodes) / sizeof(kCodes[0]))
        code = kCodes[data[1]];
    else
        std::memcpy(&code, data + 2, 4);
    const uint32_t inputLength = U16(data + 6);
    uint32_t outputLength = U16(data + 8);
    if (data[0] & 8)
        outputLength <<= 8;

    // The input as its own heap block of exactly its size: a read past it is a fault.
    std::vector<uint8_t> input(data + 10, data + size);
    input.resize(inputLength);
    const uint8_t* buffer = nullBuffer ? nullptr : (inputLength ? input.data() : data);

    KELMOR_CHECKED_REQUEST request;
    std::memset(&request, 0xA5, sizeof(request));
    const KELMOR_VERDICT verdict =
        KelmorCheckRequest(target, code, buffer, inputLength, outputLength, &request);

    const Rule* rule = nullptr;
    for (const Rule& r : kRules) {
        if (r.code == code && r.target == static_cast<int>(target))
            rule = &r;
    }
    bool inputOk = true;
    if (code == 0x24054 && target == KelmorTargetDrive)
        rule = TocExRule(buffer, inputLength, &inputOk);
    if (code == 0x2D1400 && target == KelmorTargetDrive)
        rule = PropertyRule(buffer, inputLength, outputLength, &inputOk);
    bool allowed = rule != nullptr && inputOk &&
                   (buffer != nullptr || (inputLength == 0 && outputLength == 0));
    if (allowed && rule->input >= 0)
        allowed = inputLength == static_cast<uint32_t>(rule->input);
    if (allowed && rule->input == -2)
        allowed = inputLength >= 1;
    if (allowed && rule->answer > 0)
        allowed = outputLength >= (rule->least ? rule->least : rule->answer);
    if (allowed && rule->answer == 0 && rule->own)
        allowed = outputLength == 0;
    if (allowed && rule->answer == -1)
        allowed = outputLength == 0 || outputLength >= 4;
    if (allowed && rule->action == KelmorActionMountImage)
        allowed = MountFieldsAllowed(buffer);

    Check((verdict == KelmorAccepted) == allowed);
    if (verdict != KelmorAccepted) {
        Check(request.Action == KelmorActionNone && request.AnswerBytes == 0);
        Check(verdict == KelmorUnknownRequest || verdict == KelmorInvalidParameter ||
              verdict == KelmorBufferTooSmall || verdict == KelmorLengthMismatch);
        Check((verdict == KelmorUnknownRequest) == (rule == nullptr));
        return 0;
    }
    Check(request.Action == rule->action);
    Check(request.AnswerBytes <= outputLength);
    if (rule->answer > 0 && rule->least == 0)
        Check(request.AnswerBytes == rule->answer);
    if (rule->least > 0) {
        Check(request.AnswerBytes == std::min<int64_t>(outputLength, rule->answer));
        Check((request.TocMsf != 0) == (rule->msf != 0));
    }
    if (rule->action == KelmorActionMountImage) {
        Check(request.ImagePath == buffer);
        Check(request.ImagePathUnits >= 5 && request.ImagePathUnits <= 255);
        Check(2u * request.ImagePathUnits == U16(buffer + 510));
        Check((request.Flags & ~3u) == 0);
    }
    if (rule->action == KelmorActionMediaRemoval || rule->action == KelmorActionMcnControl)
        Check((request.Prevent != 0) == (buffer[0] != 0));
    return 0;
}
