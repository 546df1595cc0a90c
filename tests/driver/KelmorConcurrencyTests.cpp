// The stand-in driver under concurrent requests: several threads add and remove drives, mount,
// eject and remount images, query the drives and their images, and read and lock media, all at
// once, for a fixed count of operations each. No call may hang (each is timed and the whole
// run is bounded); every sector read must be the sector of one of the images; afterwards every
// drive answers its image query consistently, no image is left open, and the service stops.

#include "KelmorService.h"
#include "KelmorTestEnvironment.h"
#include "KelmorTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kOperationsPerThread = 500;
constexpr DWORD kRunBoundMs = 90000;
constexpr DWORD kCallBoundMs = 10000;

const auto* const g_environment =
    ::testing::AddGlobalTestEnvironment(new CKelmorTestEnvironment(300));

struct CImage {
    std::wstring path;
    std::vector<unsigned char> sector16;
};

// What the threads share: the images, the counts, and what went wrong.
struct CRun {
    std::vector<CImage> images;
    std::atomic<unsigned> operations{0};
    std::atomic<unsigned> successes{0};
    std::atomic<DWORD> slowestMs{0};
    std::atomic<unsigned> wrongSectors{0};
    std::atomic<unsigned> inconsistentAnswers{0};
};

// A small deterministic generator per thread.
class CRandom {
public:
    explicit CRandom(unsigned seed) : m_state(seed * 2654435761u + 1) {}
    unsigned Next(unsigned bound) {
        m_state = m_state * 1103515245u + 12345u;
        return (m_state >> 8) % bound;
    }

private:
    unsigned m_state;
};

// Times one call; the slowest is reported and bounded.
template <class Call> bool Timed(CRun& run, Call call) {
    const DWORD started = GetTickCount();
    const bool ok = call();
    const DWORD took = GetTickCount() - started;
    DWORD slowest = run.slowestMs.load();
    while (took > slowest && !run.slowestMs.compare_exchange_weak(slowest, took)) {
    }
    ++run.operations;
    if (ok)
        ++run.successes;
    return ok;
}

wchar_t AnyDrive(CRandom& random) {
    DRIVE_LIST list{};
    if (!QueryDrives(list) || DriveListCount(list) == 0)
        return 0;
    return list.Letters[random.Next(DriveListCount(list))];
}

bool IsSectorOfAnImage(const CRun& run, const unsigned char* sector) {
    for (const CImage& image : run.images) {
        if (std::memcmp(sector, image.sector16.data(), 2048) == 0)
            return true;
    }
    return false;
}

enum class Role { AddRemove, MountEject, Query, Read, LockRead };

struct CWorker {
    CRun* run;
    Role role;
    unsigned seed;
};

void AddRemove(CRun& run, CRandom& random) {
    WORD letter = 0;
    if (Timed(run, [&] { return AddDrive(letter) != FALSE; })) {
        if (random.Next(2) == 0) {
            const CImage& image = run.images[random.Next(static_cast<unsigned>(run.images.size()))];
            Timed(run, [&] { return MountImage(letter, image.path.c_str(), 0) != FALSE; });
        }
        Sleep(random.Next(5));
        Timed(run, [&] { return RemoveDrive(letter) != FALSE; });
    }
}

void MountEject(CRun& run, CRandom& random) {
    const wchar_t letter = AnyDrive(random);
    if (letter == 0)
        return;
    switch (random.Next(3)) {
    case 0: {
        const CImage& image = run.images[random.Next(static_cast<unsigned>(run.images.size()))];
        Timed(run, [&] { return MountImage(letter, image.path.c_str(), random.Next(4)) != FALSE; });
        break;
    }
    case 1:
        Timed(run, [&] { return EjectDrive(letter) != FALSE; });
        break;
    default:
        Timed(run, [&] { return RemountDrive(letter) != FALSE; });
        break;
    }
}

void Query(CRun& run, CRandom& random) {
    DRIVE_LIST list{};
    if (!Timed(run, [&] { return QueryDrives(list) != FALSE; }))
        return;
    if (list.Count > 26)
        ++run.inconsistentAnswers;
    const unsigned count = DriveListCount(list);
    if (count == 0)
        return;
    IMAGE_INFO info{};
    if (!Timed(run, [&] { return QueryImage(list.Letters[random.Next(count)], info) != FALSE; }))
        return;
    // A mounted drive names one of the images.
    if (info.Mounted) {
        const std::wstring path = ImagePathOf(info);
        bool known = false;
        for (const CImage& image : run.images)
            known = known || image.path == path;
        if (!known)
            ++run.inconsistentAnswers;
    }
}

void Read(CRun& run, CRandom& random, bool lock) {
    const wchar_t letter = AnyDrive(random);
    if (letter == 0)
        return;
    CHandle drive(OpenDevice(DriveDeviceName(letter)));
    if (!drive.valid())
        return; // removed meanwhile
    DWORD bytes = 0;
    BYTE prevent = 1;
    const bool locked = lock && Timed(run, [&] {
                            return DeviceIoControl(drive.get(), 0x24804, &prevent, 1, nullptr, 0,
                                                   &bytes, nullptr) != FALSE;
                        });
    unsigned char sector[2048];
    if (Timed(run, [&] { return ReadAt(drive.get(), 16 * 2048, sector, 2048, bytes); }) &&
        (bytes != 2048 || !IsSectorOfAnImage(run, sector)))
        ++run.wrongSectors;
    if (locked && random.Next(2) == 0) {
        prevent = 0;
        Timed(run, [&] {
            return DeviceIoControl(drive.get(), 0x24804, &prevent, 1, nullptr, 0, &bytes,
                                   nullptr) != FALSE;
        });
    }
    // Otherwise the lock goes with the handle.
}

