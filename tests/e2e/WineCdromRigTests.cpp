// The test rig's CD-ROM letter under Wine: after the definition a virtual drive of the stand-in
// driver is listed as a CD-ROM drive, still reaches the driver, and reads the sample disc.

#include "DriverClient.h"
#include "KelmorService.h"
#include "KelmorTestSupport.h"
#include "KelmorTestEnvironment.h"
#include "UserActions.h"
#include "WineCdromLetter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

std::vector<char> ReadWholeFile(const char* windowsPath) {
    std::ifstream in(Narrow(WindowsPath(windowsPath)), std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const auto* const g_environment =
    ::testing::AddGlobalTestEnvironment(new CKelmorTestEnvironment(200));

class WineCdromRig : public ::testing::Test {
protected:
    void SetUp() override {
        std::wstring error;
        ASSERT_TRUE(m_service.Install(WindowsPath(KELMOR_SYS_PATH), error)) << Narrow(error);
        ASSERT_TRUE(m_service.Start(error)) << Narrow(error);
        WORD letter = 0;
        ASSERT_TRUE(AddDrive(letter)) << GetLastError();
        m_letter = static_cast<wchar_t>(letter);
        const std::wstring iso = WindowsPath(SAMPLE_ISO);
        ASSERT_TRUE(MountImage(m_letter, iso.c_str(), 0)) << GetLastError();
    }

    void TearDown() override {
        EXPECT_TRUE(RemoveDrive(m_letter)) << GetLastError();
        std::string error;
        EXPECT_TRUE(UndefineWineCdromLetter(m_letter, error)) << error;
        EXPECT_TRUE(m_service.Remove());
    }

    std::string Root() const { return std::string(1, static_cast<char>(m_letter)) + ":\\"; }

    CKelmorService m_service;
    wchar_t m_letter = 0;
};

} // namespace

TEST_F(WineCdromRig, DefinedLetterIsACdromThatStillReachesTheDriver) {
    std::string error;
    ASSERT_TRUE(DefineWineCdromLetter(m_letter, error)) << error;
    EXPECT_EQ(GetDriveTypeA(Root().c_str()), static_cast<UINT>(DRIVE_CDROM));
    // Defining a second time leaves the first definition alone.
    ASSERT_TRUE(DefineWineCdromLetter(m_letter, error)) << error;

    IMAGE_INFO info = {};
    ASSERT_TRUE(QueryImage(m_letter, info)) << "the drive no longer reaches the driver";
    EXPECT_NE(info.Mounted, 0);
}

TEST_F(WineCdromRig, PositionedReadsDeliverTheSampleSectorBySector) {
    std::string error;
    ASSERT_TRUE(DefineWineCdromLetter(m_letter, error)) << error;
    const std::string device = std::string("\\\\.\\") + static_cast<char>(m_letter) + ":";
    HANDLE drive = CreateFileA(device.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(drive, INVALID_HANDLE_VALUE) << GetLastError();
    const std::vector<char> sample = ReadWholeFile(SAMPLE_ISO);
    ASSERT_GT(sample.size(), 100u * 2048);
    std::vector<char> sector(2048);
    for (ULONGLONG index : {0ull, 16ull, 99ull, static_cast<ULONGLONG>(sample.size() / 2048 - 1)}) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(index * 2048);
        at.OffsetHigh = static_cast<DWORD>((index * 2048) >> 32);
        DWORD read = 0;
        ASSERT_TRUE(ReadFile(drive, sector.data(), 2048, &read, &at)) << GetLastError();
        ASSERT_EQ(read, 2048u);
        EXPECT_TRUE(std::equal(sector.begin(), sector.end(), sample.begin() + index * 2048))
            << "sector " << index;
    }
    CloseHandle(drive);
}

TEST(UserActions, WindowPictureIsAnImageOfTheWindowsSize) {
    HWND window = CreateWindowExW(0, L"STATIC", L"picture", WS_POPUP | WS_VISIBLE | SS_BLACKRECT,
                                  10, 10, 80, 40, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    UpdateWindow(window);
    const std::wstring path = WindowsPath(E2E_WORK_DIR) + L"\\picture-test.bmp";
    ASSERT_TRUE(SaveWindowPicture(window, path));
    DestroyWindow(window);
    std::ifstream in(Narrow(path), std::ios::binary);
    std::vector<unsigned char> bmp((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
    ASSERT_GT(bmp.size(), 54u);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(bmp[18] | bmp[19] << 8, 80);
    EXPECT_EQ(bmp[22] | bmp[23] << 8, 40);
}
