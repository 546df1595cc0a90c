#include "answer.h"

#include <string.h>

uint64_t KelmorDiscSectors(int64_t imageBytes) {
    if (imageBytes <= 0)
        return 0;
    return ((uint64_t)imageBytes + KELMOR_SECTOR_BYTES - 1) / KELMOR_SECTOR_BYTES;
}

/* An address as the TOC gives it: a big-endian LBA, or 0, minutes, seconds, frames. Minutes
   stop at 255, the most the field holds (a disc that long is a DVD, whose readers ask for
   LBA). */
static void WriteAddress(uint64_t lba, int msf, uint8_t* address) {
    /* 32-bit arithmetic: the 32-bit driver links no 64-bit division. */
    const uint32_t value = lba > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)lba;
    if (msf) {
        const uint32_t last = 255u * 60 * 75 + 59 * 75 + 74;
        const uint32_t frames = value > last - KELMOR_MSF_OFFSET ? last : value + KELMOR_MSF_OFFSET;
        address[0] = 0;
        address[1] = (uint8_t)(frames / (60 * 75));
        address[2] = (uint8_t)(frames / 75 % 60);
        address[3] = (uint8_t)(frames % 75);
    } else {
        address[0] = (uint8_t)(value >> 24);
        address[1] = (uint8_t)(value >> 16);
        address[2] = (uint8_t)(value >> 8);
        address[3] = (uint8_t)value;
    }
}

/* One TRACK_DATA: reserved, Adr (high nibble) and Control (low nibble), track number,
   reserved, address. */
static void WriteTrack(uint8_t number, uint64_t lba, int msf, uint8_t* track) {
    track[0] = 0;
    track[1] = 0x14; /* Adr 1 (position), Control 0x4 (data) */
    track[2] = number;
    track[3] = 0;
    WriteAddress(lba, msf, track + 4);
}

void KelmorBuildToc(uint64_t sectors, int msf, uint8_t* answer) {
    memset(answer, 0, KELMOR_TOC_BYTES);
    answer[0] = 0;
    answer[1] = KELMOR_TOC_BYTES - 2;
    answer[2] = 1; /* first track */
    answer[3] = 1; /* last track */
    WriteTrack(1, 0, msf, answer + 4);
    WriteTrack(0xAA, sectors, msf, answer + 12);
}

/* One CDROM_TOC_FULL_TOC_DATA_BLOCK of session 1: session, Adr and Control, TNO, point,
   the running time (0 in the lead-in), a zero byte, then PMIN, PSEC and PFRAME. */
static void WritePoint(uint8_t point, uint8_t pmin, uint8_t psec, uint8_t* block) {
    memset(block, 0, 11);
    block[0] = 1;
    block[1] = 0x14;
    block[3] = point;
    block[8] = pmin;
    block[9] = psec;
}

void KelmorBuildFullToc(uint64_t sectors, uint8_t* answer) {
    uint8_t address[4];
    memset(answer, 0, KELMOR_FULL_TOC_BYTES);
    answer[1] = KELMOR_FULL_TOC_BYTES - 2;
    answer[2] = 1; /* first complete session */
    answer[3] = 1; /* last complete session */
    WritePoint(0xA0, 1, 0x00, answer + 4);
    WritePoint(0xA1, 1, 0, answer + 15);
    WriteAddress(sectors, 1, address);
    WritePoint(0xA2, address[1], address[2], answer + 26);
    answer[26 + 10] = address[3];
    WriteAddress(0, 1, address);
    WritePoint(1, address[1], address[2], answer + 37);
    answer[37 + 10] = address[3];
}

void KelmorBuildLastSession(uint8_t* answer) {
    memset(answer, 0, KELMOR_SESSION_BYTES);
    answer[1] = KELMOR_SESSION_BYTES - 2;
    answer[2] = 1; /* first complete session */
    answer[3] = 1; /* last complete session */
    WriteTrack(1, 0, 0, answer + 4);
}

