// The stand-in driver under Wine, reached through the control panel's client: drives, mounts
// of a real ISO image, reads through the drive device, persistent mounts, and a stopped
// service. Each test installs and starts the service and leaves the prefix without it.

#include "DriverClient.h"
#include "KelmorService.h"
#include "KelmorTestSupport.h"
#include "KelmorTestEnvironment.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr DWORD kCdromGetDriveGeometry = 0x2404C;
constexpr DWORD kCdromMediaRemoval = 0x24804;
constexpr DWORD kCdromCheckVerify = 0x24800;
constexpr DWORD kDiskGetLengthInfo = 0x7405C;
constexpr DWORD kCdromReadTocEx = 0x24054;
constexpr DWORD kCdromReadToc = 0x24000;
constexpr DWORD kCdromGetLastSession = 0x24038;
constexpr LONGLONG kCylinderBytes = 2048LL * 32 * 64;
constexpr DWORD kCheckSendCleanup = 0x233FC; // the checking build's own requests
constexpr DWORD kCheckCloseAsReader = 0x233F8;

std::wstring DriverFile() {
    return WindowsPath(KELMOR_SYS_PATH);
}

std::wstring TestIso() {
    return WindowsPath(KELMOR_TEST_ISO);
}

std::wstring TestDir() {
    return WindowsPath(KELMOR_TEST_DIR);
}

HANDLE OpenDrive(wchar_t letter) {
    const wchar_t name[] = {L'\\', L'\\', L'.', L'\\', letter, L':', 0};
    return CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

LONGLONG FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return static_cast<LONGLONG>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

// A file of `size` bytes whose byte at offset i is (i / 2048 + seed) & 0xFF.
bool MakeFile(const std::wstring& path, LONGLONG size, unsigned seed) {
    CHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
        return false;
    std::vector<unsigned char> sector(2048);
    for (LONGLONG offset = 0; offset < size; offset += 2048) {
        std::fill(sector.begin(), sector.end(),
                  static_cast<unsigned char>((offset / 2048 + seed) & 0xFF));
        const DWORD chunk = static_cast<DWORD>(std::min<LONGLONG>(2048, size - offset));
        DWORD written = 0;
        if (!WriteFile(file.get(), sector.data(), chunk, &written, nullptr) || written != chunk)
            return false;
    }
    return true;
}

// The drive reports `iso` as mounted, and reading it through the drive finds an ISO 9660
// volume descriptor at sector 16.
void ExpectIsoMounted(wchar_t letter, const std::wstring& iso) {
    IMAGE_INFO info{};
    ASSERT_TRUE(QueryImage(letter, info)) << GetLastError();
    EXPECT_NE(info.Mounted, 0u);
    EXPECT_EQ(ImagePathOf(info), iso);
    CHandle drive(OpenDrive(letter));
    ASSERT_TRUE(drive.valid()) << GetLastError();
    unsigned char sector[2048];
    DWORD bytes = 0;
    ASSERT_TRUE(ReadAt(drive.get(), 16 * 2048, sector, sizeof(sector), bytes)) << GetLastError();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(sector) + 1, 5), "CD001");
}

// A persistent-mount record as the control panel writes it.
bool WriteRecord(wchar_t keyLetter, const std::wstring& drive, const std::wstring& image) {
    const std::wstring keyPath = std::wstring(kKelmorParametersKey) + L"\\Device" + keyLetter;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    auto set = [key](const wchar_t* name, const std::wstring& text) {
        return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) ==
               ERROR_SUCCESS;
    };
    const bool written = set(L"DRIVE", drive) && set(L"IMAGE", image);
    RegCloseKey(key);
    return written;
}

const auto* const g_environment =
    ::testing::AddGlobalTestEnvironment(new CKelmorTestEnvironment(420));

class KelmorDriver : public ::testing::Test {
protected:
    void SetUp() override {
        std::wstring error;
        ASSERT_TRUE(m_service.Install(DriverFile(), error))
            << std::string(error.begin(), error.end());
        ASSERT_TRUE(m_service.Start(error)) << std::string(error.begin(), error.end());
    }

    wchar_t AddOneDrive() {
        WORD letter = 0;
        EXPECT_TRUE(AddDrive(letter)) << GetLastError();
        return static_cast<wchar_t>(letter);
    }

    // A service that cannot be removed would fail every test after this one.
    void TearDown() override { EXPECT_TRUE(m_service.Remove()); }

    CKelmorService m_service;
};

TEST_F(KelmorDriver, StartsWithNoDrives) {
    DRIVE_LIST list{};
    ASSERT_TRUE(QueryDrives(list)) << GetLastError();
    EXPECT_EQ(list.Count, 0u);
}

TEST_F(KelmorDriver, AddDriveTakesTheLowestFreeLetterAndListsInCreationOrder) {
    const DWORD taken = GetLogicalDrives();
    WORD first = 0, second = 0, third = 0;
    ASSERT_TRUE(AddDrive(first)) << GetLastError();
    ASSERT_TRUE(AddDrive(second)) << GetLastError();

    // The lowest letter from D up that named nothing before.
    wchar_t expected = L'D';
    while (taken & (1u << (expected - L'A')))
        ++expected;
    EXPECT_EQ(first, expected);
    EXPECT_GT(second, first);
    EXPECT_FALSE(taken & (1u << (second - L'A')));

    // Removing the first frees its letter for the next drive, which is listed last.
    ASSERT_TRUE(RemoveDrive(static_cast<WCHAR>(first))) << GetLastError();
    ASSERT_TRUE(AddDrive(third)) << GetLastError();
    EXPECT_EQ(third, first);
    EXPECT_EQ(ListDrives(),
              (std::vector<wchar_t>{static_cast<wchar_t>(second), static_cast<wchar_t>(third)}));
}

