// The ripper's Win32 platform and engine against a virtual drive of the stand-in driver: the
// real calls (CreateFileA on "\\.\X:", the two CD-ROM requests, SetFilePointer, ReadFile) reach a
// real device of a running driver, which counts the locks. Under Wine the positions take the
// platform's way around Wine's refusal to position a driver's device (Win32DiscPlatform.cpp);
// the results expected are the same as on Windows.

#include "DiscEngine.h"
#include "DiscLayout.h"
#include "DriverClient.h"
#include "HeapString.h"
#include "KelmorService.h"
#include "KelmorTestSupport.h"
#include "KelmorTestEnvironment.h"
#include "Win32DiscPlatform.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string NarrowPath(const char* path) {
    std::string result(path);
    std::replace(result.begin(), result.end(), '/', '\\');
    return result;
}

std::vector<char> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The driver refuses to eject a locked medium (ERROR_BUSY), so a successful eject proves that
// every lock taken through the drive was released again. Wine tells the driver about a closed
// handle a moment after CloseHandle returns, hence a short bounded retry.
bool EjectsUnlocked(wchar_t letter) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (EjectDrive(letter))
            return true;
        Sleep(20);
    }
    return false;
}

const auto* const g_environment =
    ::testing::AddGlobalTestEnvironment(new CKelmorTestEnvironment(200));

class DiscEngineOnVirtualDrive : public ::testing::Test {
protected:
    void SetUp() override {
        std::wstring error;
        ASSERT_TRUE(m_service.Install(WindowsPath(KELMOR_SYS_PATH), error));
        ASSERT_TRUE(m_service.Start(error));
        WORD letter = 0;
        ASSERT_TRUE(AddDrive(letter)) << GetLastError();
        m_letter = static_cast<wchar_t>(letter);
        const std::wstring iso = WindowsPath(KELMOR_TEST_ISO);
        ASSERT_TRUE(MountImage(m_letter, iso.c_str(), 0)) << GetLastError();
        m_device = std::string("\\\\.\\") + static_cast<char>(m_letter) + ":";
    }

    // A service that cannot be removed would fail every test after this one.
    void TearDown() override { EXPECT_TRUE(m_service.Remove()); }

    CKelmorService m_service;
    wchar_t m_letter = 0;
    std::string m_device;
    Win32DiscPlatform m_platform;
};

} // namespace

TEST_F(DiscEngineOnVirtualDrive, OpensLocksAndReadsTheGeometry) {
    PlatformHandle drive = m_platform.OpenDrive(m_device.c_str());
    ASSERT_NE(drive, kInvalidPlatformHandle) << m_platform.GetLastError();

    ASSERT_TRUE(m_platform.SetMediaLock(drive, true));
    EXPECT_FALSE(EjectDrive(m_letter)); // the driver counts the lock
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));

    DiscGeometry geometry{};
    ASSERT_TRUE(m_platform.GetDriveGeometry(drive, geometry)) << m_platform.GetLastError();
    EXPECT_EQ(geometry.BytesPerSector, 2048u);
    EXPECT_EQ(geometry.SectorsPerTrack, 32u);
    EXPECT_EQ(geometry.TracksPerCylinder, 64u);
    // As Windows' class driver answers: whole cylinders rounded down (none for this small
    // disc), the exact size, and one data track from LBA 0 to the lead-out after the last
    // sector.
    const uint64_t isoBytes = ReadWholeFile(KELMOR_TEST_ISO).size();
    ASSERT_EQ(isoBytes % 2048, 0u);
    EXPECT_EQ(SectorCount(geometry), isoBytes / 2048 / 2048 * 2048);
    uint64_t length = 0, diskSize = 0;
    ASSERT_TRUE(m_platform.GetLengthInfo(drive, length)) << m_platform.GetLastError();
    EXPECT_EQ(length, isoBytes);
    ASSERT_TRUE(m_platform.GetDriveGeometryEx(drive, geometry, diskSize));
    EXPECT_EQ(diskSize, isoBytes);
    EXPECT_TRUE(m_platform.AllowExtendedDasdIo(drive));
    // The four TOC requests reach the drive with the codes and input it takes; their bytes
    // are KelmorDriver.CdfsMountSequenceIsAnswered's to check, but the engine must read the
    // full TOC's session as the whole disc.
    for (TocRequest request : {TocRequest::TracksLba, TocRequest::TracksMsf,
                               TocRequest::LastSession, TocRequest::FullToc}) {
        unsigned char answer[kTocBytes] = {};
        uint32_t returned = 0;
        ASSERT_TRUE(m_platform.ReadToc(drive, request, answer, sizeof(answer), returned))
            << m_platform.GetLastError();
        EXPECT_EQ(returned, request == TocRequest::LastSession ? 12u
                            : request == TocRequest::FullToc   ? 48u
                                                               : 20u);
        EXPECT_EQ(answer[1] + 2u, returned) << "the length field covers the whole answer";
        if (request == TocRequest::FullToc) {
            CDiscLayout layout;
            ASSERT_TRUE(layout.ParseFullToc(answer, returned));
            EXPECT_EQ(layout.End(), isoBytes / 2048);
        }
    }

    EXPECT_TRUE(m_platform.SetMediaLock(drive, false));
    m_platform.Close(drive);
    EXPECT_TRUE(EjectsUnlocked(m_letter)) << GetLastError();
}

