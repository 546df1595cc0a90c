// Measures what one request to a drive of the stand-in driver costs, side by side in one run:
// a request without buffers (IOCTL_CDROM_CHECK_VERIFY), which is the round trip alone; the
// same request with room for its 4-byte answer; and a 2048-byte read at an OVERLAPPED offset.
// Under Wine a request that returns data costs one more call to the server than one that
// returns none (the caller fetches the data after the completion), whatever the driver does:
// the middle figure shows that share. Run by hand under Wine (it installs the driver's service
// in the prefix and removes it again); not part of the test suite.
//   driver_read_benchmark.exe Z:\path\to\kelmor.sys Z:\path\to\image.iso
// The kinds alternate round by round on one handle; each is reported as the best of the
// rounds, in microseconds per request, with the read's cost as a multiple of the round trip.
// Then, in the same run, the whole image is read with requests of 2 KiB, 64 KiB and 256 KiB
// (the raw rates), and copied by the ripper's engine (RipDisc, as Ravelin copies a disc) into
// a file beside it: the copy's rate against the raw rate of 256 KiB reads.

#include "DiscEngine.h"
#include "DriverClient.h"
#include "KelmorService.h"
#include "KelmorTestSupport.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr DWORD kCheckVerify = 0x24800; // IOCTL_CDROM_CHECK_VERIFY, METHOD_BUFFERED
constexpr int kRounds = 5;
constexpr int kRequestsPerRound = 1000;
constexpr LONGLONG kSectorsRead = 64; // the reads cycle through the first 128 KiB

