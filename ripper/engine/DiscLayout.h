#pragma once

// Which sectors of a disc the copy reads, which it writes as zeros, and what a read that fails
// there means, from the drive's table of contents and the medium's exact length.
//
// Audio tracks, the gaps between sessions, an audio track's pregap and a track's run-out
// cannot be read as 2048-byte sectors by any drive. Audio and the gaps the table of contents
// shows are written as zeros without being read, so that a later session's file system finds
// its data at the same offsets. Where the table of contents cannot show them (a pregap, a
// run-out, a gap inside what format 0 calls a track), a read fails there: it is taken as such
// only where a file system or the disc's structure says so, and reported everywhere else, so
// that no damaged data sector is ever written as zeros without a word.

#include "DiscPlatform.h"

#include <cstdint>

// The sectors between two sessions: the lead-out (6750 after the first session, 2250 after
// later ones), the next lead-in (4500) and the next first track's pregap (150).
constexpr uint64_t kFirstSessionGapSectors = 6750 + 4500 + 150;
constexpr uint64_t kLaterSessionGapSectors = 2250 + 4500 + 150;
// The pregap of an audio track that follows a data track: at least 150 sectors.
constexpr uint64_t kAudioPregapSectors = 150;
// A track written track-at-once ends with two run-out sectors that no drive reads.
constexpr uint64_t kRunOutSectors = 2;
// A primary volume descriptor stands 16 sectors into its session.
constexpr uint64_t kVolumeDescriptorSector = 16;

struct DiscExtent {
    uint64_t Start; // first sector
    uint64_t End;   // first sector after it
    bool Data;      // read; otherwise written as zeros
};

// Reads the ISO 9660 primary volume descriptor at a sector: the size of its volume in sectors,
// or 0 when the sector holds no such descriptor or cannot be read.
class IVolumeProbe {
public:
    virtual uint64_t VolumeSectors(uint64_t descriptorSector) = 0;

protected:
    ~IVolumeProbe() = default;
};

// What a read that failed inside a data track means.
struct FailedRead {
    static constexpr uint64_t kNothingFollows = ~uint64_t{0};
    // The sector lies where no drive reads data (a run-out, a pregap, a session gap): zeros up
    // to Resume, where the next data track starts, or the image ends at the failure when
    // Resume is kNothingFollows. Otherwise the sector is lost data, to be reported.
    bool Gap;
    uint64_t Resume;
};

class CDiscLayout {
public:
    static constexpr uint32_t kMaxTracks = 100;

    // One data track of `sectors` sectors: what a drive without a table of contents holds.
    void SetSingleTrack(uint64_t sectors);
    // Lays out the disc in `drive` from its full TOC, else from format 0 (LBA, else MSF) and
    // the last session, else as one data track. `scratch` (`scratchSize` bytes) takes the full
    // TOC's answer. The medium holds `mediumSectors`, its exact length when `exact`, else the
    // geometry's rounded-down count.
    void Read(IDiscPlatform& platform, PlatformHandle drive, uint8_t* scratch, uint32_t scratchSize,
              uint64_t mediumSectors, bool exact);
    // Reads a full TOC answer (`size` bytes, as TocRequest::FullToc answers it): every track
    // with its session, each session ending at its lead-out. False when it holds no usable
    // track, or no lead-out for the last session.
    bool ParseFullToc(const uint8_t* toc, uint32_t size);
    // Reads a format-0 answer (as TocRequest::TracksLba or TracksMsf answers it) of a disc
    // whose last session starts at `lastSessionStart`. False when it holds no track.
    bool ParseTracks(const uint8_t* toc, uint32_t size, bool msf, uint64_t lastSessionStart);
    // Fits the tracks to the medium: with its exact length, nothing lies past it and a last
    // data track ends there, whatever the table of contents said; without it, a lead-out the
    // MSF form could not address is no end.
    void FitToMedium(uint64_t mediumSectors, bool exact);

    // The sector after the last data track: where the copy ends. 0: the disc holds no data.
    uint64_t End() const { return m_end; }
    // The data track that holds `sector`, or the zero extent that reaches the next one, or
    // the end.
    DiscExtent ExtentAt(uint64_t sector) const;
    // What a read that failed at `sector`, inside a data track, means.
    FailedRead Settle(uint64_t sector, IVolumeProbe& probe) const;

private:
    struct Track {
        uint64_t Start;
        uint64_t End;
        bool Data;
        uint8_t Session; // from the full TOC; 0 when the drive did not tell
    };

    bool StartsSession(uint32_t track, IVolumeProbe& probe) const;
    uint64_t SessionStart(uint32_t track, IVolumeProbe& probe) const;
    bool Accept(const Track* tracks, uint32_t count, bool sessionsKnown, bool leadOutKnown,
                uint64_t lastSessionStart);

    Track m_tracks[kMaxTracks] = {};
    uint32_t m_count = 0;
    uint64_t m_end = 0;
    bool m_sessionsKnown = true;
    bool m_leadOutKnown = true; // false: the MSF form could not address it
    uint64_t m_lastSessionStart = 0;
};

// Where the last session of the disc in `drive` starts (IOCTL_CDROM_GET_LAST_SESSION); 0 when
// the drive does not tell. Windows' file system reads the volume descriptors from there.
uint64_t ReadLastSessionStart(IDiscPlatform& platform, PlatformHandle drive, bool* multiSession);