TEST_F(KelmorDriver, FreshDriveHasNoImage) {
    const wchar_t letter = AddOneDrive();
    IMAGE_INFO info{};
    ASSERT_TRUE(QueryImage(letter, info)) << GetLastError();
    EXPECT_EQ(info.Mounted, 0u);
    EXPECT_EQ(info.ImagePathLength, 0u);

    // No medium: reads, geometry and check-verify report it.
    CHandle drive(OpenDrive(letter));
    ASSERT_TRUE(drive.valid()) << GetLastError();
    unsigned char sector[2048];
    DWORD bytes = 0;
    EXPECT_FALSE(ReadAt(drive.get(), 0, sector, sizeof(sector), bytes));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
    DISK_GEOMETRY geometry{};
    EXPECT_FALSE(DeviceIoControl(drive.get(), kCdromGetDriveGeometry, nullptr, 0, &geometry,
                                 sizeof(geometry), &bytes, nullptr));
    EXPECT_FALSE(
        DeviceIoControl(drive.get(), kCdromCheckVerify, nullptr, 0, nullptr, 0, &bytes, nullptr));
    // Nothing to load again.
    EXPECT_FALSE(RemountDrive(letter));
}

TEST_F(KelmorDriver, MountedIsoIsReadThroughTheDrive) {
    const wchar_t letter = AddOneDrive();
    const std::wstring iso = TestIso();
    ASSERT_TRUE(MountImage(letter, iso.c_str(), MOUNT_FLAG_SUPPRESS_UDF)) << GetLastError();

    IMAGE_INFO info{};
    ASSERT_TRUE(QueryImage(letter, info)) << GetLastError();
    EXPECT_NE(info.Mounted, 0u);
    EXPECT_EQ(ImagePathOf(info), iso); // reported without the "\??\" prefix

    CHandle drive(OpenDrive(letter));
    ASSERT_TRUE(drive.valid()) << GetLastError();
    // The primary volume descriptor at sector 16 carries the label.
    unsigned char sector[2048] = {};
    DWORD bytes = 0;
    ASSERT_TRUE(ReadAt(drive.get(), 16 * 2048, sector, sizeof(sector), bytes)) << GetLastError();
    ASSERT_EQ(bytes, 2048u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(sector) + 1, 5), "CD001");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(sector) + 40, 10), "KELMORTEST");

    const LONGLONG size = FileSize(iso);
    ASSERT_GT(size, 0);
    DISK_GEOMETRY geometry{};
    ASSERT_TRUE(DeviceIoControl(drive.get(), kCdromGetDriveGeometry, nullptr, 0, &geometry,
                                sizeof(geometry), &bytes, nullptr))
        << GetLastError();
    EXPECT_EQ(geometry.BytesPerSector, 2048u);
    EXPECT_EQ(geometry.SectorsPerTrack, 32u);
    EXPECT_EQ(geometry.TracksPerCylinder, 64u);
    EXPECT_EQ(geometry.MediaType, RemovableMedia);
    EXPECT_EQ(geometry.Cylinders.QuadPart, size / kCylinderBytes);

    // Reads as Windows' class driver serves them: whole sectors within the disc, or nothing.
    struct {
        LONGLONG offset;
        DWORD size;
        bool served;
    } const reads[] = {
        {size - 2048, 2048, true}, {size - 4096, 4096, true},  {size - 100, 100, false},
        {size - 2048, 100, false}, {size - 1024, 2048, false}, {size - 2048, 4096, false},
        {size, 2048, false},       {size + 2048, 2048, false},
    };
    for (const auto& r : reads) {
        SCOPED_TRACE(std::to_string(r.offset) + " " + std::to_string(r.size));
        std::vector<unsigned char> buffer(r.size);
        EXPECT_EQ(ReadAt(drive.get(), r.offset, buffer.data(), r.size, bytes), r.served);
        EXPECT_EQ(bytes, r.served ? r.size : 0u);
        if (!r.served) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
        }
    }
    EXPECT_TRUE(
        DeviceIoControl(drive.get(), kCdromCheckVerify, nullptr, 0, nullptr, 0, &bytes, nullptr));
}

// The figures of a disc as Windows' class driver gives them: the geometry in whole cylinders,
// rounded down; the exact length in whole sectors (a last part-sector reads with zeros after
// the image's end); the table of contents in either form, cut to the room given.
TEST_F(KelmorDriver, GeometryRoundsDownLengthAndTocAreExact) {
    struct Case {
        LONGLONG size;
        LONGLONG cylinders;
        LONGLONG length;
    };
    const wchar_t letter = AddOneDrive();
    for (const Case& c : {Case{1000, 0, 2048}, Case{2047 * 2048, 0, 2047 * 2048},
                          Case{kCylinderBytes, 1, kCylinderBytes},
                          Case{kCylinderBytes + 2048, 1, kCylinderBytes + 2048}}) {
        SCOPED_TRACE(c.size);
        const std::wstring path = TestDir() + L"\\geometry-" + std::to_wstring(c.size) + L".img";
        ASSERT_TRUE(MakeFile(path, c.size, 7));
        ASSERT_TRUE(MountImage(letter, path.c_str(), 0)) << GetLastError();
        CHandle drive(OpenDrive(letter));
        DISK_GEOMETRY geometry{};
        LONGLONG length = 0;
        DWORD bytes = 0;
        ASSERT_TRUE(DeviceIoControl(drive.get(), kCdromGetDriveGeometry, nullptr, 0, &geometry,
                                    sizeof(geometry), &bytes, nullptr))
            << GetLastError();
        EXPECT_EQ(geometry.Cylinders.QuadPart, c.cylinders);
        ASSERT_TRUE(DeviceIoControl(drive.get(), kDiskGetLengthInfo, nullptr, 0, &length,
                                    sizeof(length), &bytes, nullptr));
        EXPECT_EQ(length, c.length);

        // The last sector: the image's bytes, then zeros.
        unsigned char sector[2048];
        ASSERT_TRUE(ReadAt(drive.get(), c.length - 2048, sector, sizeof(sector), bytes));
        const LONGLONG inImage = c.size - (c.length - 2048);
        EXPECT_EQ(sector[0], static_cast<unsigned char>((c.length / 2048 - 1 + 7) & 0xFF));
        EXPECT_EQ(sector[2047], inImage == 2048 ? sector[0] : 0);

        // READ_TOC_EX in LBA form: track 1 at 0, the lead-out at the sector count; cut short
        // to 8 bytes, it answers them with the whole length still in the header.
        const unsigned char lba[4] = {0, 1, 0, 0};
        unsigned char toc[32] = {};
        ASSERT_TRUE(DeviceIoControl(drive.get(), kCdromReadTocEx, const_cast<unsigned char*>(lba),
                                    sizeof(lba), toc, sizeof(toc), &bytes, nullptr));
        EXPECT_EQ(bytes, 20u);
        const LONGLONG leadOut =
            static_cast<LONGLONG>(toc[16]) << 24 | toc[17] << 16 | toc[18] << 8 | toc[19];
        EXPECT_EQ(leadOut, c.length / 2048);
        ASSERT_TRUE(DeviceIoControl(drive.get(), kCdromReadTocEx, const_cast<unsigned char*>(lba),
                                    sizeof(lba), toc, 8, &bytes, nullptr));
        EXPECT_EQ(bytes, 8u);
        EXPECT_EQ(toc[1], 18u);
    }
    ASSERT_TRUE(EjectDrive(letter));
}

