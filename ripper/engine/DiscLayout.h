#pragma once

// Which sectors of a disc the copy reads and which it writes as zeros, from the drive's table
// of contents. A copy runs to the end of the last data track. Audio tracks, and the gaps that
// separate sessions, cannot be read as 2048-byte sectors by any drive: they are written as
// zeros, so that a later session's file system finds its data at the same offsets. A drive
// that answers no table of contents holds one data track of the medium's exact size.

#include "DiscPlatform.h"

#include <cstdint>

// The sectors that end a session on a disc of several: the first session's lead-out (6750),
// the next one's lead-in (4500) and its first track's pregap (150). Later sessions' gaps are
// shorter (6900). Any of them may fail to read as data.
constexpr uint64_t kSessionGapSectors = 6750 + 4500 + 150;
// The pregap of an audio track that follows a data track (150 sectors), and the two run-out
// sectors of a data track written track-at-once: they may fail to read as data.
constexpr uint64_t kAudioPregapSectors = 150 + 2;
// A track written track-at-once ends with two run-out sectors that no drive can read.
constexpr uint64_t kRunOutSectors = 2;

struct DiscExtent {
    uint64_t Start; // first sector
    uint64_t End;   // first sector after it
    bool Data;      // read; otherwise written as zeros
    // A failure this close to the end (in sectors) falls into what follows the track's data
    // (the session's lead-out, an audio track's pregap): the rest is written as zeros.
    uint64_t GapWindow;
};

class CDiscLayout {
public:
    static constexpr uint32_t kMaxExtents = 100;

    // One data track of `sectors` sectors: what a drive without a table of contents holds.
    void SetSingleTrack(uint64_t sectors);
    // Reads the table of contents (the LBA form, else the MSF one) and the last session. A
    // drive that answers neither form, or answers no track, keeps the single track.
    void Read(IDiscPlatform& platform, PlatformHandle drive);
    // Lays out the tracks of a table of contents (`size` bytes, as TocRequest::TracksLba or
    // TracksMsf answers it) on a disc whose last session starts at `lastSessionStart` and which
    // has several sessions when `multiSession`. False when the answer holds no track.
    bool ParseTracks(const uint8_t* toc, uint32_t size, bool msf, bool multiSession,
                     uint64_t lastSessionStart);

    // The sector after the last data track: where the copy ends.
    uint64_t End() const { return m_end; }
    // Where the last session starts: its primary volume descriptor is 16 sectors in.
    uint64_t LastSessionStart() const { return m_lastSessionStart; }
    // The extent that holds `sector`; a sector outside every track is in a zero extent that
    // reaches the next track, or the end.
    DiscExtent ExtentAt(uint64_t sector) const;

private:
    DiscExtent m_extents[kMaxExtents] = {};
    uint32_t m_count = 0;
    uint64_t m_end = 0;
    uint64_t m_lastSessionStart = 0;
};
