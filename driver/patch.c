#include "patch.h"

#include <string.h>

#define SECTOR_BYTES 2048u
#define FIRST_DESCRIPTOR 16u
#define FIRST_ANCHOR 256u

static void Add(KELMOR_PATCHES* patches, uint32_t sector, uint16_t offset, uint16_t length,
                const uint8_t* bytes) {
    KELMOR_PATCH* patch;
    if (patches->Count == KELMOR_MAX_PATCHES)
        return;
    patch = &patches->Patch[patches->Count++];
    patch->Sector = sector;
    patch->Offset = offset;
    patch->Length = length;
    memset(patch->Bytes, 0, sizeof(patch->Bytes));
    if (bytes != NULL)
        memcpy(patch->Bytes, bytes, length);
}

static int IdentifierIs(const uint8_t* descriptor, const char* identifier) {
    return memcmp(descriptor + 1, identifier, 5) == 0;
}

/* The escape sequences of a Joliet supplementary descriptor, as CDFS compares them. */
static int NamesJoliet(const uint8_t* escapes) {
    return escapes[0] == '%' && escapes[1] == '/' &&
           (escapes[2] == '@' || escapes[2] == 'C' || escapes[2] == 'E');
}

/* An anchor volume descriptor pointer recorded at `sector`: its descriptor tag names it
   (identifier 2), is where it says it is, and sums right (ECMA-167 3/7.2). */
static int IsAnchor(const uint8_t* tag, uint32_t sector) {
    uint8_t sum = 0;
    int i;
    for (i = 0; i < 16; ++i)
        if (i != 4)
            sum = (uint8_t)(sum + tag[i]);
    return tag[0] == 2 && tag[1] == 0 && sum == tag[4] &&
           ((uint32_t)tag[12] | (uint32_t)tag[13] << 8 | (uint32_t)tag[14] << 16 |
            (uint32_t)tag[15] << 24) == sector;
}

void KelmorFindPatches(uint32_t flags, uint64_t sectors, KELMOR_SECTOR_READER read, void* context,
                       uint8_t* buffer, KELMOR_PATCHES* patches) {
    static const uint8_t nsr00[5] = {'N', 'S', 'R', '0', '0'};
    uint64_t anchors[3];
    int inCdfsScan = 1, udf = 0, i, j;
    uint32_t sector;

    patches->Count = 0;
    if ((flags & (KELMOR_FLAG_SUPPRESS_UDF | KELMOR_FLAG_SUPPRESS_JOLIET)) == 0)
        return;
    /* The ISO 9660 descriptors, then the rest of the recognition sequence; all of them lie
       before the first anchor. */
    for (sector = FIRST_DESCRIPTOR; sector < FIRST_ANCHOR && sector < sectors; ++sector) {
        if (!read(context, sector, buffer))
            return;
        if (IdentifierIs(buffer, "CD001")) {
            if (buffer[6] != 1 || buffer[0] == 255)
                inCdfsScan = 0;
            else if (inCdfsScan && buffer[0] == 2 && NamesJoliet(buffer + 88) &&
                     (flags & KELMOR_FLAG_SUPPRESS_JOLIET) != 0)
                Add(patches, sector, 88, 32, NULL);
            continue;
        }
        inCdfsScan = 0;
        if (IdentifierIs(buffer, "NSR02") || IdentifierIs(buffer, "NSR03")) {
            udf = 1;
            if ((flags & KELMOR_FLAG_SUPPRESS_UDF) != 0)
                Add(patches, sector, 1, 5, nsr00);
        } else if (!IdentifierIs(buffer, "BEA01") && !IdentifierIs(buffer, "BOOT2") &&
                   !IdentifierIs(buffer, "CDW02")) {
            break; /* TEA01 ends the sequence; anything else is no part of it */
        }
    }
    if (!udf || (flags & KELMOR_FLAG_SUPPRESS_UDF) == 0 || sectors <= FIRST_ANCHOR)
        return;
    anchors[0] = FIRST_ANCHOR;
    anchors[1] = sectors >= FIRST_ANCHOR + 257 ? sectors - 257 : 0;
    anchors[2] = sectors - 1;
    for (i = 0; i < 3; ++i) {
        int seen = anchors[i] < FIRST_ANCHOR;
        for (j = 0; j < i; ++j)
            seen |= anchors[j] == anchors[i];
        if (seen || anchors[i] > 0xFFFFFFFFu || !read(context, (uint32_t)anchors[i], buffer))
            continue;
        if (IsAnchor(buffer, (uint32_t)anchors[i]))
            Add(patches, (uint32_t)anchors[i], 0, 2, NULL);
    }
}

void KelmorApplyPatches(const KELMOR_PATCHES* patches, uint64_t offset, uint32_t length,
                        uint8_t* data) {
    uint32_t i;
    for (i = 0; i < patches->Count; ++i) {
        const KELMOR_PATCH* patch = &patches->Patch[i];
        const uint64_t start = (uint64_t)patch->Sector * SECTOR_BYTES + patch->Offset;
        uint64_t from, to;
        if (start + patch->Length <= offset || start >= offset + length)
            continue;
        from = start > offset ? start : offset;
        to = start + patch->Length < offset + length ? start + patch->Length : offset + length;
        memcpy(data + (from - offset), patch->Bytes + (from - start), (size_t)(to - from));
    }
}
