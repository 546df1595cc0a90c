#include "DiscLayout.h"

namespace {

constexpr uint32_t kTocHeaderBytes = 4;
constexpr uint32_t kTrackDescriptorBytes = 8;
constexpr uint32_t kFullTocDescriptorBytes = 11;
constexpr uint8_t kLeadOutTrack = 0xAA;
constexpr uint8_t kLastTrackPoint = 0x63;
constexpr uint8_t kLeadOutPoint = 0xA2;
constexpr uint8_t kControlDataTrack = 0x4;
constexpr uint64_t kMsfOffset = 150; // LBA 0 is 00:02:00
// The last address the MSF form holds: a disc that goes further (a DVD) is cut there.
constexpr uint64_t kLastMsfFrame = (255 * 60 + 59) * 75 + 74;

uint32_t BigEndian32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

// Minutes, seconds and frames as an LBA; `saturated` tells an address at the MSF form's end.
uint64_t LbaOfMsf(const uint8_t* msf, bool* saturated) {
    const uint64_t frames = (uint64_t{msf[0]} * 60 + msf[1]) * 75 + msf[2];
    if (saturated)
        *saturated = frames >= kLastMsfFrame;
    return frames > kMsfOffset ? frames - kMsfOffset : 0;
}

// A descriptor's address: a big-endian LBA, or 0, minutes, seconds, frames.
uint64_t AddressOf(const uint8_t* address, bool msf, bool* saturated) {
    if (saturated)
        *saturated = false;
    return msf ? LbaOfMsf(address + 1, saturated) : BigEndian32(address);
}

// The bytes of an answer that both its length field (which counts what follows it) and the
// answer hold; 0 when not even the header is there.
uint32_t AnswerLength(const uint8_t* toc, uint32_t size) {
    if (size < kTocHeaderBytes)
        return 0;
    uint32_t length = (uint32_t{toc[0]} << 8 | toc[1]) + 2;
    if (length > size)
        length = size;
    return length < kTocHeaderBytes ? 0 : length;
}

} // namespace

uint64_t ReadLastSessionStart(IDiscPlatform& platform, PlatformHandle drive, bool* multiSession) {
    // The answer: first and last complete session, then the descriptor of the last session's
    // first track, its address in LBA form.
    uint8_t session[kTocHeaderBytes + kTrackDescriptorBytes] = {};
    uint32_t returned = 0;
    if (multiSession)
        *multiSession = false;
    if (!platform.ReadToc(drive, TocRequest::LastSession, session, sizeof(session), returned) ||
        returned < sizeof(session))
        return 0;
    if (multiSession)
        *multiSession = session[3] > session[2];
    return BigEndian32(session + kTocHeaderBytes + 4);
}

void CDiscLayout::SetSingleTrack(uint64_t sectors) {
    m_tracks[0] = {0, sectors, true, 1};
    m_count = 1;
    m_end = sectors;
    m_sessionsKnown = true;
    m_leadOutKnown = true;
    m_lastSessionStart = 0;
}

bool CDiscLayout::Accept(const Track* tracks, uint32_t count, bool sessionsKnown, bool leadOutKnown,
                         uint64_t lastSessionStart) {
    if (count == 0)
        return false;
    // Tracks come in ascending order; one that goes back, or ends before it starts, is no
    // track of this disc.
    for (uint32_t i = 0; i < count; ++i) {
        if (tracks[i].End < tracks[i].Start || (i > 0 && tracks[i].Start < tracks[i - 1].End))
            return false;
    }
    for (uint32_t i = 0; i < count; ++i)
        m_tracks[i] = tracks[i];
    m_count = count;
    m_sessionsKnown = sessionsKnown;
    m_leadOutKnown = leadOutKnown;
    m_lastSessionStart = lastSessionStart;
    FitToMedium(0, false);
    return true;
}