TEST_F(KelmorDriver, EjectKeepsThePathAndRemountReopensIt) {
    const wchar_t letter = AddOneDrive();
    const std::wstring iso = TestIso();
    ASSERT_TRUE(MountImage(letter, iso.c_str(), 0)) << GetLastError();
    ASSERT_TRUE(EjectDrive(letter)) << GetLastError();

    IMAGE_INFO info{};
    ASSERT_TRUE(QueryImage(letter, info)) << GetLastError();
    EXPECT_EQ(info.Mounted, 0u);
    EXPECT_EQ(ImagePathOf(info), iso);
    {
        // The drive itself still opens; it is its medium that is gone.
        CHandle drive(OpenDrive(letter));
        ASSERT_TRUE(drive.valid()) << GetLastError();
        unsigned char sector[2048];
        DWORD bytes = 0;
        EXPECT_FALSE(ReadAt(drive.get(), 0, sector, sizeof(sector), bytes));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
    }

    ASSERT_TRUE(RemountDrive(letter)) << GetLastError();
    ExpectIsoMounted(letter, iso);
}

// True when nothing holds `path` open: it opens for writing with no sharing at all.
bool IsReleased(const std::wstring& path) {
    CHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr));
    return file.valid();
}

TEST_F(KelmorDriver, NewMountAndReloadLetGoOfTheImageTheyReplace) {
    const wchar_t letter = AddOneDrive();
    const std::wstring iso = TestIso();
    const std::wstring other = TestDir() + L"\\replacement.img";
    ASSERT_TRUE(MakeFile(other, 16 * 2048, 3));
    ASSERT_TRUE(MountImage(letter, iso.c_str(), 0)) << GetLastError();
    ASSERT_FALSE(IsReleased(iso)); // the drive holds its medium

    ASSERT_TRUE(MountImage(letter, other.c_str(), 0)) << GetLastError();
    EXPECT_TRUE(IsReleased(iso)) << GetLastError();

    // Loading the medium of a drive that has one must not open it a second time: one eject
    // then lets go of it.
    ASSERT_TRUE(RemountDrive(letter)) << GetLastError();
    ASSERT_TRUE(EjectDrive(letter)) << GetLastError();
    EXPECT_TRUE(IsReleased(other)) << GetLastError();
}

TEST_F(KelmorDriver, LockedMediumIsNeitherEjectedNorRemovedUntilReleased) {
    const wchar_t letter = AddOneDrive();
    const std::wstring iso = TestIso();
    ASSERT_TRUE(MountImage(letter, iso.c_str(), 0)) << GetLastError();
    {
        CHandle drive(OpenDrive(letter));
        PREVENT_MEDIA_REMOVAL lock{TRUE};
        DWORD bytes = 0;
        ASSERT_TRUE(DeviceIoControl(drive.get(), kCdromMediaRemoval, &lock, sizeof(lock), nullptr,
                                    0, &bytes, nullptr))
            << GetLastError();
        ASSERT_TRUE(DeviceIoControl(drive.get(), kCdromMediaRemoval, &lock, sizeof(lock), nullptr,
                                    0, &bytes, nullptr));
        EXPECT_FALSE(EjectDrive(letter));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
        EXPECT_FALSE(RemoveDrive(letter));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
        EXPECT_FALSE(MountImage(letter, iso.c_str(), 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));

        // Two locks need two releases.
        lock.PreventMediaRemoval = FALSE;
        ASSERT_TRUE(DeviceIoControl(drive.get(), kCdromMediaRemoval, &lock, sizeof(lock), nullptr,
                                    0, &bytes, nullptr));
        EXPECT_FALSE(EjectDrive(letter));
        ASSERT_TRUE(DeviceIoControl(drive.get(), kCdromMediaRemoval, &lock, sizeof(lock), nullptr,
                                    0, &bytes, nullptr));
        EXPECT_TRUE(EjectDrive(letter)) << GetLastError();
        ASSERT_TRUE(RemountDrive(letter));

        // A lock left by a handle goes with the handle.
        lock.PreventMediaRemoval = TRUE;
        ASSERT_TRUE(DeviceIoControl(drive.get(), kCdromMediaRemoval, &lock, sizeof(lock), nullptr,
                                    0, &bytes, nullptr));
    }
    // Wine delivers the close of a handle to the driver after CloseHandle has returned, so the
    // lock may outlive the handle for a moment: allow it a bounded while.
    bool ejected = false;
    for (int attempt = 0; attempt < 100 && !ejected; ++attempt) {
        ejected = EjectDrive(letter) != FALSE;
        if (!ejected)
            Sleep(20);
    }
    EXPECT_TRUE(ejected) << GetLastError();
}

