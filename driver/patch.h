/*
 * The mount flags made to take effect. A drive mounted with "suppress Joliet" (0x2) or
 * "suppress UDF" (0x1) serves its image with the structures by which a reader recognises
 * those file systems blanked, and nothing else changed:
 *
 *  - Joliet: every supplementary volume descriptor ("CD001", version 1, type 2) of the
 *    descriptor set that CDFS scans (from sector 16 to the terminator or the first descriptor
 *    that is not "CD001" version 1) whose escape sequences (bytes 88-90) name Joliet ("%/@",
 *    "%/C", "%/E") is served with bytes 88-119 zeroed: all-zero escape sequences name the
 *    ISO 9660 character sets, so the descriptor is no longer taken for Joliet.
 *  - UDF: the "NSR02"/"NSR03" descriptor of the volume recognition sequence is served as
 *    "NSR00", and each anchor volume descriptor pointer at 256, N-257 and N-1 (tag identifier 2,
 *    its own location, a right checksum) with its tag identifier zeroed.
 *
 * The structures are found once per opening of the image, in at most 243 sector reads, and kept
 * as a short list of byte ranges applied to every sector served. Plain C on fixed-width types:
 * built into the driver and natively, where it is tested.
 */
#ifndef KELMOR_PATCH_H
#define KELMOR_PATCH_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KELMOR_FLAG_SUPPRESS_UDF 0x1u
#define KELMOR_FLAG_SUPPRESS_JOLIET 0x2u
#define KELMOR_MAX_PATCHES 16u
#define KELMOR_PATCH_MAX_BYTES 32u

/* Bytes served in place of the image's: `Length` bytes at `Offset` of sector `Sector`. */
typedef struct KELMOR_PATCH {
    uint32_t Sector;
    uint16_t Offset;
    uint16_t Length;
    uint8_t Bytes[KELMOR_PATCH_MAX_BYTES];
} KELMOR_PATCH;

typedef struct KELMOR_PATCHES {
    uint32_t Count;
    KELMOR_PATCH Patch[KELMOR_MAX_PATCHES];
} KELMOR_PATCHES;

/* Reads the image's sector `sector` (2048 bytes, zeros past the image's end) into `buffer`;
   nonzero when it could. */
typedef int (*KELMOR_SECTOR_READER)(void* context, uint32_t sector, uint8_t* buffer);

/* Finds what `flags` suppress on a disc of `sectors` sectors read through `read`, with
   `buffer` (2048 bytes) to read into. No flag, or an image that is no ISO 9660 or UDF volume,
   gives no patch. */
void KelmorFindPatches(uint32_t flags, uint64_t sectors, KELMOR_SECTOR_READER read, void* context,
                       uint8_t* buffer, KELMOR_PATCHES* patches);

/* Applies the patches that fall within the `length` bytes at byte `offset` of the disc, held
   in `data`. */
void KelmorApplyPatches(const KELMOR_PATCHES* patches, uint64_t offset, uint32_t length,
                        uint8_t* data);

#ifdef __cplusplus
}
#endif

#endif
