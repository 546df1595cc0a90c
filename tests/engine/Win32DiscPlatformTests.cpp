// The engine on the Win32 calls, run under Wine. Wine offers no optical drive, so the full copy
// runs through a platform that makes every Win32 call of the real one but opens an image file
// in place of "\\.\X:" and answers the geometry request from the file's size. The drive open
// itself is tested against a letter that names nothing.

#include "DiscEngine.h"
#include "Win32DiscPlatform.h"

#include "../../ripper/path/HeapString.h"

#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kSector = 2048;
constexpr uint32_t kErrorNoSuchDevice = 433; // ERROR_NO_SUCH_DEVICE

std::string ReadWholeFile(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string contents;
    char chunk[65536];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0)
        contents.append(chunk, read);
    CloseHandle(file);
    return contents;
}

void WriteWholeFile(const std::string& path, const std::string& contents) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(
        WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr));
    CloseHandle(file);
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string RandomBytes(size_t size) {
    std::mt19937 generator(static_cast<unsigned>(size));
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(generator());
    return bytes;
}

// Every call of the Win32 platform, except that the drive is an image file: the geometry is
// the file's size in whole cylinders of 64 x 32 sectors of 2048 bytes, rounded down, and its
// exact length is the file's size, as Windows' CD-ROM class driver answers for a disc.
class CFileBackedDrive : public Win32DiscPlatform {
public:
    explicit CFileBackedDrive(std::string image) : m_image(std::move(image)) {}

    PlatformHandle OpenDrive(const char* devicePath) override {
        devicePaths.push_back(devicePath);
        return Win32DiscPlatform::OpenDrive(m_image.c_str());
    }
    bool SetMediaLock(PlatformHandle drive, bool prevent) override {
        ++(prevent ? locks : releases);
        return Win32DiscPlatform::SetMediaLock(drive, prevent);
    }
    bool GetDriveGeometry(PlatformHandle drive, DiscGeometry& geometry) override {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(reinterpret_cast<HANDLE>(drive), &size))
            return false;
        uint64_t sectors = (static_cast<uint64_t>(size.QuadPart) + kSector - 1) / kSector;
        geometry = {static_cast<int64_t>(sectors / 2048), 11, 64, 32, kSector};
        return true;
    }
    bool GetLengthInfo(PlatformHandle drive, uint64_t& length) override {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(reinterpret_cast<HANDLE>(drive), &size))
            return false;
        length = static_cast<uint64_t>(size.QuadPart);
        return true;
    }

    std::vector<std::string> devicePaths;
    int locks = 0;
    int releases = 0;

private:
    std::string m_image;
};

class Win32Rip : public ::testing::Test {
protected:
    void SetUp() override {
        char temp[MAX_PATH];
        ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
        m_dir = std::string(temp) + "engine-tests-" + std::to_string(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryA(m_dir.c_str(), nullptr));
    }
    void TearDown() override {
        // SHFileOperation would pull in the shell; the tests leave only these few names.
        for (const char* name :
             {"\\out\\sub\\disc.iso", "\\out\\disc.iso", "\\disc.img", "\\aborted.iso"})
            DeleteFileA((m_dir + name).c_str());
        RemoveDirectoryA((m_dir + "\\out\\sub").c_str());
        RemoveDirectoryA((m_dir + "\\out").c_str());
        RemoveDirectoryA(m_dir.c_str());
    }

    std::string m_dir;
};

TEST_F(Win32Rip, CopiesTheImageByteForByteWithProgressAndDirectories) {
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    ASSERT_TRUE(InitCommonControlsEx(&controls));
    HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, "", 0, 0, 0, 100, 10, nullptr, nullptr,
                               GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(bar, nullptr);
    HANDLE abortEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(abortEvent, nullptr);

    // 2500 whole sectors and a part: one short read at the end; the exact length counts, so
    // 2501 sectors and not the one cylinder (2048 sectors) the geometry gives.
    std::string disc = RandomBytes(2500 * kSector + 700);
    WriteWholeFile(m_dir + "\\disc.img", disc);
    CFileBackedDrive drive(m_dir + "\\disc.img");
    std::string image = m_dir + "\\out\\sub\\disc.iso";

    EXPECT_EQ(RipDisc('D', image.c_str(), bar, abortEvent, drive), 0u);
    EXPECT_TRUE(ReadWholeFile(image) == disc) << "the image differs from the disc";
    EXPECT_EQ(drive.devicePaths, std::vector<std::string>{"\\\\.\\D:"});
    EXPECT_EQ(drive.locks, 1);
    EXPECT_EQ(drive.releases, 1);
    // Reports after sectors 0, 1000 and 2000 of 2501: the bar stands at the last one.
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 2000 * 100 / 2501);

    // Ripping again replaces the file; and the drive handle was closed, or the image file
    // (opened without sharing for writing) could not be replaced now.
    std::string smaller = RandomBytes(40 * kSector);
    WriteWholeFile(m_dir + "\\disc.img", smaller);
    EXPECT_EQ(RipDisc('D', image.c_str(), nullptr, nullptr, drive), 0u);
    EXPECT_TRUE(ReadWholeFile(image) == smaller);
    EXPECT_TRUE(DeleteFileA((m_dir + "\\disc.img").c_str())) << "the drive was left open";

    CloseHandle(abortEvent);
    DestroyWindow(bar);
}

