#pragma once

// A thread-safe double of the disc platform for the dialog's tests: drives by letter, each
// with a disc of generated sectors (its label in sector 16), or empty. The label threads and
// the rip thread call it at once, so every handle keeps its own position and every record is
// kept under a lock; delays, gates and the progress sends happen outside it. Image files and
// directories live in memory. The abort event and the progress bar are the real ones.

#include "DiscPlatform.h"
#include "FileSystem.h"

#include <windows.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class CScriptedDrives : public IDiscPlatform, public IFileSystem {
public:
    static constexpr uint32_t kSectorSize = 2048;
    static constexpr int64_t kNever = -1;

    struct Disc {
        bool present = true;        // false: an empty drive, whose geometry request fails
        std::string label;          // the volume identifier; empty for none
        uint32_t sectors = 40;      // the geometry's sector count
        DWORD readDelayMs = 0;      // each copy read takes this long
        HANDLE labelGate = nullptr; // set: the label probe's read waits for it (at most 30 s)
        HANDLE readGate = nullptr;  // set: copy reads from sector gateAt on wait for it (60 s)
        int64_t gateAt = kNever;
        int64_t throwAt = kNever;         // the copy read of that sector throws
        int64_t failAt = kNever;          // the copy read of that sector fails with failError
        uint32_t failError = 23;          // ERROR_CRC
        bool progressEverySector = false; // each copy read sends PBM_SETPOS to the bar first
        bool audio = false; // an audio CD: its table of contents holds one audio track
    };

    // Configure before the dialog starts.
    void Insert(char letter, const Disc& disc);
    int64_t failWriteAt = kNever;  // the image write of that sector fails with writeError
    uint32_t writeError = 112;     // ERROR_DISK_FULL
    int64_t shortWriteAt = kNever; // the image write of that sector writes half

    // The bytes of sector `sector` of the disc in `letter`.
    std::string Sector(char letter, uint32_t sector) const;
    // The first `count` sectors of that disc, as an image of them holds them.
    std::string Expected(char letter, uint32_t count) const;

    // What happened.
    std::string Image(const std::string& name) const;
    bool HasImage(const std::string& name) const;
    int ImagesCreated() const;
    std::vector<uint32_t> Progress() const;
    int DrivesOpened() const;
    // Drive opens from a thread that would let Windows show its own critical-error box.
    int OpensWithSystemBoxes() const { return m_opensWithSystemBoxes; }
    int OpenHandles() const;
    int LiveBuffers() const { return m_liveBuffers; }
    int LockDepth() const;
    uint32_t SectorsWritten() const { return m_sectorsWritten; }
    // A copy read is inside its progress send (progressEverySector).
    bool SendInFlight() const { return m_sendInFlight; }
    int SendsCompleted() const { return m_sendsCompleted; }

    PlatformHandle OpenDrive(const char* devicePath) override;
    bool SetMediaLock(PlatformHandle drive, bool prevent) override;
    bool GetDriveGeometry(PlatformHandle drive, DiscGeometry& geometry) override;
    bool AllowExtendedDasdIo(PlatformHandle drive) override;
    bool GetLengthInfo(PlatformHandle drive, uint64_t& length) override;
    bool GetDriveGeometryEx(PlatformHandle drive, DiscGeometry& geometry,
                            uint64_t& diskSize) override;
    bool ReadToc(PlatformHandle drive, TocRequest request, void* answer, uint32_t size,
                 uint32_t& returned) override;
    uint32_t SetPosition(PlatformHandle drive, int32_t low, int32_t* high) override;
    bool Read(PlatformHandle drive, void* buffer, uint32_t size, uint32_t& read) override;
    bool ReadAt(PlatformHandle drive, uint64_t offset, void* buffer, uint32_t size,
                uint32_t& read) override;
    PlatformHandle CreateImage(const char* path) override;
    bool Write(PlatformHandle image, const void* buffer, uint32_t size, uint32_t& written) override;
    void Close(PlatformHandle handle) override;
    void* AllocateBuffer(uint32_t size) override;
    void FreeBuffer(void* buffer, uint32_t size) override;
    bool IsSignalled(AbortEventRef event) override;
    void SetProgress(ProgressBarRef progressBar, uint32_t percent) override;
    uint32_t GetLastError() override;
    IFileSystem& FileSystem() override { return *this; }

    uint32_t QueryAttributes(const char* path) override;
    bool MakeDirectory(const char* path) override;

private:
    struct Handle {
        char letter = 0; // a drive handle's drive
        uint64_t position = 0;
        bool labelProbe = false; // positioned with a 32-bit offset, as the label probe does
        std::string image;       // an image handle's file
        uint64_t written = 0;
    };

    bool Fail(uint32_t error);
    Disc DiscOf(char letter) const;

    mutable std::mutex m_mutex;
    std::map<char, Disc> m_discs;
    std::map<PlatformHandle, Handle> m_handles;
    PlatformHandle m_nextHandle = 100;
    std::map<std::string, std::string> m_images;
    std::set<std::string> m_directories;
    std::vector<uint32_t> m_progress;
    int m_imagesCreated = 0;
    int m_drivesOpened = 0;
    std::atomic<int> m_opensWithSystemBoxes{0};
    int m_lockDepth = 0;
    HWND m_hProgress = nullptr;
    std::atomic<int> m_liveBuffers{0};
    std::atomic<uint32_t> m_sectorsWritten{0};
    std::atomic<bool> m_sendInFlight{false};
    std::atomic<int> m_sendsCompleted{0};
};
