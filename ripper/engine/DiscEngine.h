#pragma once

// The disc probe and the sector copy. Both work on one optical drive named by its letter,
// open their own handle on it, keep the medium locked while they work and return a Win32
// error code (0 = no error). Neither shows a message or keeps state between calls.

#include "DiscPlatform.h"

#include <cstdint>

class CHeapString;

// Reads the volume label of the disc in drive `letter` (the volume identifier of the ISO 9660
// primary volume descriptor, up to its first space). `label` is empty unless one was read.
uint32_t ReadDiscLabel(char letter, CHeapString& label,
                       IDiscPlatform& platform = SystemDiscPlatform());

// Copies every sector of the disc in drive `letter` into the file `imagePath`, creating the
// missing directories on the way and replacing an existing file. Sends progress (0..99) to
// `progressBar` every 1000 sectors and stops when `abortEvent` is signalled; either may be
// null. A stop inside the copy (abort, end of medium, failed read) returns 0 and keeps what was
// copied; a failed write returns its error. A name the path rules reject returns
// ERROR_INVALID_NAME (ERROR_NOT_ENOUGH_MEMORY when the path ran out of memory) before anything
// is created or read.
uint32_t RipDisc(char letter, const char* imagePath, ProgressBarRef progressBar,
                 AbortEventRef abortEvent, IDiscPlatform& platform = SystemDiscPlatform());

// Sectors of the medium: Cylinders x TracksPerCylinder x SectorsPerTrack, the low 64 bits.
uint64_t SectorCount(const DiscGeometry& geometry);
