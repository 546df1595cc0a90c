#pragma once

// CImageWriter: writes the image on a thread of its own, so that the write of one chunk
// overlaps the read of the next: the copy hands it one buffer at a time and fills the other
// meanwhile. Writes go in the order they were handed, and each reports the progress of the
// sectors it completes, on the writing thread, after the write. Where no thread can be had
// the writes are made on the caller's thread instead, and so they are when the progress bar is
// a window of the caller's thread: the caller, waiting for the writer, would not read the
// writer's sends to it. The destructor waits for the write in flight, so the writer is
// destroyed before the buffers and the image go.

#include "DiscPlatform.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class CImageWriter {
public:
    // Progress goes to `progressBar` (null: none) as a percentage of `progressSectors`.
    CImageWriter(IDiscPlatform& platform, PlatformHandle image, ProgressBarRef progressBar,
                 uint32_t sectorSize, uint64_t progressSectors);
    CImageWriter(const CImageWriter&) = delete;
    CImageWriter& operator=(const CImageWriter&) = delete;
    ~CImageWriter();

    // Hands `bytes` of `buffer` over to be written once the write before it is done; the
    // buffer is the writer's until the next Submit or Finish returns. The error of an earlier
    // write, or 0.
    uint32_t Submit(const unsigned char* buffer, uint32_t bytes);
    // Waits for the write in flight: 0 when every write succeeded, else the first error.
    uint32_t Finish();

private:
    void Work();
    uint32_t Write(const unsigned char* buffer, uint32_t bytes);

    IDiscPlatform& m_platform;
    PlatformHandle m_image;
    ProgressBarRef m_progressBar;
    uint32_t m_sectorSize;
    uint64_t m_progressSectors;
    uint64_t m_written = 0; // the writing thread's alone
    std::mutex m_lock;
    std::condition_variable m_wake; // a buffer was handed over, or the writer is to stop
    std::condition_variable m_idle; // the write in flight is done
    const unsigned char* m_buffer = nullptr;
    uint32_t m_bytes = 0; // nonzero: a write handed over and not yet done
    uint32_t m_error = 0;
    bool m_stop = false;
    std::thread m_thread;
};