double Now() {
    LARGE_INTEGER frequency, counter;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Microseconds per request of one round; negative when a request failed.
template <typename Request> double TimeRound(Request request) {
    const double start = Now();
    for (int i = 0; i < kRequestsPerRound; ++i) {
        if (!request(i))
            return -1;
    }
    return (Now() - start) * 1e6 / kRequestsPerRound;
}

std::wstring Wide(const char* text) {
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

int Measure(wchar_t letter) {
    CHandle drive(OpenDevice(DriveDeviceName(letter)));
    if (!drive.valid()) {
        std::fprintf(stderr, "the drive does not open: %lu\n", ::GetLastError());
        return 1;
    }
    auto checkVerify = [&](int) {
        DWORD bytes = 0;
        return ::DeviceIoControl(drive.get(), kCheckVerify, nullptr, 0, nullptr, 0, &bytes,
                                 nullptr) != FALSE;
    };
    auto checkVerifyAnswered = [&](int) {
        ULONG changeCount = 0;
        DWORD bytes = 0;
        return ::DeviceIoControl(drive.get(), kCheckVerify, nullptr, 0, &changeCount,
                                 sizeof(changeCount), &bytes, nullptr) != FALSE &&
               bytes == sizeof(changeCount);
    };
    unsigned char sector[2048];
    auto read = [&](int i) {
        DWORD bytes = 0;
        return ReadAt(drive.get(), (i % kSectorsRead) * 2048, sector, sizeof(sector), bytes) &&
               bytes == sizeof(sector);
    };
    double bestCheck = 1e9, bestAnswered = 1e9, bestRead = 1e9;
    for (int round = 0; round < kRounds; ++round) {
        const double check = TimeRound(checkVerify);
        const double answered = TimeRound(checkVerifyAnswered);
        const double readCost = TimeRound(read);
        if (check < 0 || answered < 0 || readCost < 0) {
            std::fprintf(stderr, "a request failed: %lu\n", ::GetLastError());
            return 1;
        }
        std::printf("round %d: check-verify %.1f us, with its answer %.1f us, 2048-byte read "
                    "%.1f us\n",
                    round + 1, check, answered, readCost);
        bestCheck = check < bestCheck ? check : bestCheck;
        bestAnswered = answered < bestAnswered ? answered : bestAnswered;
        bestRead = readCost < bestRead ? readCost : bestRead;
    }
    std::printf("best of %d rounds of %d: check-verify %.1f us, with its answer %.1f us, "
                "2048-byte read %.1f us; read/check-verify %.2f, reads %.2f MB/s\n",
                kRounds, kRequestsPerRound, bestCheck, bestAnswered, bestRead, bestRead / bestCheck,
                2048.0 / bestRead);
    return 0;
}

// MB/s of reading the first `bytes` of the drive with requests of `size` bytes (the last one
// cut to the end); negative when a read failed.
double ReadRate(HANDLE drive, LONGLONG bytes, DWORD size) {
    std::vector<unsigned char> buffer(size);
    const double start = Now();
    for (LONGLONG offset = 0; offset < bytes; offset += size) {
        const DWORD count = static_cast<DWORD>(
            bytes - offset < static_cast<LONGLONG>(size) ? bytes - offset : size);
        DWORD read = 0;
        if (!ReadAt(drive, offset, buffer.data(), count, read) || read != count)
            return -1;
    }
    return static_cast<double>(bytes) / 1e6 / (Now() - start);
}

int MeasureCopy(wchar_t letter, const std::string& output) {
    LONGLONG bytes = 0;
    {
        CHandle drive(OpenDevice(DriveDeviceName(letter)));
        DWORD returned = 0;
        if (!drive.valid() ||
            !::DeviceIoControl(drive.get(), 0x7405C /* GET_LENGTH_INFO */, nullptr, 0, &bytes,
                               sizeof(bytes), &returned, nullptr)) {
            std::fprintf(stderr, "no length: %lu\n", ::GetLastError());
            return 1;
        }
        // Whole sectors only, as the drive serves them.
        const LONGLONG whole = bytes / 2048 * 2048;
        for (DWORD size : {2048u, 65536u, 262144u}) {
            const double rate = ReadRate(drive.get(), whole, size);
            if (rate < 0) {
                std::fprintf(stderr, "a read of %lu bytes failed: %lu\n",
                             static_cast<unsigned long>(size), ::GetLastError());
                return 1;
            }
            std::printf("reads of %lu KiB: %.1f MB/s\n", static_cast<unsigned long>(size / 1024),
                        rate);
            if (size == 262144u) {
                const double start = Now();
                const uint32_t result =
                    RipDisc(static_cast<char>(letter), output.c_str(), nullptr, nullptr);
                const double copy = static_cast<double>(bytes) / 1e6 / (Now() - start);
                ::DeleteFileA(output.c_str());
                if (result != 0) {
                    std::fprintf(stderr, "the copy failed: %lu\n",
                                 static_cast<unsigned long>(result));
                    return 1;
                }
                std::printf("copy of %.1f MB (RipDisc): %.1f MB/s, %.2f of the raw rate of "
                            "256 KiB reads\n",
                            static_cast<double>(bytes) / 1e6, copy, copy / rate);
            }
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: driver_read_benchmark KELMOR_SYS IMAGE\n");
        return 2;
    }
    CKelmorService::RemoveLeftover();
    int result = 1;
    {
        CKelmorService service;
        std::wstring error;
        WORD letter = 0;
        if (!service.Install(Wide(argv[1]), error) || !service.Start(error)) {
            std::fprintf(stderr, "the driver did not start: %ls\n", error.c_str());
        } else if (!AddDrive(letter) ||
                   !MountImage(static_cast<WCHAR>(letter), Wide(argv[2]).c_str(), 0)) {
            std::fprintf(stderr, "no drive with the image: %lu\n", ::GetLastError());
        } else {
            result = Measure(static_cast<wchar_t>(letter));
            if (result == 0)
                result = MeasureCopy(static_cast<wchar_t>(letter),
                                     std::string(argv[2]) + ".benchmark-copy.iso");
        }
    }
    CKelmorService::RemoveLeftover();
    return result;
}