TEST_F(Win32Rip, SignalledAbortEventLeavesAnEmptyImage) {
    HANDLE abortEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(abortEvent, nullptr);
    WriteWholeFile(m_dir + "\\disc.img", RandomBytes(30 * kSector));
    CFileBackedDrive drive(m_dir + "\\disc.img");
    std::string image = m_dir + "\\aborted.iso";
    EXPECT_EQ(RipDisc('D', image.c_str(), nullptr, abortEvent, drive), 0u);
    EXPECT_EQ(ReadWholeFile(image), "");
    CloseHandle(abortEvent);
}

TEST_F(Win32Rip, ImageThatCannotBeCreatedReturnsTheCreateError) {
    WriteWholeFile(m_dir + "\\disc.img", RandomBytes(30 * kSector));
    CFileBackedDrive drive(m_dir + "\\disc.img");
    // The name of an existing directory cannot be created as a file.
    EXPECT_EQ(RipDisc('D', m_dir.c_str(), nullptr, nullptr, drive),
              static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(drive.releases, 1);
}

TEST_F(Win32Rip, DriveLetterThatNamesNothingFailsTheOpen) {
    DWORD drives = GetLogicalDrives();
    char letter = 0;
    for (char candidate = 'Y'; candidate >= 'D' && !letter; --candidate)
        if (!(drives & (1u << (candidate - 'A'))))
            letter = candidate;
    ASSERT_NE(letter, 0) << "every drive letter is taken";

    std::string image = m_dir + "\\out\\disc.iso";
    uint32_t result = RipDisc(letter, image.c_str(), nullptr, nullptr);
    // Windows answers a device name that does not exist with ERROR_FILE_NOT_FOUND; Wine finds
    // no device behind the letter and says ERROR_NO_SUCH_DEVICE. Either is the open's error.
    EXPECT_TRUE(result == ERROR_FILE_NOT_FOUND || result == kErrorNoSuchDevice) << result;
    EXPECT_FALSE(Exists(m_dir + "\\out"));

    CHeapString label("stale");
    EXPECT_EQ(ReadDiscLabel(letter, label), result);
    EXPECT_TRUE(label.IsEmpty());
}

// Wine opens "\\.\C:" (its system drive, a directory of the host) as a volume, but answers
// both CD-ROM requests with ERROR_NOT_SUPPORTED: the geometry failure path, on the real calls.
TEST_F(Win32Rip, DriveWithoutGeometryCreatesNothing) {
    char windows[MAX_PATH];
    ASSERT_GT(GetWindowsDirectoryA(windows, MAX_PATH), 0u);
    const char letter = windows[0];
    std::string image = m_dir + "\\out\\disc.iso";
    uint32_t result = RipDisc(letter, image.c_str(), nullptr, nullptr);
    EXPECT_NE(result, 0u);
    EXPECT_FALSE(Exists(m_dir + "\\out"));

    CHeapString label("stale");
    EXPECT_EQ(ReadDiscLabel(letter, label), result);
    EXPECT_TRUE(label.IsEmpty());
}

TEST(Win32Platform, PositionsBeyondFourGigabytesAndRefusesNegativeOnes) {
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
    std::string path =
        std::string(temp) + "engine-position-" + std::to_string(GetCurrentProcessId());
    WriteWholeFile(path, "x");
    Win32DiscPlatform platform;
    PlatformHandle file = platform.OpenDrive(path.c_str());
    ASSERT_NE(file, kInvalidPlatformHandle);

    int32_t high = 1;
    EXPECT_EQ(platform.SetPosition(file, 0x40000000, &high), 0x40000000u);
    EXPECT_EQ(high, 1);
    // The label probe's form: a 32-bit offset alone, whose sign counts.
    EXPECT_EQ(platform.SetPosition(file, 32768, nullptr), 32768u);
    EXPECT_EQ(platform.SetPosition(file, -2048, nullptr), kInvalidSetFilePointer);
    EXPECT_EQ(platform.GetLastError(), static_cast<uint32_t>(ERROR_NEGATIVE_SEEK));

    platform.Close(file);
    DeleteFileA(path.c_str());
}

TEST(Win32Platform, SectorBufferIsPageAlignedAndZeroFilled) {
    Win32DiscPlatform platform;
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    void* buffer = platform.AllocateBuffer(kSector);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer) % system.dwPageSize, 0u);
    const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
    EXPECT_EQ(std::string(bytes, bytes + kSector), std::string(kSector, '\0'));
    platform.FreeBuffer(buffer, kSector);
}

} // namespace
