#include "ImageWriter.h"

#include <system_error>

namespace {

constexpr uint64_t kProgressInterval = 1000;

// Writes `size` bytes of the buffer to the image: 0 when all of them were written, otherwise
// the write's error (ERROR_HANDLE_DISK_FULL for a short write that reports none).
uint32_t WriteSector(IDiscPlatform& platform, PlatformHandle image, const void* buffer,
                     uint32_t size) {
    uint32_t written = 0;
    if (!platform.Write(image, buffer, size, written)) {
        uint32_t error = platform.GetLastError();
        return error != 0 ? error : kErrorWriteFault;
    }
    return written == size ? 0 : kErrorHandleDiskFull;
}

} // namespace

CImageWriter::CImageWriter(IDiscPlatform& platform, PlatformHandle image,
                           ProgressBarRef progressBar, uint32_t sectorSize,
                           uint64_t progressSectors)
    : m_platform(platform), m_image(image), m_progressBar(progressBar), m_sectorSize(sectorSize),
      m_progressSectors(progressSectors) {
    if (progressBar && platform.IsProgressBarOfThisThread(progressBar))
        return;
    try {
        m_thread = std::thread(&CImageWriter::Work, this);
    } catch (const std::system_error&) {
    }
}

CImageWriter::~CImageWriter() {
    if (!m_thread.joinable())
        return;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_idle.wait(lock, [this] { return m_bytes == 0; });
        m_stop = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

uint32_t CImageWriter::Submit(const unsigned char* buffer, uint32_t bytes) {
    if (!m_thread.joinable()) {
        if (m_error == 0 && bytes != 0)
            m_error = Write(buffer, bytes);
        return m_error;
    }
    std::unique_lock<std::mutex> lock(m_lock);
    m_idle.wait(lock, [this] { return m_bytes == 0; });
    if (m_error == 0 && bytes != 0) {
        m_buffer = buffer;
        m_bytes = bytes;
        lock.unlock();
        m_wake.notify_one();
        return 0;
    }
    return m_error;
}

uint32_t CImageWriter::Finish() {
    if (!m_thread.joinable())
        return m_error;
    std::unique_lock<std::mutex> lock(m_lock);
    m_idle.wait(lock, [this] { return m_bytes == 0; });
    return m_error;
}

void CImageWriter::Work() {
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || m_bytes != 0; });
        if (m_bytes == 0)
            return;
        const unsigned char* buffer = m_buffer;
        const uint32_t bytes = m_bytes;
        lock.unlock();
        const uint32_t error = Write(buffer, bytes);
        lock.lock();
        m_error = error;
        m_bytes = 0;
        m_idle.notify_one();
    }
}

// Writes on the writing thread and reports progress for the sectors the write completes:
// sector i's report, after its write, for i = 0, 1000, 2000 and so on.
uint32_t CImageWriter::Write(const unsigned char* buffer, uint32_t bytes) {
    if (uint32_t error = WriteSector(m_platform, m_image, buffer, bytes))
        return error;
    const uint64_t first = m_written / m_sectorSize;
    m_written += bytes;
    const uint64_t end = (m_written + m_sectorSize - 1) / m_sectorSize;
    if (m_progressBar) {
        for (uint64_t i = (first + kProgressInterval - 1) / kProgressInterval * kProgressInterval;
             i < end; i += kProgressInterval)
            m_platform.SetProgress(m_progressBar,
                                   static_cast<uint32_t>(i * 100 / m_progressSectors));
    }
    return 0;
}