bool CDiscLayout::ParseFullToc(const uint8_t* toc, uint32_t size) {
    const uint32_t length = AnswerLength(toc, size);
    if (length == 0)
        return false;
    // Tracks by number (the points 01h-63h), and each session's lead-out (point A2h). Only
    // descriptors of the current position (Adr 1) count; the others give lead-in addresses.
    struct Point {
        bool seen;
        uint8_t session;
        bool data;
        uint64_t start;
        bool saturated;
    } tracks[kLastTrackPoint + 1] = {}, leadOuts[256] = {};
    for (uint32_t offset = kTocHeaderBytes; offset + kFullTocDescriptorBytes <= length;
         offset += kFullTocDescriptorBytes) {
        const uint8_t* descriptor = toc + offset;
        const uint8_t point = descriptor[3];
        if (descriptor[1] >> 4 != 1 ||
            (point == 0 || (point > kLastTrackPoint && point != kLeadOutPoint)))
            continue;
        Point& entry = point == kLeadOutPoint ? leadOuts[descriptor[0]] : tracks[point];
        entry.seen = true;
        entry.session = descriptor[0];
        entry.data = (descriptor[1] & kControlDataTrack) != 0;
        entry.start = LbaOfMsf(descriptor + 8, &entry.saturated);
    }

    Track parsed[kMaxTracks];
    uint32_t count = 0;
    for (uint32_t number = 1; number <= kLastTrackPoint; ++number) {
        if (tracks[number].seen)
            parsed[count++] = {tracks[number].start, 0, tracks[number].data,
                               tracks[number].session};
    }
    if (count == 0)
        return false;
    // A track ends where the next one of its session starts, or at its session's lead-out;
    // the last session must tell its lead-out.
    bool leadOutKnown = true;
    for (uint32_t i = 0; i < count; ++i) {
        const Point& leadOut = leadOuts[parsed[i].Session];
        const bool last = i + 1 == count;
        if (!last && parsed[i + 1].Session == parsed[i].Session)
            parsed[i].End = parsed[i + 1].Start;
        else if (leadOut.seen)
            parsed[i].End =
                !last && leadOut.start > parsed[i + 1].Start ? parsed[i + 1].Start : leadOut.start;
        else if (!last)
            parsed[i].End = parsed[i + 1].Start;
        else
            return false;
        if (last)
            leadOutKnown = !leadOut.saturated;
    }
    return Accept(parsed, count, true, leadOutKnown, 0);
}

bool CDiscLayout::ParseTracks(const uint8_t* toc, uint32_t size, bool msf,
                              uint64_t lastSessionStart) {
    const uint32_t length = AnswerLength(toc, size);
    if (length == 0)
        return false;
    const uint32_t descriptors = (length - kTocHeaderBytes) / kTrackDescriptorBytes;

    Track parsed[kMaxTracks];
    uint32_t count = 0;
    for (uint32_t i = 0; i < descriptors; ++i) {
        const uint8_t* descriptor = toc + kTocHeaderBytes + i * kTrackDescriptorBytes;
        bool saturated = false;
        const uint64_t start = AddressOf(descriptor + 4, msf, &saturated);
        if (descriptor[2] == kLeadOutTrack) {
            if (count == 0)
                return false;
            parsed[count - 1].End = start;
            return Accept(parsed, count, false, !saturated, lastSessionStart);
        }
        if (count == kMaxTracks)
            return false;
        if (count > 0)
            parsed[count - 1].End = start;
        parsed[count++] = {start, start, (descriptor[1] & kControlDataTrack) != 0, 0};
    }
    return false; // no lead-out
}

void CDiscLayout::FitToMedium(uint64_t mediumSectors, bool exact) {
    Track& last = m_tracks[m_count - 1];
    if (exact) {
        for (uint32_t i = 0; i < m_count; ++i) {
            if (m_tracks[i].Start > mediumSectors)
                m_tracks[i].Start = mediumSectors;
            if (m_tracks[i].End > mediumSectors)
                m_tracks[i].End = mediumSectors;
        }
        if (last.Data)
            last.End = mediumSectors;
    } else if (!m_leadOutKnown && last.Data && last.End < mediumSectors) {
        last.End = mediumSectors;
    }
    m_end = 0;
    for (uint32_t i = 0; i < m_count; ++i) {
        if (m_tracks[i].Data && m_tracks[i].End > m_tracks[i].Start)
            m_end = m_tracks[i].End;
    }
    if (m_lastSessionStart >= m_end)
        m_lastSessionStart = 0;
}

