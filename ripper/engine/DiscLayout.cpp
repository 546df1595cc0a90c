#include "DiscLayout.h"

namespace {

constexpr uint32_t kTocHeaderBytes = 4;
constexpr uint32_t kTrackDescriptorBytes = 8;
constexpr uint8_t kLeadOutTrack = 0xAA;
constexpr uint8_t kControlDataTrack = 0x4;
constexpr uint64_t kMsfOffset = 150; // LBA 0 is 00:02:00

uint32_t BigEndian32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

// A descriptor's address: a big-endian LBA, or 0, minutes, seconds, frames.
uint64_t AddressOf(const uint8_t* address, bool msf) {
    if (!msf)
        return BigEndian32(address);
    uint64_t frames = (uint64_t{address[1]} * 60 + address[2]) * 75 + address[3];
    return frames > kMsfOffset ? frames - kMsfOffset : 0;
}

} // namespace

void CDiscLayout::SetSingleTrack(uint64_t sectors) {
    m_extents[0] = {0, sectors, true, 0};
    m_count = 1;
    m_end = sectors;
    m_lastSessionStart = 0;
}

bool CDiscLayout::ParseTracks(const uint8_t* toc, uint32_t size, bool msf, bool multiSession,
                              uint64_t lastSessionStart) {
    if (size < kTocHeaderBytes)
        return false;
    // The length field counts the bytes after itself; only what both it and the answer hold
    // is read.
    uint32_t length = (uint32_t{toc[0]} << 8 | toc[1]) + 2;
    if (length > size)
        length = size;
    if (length < kTocHeaderBytes)
        return false;
    const uint32_t descriptors = (length - kTocHeaderBytes) / kTrackDescriptorBytes;

    struct Track {
        uint64_t start;
        bool data;
    } tracks[kMaxExtents];
    uint32_t count = 0;
    bool haveLeadOut = false;
    uint64_t leadOut = 0;
    for (uint32_t i = 0; i < descriptors; ++i) {
        const uint8_t* descriptor = toc + kTocHeaderBytes + i * kTrackDescriptorBytes;
        const uint64_t start = AddressOf(descriptor + 4, msf);
        if (descriptor[2] == kLeadOutTrack) {
            haveLeadOut = true;
            leadOut = start;
            break;
        }
        // Tracks come in ascending order; one that goes back is no track of this disc.
        if (count == kMaxExtents - 1 || (count > 0 && start < tracks[count - 1].start))
            return false;
        tracks[count++] = {start, (descriptor[1] & kControlDataTrack) != 0};
    }
    if (count == 0 || !haveLeadOut || leadOut < tracks[count - 1].start)
        return false;

    m_count = 0;
    m_end = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const bool last = i + 1 == count;
        const uint64_t end = last ? leadOut : tracks[i + 1].start;
        uint64_t window = 0;
        if (tracks[i].data && !last)
            window =
                multiSession ? kSessionGapSectors : (!tracks[i + 1].data ? kAudioPregapSectors : 0);
        m_extents[m_count++] = {tracks[i].start, end, tracks[i].data, window};
        if (tracks[i].data)
            m_end = end;
    }
    m_lastSessionStart = lastSessionStart < m_end ? lastSessionStart : 0;
    return true;
}

void CDiscLayout::Read(IDiscPlatform& platform, PlatformHandle drive) {
    uint8_t session[kTocBytes] = {};
    uint32_t returned = 0;
    bool multiSession = false;
    uint64_t lastSessionStart = 0;
    // The last session's answer: first and last complete session, then the descriptor of the
    // last session's first track, its address in LBA form.
    if (platform.ReadToc(drive, TocRequest::LastSession, session, sizeof(session), returned) &&
        returned >= kTocHeaderBytes + kTrackDescriptorBytes) {
        multiSession = session[3] > session[2];
        lastSessionStart = BigEndian32(session + kTocHeaderBytes + 4);
    }

    uint8_t toc[kTocBytes] = {};
    returned = 0;
    if (platform.ReadToc(drive, TocRequest::TracksLba, toc, sizeof(toc), returned) &&
        ParseTracks(toc, returned, false, multiSession, lastSessionStart))
        return;
    returned = 0;
    if (platform.ReadToc(drive, TocRequest::TracksMsf, toc, sizeof(toc), returned) &&
        ParseTracks(toc, returned, true, multiSession, lastSessionStart))
        return;
}

DiscExtent CDiscLayout::ExtentAt(uint64_t sector) const {
    uint64_t next = m_end;
    for (uint32_t i = 0; i < m_count; ++i) {
        const DiscExtent& extent = m_extents[i];
        if (sector >= extent.Start && sector < extent.End)
            return extent;
        if (extent.Start > sector && extent.Start < next)
            next = extent.Start;
    }
    return {sector, next > sector ? next : sector + 1, false, 0};
}