// What CDFS asks of a drive to mount its volume, in CDFS's order, answered as Windows' class
// driver answers it (Wine mounts no file system on a driver's drive, so the test asks): the
// media change count, the table of contents in LBA form (READ_TOC when that is refused), the
// last session, then the volume descriptors from 16 sectors into the last session. The count
// rises with every eject and mount, so that CDFS sees a new medium.
TEST_F(KelmorDriver, CdfsMountSequenceIsAnswered) {
    const wchar_t letter = AddOneDrive();
    const std::wstring iso = TestIso();
    ASSERT_TRUE(MountImage(letter, iso.c_str(), 0)) << GetLastError();
    const ULONG sectors = static_cast<ULONG>(FileSize(iso) / 2048);
    auto changeCount = [&](HANDLE drive) {
        ULONG count = 0;
        DWORD bytes = 0;
        EXPECT_TRUE(DeviceIoControl(drive, kCdromCheckVerify, nullptr, 0, &count, sizeof(count),
                                    &bytes, nullptr))
            << GetLastError();
        EXPECT_EQ(bytes, sizeof(count));
        return count;
    };
    ULONG before = 0;
    {
        CHandle drive(OpenDrive(letter));
        ASSERT_TRUE(drive.valid());
        before = changeCount(drive.get());

        unsigned char toc[804] = {};
        DWORD bytes = 0;
        const unsigned char tocLba[4] = {0, 0, 0, 0};
        ASSERT_TRUE(DeviceIoControl(drive.get(), kCdromReadTocEx,
                                    const_cast<unsigned char*>(tocLba), sizeof(tocLba), toc,
                                    sizeof(toc), &bytes, nullptr))
            << GetLastError();
        std::vector<unsigned char> expected = {0, 18, 1, 1, 0, 0x14, 1,    0,
                                               0, 0,  0, 0, 0, 0x14, 0xAA, 0};
        for (int shift = 24; shift >= 0; shift -= 8)
            expected.push_back(static_cast<unsigned char>(sectors >> shift));
        EXPECT_EQ(std::vector<unsigned char>(toc, toc + bytes), expected);
        // The full TOC has no LBA form; the formats CDFS does not ask for here are refused so
        // that it falls back.
        const struct {
            unsigned char input[4];
            DWORD error;
        } refused[] = {{{2, 1, 0, 0}, ERROR_INVALID_PARAMETER},
                       {{3, 0, 0, 0}, ERROR_INVALID_FUNCTION}};
        for (const auto& r : refused) {
            EXPECT_FALSE(DeviceIoControl(drive.get(), kCdromReadTocEx,
                                         const_cast<unsigned char*>(r.input), sizeof(r.input), toc,
                                         sizeof(toc), &bytes, nullptr));
            EXPECT_EQ(GetLastError(), r.error);
        }
        ASSERT_TRUE(DeviceIoControl(drive.get(), kCdromReadToc, nullptr, 0, toc, sizeof(toc),
                                    &bytes, nullptr));
        EXPECT_EQ(bytes, 20u);
        EXPECT_EQ(toc[4 + 8 + 2], 0xAA);

        unsigned char session[12] = {};
        ASSERT_TRUE(DeviceIoControl(drive.get(), kCdromGetLastSession, nullptr, 0, session,
                                    sizeof(session), &bytes, nullptr));
        const unsigned char oneSession[12] = {0, 10, 1, 1, 0, 0x14, 1, 0, 0, 0, 0, 0};
        EXPECT_EQ(std::vector<unsigned char>(session, session + bytes),
                  std::vector<unsigned char>(oneSession, oneSession + 12));

        unsigned char descriptor[2048] = {};
        ASSERT_TRUE(ReadAt(drive.get(), 16 * 2048, descriptor, sizeof(descriptor), bytes));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(descriptor), 6), "\x01"
                                                                       "CD001");
    }
    ASSERT_TRUE(EjectDrive(letter));
    ASSERT_TRUE(RemountDrive(letter));
    CHandle drive(OpenDrive(letter));
    EXPECT_EQ(changeCount(drive.get()), before + 2);
    ASSERT_TRUE(MountImage(letter, iso.c_str(), 0));
    EXPECT_GT(changeCount(drive.get()), before + 2);
}

// Locks are one count for the device, as Windows' class driver keeps them: a release through
// any handle counts, the count never goes below zero, and a closing handle gives back only
// those of its locks that are still counted.
TEST_F(KelmorDriver, LocksAreOneCountForTheDevice) {
    const wchar_t letter = AddOneDrive();
    const std::wstring iso = TestIso();
    ASSERT_TRUE(MountImage(letter, iso.c_str(), 0)) << GetLastError();
    auto setLock = [](HANDLE drive, BOOLEAN prevent) {
        PREVENT_MEDIA_REMOVAL request{prevent};
        DWORD bytes = 0;
        return DeviceIoControl(drive, kCdromMediaRemoval, &request, sizeof(request), nullptr, 0,
                               &bytes, nullptr) != FALSE;
    };
    {
        CHandle a(OpenDrive(letter));
        CHandle b(OpenDrive(letter));
        ASSERT_TRUE(a.valid() && b.valid());
        ASSERT_TRUE(setLock(a.get(), TRUE));
        EXPECT_FALSE(EjectDrive(letter));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
        EXPECT_TRUE(setLock(b.get(), FALSE)); // through another handle: released
        EXPECT_TRUE(setLock(b.get(), FALSE)); // and never below zero
        EXPECT_TRUE(EjectDrive(letter)) << GetLastError();
        ASSERT_TRUE(RemountDrive(letter));
        ASSERT_TRUE(setLock(a.get(), TRUE));
        ASSERT_TRUE(setLock(b.get(), FALSE));
    } // A closes holding a lock the device no longer counts: it gives nothing back
    auto c = std::make_unique<CHandle>(OpenDrive(letter));
    ASSERT_TRUE(setLock(c->get(), TRUE));
    EXPECT_FALSE(EjectDrive(letter)) << "the closing handle took another's lock";
    c.reset(); // its own lock goes with it
    bool ejected = false;
    for (int attempt = 0; attempt < 100 && !ejected; ++attempt) {
        ejected = EjectDrive(letter) != FALSE;
        if (!ejected)
            Sleep(20); // Wine tells the driver of a close a moment after it returns
    }
    EXPECT_TRUE(ejected) << GetLastError();
}