DWORD WINAPI WorkerMain(LPVOID parameter) {
    CWorker& worker = *static_cast<CWorker*>(parameter);
    CRandom random(worker.seed);
    for (int i = 0; i < kOperationsPerThread; ++i) {
        switch (worker.role) {
        case Role::AddRemove:
            AddRemove(*worker.run, random);
            break;
        case Role::MountEject:
            MountEject(*worker.run, random);
            break;
        case Role::Query:
            Query(*worker.run, random);
            break;
        case Role::Read:
            Read(*worker.run, random, false);
            break;
        case Role::LockRead:
            Read(*worker.run, random, true);
            break;
        }
    }
    return 0;
}

class KelmorConcurrency : public CKelmorRunningTest {};

TEST_F(KelmorConcurrency, ManyThreadsAtOnceLeaveEveryDriveConsistent) {
    CRun run;
    const std::wstring dir = WindowsPath(KELMOR_TEST_DIR);
    run.images.push_back({WindowsPath(KELMOR_TEST_ISO), {}});
    for (unsigned seed : {1u, 2u}) {
        const std::wstring path = dir + L"\\concurrent-" + std::to_wstring(seed) + L".img";
        ASSERT_TRUE(MakePatternFile(path, 64, seed));
        run.images.push_back({path, {}});
    }
    for (CImage& image : run.images) {
        const std::vector<unsigned char> bytes = ReadFileBytes(image.path);
        ASSERT_GE(bytes.size(), 17u * 2048);
        image.sector16.assign(bytes.begin() + 16 * 2048, bytes.begin() + 17 * 2048);
    }
    // Three drives to start with, each with an image.
    for (const CImage& image : run.images) {
        WORD letter = 0;
        ASSERT_TRUE(AddDrive(letter)) << GetLastError();
        ASSERT_TRUE(MountImage(letter, image.path.c_str(), 0)) << GetLastError();
    }

    const Role roles[] = {Role::AddRemove, Role::MountEject, Role::MountEject,
                          Role::Query,     Role::Read,       Role::LockRead};
    std::vector<CWorker> workers;
    for (unsigned i = 0; i < sizeof(roles) / sizeof(roles[0]); ++i)
        workers.push_back({&run, roles[i], i + 1});
    std::vector<HANDLE> threads;
    for (CWorker& worker : workers) {
        HANDLE thread = CreateThread(nullptr, 0, WorkerMain, &worker, 0, nullptr);
        ASSERT_NE(thread, nullptr) << GetLastError();
        threads.push_back(thread);
    }
    const DWORD started = GetTickCount();
    const DWORD wait = WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(),
                                              TRUE, kRunBoundMs);
    const DWORD took = GetTickCount() - started;
    // A thread that hangs in the driver cannot be ended safely: the watchdog takes the process.
    ASSERT_NE(wait, static_cast<DWORD>(WAIT_TIMEOUT))
        << "the concurrent operations did not finish within " << kRunBoundMs / 1000 << " s";
    for (HANDLE thread : threads)
        CloseHandle(thread);

    std::printf("[ parallel ] %u operations (%u succeeded) in %lu ms; slowest call %lu ms\n",
                run.operations.load(), run.successes.load(), static_cast<unsigned long>(took),
                static_cast<unsigned long>(run.slowestMs.load()));
    EXPECT_LT(run.slowestMs.load(), kCallBoundMs) << "a call took too long";
    EXPECT_EQ(run.wrongSectors.load(), 0u) << "reads delivered a sector of no image";
    EXPECT_EQ(run.inconsistentAnswers.load(), 0u);
    EXPECT_GT(run.successes.load(), run.operations.load() / 4) << "almost every request failed";

    // Every drive listed answers its image query, and a mounted one reads its own image.
    for (wchar_t letter : ListDrives()) {
        SCOPED_TRACE(static_cast<char>(letter));
        IMAGE_INFO info{};
        ASSERT_TRUE(QueryImage(letter, info)) << GetLastError();
        if (!info.Mounted)
            continue;
        const std::wstring path = ImagePathOf(info);
        const CImage* image = nullptr;
        for (const CImage& candidate : run.images) {
            if (candidate.path == path)
                image = &candidate;
        }
        ASSERT_NE(image, nullptr) << "a drive names an image nobody mounted";
        CHandle drive(OpenDevice(DriveDeviceName(letter)));
        ASSERT_TRUE(drive.valid()) << GetLastError();
        unsigned char sector[2048];
        DWORD bytes = 0;
        ASSERT_TRUE(ReadAt(drive.get(), 16 * 2048, sector, sizeof(sector), bytes))
            << GetLastError();
        EXPECT_EQ(std::memcmp(sector, image->sector16.data(), 2048), 0);
    }

    // Every drive goes (locks left by closed handles went with them), and then no image is
    // held open by anyone: every handle the driver took was closed.
    for (wchar_t letter : ListDrives()) {
        bool removed = false;
        for (int attempt = 0; attempt < 100 && !removed; ++attempt) {
            removed = RemoveDrive(letter) != FALSE;
            if (!removed)
                Sleep(20);
        }
        EXPECT_TRUE(removed) << static_cast<char>(letter) << ": " << GetLastError();
    }
    EXPECT_TRUE(ListDrives().empty());
    for (const CImage& image : run.images)
        EXPECT_TRUE(IsReleased(image.path)) << std::string(image.path.begin(), image.path.end());

    std::wstring error;
    EXPECT_TRUE(m_service.Stop(error)) << std::string(error.begin(), error.end());
}

} // namespace