TEST_F(DiscEngineOnVirtualDrive, LabelProbeReadsTheLabelAndReleasesTheMedium) {
    CHeapString label;
    EXPECT_EQ(ReadDiscLabel(static_cast<char>(m_letter), label), 0u);
    EXPECT_STREQ(label.GetString(), "KELMORTEST");
    EXPECT_TRUE(EjectsUnlocked(m_letter)) << GetLastError();
}

TEST_F(DiscEngineOnVirtualDrive, RipCopiesTheDiscByteForByteAndReleasesTheMedium) {
    const std::string image = NarrowPath(KELMOR_TEST_DIR) + "\\ripped\\disc.iso";
    DeleteFileA(image.c_str());
    const uint32_t result = RipDisc(static_cast<char>(m_letter), image.c_str(), nullptr, nullptr);
    EXPECT_EQ(result, 0u);
    ASSERT_NE(GetFileAttributesA(image.c_str()), INVALID_FILE_ATTRIBUTES);
    // The geometry has no whole cylinder for this disc of fewer than 2048 sectors: the exact
    // length is what counts.
    EXPECT_TRUE(ReadWholeFile(image) == ReadWholeFile(KELMOR_TEST_ISO))
        << "the ripped image differs from the mounted one";
    EXPECT_TRUE(EjectsUnlocked(m_letter)) << GetLastError();
}

// Positions past 2 GiB and 4 GiB reach the driver as they were asked for: a sparse image with a
// marker sector beyond each boundary, read through the platform's SetPosition and Read.
TEST_F(DiscEngineOnVirtualDrive, PositionsPastFourGigabytesReadTheRightSector) {
    const std::string path = NarrowPath(KELMOR_TEST_DIR) + "\\sparse-5g.img";
    const LONGLONG markers[] = {0x80000000LL + 2048, 0x100000000LL + 4096, 0x140000000LL - 2048};
    {
        HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
        for (LONGLONG offset : markers) {
            char sector[2048];
            std::fill(sector, sector + sizeof(sector), static_cast<char>(offset >> 11));
            LARGE_INTEGER position;
            position.QuadPart = offset;
            DWORD written = 0;
            ASSERT_TRUE(SetFilePointerEx(file, position, nullptr, FILE_BEGIN));
            ASSERT_TRUE(WriteFile(file, sector, sizeof(sector), &written, nullptr));
        }
        CloseHandle(file);
    }
    const std::wstring widePath(path.begin(), path.end());
    ASSERT_TRUE(MountImage(m_letter, widePath.c_str(), 0)) << GetLastError();

    PlatformHandle drive = m_platform.OpenDrive(m_device.c_str());
    ASSERT_NE(drive, kInvalidPlatformHandle) << m_platform.GetLastError();
    for (LONGLONG offset : markers) {
        SCOPED_TRACE(offset);
        int32_t high = static_cast<int32_t>(offset >> 32);
        ASSERT_EQ(m_platform.SetPosition(drive, static_cast<int32_t>(offset & 0xFFFFFFFF), &high),
                  static_cast<uint32_t>(offset & 0xFFFFFFFF));
        // Two reads in a row: the second follows the first, as it would on a positioned handle.
        // A read at the end is refused, as Windows' class driver refuses it.
        for (LONGLONG expected : {offset, offset + 2048}) {
            char sector[2048] = {};
            uint32_t read = 0;
            if (expected == 0x140000000LL) {
                EXPECT_FALSE(m_platform.Read(drive, sector, sizeof(sector), read));
                EXPECT_EQ(m_platform.GetLastError(), static_cast<uint32_t>(ERROR_INVALID_FUNCTION));
                continue;
            }
            ASSERT_TRUE(m_platform.Read(drive, sector, sizeof(sector), read))
                << m_platform.GetLastError();
            ASSERT_EQ(read, 2048u);
            EXPECT_EQ(sector[100], expected == offset ? static_cast<char>(offset >> 11) : 0);
        }
    }
    m_platform.Close(drive);
    EXPECT_TRUE(EjectDrive(m_letter)) << GetLastError();
    DeleteFileA(path.c_str());
}