TEST_F(KelmorDriver, RemovedDriveIsGoneAndTheOthersKeepTheirOrder) {
    const wchar_t a = AddOneDrive();
    const wchar_t b = AddOneDrive();
    const wchar_t c = AddOneDrive();
    const std::wstring iso = TestIso();
    ASSERT_TRUE(MountImage(b, iso.c_str(), 0)) << GetLastError();

    ASSERT_TRUE(RemoveDrive(b)) << GetLastError();
    EXPECT_EQ(ListDrives(), (std::vector<wchar_t>{a, c}));
    IMAGE_INFO info{};
    EXPECT_FALSE(QueryImage(b, info));
    EXPECT_FALSE(RemoveDrive(b));
    EXPECT_FALSE(EjectDrive(b));
    // A removed drive let go of its image: it can be opened for writing again.
    CHandle image(CreateFileW(iso.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr));
    EXPECT_TRUE(image.valid()) << GetLastError();
}

TEST_F(KelmorDriver, TwoDrivesServeTwoImages) {
    const wchar_t first = AddOneDrive();
    const wchar_t second = AddOneDrive();
    const std::wstring other = TestDir() + L"\\second.img";
    ASSERT_TRUE(MakeFile(other, 64 * 2048, 7));
    ASSERT_TRUE(MountImage(first, TestIso().c_str(), 0)) << GetLastError();
    ASSERT_TRUE(
        MountImage(second, other.c_str(), MOUNT_FLAG_SUPPRESS_UDF | MOUNT_FLAG_SUPPRESS_JOLIET))
        << GetLastError();

    unsigned char sector[2048];
    DWORD bytes = 0;
    CHandle one(OpenDrive(first));
    CHandle two(OpenDrive(second));
    ASSERT_TRUE(ReadAt(one.get(), 16 * 2048, sector, sizeof(sector), bytes));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(sector) + 1, 5), "CD001");
    ASSERT_TRUE(ReadAt(two.get(), 16 * 2048, sector, sizeof(sector), bytes));
    EXPECT_EQ(sector[0], 16 + 7);
    EXPECT_EQ(sector[2047], 16 + 7);

    IMAGE_INFO info{};
    ASSERT_TRUE(QueryImage(second, info));
    EXPECT_EQ(ImagePathOf(info), other);
}