void CDiscLayout::Read(IDiscPlatform& platform, PlatformHandle drive, uint8_t* scratch,
                       uint32_t scratchSize, uint64_t mediumSectors, bool exact) {
    SetSingleTrack(mediumSectors);
    uint32_t returned = 0;
    const uint32_t room = (scratchSize < kFullTocBytes ? scratchSize : kFullTocBytes) & ~3u;
    bool parsed = platform.ReadToc(drive, TocRequest::FullToc, scratch, room, returned) &&
                  ParseFullToc(scratch, returned);
    if (!parsed) {
        bool multiSession = false;
        uint64_t lastSessionStart = ReadLastSessionStart(platform, drive, &multiSession);
        if (!multiSession)
            lastSessionStart = 0;
        uint8_t toc[kTocBytes] = {};
        returned = 0;
        parsed = platform.ReadToc(drive, TocRequest::TracksLba, toc, sizeof(toc), returned) &&
                 ParseTracks(toc, returned, false, lastSessionStart);
        returned = 0;
        if (!parsed && platform.ReadToc(drive, TocRequest::TracksMsf, toc, sizeof(toc), returned))
            ParseTracks(toc, returned, true, lastSessionStart);
    }
    FitToMedium(mediumSectors, exact);
}

DiscExtent CDiscLayout::ExtentAt(uint64_t sector) const {
    uint64_t next = m_end;
    for (uint32_t i = 0; i < m_count; ++i) {
        const Track& track = m_tracks[i];
        if (!track.Data || track.End <= track.Start)
            continue;
        if (sector >= track.Start && sector < track.End)
            return {sector, track.End, true};
        if (track.Start > sector && track.Start < next)
            next = track.Start;
    }
    return {sector, next > sector ? next : sector + 1, false};
}

// Whether `track` starts a session: where the full TOC says so; else the first track, the last
// session's start, and a data track that holds a session's own primary volume descriptor.
bool CDiscLayout::StartsSession(uint32_t track, IVolumeProbe& probe) const {
    if (track == 0)
        return true;
    const Track& t = m_tracks[track];
    if (m_sessionsKnown)
        return t.Session != m_tracks[track - 1].Session;
    if (m_lastSessionStart != 0 && t.Start == m_lastSessionStart)
        return true;
    return t.Data && probe.VolumeSectors(t.Start + kVolumeDescriptorSector) != 0;
}

uint64_t CDiscLayout::SessionStart(uint32_t track, IVolumeProbe& probe) const {
    while (!StartsSession(track, probe))
        --track;
    return m_tracks[track].Start;
}

FailedRead CDiscLayout::Settle(uint64_t sector, IVolumeProbe& probe) const {
    const FailedRead lost = {false, 0};
    uint32_t t = 0;
    while (t < m_count &&
           !(m_tracks[t].Data && sector >= m_tracks[t].Start && sector < m_tracks[t].End))
        ++t;
    if (t == m_count)
        return lost;
    const Track& track = m_tracks[t];
    // Only the end of a session, or of the data before an audio track, holds sectors that no
    // drive reads; a failure between two data tracks of one session is lost data.
    const bool lastTrack = t + 1 == m_count;
    const bool audioFollows = !lastTrack && !m_tracks[t + 1].Data;
    const bool sessionEnds = !lastTrack && StartsSession(t + 1, probe);
    if (!lastTrack && !audioFollows && !sessionEnds)
        return lost;

    // The session's file system says where its data ends, counted from sector 0 as
    // multi-session writers count it; believed only when it ends within this track.
    const uint64_t sessionStart = SessionStart(t, probe);
    const uint64_t volume = probe.VolumeSectors(sessionStart + kVolumeDescriptorSector);
    bool gap;
    if (volume >= sessionStart + kVolumeDescriptorSector + 1 && volume <= track.End) {
        gap = sector >= volume;
    } else {
        // Without one, only the stretch that the disc's structure puts at the track's end: at
        // the disc's very end nothing confirms a run-out, so a failure there is reported.
        uint64_t window = 0;
        if (audioFollows)
            window = kAudioPregapSectors + kRunOutSectors;
        else if (sessionEnds && m_sessionsKnown)
            window = kRunOutSectors; // the gap itself lies past the session's lead-out
        else if (sessionEnds)
            window = (sessionStart == m_tracks[0].Start ? kFirstSessionGapSectors
                                                        : kLaterSessionGapSectors) +
                     kRunOutSectors;
        gap = window != 0 && sector + window >= track.End;
    }
    if (!gap)
        return lost;
    for (uint32_t next = t + 1; next < m_count; ++next) {
        if (m_tracks[next].Data && m_tracks[next].End > m_tracks[next].Start)
            return {true, m_tracks[next].Start};
    }
    return {true, FailedRead::kNothingFollows};
}
