#pragma once

// The disc probe and the sector copy. Both work on one optical drive named by its letter,
// open their own handle on it, keep the medium locked while they work and return a Win32
// error code (0 = no error). Neither shows a message or keeps state between calls.

#include "DiscPlatform.h"

#include <cstdint>

class CHeapString;

// Reads the volume label of the disc in drive `letter` (the volume identifier of the ISO 9660
// primary volume descriptor of its last session, up to its first space). `label` is empty unless
// one was read.
uint32_t ReadDiscLabel(char letter, CHeapString& label,
                       IDiscPlatform& platform = SystemDiscPlatform());

// How a copy ended, beyond its result code.
struct RipReport {
    uint64_t SectorCount = 0;  // the sectors the copy covers: up to the end of the last data track
    bool ReadFailed = false;   // the copy stopped on a read that failed; the result is its error
    uint64_t FailedSector = 0; // that read's first failing sector; the image holds those before it
};

// Copies the disc in drive `letter` into the file `imagePath`, creating the missing directories
// on the way and replacing an existing file. The disc's size is its exact length; its table of
// contents (the full TOC, else the tracks and the last session) tells which sectors are data
// (read, many at a time) and which no drive reads as data (audio tracks, the gaps between
// sessions: written as zeros). Sends progress (0..99) to `progressBar` every 1000 sectors and
// stops when `abortEvent` is signalled; either may be null. Returns 0 when every sector was
// copied, or on abort. A read that fails where the disc holds no data (a run-out, a pregap, a
// session gap: a session's volume descriptor, or the disc's structure, says so) is zeros up to
// the next data track, or the image's end; one that fails anywhere else returns its error
// (ERROR_READ_FAULT when it gave none, or read nothing), with its sector in `report`; a failed
// write returns its error. The image keeps what was copied. A disc without a data track (an
// audio CD) returns ERROR_UNRECOGNIZED_MEDIA, and a name the path rules reject
// ERROR_INVALID_NAME (ERROR_NOT_ENOUGH_MEMORY when the path ran out of memory), before anything
// is created or read.
uint32_t RipDisc(char letter, const char* imagePath, ProgressBarRef progressBar,
                 AbortEventRef abortEvent, IDiscPlatform& platform = SystemDiscPlatform(),
                 RipReport* report = nullptr);

// Sectors of the medium: Cylinders x TracksPerCylinder x SectorsPerTrack, the low 64 bits.
uint64_t SectorCount(const DiscGeometry& geometry);