TEST_F(KelmorDriver, MountOfAMissingFileOrOfItsOwnDriveFailsAndKeepsTheMountedImage) {
    const wchar_t letter = AddOneDrive();
    const std::wstring iso = TestIso();
    ASSERT_TRUE(MountImage(letter, iso.c_str(), 0)) << GetLastError();
    const std::wstring missing = TestDir() + L"\\no-such-image.iso";
    EXPECT_FALSE(MountImage(letter, missing.c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // The drive itself, or a file on it, is refused before it is opened: the drive would read
    // its image through itself.
    for (const std::wstring& own :
         {std::wstring(1, letter) + L":", std::wstring(1, letter) + L":\\disc.iso"}) {
        EXPECT_FALSE(MountImage(letter, own.c_str(), 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    IMAGE_INFO info{};
    ASSERT_TRUE(QueryImage(letter, info));
    EXPECT_NE(info.Mounted, 0u);
    EXPECT_EQ(ImagePathOf(info), iso);
}

TEST_F(KelmorDriver, MountRequestOfFullLengthWithoutTerminatorIsValid) {
    // A full path of 251 characters: 255 units with the prefix, no room for a terminator.
    const std::wstring dir = TestDir();
    ASSERT_LT(dir.size() + 10, 251u);
    std::wstring path = dir + L"\\";
    path += std::wstring(251 - path.size() - 4, L'n') + L".iso";
    ASSERT_EQ(path.size(), 251u);
    ASSERT_TRUE(MakeFile(path, 4096, 1));

    const wchar_t letter = AddOneDrive();
    ASSERT_TRUE(MountImage(letter, path.c_str(), 0)) << GetLastError();
    IMAGE_INFO info{};
    ASSERT_TRUE(QueryImage(letter, info));
    EXPECT_EQ(ImagePathOf(info), path);
    EXPECT_EQ(info.ImagePathLength, 502u);

    // One more character is refused by the client before it reaches the driver.
    const std::wstring tooLong = path + L"x";
    EXPECT_FALSE(MountImage(letter, tooLong.c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    ASSERT_TRUE(EjectDrive(letter));
}

TEST_F(KelmorDriver, MalformedMountRequestsAreRefused) {
    const wchar_t letter = AddOneDrive();
    MOUNT_REQUEST valid{};
    DWORD error = 0;
    const std::wstring iso = TestIso();
    ASSERT_TRUE(BuildMountRequest(iso.c_str(), 0, valid, error));

    struct Case {
        const char* what;
        DWORD size;
        void (*spoil)(MOUNT_REQUEST&);
    };
    const Case cases[] = {
        {"short request", 515, [](MOUNT_REQUEST&) {}},
        {"long request", 517, [](MOUNT_REQUEST&) {}},
        {"no request", 0, [](MOUNT_REQUEST&) {}},
        {"odd length", 516, [](MOUNT_REQUEST& r) { r.ImagePathLength -= 1; }},
        {"length past the path", 516, [](MOUNT_REQUEST& r) { r.ImagePathLength = 512; }},
        {"zero length", 516, [](MOUNT_REQUEST& r) { r.ImagePathLength = 0; }},
        {"no terminator", 516, [](MOUNT_REQUEST& r) { r.ImagePathLength -= 2; }},
    };
    CHandle drive(CreateFileW((std::wstring(L"\\\\.\\") + letter + L":").c_str(),
                              GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(drive.valid()) << GetLastError();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<unsigned char> buffer(600, 0);
        MOUNT_REQUEST request = valid;
        c.spoil(request);
        std::memcpy(buffer.data(), &request, sizeof(request));
        DWORD bytes = 0;
        EXPECT_FALSE(DeviceIoControl(drive.get(), IOCTL_KELMOR_MOUNT_IMAGE,
                                     c.size ? buffer.data() : nullptr, c.size, nullptr, 0, &bytes,
                                     nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    IMAGE_INFO info{};
    ASSERT_TRUE(QueryImage(letter, info));
    EXPECT_EQ(info.Mounted, 0u);
    EXPECT_EQ(info.ImagePathLength, 0u);

    // The untouched request mounts.
    DWORD bytes = 0;
    EXPECT_TRUE(DeviceIoControl(drive.get(), IOCTL_KELMOR_MOUNT_IMAGE, &valid, sizeof(valid),
                                nullptr, 0, &bytes, nullptr))
        << GetLastError();
    ASSERT_TRUE(EjectDrive(letter));
}

TEST_F(KelmorDriver, PersistentMountsAreRestoredAfterRestart) {
    const wchar_t letter = AddOneDrive();
    const std::wstring iso = TestIso();
    ASSERT_TRUE(MountImage(letter, iso.c_str(), 0)) << GetLastError();
    ASSERT_TRUE(WriteRecord(letter, std::wstring(1, letter) + L":", L"\\??\\" + iso));
    // Records that cannot be honoured: a missing image, and a record naming another letter.
    ASSERT_TRUE(WriteRecord(L'R', L"R:", L"\\??\\" + TestDir() + L"\\missing.iso"));
    ASSERT_TRUE(WriteRecord(L'S', L"T:", L"\\??\\" + iso));

    std::wstring error;
    ASSERT_TRUE(m_service.Stop(error)) << std::string(error.begin(), error.end());
    ASSERT_TRUE(m_service.Start(error)) << std::string(error.begin(), error.end());

    EXPECT_EQ(ListDrives(), std::vector<wchar_t>{letter});
    ExpectIsoMounted(letter, iso);
    // A record whose image does not open leaves no drive behind, not even a letter.
    CHandle missing(OpenDrive(L'R'));
    EXPECT_FALSE(missing.valid());
}

TEST_F(KelmorDriver, WithTheServiceStoppedEveryOperationFails) {
    const wchar_t letter = AddOneDrive();
    std::wstring error;
    ASSERT_TRUE(m_service.Stop(error)) << std::string(error.begin(), error.end());

    WORD value = 0;
    DRIVE_LIST list{};
    IMAGE_INFO info{};
    const std::wstring iso = TestIso();
    EXPECT_FALSE(AddDrive(value));
    EXPECT_FALSE(QueryDrives(list));
    EXPECT_FALSE(RemoveDrive(letter));
    EXPECT_FALSE(MountImage(letter, iso.c_str(), 0));
    EXPECT_FALSE(EjectDrive(letter));
    EXPECT_FALSE(RemountDrive(letter));
    EXPECT_FALSE(QueryImage(letter, info));
    EXPECT_NE(GetLastError(), 0u);
}

// A read on an asynchronous handle, pending or done.
struct CPendingRead {
    explicit CPendingRead(HANDLE handle) : drive(handle) {
        at.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        at.Offset = 16 * 2048;
        started = ReadFile(drive, sector, sizeof(sector), nullptr, &at) != FALSE ||
                  GetLastError() == ERROR_IO_PENDING;
    }
    ~CPendingRead() {
        CancelIo(drive);
        WaitForSingleObject(at.hEvent, 5000);
        CloseHandle(at.hEvent);
    }
    bool Pending() { return started && WaitForSingleObject(at.hEvent, 0) == WAIT_TIMEOUT; }
    // Waits (bounded) for the end of the read; its error, 0 when it read the sector.
    DWORD Finish(DWORD milliseconds) {
        if (WaitForSingleObject(at.hEvent, milliseconds) != WAIT_OBJECT_0)
            return WAIT_TIMEOUT;
        DWORD bytes = 0;
        if (!GetOverlappedResult(drive, &at, &bytes, FALSE))
            return GetLastError();
        return bytes == sizeof(sector) && std::memcmp(sector + 1, "CD001", 5) == 0
                   ? 0
                   : ERROR_INVALID_DATA;
    }

    HANDLE drive;
    OVERLAPPED at{};
    unsigned char sector[2048] = {};
    bool started = false;
};

// The driver's test build (kelmor_hold.sys) queues every read, as it queues a file system's
// paging reads, and keeps queued reads waiting while the medium is locked: so reads can be
// held pending. CancelIo cancels a waiting read, a waiting read is served once the lock goes,
// and a stop of the service cancels the reads still waiting instead of hanging.
TEST_F(KelmorDriver, QueuedReadsAreCancelledByCancelIoAndByAStop) {
    std::wstring error;
    ASSERT_TRUE(m_service.Remove());
    ASSERT_TRUE(m_service.Install(WindowsPath(KELMOR_HOLD_SYS_PATH), error))
        << std::string(error.begin(), error.end());
    ASSERT_TRUE(m_service.Start(error)) << std::string(error.begin(), error.end());
    const wchar_t letter = AddOneDrive();
    ASSERT_TRUE(MountImage(letter, TestIso().c_str(), 0)) << GetLastError();
    const std::wstring name = DriveDeviceName(letter);
    auto openAsync = [&] {
        return CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    };
    CHandle locker(OpenDrive(letter)), first(openAsync()), second(openAsync());
    ASSERT_TRUE(locker.valid() && first.valid() && second.valid()) << GetLastError();
    auto lock = [&](BOOLEAN prevent) {
        PREVENT_MEDIA_REMOVAL request{prevent};
        DWORD bytes = 0;
        return DeviceIoControl(locker.get(), kCdromMediaRemoval, &request, sizeof(request), nullptr,
                               0, &bytes, nullptr) != FALSE;
    };
    ASSERT_TRUE(lock(TRUE)) << GetLastError();

    {
        CPendingRead cancelled(first.get()), served(second.get());
        Sleep(200);
        ASSERT_TRUE(cancelled.Pending() && served.Pending()) << "the reads were not held";
        ASSERT_TRUE(CancelIo(first.get())) << GetLastError();
        EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), cancelled.Finish(5000));
        EXPECT_TRUE(served.Pending()) << "cancelling one read ended the other";
        ASSERT_TRUE(lock(FALSE)) << GetLastError();
        EXPECT_EQ(0u, served.Finish(5000)) << "the waiting read was not served";
    }

    // A handle's cleanup cancels the reads it still has queued, and only those. Wine never sends
    // IRP_MJ_CLEANUP; the checking build sends it for the handle that asks.
    if (CKelmorService::Checking()) {
        ASSERT_TRUE(lock(TRUE)) << GetLastError();
        CPendingRead closing(first.get()), other(second.get());
        Sleep(200);
        ASSERT_TRUE(closing.Pending() && other.Pending()) << "the reads were not held";
        OVERLAPPED request{};
        request.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD bytes = 0;
        if (!DeviceIoControl(first.get(), kCheckSendCleanup, nullptr, 0, nullptr, 0, nullptr,
                             &request)) {
            ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
        }
        EXPECT_TRUE(GetOverlappedResult(first.get(), &request, &bytes, TRUE)) << GetLastError();
        CloseHandle(request.hEvent);
        EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), closing.Finish(5000));
        EXPECT_TRUE(other.Pending()) << "another handle's read was cancelled";
        ASSERT_TRUE(lock(FALSE)) << GetLastError();
        EXPECT_EQ(0u, other.Finish(5000));
    }

    ASSERT_TRUE(lock(TRUE)) << GetLastError();
    CPendingRead waiting(first.get());
    Sleep(200);
    ASSERT_TRUE(waiting.Pending());
    ASSERT_TRUE(m_service.Stop(error)) << std::string(error.begin(), error.end());
    EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), waiting.Finish(5000));
}

// The checking build fails the k-th allocation or create call of a run (CheckFailAt). For every
// k of a pass that makes each kind of request, and restores a persistent mount, the driver
// answers with an error status or goes on, and leaves nothing behind: its report names no
// violation.
TEST_F(KelmorDriver, EachFailedAllocationOrCreateIsAnsweredCleanly) {
    if (!CKelmorService::Checking())
        GTEST_SKIP() << "needs the driver's checking build (./dev check-driver)";
    ASSERT_TRUE(m_service.Remove());
    const std::wstring image = TestIso();
    auto pass = [&] {
        WORD added = 0;
        DRIVE_LIST list{};
        QueryDrives(list);
        const wchar_t letter = AddDrive(added) ? static_cast<wchar_t>(added) : L'P';
        CHandle drive(OpenDrive(letter));
        MountImage(letter, image.c_str(), 3);
        unsigned char buffer[2048];
        DWORD bytes = 0;
        ReadAt(drive.get(), 16 * 2048, buffer, sizeof(buffer), bytes);
        for (DWORD code : {kCdromGetDriveGeometry, kCdromReadToc, kCdromCheckVerify})
            DeviceIoControl(drive.get(), code, nullptr, 0, buffer, sizeof(buffer), &bytes, nullptr);
        PREVENT_MEDIA_REMOVAL prevent{TRUE};
        DeviceIoControl(drive.get(), kCdromMediaRemoval, &prevent, 1, nullptr, 0, &bytes, nullptr);
        prevent.PreventMediaRemoval = FALSE;
        DeviceIoControl(drive.get(), kCdromMediaRemoval, &prevent, 1, nullptr, 0, &bytes, nullptr);
        EjectDrive(letter);
        RemountDrive(letter);
        IMAGE_INFO info{};
        QueryImage(letter, info);
        RemoveDrive(letter);
        RemoveDrive(L'P');
    };
    bool failedOne = true;
    DWORD k = 1;
    for (; failedOne; ++k) {
        std::wstring error;
        ASSERT_TRUE(m_service.Install(DriverFile(), error));
        ASSERT_TRUE(WriteRecord(L'P', L"P:", L"\\??\\" + image));
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKelmorParametersKey,
                                                 L"CheckFailAt", REG_DWORD, &k, sizeof(k)));
        if (m_service.Start(error))
            pass();
        ASSERT_TRUE(m_service.Stop(error)) << std::string(error.begin(), error.end());
        const std::string report = CKelmorService::TakeCheckReport();
        EXPECT_EQ(report.find("VIOLATION"), std::string::npos) << "call " << k << ":\n" << report;
        failedOne = report.find("FAILED") != std::string::npos;
        ASSERT_TRUE(m_service.Remove());
        ASSERT_LT(k, 1000u) << "the pass never ran without a failure";
    }
    std::printf("each of the pass's %lu allocation and create calls failed in turn\n",
                static_cast<unsigned long>(k - 2));
}

// A close may arrive in a drive's own reader thread, which cannot wait for itself to end: the
// last close of a removed drive there hands the deletion to a work item. Wine serves every close
// in its host thread; the checking build runs one as if in the reader thread, and reports a
// thread waiting for its own end.
TEST_F(KelmorDriver, ALastCloseInTheReaderThreadDeletesTheDriveFromAWorkItem) {
    if (!CKelmorService::Checking())
        GTEST_SKIP() << "needs the driver's checking build (./dev check-driver)";
    const wchar_t letter = AddOneDrive();
    ASSERT_TRUE(MountImage(letter, TestIso().c_str(), 0)) << GetLastError();
    {
        CHandle drive(OpenDrive(letter));
        ASSERT_TRUE(drive.valid()) << GetLastError();
        ASSERT_TRUE(RemoveDrive(letter)) << GetLastError();
        DWORD bytes = 0;
        ASSERT_TRUE(DeviceIoControl(drive.get(), kCheckCloseAsReader, nullptr, 0, nullptr, 0,
                                    &bytes, nullptr))
            << GetLastError();
    }
    Sleep(500); // the work item's turn
    std::wstring error;
    ASSERT_TRUE(m_service.Stop(error)) << std::string(error.begin(), error.end());
    const std::string report = CKelmorService::TakeCheckReport();
    EXPECT_EQ(report.find("VIOLATION"), std::string::npos) << report;
    EXPECT_NE(report.find("CHECKED"), std::string::npos) << "the driver did not unload";
}

// Reads the whole disc in the drive, 64 KiB at a time.
std::vector<unsigned char> ReadWholeDisc(wchar_t letter, size_t size) {
    CHandle drive(OpenDrive(letter));
    std::vector<unsigned char> disc(size);
    DWORD bytes = 0;
    for (size_t at = 0; at < size; at += bytes)
        if (!ReadAt(drive.get(), static_cast<LONGLONG>(at), disc.data() + at,
                    static_cast<DWORD>(std::min<size_t>(65536, size - at)), bytes) ||
            bytes == 0)
            return {};
    return disc;
}

// The mount flags take effect. A UDF bridge image with Joliet (made by genisoimage -J -udf) is
// read whole through the drive with each set of flags and left in the test folder as
// served-<flags>.iso, for the host's own readers to judge (judge_mount_flags.sh). Here: flags 0
// serve the file byte for byte; each flag changes a few bytes of its own, both together the
// bytes of each; an image of random bytes is served unchanged whatever the flags.
TEST_F(KelmorDriver, MountFlagsServeTheImageWithWhatTheySuppressBlanked) {
    const std::wstring iso = WindowsPath(KELMOR_FLAGS_ISO);
    const std::vector<unsigned char> original = ReadFileBytes(iso);
    ASSERT_FALSE(original.empty());
    ASSERT_EQ(original.size() % 2048, 0u);
    const wchar_t letter = AddOneDrive();
    std::vector<size_t> changed[4];
    for (DWORD flags = 0; flags < 4; ++flags) {
        SCOPED_TRACE(flags);
        ASSERT_TRUE(MountImage(letter, iso.c_str(), flags)) << GetLastError();
        const std::vector<unsigned char> served = ReadWholeDisc(letter, original.size());
        ASSERT_EQ(served.size(), original.size());
        for (size_t i = 0; i < served.size(); ++i)
            if (served[i] != original[i])
                changed[flags].push_back(i);
        CHandle out(
            CreateFileW((TestDir() + L"\\served-" + std::to_wstring(flags) + L".iso").c_str(),
                        GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(out.get(), served.data(), static_cast<DWORD>(served.size()), &written,
                              nullptr));
    }
    EXPECT_TRUE(changed[0].empty());
    EXPECT_TRUE(changed[1].size() >= 1 && changed[1].size() <= 5 + 2 * 3) << changed[1].size();
    EXPECT_TRUE(changed[2].size() >= 1 && changed[2].size() <= 32) << changed[2].size();
    std::vector<size_t> both;
    std::merge(changed[1].begin(), changed[1].end(), changed[2].begin(), changed[2].end(),
               std::back_inserter(both));
    EXPECT_EQ(changed[3], both);

    // Random bytes are no volume: nothing to suppress.
    const std::wstring noise = TestDir() + L"\\noise.bin";
    std::vector<unsigned char> bytes(600 * 2048);
    std::mt19937 random(7);
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<unsigned char>(random()); });
    {
        CHandle file(
            CreateFileW(noise.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                              nullptr));
    }
    ASSERT_TRUE(MountImage(letter, noise.c_str(), 3)) << GetLastError();
    EXPECT_TRUE(ReadWholeDisc(letter, bytes.size()) == bytes);
}

// The storage requests that Windows' shell and file systems send, answered as the CD-ROM class
// driver answers them for a read-only disc.
TEST_F(KelmorDriver, StorageRequestsAreAnsweredAsTheClassDriverAnswersThem) {
    const wchar_t letter = AddOneDrive();
    CHandle drive(OpenDrive(letter));
    ASSERT_TRUE(drive.valid()) << GetLastError();
    unsigned char out[128];
    DWORD bytes = 0;
    auto ask = [&](DWORD code, const void* in, DWORD inSize, DWORD room) -> DWORD {
        bytes = 0;
        return DeviceIoControl(drive.get(), code, const_cast<void*>(in), inSize, out, room, &bytes,
                               nullptr)
                   ? 0
                   : GetLastError();
    };
    // Without a medium: the media types say nothing is mounted; the capacity needs a disc.
    EXPECT_EQ(ask(0x2D0C04, nullptr, 0, 40), 0u);
    EXPECT_EQ(bytes, 40u);
    EXPECT_EQ(out[39], 0u) << "MEDIA_CURRENTLY_MOUNTED without a medium";
    EXPECT_EQ(ask(0x2D5140, nullptr, 0, 32), static_cast<DWORD>(ERROR_NOT_READY));
    ASSERT_TRUE(MountImage(letter, TestIso().c_str(), 0)) << GetLastError();
    EXPECT_EQ(ask(0x2D0C04, nullptr, 0, 40), 0u);
    EXPECT_EQ(out[39], 0x80u);
    EXPECT_EQ(ask(0x2D5140, nullptr, 0, 32), 0u);
    EXPECT_EQ(bytes, 32u);
    EXPECT_EQ(ask(0x2D5140, nullptr, 0, 31), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(ask(0x70024, nullptr, 0, 0), static_cast<DWORD>(ERROR_WRITE_PROTECT));
    EXPECT_EQ(ask(0x2D1080, nullptr, 0, 12), 0u);
    EXPECT_GE(out[4] | out[5] << 8, 1000) << "a number of its own, above the system's";
    EXPECT_EQ(ask(0x2D0C14, nullptr, 0, 8), 0u);
    EXPECT_EQ(out[4], 1u) << "removable media";
    const unsigned char disable = 1, enable = 0;
    EXPECT_EQ(ask(0x2D0944, &enable, 1, 0), static_cast<DWORD>(ERROR_BAD_COMMAND));
    EXPECT_EQ(ask(0x2D0944, &disable, 1, 0), 0u);
    EXPECT_EQ(ask(0x2D0944, &enable, 1, 0), 0u);
    EXPECT_EQ(ask(0x2D0944, nullptr, 0, 0), static_cast<DWORD>(ERROR_BAD_LENGTH));
    const unsigned char query[12] = {};
    EXPECT_EQ(ask(0x2D1400, query, 12, sizeof(out)), 0u);
    EXPECT_EQ(bytes, 66u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out) + out[16]), "VIRTUAL CD-ROM");
    // The disk forms of eject and media removal are the CD-ROM forms.
    const unsigned char prevent = 1;
    EXPECT_EQ(ask(0x74804, &prevent, 1, 0), 0u);
    EXPECT_EQ(ask(0x74808, nullptr, 0, 0), static_cast<DWORD>(ERROR_BUSY)) << "locked";
}

} // namespace
