/*
 * What a CD-ROM drive answers about the disc it holds, laid out byte for byte as Windows' CD-ROM
 * class driver answers it: the table of contents (READ TOC format 0, in LBA or MSF form) and
 * the last session (format 1). The stand-in's disc is always one data track from sector 0 to
 * the end of the image. Plain C on fixed-width types, so that the answers are built and tested
 * natively as well.
 */
#ifndef KELMOR_ANSWER_H
#define KELMOR_ANSWER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KELMOR_SECTOR_BYTES 2048u
/* The header (4 bytes) and two track descriptors of 8: track 1 and the lead-out. */
#define KELMOR_TOC_BYTES 20u
/* The header and the first track of the last session. */
#define KELMOR_SESSION_BYTES 12u
/* The header and the points A0, A1, A2 and track 1 of 11 bytes each. */
#define KELMOR_FULL_TOC_BYTES 48u
/* A disc's first track starts 2 seconds (150 sectors) into the MSF address space. */
#define KELMOR_MSF_OFFSET 150u

/* STORAGE_DEVICE_DESCRIPTOR (40 bytes) and its strings: vendor "KELMOR", product
   "VIRTUAL CD-ROM", revision "1.0", each terminated. */
#define KELMOR_DEVICE_DESCRIPTOR_BYTES 66u
/* The system numbers its CD-ROM drives from 0 (\Device\CdRom<n>): a drive's number is its
   device's own (\Device\KelmorCdRom<n>) plus this, far above any count of real drives. */
#define KELMOR_DEVICE_NUMBER_BASE 1000u

/* Sectors of a disc made from an image of `imageBytes`: a last part-sector counts as a whole
   one, read with zeros after the image's end. */
uint64_t KelmorDiscSectors(int64_t imageBytes);

/* Writes the table of contents of a one-track disc of `sectors` sectors into `answer`
   (KELMOR_TOC_BYTES): the length field counts every byte after itself, track 1 is a data track
   (Control 0x4, Adr 1) at LBA 0, and the lead-out (track 0xAA) follows the last sector. With
   `msf` nonzero the addresses are minutes, seconds and frames, 150 sectors later. */
void KelmorBuildToc(uint64_t sectors, int msf, uint8_t* answer);

/* Writes the full TOC (format 2, MSF) of a one-track disc of `sectors` sectors into `answer`
   (KELMOR_FULL_TOC_BYTES): session 1's points A0 (first track 1, disc type 0x00), A1 (last
   track 1), A2 (the lead-out) and track 1 at 00:02:00, each Adr 1 and Control 0x4. */
void KelmorBuildFullToc(uint64_t sectors, uint8_t* answer);

/* Writes the last-session answer of a single-session disc into `answer`
   (KELMOR_SESSION_BYTES): one complete session whose first track, track 1, starts at LBA 0. */
void KelmorBuildLastSession(uint8_t* answer);

/* The answers of the storage requests, as the CD-ROM class driver gives them for a read-only
   disc of `sectors` sectors in 2048-byte sectors, 32 per track, 64 tracks per cylinder. */
/* GET_MEDIA_TYPES (40 bytes): a CD-ROM device with one medium type, CD_ROM, one side,
   MEDIA_READ_ONLY, and MEDIA_CURRENTLY_MOUNTED when `mounted`. */
void KelmorBuildMediaTypes(uint64_t sectors, int mounted, uint8_t* answer);
/* STORAGE_HOTPLUG_INFO (8 bytes): removable media, neither media nor device hot-pluggable. */
void KelmorBuildHotplugInfo(uint8_t* answer);
/* STORAGE_DEVICE_NUMBER (12 bytes): a CD-ROM device, `number`, no partition (0xFFFFFFFF). */
void KelmorBuildDeviceNumber(uint32_t number, uint8_t* answer);
/* STORAGE_READ_CAPACITY (32 bytes): Version and Size 32, 2048-byte blocks, their count and the
   disc's length. */
void KelmorBuildReadCapacity(uint64_t sectors, uint8_t* answer);
/* The first `room` bytes (at most KELMOR_DEVICE_DESCRIPTOR_BYTES) of the device descriptor of a
   removable CD-ROM device (SCSI type 5) on a file-backed virtual bus: Version and Size always
   whole, the offset of each string that does not fit in `room` zeroed, no serial number. */
void KelmorBuildDeviceDescriptor(uint32_t room, uint8_t* answer);

#ifdef __cplusplus
}
#endif

#endif
