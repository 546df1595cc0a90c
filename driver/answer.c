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
