#include "request.h"

#include "answer.h"

#include <stddef.h>

static uint16_t ReadU16(const uint8_t* bytes) {
    return (uint16_t)(bytes[0] | bytes[1] << 8);
}

static uint32_t ReadU32(const uint8_t* bytes) {
    return (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 |
           (uint32_t)bytes[3] << 24;
}

static KELMOR_ACTION ControlAction(uint32_t code) {
    switch (code) {
    case KELMOR_ADD_DRIVE:
        return KelmorActionAddDrive;
    case KELMOR_QUERY_DRIVES:
        return KelmorActionQueryDrives;
    default:
        return KelmorActionNone;
    }
}

static KELMOR_ACTION DriveAction(uint32_t code) {
    switch (code) {
    case KELMOR_REMOVE_DRIVE:
        return KelmorActionRemoveDrive;
    case KELMOR_MOUNT_IMAGE:
        return KelmorActionMountImage;
    case KELMOR_QUERY_IMAGE:
        return KelmorActionQueryImage;
    case KELMOR_CDROM_EJECT_MEDIA:
    case KELMOR_STORAGE_EJECT_MEDIA:
    case KELMOR_DISK_EJECT_MEDIA:
        return KelmorActionEject;
    case KELMOR_CDROM_LOAD_MEDIA:
    case KELMOR_STORAGE_LOAD_MEDIA:
    case KELMOR_STORAGE_LOAD_MEDIA2:
        return KelmorActionLoadMedia;
    case KELMOR_CDROM_GET_DRIVE_GEOMETRY:
    case KELMOR_DISK_GET_DRIVE_GEOMETRY:
        return KelmorActionGetGeometry;
    case KELMOR_CDROM_MEDIA_REMOVAL:
    case KELMOR_STORAGE_MEDIA_REMOVAL:
    case KELMOR_DISK_MEDIA_REMOVAL:
        return KelmorActionMediaRemoval;
    case KELMOR_CDROM_CHECK_VERIFY:
    case KELMOR_STORAGE_CHECK_VERIFY:
    case KELMOR_STORAGE_CHECK_VERIFY2:
    case KELMOR_DISK_CHECK_VERIFY:
        return KelmorActionCheckVerify;
    case KELMOR_DISK_GET_LENGTH_INFO:
        return KelmorActionGetLengthInfo;
    case KELMOR_CDROM_GET_DRIVE_GEOMETRY_EX:
    case KELMOR_DISK_GET_DRIVE_GEOMETRY_EX:
        return KelmorActionGetGeometryEx;
    case KELMOR_CDROM_READ_TOC:
    case KELMOR_CDROM_READ_TOC_EX:
        return KelmorActionReadToc;
    case KELMOR_CDROM_GET_LAST_SESSION:
        return KelmorActionLastSession;
    case KELMOR_FSCTL_ALLOW_EXTENDED_DASD_IO:
        return KelmorActionAllowExtendedDasd;
    case KELMOR_DISK_IS_WRITABLE:
        return KelmorActionIsWritable;
    case KELMOR_STORAGE_GET_MEDIA_TYPES_EX:
        return KelmorActionMediaTypes;
    case KELMOR_STORAGE_GET_HOTPLUG_INFO:
        return KelmorActionHotplugInfo;
    case KELMOR_STORAGE_GET_DEVICE_NUMBER:
        return KelmorActionDeviceNumber;
    case KELMOR_STORAGE_READ_CAPACITY:
        return KelmorActionReadCapacity;
    case KELMOR_STORAGE_MCN_CONTROL:
        return KelmorActionMcnControl;
    case KELMOR_STORAGE_QUERY_PROPERTY:
        return KelmorActionQueryProperty;
    default:
        return KelmorActionNone;
    }
}

/* The driver's own requests take exactly their input and no output beyond their answer's
   room: the control panel sends them so, and anything else is a caller that has the
   protocol wrong. */
static KELMOR_VERDICT CheckOwnSizes(uint32_t inputLength, uint32_t outputLength,
                                    uint32_t inputBytes, uint32_t answerBytes) {
    if (inputLength != inputBytes)
        return KelmorInvalidParameter;
    if (answerBytes == 0)
        return outputLength == 0 ? KelmorAccepted : KelmorInvalidParameter;
    return outputLength >= answerBytes ? KelmorAccepted : KelmorBufferTooSmall;
}

/* A mount request names its image as "\??\" and a full path: an even byte length of at least
   one character past the prefix and at most 510, no NUL inside the path, a NUL right after it
   when it is shorter than 255 units, and no flags but the two the protocol defines. */
static KELMOR_VERDICT CheckMountFields(const uint8_t* input, KELMOR_CHECKED_REQUEST* request) {
    static const uint16_t prefix[4] = {'\\', '?', '?', '\\'};
    const uint16_t length = ReadU16(input + KELMOR_MOUNT_PATH_LENGTH_OFFSET);
    const uint32_t flags = ReadU32(input + KELMOR_MOUNT_FLAGS_OFFSET);
    uint16_t units, i;

    if (length % 2 != 0 || length < 2 * 5 || length > 2 * KELMOR_PATH_UNITS)
        return KelmorInvalidParameter;
    units = (uint16_t)(length / 2);
    if (units < KELMOR_PATH_UNITS && ReadU16(input + 2 * units) != 0)
        return KelmorInvalidParameter;
    for (i = 0; i < units; ++i) {
        const uint16_t unit = ReadU16(input + 2 * i);
        if (unit == 0 || (i < 4 && unit != prefix[i]))
            return KelmorInvalidParameter;
    }
    if ((flags & ~KELMOR_MOUNT_FLAGS_KNOWN) != 0)
        return KelmorInvalidParameter;
    request->ImagePath = input;
    request->ImagePathUnits = units;
    request->Flags = flags;
    return KelmorAccepted;
}

/* The table of contents as the class driver reads it. IOCTL_CDROM_READ_TOC is format 0 in
   MSF form. IOCTL_CDROM_READ_TOC_EX names its format and form in 4 bytes of input (Format in
   bits 0-3 of the first byte, MSF in bit 7, three reserved fields that must be 0); of its
   formats a one-track disc answers the table (0), the session (1, always LBA) and the full
   TOC (2, which has MSF addresses only: asked in LBA form it is refused, where the class
   driver would pass it to the drive), and the others are refused as a request the drive does
   not take, on which a file system falls back to IOCTL_CDROM_READ_TOC. An answer is cut to
   the room given, which must hold its header (READ_TOC) or its length field (READ_TOC_EX). */
static KELMOR_VERDICT CheckToc(uint32_t code, const uint8_t* input, uint32_t inputLength,
                               uint32_t outputLength, KELMOR_CHECKED_REQUEST* request) {
    uint32_t answerBytes = KELMOR_TOC_ANSWER_BYTES;
    uint32_t least = KELMOR_TOC_HEADER_BYTES;

    request->TocMsf = 1;
    if (code == KELMOR_CDROM_READ_TOC_EX) {
        uint8_t format;
        if (inputLength < KELMOR_READ_TOC_EX_INPUT_BYTES)
            return KelmorInvalidParameter;
        format = (uint8_t)(input[0] & 0x0F);
        if ((input[0] & 0x70) != 0 || input[2] != 0 || input[3] != 0)
            return KelmorInvalidParameter;
        if (format == 1) {
            request->Action = KelmorActionLastSession;
            answerBytes = KELMOR_SESSION_ANSWER_BYTES;
        } else if (format == 2) {
            if ((input[0] & 0x80) == 0)
                return KelmorInvalidParameter;
            request->Action = KelmorActionFullToc;
            answerBytes = KELMOR_FULL_TOC_ANSWER_BYTES;
        } else if (format != 0) {
            return KelmorUnknownRequest;
        }
        request->TocMsf = format != 1 && (input[0] & 0x80) != 0;
        least = 2;
    }
    if (outputLength < least)
        return KelmorBufferTooSmall;
    request->AnswerBytes = outputLength < answerBytes ? outputLength : answerBytes;
    return KelmorAccepted;
}

/* A fixed answer of `bytes`: refused without room for all of it, as the class driver does. */
static KELMOR_VERDICT Answer(uint32_t bytes, uint32_t outputLength,
                             KELMOR_CHECKED_REQUEST* request) {
    request->AnswerBytes = bytes;
    return outputLength >= bytes ? KelmorAccepted : KelmorBufferTooSmall;
}

/* IOCTL_STORAGE_QUERY_PROPERTY, as the class driver answers StorageDeviceProperty from its
   cache: 12 bytes of query (PropertyId, QueryType); an exists query (1) succeeds without an
   answer; a standard query (0) answers nothing to no room, needs the descriptor's Version and
   Size (8 bytes) otherwise, and is cut to the room given. Other properties and queries are
   not the drive's. */
static KELMOR_VERDICT CheckPropertyQuery(const uint8_t* input, uint32_t inputLength,
                                         uint32_t outputLength, KELMOR_CHECKED_REQUEST* request) {
    uint32_t queryType;
    if (inputLength < KELMOR_PROPERTY_QUERY_BYTES)
        return KelmorLengthMismatch;
    queryType = ReadU32(input + 4);
    if (ReadU32(input) != 0 || queryType > 1)
        return KelmorUnknownRequest;
    if (queryType == 1 || outputLength == 0)
        return KelmorAccepted;
    if (outputLength < KELMOR_DESCRIPTOR_HEADER_BYTES)
        return KelmorBufferTooSmall;
    request->AnswerBytes = outputLength < KELMOR_DEVICE_DESCRIPTOR_BYTES
                               ? outputLength
                               : KELMOR_DEVICE_DESCRIPTOR_BYTES;
    return KelmorAccepted;
}

static KELMOR_VERDICT CheckFields(uint32_t code, const uint8_t* input, uint32_t inputLength,
                                  uint32_t outputLength, KELMOR_CHECKED_REQUEST* request) {
    KELMOR_VERDICT verdict;

    switch (request->Action) {
    case KelmorActionAddDrive:
        request->AnswerBytes = KELMOR_ADD_DRIVE_ANSWER_BYTES;
        return CheckOwnSizes(inputLength, outputLength, 0, KELMOR_ADD_DRIVE_ANSWER_BYTES);
    case KelmorActionQueryDrives:
        request->AnswerBytes = KELMOR_DRIVE_LIST_BYTES;
        return CheckOwnSizes(inputLength, outputLength, 0, KELMOR_DRIVE_LIST_BYTES);
    case KelmorActionQueryImage:
        request->AnswerBytes = KELMOR_IMAGE_INFO_BYTES;
        return CheckOwnSizes(inputLength, outputLength, 0, KELMOR_IMAGE_INFO_BYTES);
    case KelmorActionRemoveDrive:
        return CheckOwnSizes(inputLength, outputLength, 0, 0);
    case KelmorActionMountImage:
        verdict = CheckOwnSizes(inputLength, outputLength, KELMOR_MOUNT_REQUEST_BYTES, 0);
        return verdict != KelmorAccepted ? verdict : CheckMountFields(input, request);

    /* The standard requests keep the rules of a CD-ROM drive: the buffers they do not use
       are not looked at. */
    case KelmorActionEject:
    case KelmorActionLoadMedia:
        return KelmorAccepted;
    case KelmorActionGetGeometry:
        return Answer(KELMOR_GEOMETRY_BYTES, outputLength, request);
    case KelmorActionMediaRemoval:
        if (inputLength < 1)
            return KelmorInvalidParameter;
        request->Prevent = input[0] != 0;
        return KelmorAccepted;
    case KelmorActionCheckVerify:
        /* The change count is answered only to a caller that gives room for it. */
        if (outputLength == 0)
            return KelmorAccepted;
        return Answer(KELMOR_CHANGE_COUNT_BYTES, outputLength, request);
    case KelmorActionGetLengthInfo:
        return Answer(KELMOR_LENGTH_INFO_BYTES, outputLength, request);
    case KelmorActionGetGeometryEx:
        return Answer(KELMOR_GEOMETRY_EX_BYTES, outputLength, request);
    case KelmorActionReadToc:
        return CheckToc(code, input, inputLength, outputLength, request);
    case KelmorActionLastSession:
        return Answer(KELMOR_SESSION_ANSWER_BYTES, outputLength, request);
    case KelmorActionAllowExtendedDasd:
    case KelmorActionIsWritable:
        return KelmorAccepted;
    case KelmorActionMediaTypes:
        return Answer(KELMOR_MEDIA_TYPES_BYTES, outputLength, request);
    case KelmorActionHotplugInfo:
        return Answer(KELMOR_HOTPLUG_INFO_BYTES, outputLength, request);
    case KelmorActionDeviceNumber:
        return Answer(KELMOR_DEVICE_NUMBER_BYTES, outputLength, request);
    case KelmorActionReadCapacity:
        return Answer(KELMOR_READ_CAPACITY_BYTES, outputLength, request);
    case KelmorActionMcnControl:
        if (inputLength < 1)
            return KelmorLengthMismatch;
        request->Prevent = input[0] != 0;
        return KelmorAccepted;
    case KelmorActionQueryProperty:
        return CheckPropertyQuery(input, inputLength, outputLength, request);
    default:
        return KelmorUnknownRequest;
    }
}

KELMOR_VERDICT KelmorCheckRequest(KELMOR_TARGET target, uint32_t code, const void* buffer,
                                  uint32_t inputLength, uint32_t outputLength,
                                  KELMOR_CHECKED_REQUEST* request) {
    KELMOR_CHECKED_REQUEST checked = {KelmorActionNone, 0, NULL, 0, 0, 0, 0};
    KELMOR_VERDICT verdict;

    *request = checked;
    if (target == KelmorTargetControl)
        checked.Action = ControlAction(code);
    else if (target == KelmorTargetDrive)
        checked.Action = DriveAction(code);
    if (checked.Action == KelmorActionNone)
        return KelmorUnknownRequest;
    if (buffer == NULL && (inputLength != 0 || outputLength != 0))
        return KelmorInvalidParameter;

    verdict = CheckFields(code, (const uint8_t*)buffer, inputLength, outputLength, &checked);
    if (verdict == KelmorAccepted)
        *request = checked;
    return verdict;
}

int KelmorActionNeedsPrivilege(KELMOR_ACTION action) {
    return action == KelmorActionAddDrive || action == KelmorActionRemoveDrive ||
           action == KelmorActionMountImage;
}

int KelmorIsLocalFilePath(const uint16_t* path, uint16_t units) {
    return units > 7 && path[0] == '\\' && path[1] == '?' && path[2] == '?' && path[3] == '\\' &&
           ((path[4] >= 'A' && path[4] <= 'Z') || (path[4] >= 'a' && path[4] <= 'z')) &&
           path[5] == ':' && path[6] == '\\';
}

static int StartsWith(const uint16_t* path, uint16_t units, const char* prefix, uint16_t* length) {
    uint16_t i;
    for (i = 0; prefix[i] != 0; ++i) {
        uint16_t unit;
        if (i >= units)
            return 0;
        unit = path[i] >= 'a' && path[i] <= 'z' ? (uint16_t)(path[i] - 'a' + 'A') : path[i];
        if (unit != (uint16_t)prefix[i])
            return 0;
    }
    *length = i;
    return 1;
}

uint16_t KelmorPathDriveLetter(const uint16_t* path, uint16_t units) {
    static const char* const prefixes[] = {"\\??\\", "\\DOSDEVICES\\", "\\GLOBAL??\\"};
    size_t i;
    uint16_t at = 0, letter;
    for (i = 0; i < sizeof(prefixes) / sizeof(prefixes[0]); ++i)
        if (StartsWith(path, units, prefixes[i], &at))
            break;
    if (i == sizeof(prefixes) / sizeof(prefixes[0]) || units < at + 2 || path[at + 1] != ':' ||
        (units > at + 2 && path[at + 2] != '\\'))
        return 0;
    letter = path[at] >= 'a' && path[at] <= 'z' ? (uint16_t)(path[at] - 'a' + 'A') : path[at];
    return letter >= 'A' && letter <= 'Z' ? letter : 0;
}
