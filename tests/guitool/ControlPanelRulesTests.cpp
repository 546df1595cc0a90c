// The control panel's window-free decisions: the service buttons per state, the mapped-image
// text of a drive, and the persistent-mount record's texts.

#include "ControlPanelRules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

WString W(const std::string& text) {
    return WString(text.begin(), text.end());
}

TEST(ServiceButtonsTest, FollowWhetherTheServiceIsHeldAndItsState) {
    // SERVICE_STOPPED 1 ... SERVICE_PAUSED 7, and 0 for a state nobody reported.
    for (DWORD state = 0; state <= 7; ++state) {
        SCOPED_TRACE(state);
        const ServiceButtons absent = ServiceButtonsFor(false, state);
        EXPECT_TRUE(absent.install);
        EXPECT_FALSE(absent.remove);
        EXPECT_FALSE(absent.start);
        EXPECT_FALSE(absent.stop);

        const ServiceButtons held = ServiceButtonsFor(true, state);
        EXPECT_FALSE(held.install);
        EXPECT_TRUE(held.remove);
        EXPECT_EQ(state == 1, held.start);
        EXPECT_EQ(state == 4, held.stop);
    }
}

IMAGE_INFO Info(const std::string& path, WORD lengthBytes, WORD mounted) {
    IMAGE_INFO info;
    std::memset(&info, 0, sizeof(info));
    for (size_t i = 0; i < path.size() && i < kImagePathUnits; ++i)
        info.ImagePath[i] = static_cast<WCHAR>(path[i]);
    info.ImagePathLength = lengthBytes;
    info.Mounted = mounted;
    return info;
}

TEST(MappedImageTextTest, TellsMountedEjectedNeverMountedAndUnanswered) {
    const WString prefix = W("No Image Mounted. Last one was - ");
    const WString none = W("None");
    const std::string path = "C:\\images\\disc.iso";
    const WORD bytes = static_cast<WORD>(path.size() * 2);
    struct Case {
        const char* name;
        bool answered;
        IMAGE_INFO info;
        std::string text;
    };
    const Case cases[] = {
        {"mounted", true, Info(path, bytes, 1), path},
        {"mounted, any nonzero flag", true, Info(path, bytes, 0x8000), path},
        {"never mounted", true, Info("", 0, 0), "No Image Mounted. Last one was - None"},
        {"ejected", true, Info(path, bytes, 0), "No Image Mounted. Last one was - " + path},
        {"query failed", false, Info(path, bytes, 1), "No Image Mounted. Last one was - "},
        // The length decides, not a terminator: units past it are not shown, and an odd byte
        // count drops its half unit.
        {"length shorter than the text", true, Info(path, 4, 1), "C:"},
        {"odd length", true, Info(path, 5, 1), "C:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(W(c.text), MappedImageText(c.answered, c.info, prefix, none));
    }
}

TEST(MappedImageTextTest, ALengthBeyondTheBufferShowsItsWhole255Units) {
    const std::string full(kImagePathUnits, 'x');
    for (WORD length : {WORD(510), WORD(511), WORD(600), WORD(0xFFFF)}) {
        const IMAGE_INFO info = Info(full, length, 1);
        EXPECT_EQ(W(full), MappedImageText(true, info, W("p"), W("n"))) << length;
    }
}

TEST(PersistentMountRecordTest, NamesTheDrivesKeyAndBothTexts) {
    const PersistentMountRecord record = MakePersistentMountRecord('e', W("C:\\images\\disc.iso"));
    EXPECT_EQ(W("System\\CurrentControlSet\\Services\\kelmor\\Parameters\\DeviceE"),
              record.keyPath);
    EXPECT_EQ(W("E:"), record.driveText);
    EXPECT_EQ(W("\\??\\C:\\images\\disc.iso"), record.imageText);
}

TEST(PersistentMountRecordTest, UpperCasesOnlyAToZ) {
    EXPECT_EQ(WCHAR('A'), UpperDriveLetter('a'));
    EXPECT_EQ(WCHAR('Z'), UpperDriveLetter('z'));
    EXPECT_EQ(WCHAR('F'), UpperDriveLetter('F'));
    for (unsigned unit :
         {0x00u, 0x31u, 0x40u, 0x5Bu, 0x60u, 0x7Bu, 0xE9u, 0xFFu, 0x101u, 0x161u, 0xFF41u, 0xFFFFu})
        EXPECT_EQ(static_cast<WCHAR>(unit), UpperDriveLetter(static_cast<WCHAR>(unit))) << unit;
}

} // namespace