static void PutU32(uint8_t* at, uint32_t value) {
    at[0] = (uint8_t)value;
    at[1] = (uint8_t)(value >> 8);
    at[2] = (uint8_t)(value >> 16);
    at[3] = (uint8_t)(value >> 24);
}

static void PutU64(uint8_t* at, uint64_t value) {
    PutU32(at, (uint32_t)value);
    PutU32(at + 4, (uint32_t)(value >> 32));
}

#define KELMOR_FILE_DEVICE_CD_ROM 2u
#define KELMOR_MEDIA_CD_ROM 0x33u /* STORAGE_MEDIA_TYPE CD_ROM */
#define KELMOR_MEDIA_READ_ONLY 0x4u
#define KELMOR_MEDIA_CURRENTLY_MOUNTED 0x80000000u
#define KELMOR_BUS_FILE_BACKED_VIRTUAL 0x0Fu
#define KELMOR_CYLINDER_SECTORS (64u * 32u)

void KelmorBuildMediaTypes(uint64_t sectors, int mounted, uint8_t* answer) {
    memset(answer, 0, 40);
    PutU32(answer, KELMOR_FILE_DEVICE_CD_ROM);
    PutU32(answer + 4, 1); /* MediaInfoCount */
    PutU64(answer + 8, sectors / KELMOR_CYLINDER_SECTORS);
    PutU32(answer + 16, KELMOR_MEDIA_CD_ROM);
    PutU32(answer + 20, 64); /* TracksPerCylinder */
    PutU32(answer + 24, 32); /* SectorsPerTrack */
    PutU32(answer + 28, KELMOR_SECTOR_BYTES);
    PutU32(answer + 32, 1); /* NumberMediaSides */
    PutU32(answer + 36, KELMOR_MEDIA_READ_ONLY | (mounted ? KELMOR_MEDIA_CURRENTLY_MOUNTED : 0));
}

void KelmorBuildHotplugInfo(uint8_t* answer) {
    memset(answer, 0, 8);
    PutU32(answer, 8);
    answer[4] = 1; /* MediaRemovable */
}

void KelmorBuildDeviceNumber(uint32_t number, uint8_t* answer) {
    PutU32(answer, KELMOR_FILE_DEVICE_CD_ROM);
    PutU32(answer + 4, number);
    PutU32(answer + 8, 0xFFFFFFFFu);
}

void KelmorBuildReadCapacity(uint64_t sectors, uint8_t* answer) {
    memset(answer, 0, 32);
    PutU32(answer, 32);
    PutU32(answer + 4, 32);
    PutU32(answer + 8, KELMOR_SECTOR_BYTES);
    PutU64(answer + 16, sectors);
    PutU64(answer + 24, sectors * KELMOR_SECTOR_BYTES);
}

void KelmorBuildDeviceDescriptor(uint32_t room, uint8_t* answer) {
    static const char strings[] = "KELMOR\0VIRTUAL CD-ROM\0"
                                  "1.0";
    static const uint32_t offsets[3] = {40, 47, 62};
    uint8_t whole[KELMOR_DEVICE_DESCRIPTOR_BYTES];
    int i;

    memset(whole, 0, sizeof(whole));
    PutU32(whole, 40);                                 /* Version: the structure's size */
    PutU32(whole + 4, KELMOR_DEVICE_DESCRIPTOR_BYTES); /* Size, strings included */
    whole[8] = 5;                                      /* DeviceType: CD-ROM */
    whole[10] = 1;                                     /* RemovableMedia */
    for (i = 0; i < 3; ++i)
        if (offsets[i] + (i == 2 ? 4u : offsets[i + 1] - offsets[i]) <= room)
            PutU32(whole + 12 + 4 * i, offsets[i]); /* vendor, product, revision */
    PutU32(whole + 28, KELMOR_BUS_FILE_BACKED_VIRTUAL);
    memcpy(whole + 40, strings, sizeof(strings));
    memcpy(answer, whole, room < sizeof(whole) ? room : sizeof(whole));
}
