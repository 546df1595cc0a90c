// The mount options dialog on its own template, the flags it gives, and the persistent-mount
// record's exact registry calls and message boxes against a recording registry.

#include "DialogTestSupport.h"
#include "MountOptionsDlg.h"
#include "PersistentMount.h"
#include "RecordingRegistry.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const wchar_t kCaption[] = L"Special Mount Options";
const wchar_t kImage[] = L"C:\\images\\disc.iso";

struct Ticks {
    bool udf, joliet, persistent;
};

// Runs the dialog for kImage, ticks the boxes by clicking them, and leaves with `message`.
// `seen` receives the boxes' states and the edit's text as the dialog came up.
INT_PTR RunOptions(CMountOptionsDlg& dlg, const Ticks& ticks, UINT message, WPARAM wParam,
                   std::wstring* seen = nullptr) {
    CDialogScript script(kCaption, [&](HWND dialog) {
        if (seen != nullptr) {
            *seen = ItemText(dialog, IDC_IMAGE_PATH);
            for (int id : {IDC_SUPPRESS_UDF, IDC_SUPPRESS_JOLIET, IDC_PERSISTENT})
                seen->push_back(::IsDlgButtonChecked(dialog, id) == BST_CHECKED ? L'x' : L'-');
        }
        const std::pair<bool, int> boxes[] = {{ticks.udf, IDC_SUPPRESS_UDF},
                                              {ticks.joliet, IDC_SUPPRESS_JOLIET},
                                              {ticks.persistent, IDC_PERSISTENT}};
        for (const auto& box : boxes) {
            if (box.first)
                ::SendDlgItemMessageW(dialog, box.second, BM_CLICK, 0, 0);
        }
        ::PostMessageW(dialog, message, wParam, 0);
    });
    dlg.m_imagePath = kImage;
    const INT_PTR result = dlg.DoModal();
    EXPECT_EQ(1, script.Runs()) << "the options dialog did not come up";
    return result;
}

TEST(MountOptionsTest, TicksGiveTheMountFlags) {
    struct Case {
        Ticks ticks;
        DWORD flags;
    };
    const Case cases[] = {
        {{false, false, false}, 0}, {{true, false, false}, 1}, {{false, true, false}, 2},
        {{true, true, false}, 3},   {{false, false, true}, 0}, {{true, true, true}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "udf " << c.ticks.udf << " joliet " << c.ticks.joliet
                                        << " persistent " << c.ticks.persistent);
        CMountOptionsDlg dlg;
        std::wstring seen;
        EXPECT_EQ(IDOK, RunOptions(dlg, c.ticks, WM_COMMAND, IDOK, &seen));
        // Every dialog starts with the path shown and nothing ticked.
        EXPECT_EQ(std::wstring(kImage) + L"---", seen);
        EXPECT_EQ(c.flags, MountFlagsFromOptions(dlg));
        EXPECT_EQ(c.ticks.persistent ? 1 : 0, dlg.m_persistent);
        EXPECT_EQ(c.ticks.udf ? 1 : 0, dlg.m_suppressUdf);
        EXPECT_EQ(c.ticks.joliet ? 1 : 0, dlg.m_suppressJoliet);
        EXPECT_STREQ(kImage, dlg.m_imagePath);
    }
}

TEST(MountOptionsTest, CancelEscAndCloseBoxKeepEveryDefault) {
    struct Exit {
        const char* name;
        UINT message;
        WPARAM wParam;
    };
    const Exit exits[] = {{"Cancel", WM_COMMAND, IDCANCEL},
                          {"Esc", WM_KEYDOWN, VK_ESCAPE},
                          {"close box", WM_SYSCOMMAND, SC_CLOSE}};
    for (const Exit& exit : exits) {
        SCOPED_TRACE(exit.name);
        CMountOptionsDlg dlg;
        EXPECT_EQ(IDCANCEL, RunOptions(dlg, {true, true, true}, exit.message, exit.wParam));
        EXPECT_EQ(0u, MountFlagsFromOptions(dlg));
        EXPECT_EQ(0, dlg.m_persistent);
    }
}

TEST(MountOptionsTest, PathBoxIsReadOnlyAndScrollsAlongALongPath) {
    CMountOptionsDlg dlg;
    ASSERT_TRUE(dlg.Create(CMountOptionsDlg::IDD));
    const LONG_PTR style = ::GetWindowLongPtrW(::GetDlgItem(dlg.m_hWnd, IDC_IMAGE_PATH), GWL_STYLE);
    EXPECT_TRUE(style & ES_READONLY);
    EXPECT_TRUE(style & ES_AUTOHSCROLL);
    for (int id : {IDC_SUPPRESS_UDF, IDC_SUPPRESS_JOLIET, IDC_PERSISTENT}) {
        const LONG_PTR box = ::GetWindowLongPtrW(::GetDlgItem(dlg.m_hWnd, id), GWL_STYLE);
        EXPECT_EQ(BS_AUTOCHECKBOX, box & BS_TYPEMASK) << id;
    }
    dlg.DestroyWindow();
}

std::wstring TextOf(const std::vector<BYTE>& data) {
    std::wstring text(data.size() / sizeof(wchar_t), L'\0');
    std::memcpy(&text[0], data.data(), text.size() * sizeof(wchar_t));
    return text;
}

TEST(PersistentMountTest, WritesBothValuesWithTheirTerminatorsUnderTheDrivesKey) {
    CRecordingRegistry registry;
    CBoxRecorder boxes;
    RecordPersistentMount(L'e', kImage, registry);

    const std::vector<std::wstring> shown = {L"E:", L"\\??\\C:\\images\\disc.iso",
                                             L"KELMOR Opened!"};
    EXPECT_EQ(shown, boxes.Texts());
    for (const auto& box : boxes.boxes)
        EXPECT_EQ(static_cast<UINT>(MB_OK), box.type);

    ASSERT_EQ(4u, registry.calls.size());
    const auto& create = registry.calls[0];
    EXPECT_EQ("RegCreateKeyExW", create.function);
    EXPECT_EQ(HKEY_LOCAL_MACHINE, create.key);
    EXPECT_EQ(L"System\\CurrentControlSet\\Services\\kelmor\\Parameters\\DeviceE", create.name);
    EXPECT_TRUE(create.classIsNull);
    EXPECT_EQ(static_cast<DWORD>(REG_OPTION_NON_VOLATILE), create.options);
    EXPECT_EQ(0xF003Fu, create.access);
    EXPECT_TRUE(create.securityIsNull);

    const struct {
        const wchar_t* name;
        std::wstring text;
    } values[] = {{L"DRIVE", std::wstring(L"E:", 3)},
                  {L"IMAGE", std::wstring(L"\\??\\C:\\images\\disc.iso", 23)}};
    for (size_t i = 0; i < 2; ++i) {
        const auto& set = registry.calls[1 + i];
        EXPECT_EQ("RegSetValueExW", set.function);
        EXPECT_EQ(values[i].name, set.name);
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), set.type);
        EXPECT_EQ(values[i].text, TextOf(set.data)) << "value with its terminating NUL";
    }
    EXPECT_EQ("RegCloseKey", registry.calls[3].function);
    EXPECT_EQ(0, registry.OpenKeys());
}

TEST(PersistentMountTest, KeyThatCannotBeCreatedShowsOnlyTheTwoTexts) {
    CRecordingRegistry registry;
    registry.createError = ERROR_ACCESS_DENIED;
    CBoxRecorder boxes;
    RecordPersistentMount(L'F', kImage, registry);
    const std::vector<std::wstring> shown = {L"F:", L"\\??\\C:\\images\\disc.iso"};
    EXPECT_EQ(shown, boxes.Texts());
    ASSERT_EQ(1u, registry.calls.size()) << "nothing is written without a key";
    EXPECT_EQ(0, registry.OpenKeys());
}

TEST(PersistentMountTest, AValueThatCannotBeWrittenIsReportedAndTheOtherStillWritten) {
    for (const wchar_t* failing : {L"DRIVE", L"IMAGE"}) {
        SCOPED_TRACE(testing::Message() << (failing[0] == L'D' ? "DRIVE" : "IMAGE"));
        CRecordingRegistry registry;
        registry.failingValue = failing;
        CBoxRecorder boxes;
        RecordPersistentMount(L'E', kImage, registry);
        const std::vector<std::wstring> shown = {
            L"E:", L"\\??\\C:\\images\\disc.iso", L"KELMOR Opened!",
            std::wstring(L"Could not set ") + failing + L" Value"};
        EXPECT_EQ(shown, boxes.Texts());
        ASSERT_EQ(4u, registry.calls.size());
        EXPECT_EQ(L"DRIVE", registry.calls[1].name);
        EXPECT_EQ(L"IMAGE", registry.calls[2].name);
        EXPECT_EQ(0, registry.OpenKeys());
    }
}

TEST(PersistentMountTest, OnlyLettersAToZAreUpperCased) {
    const struct {
        wchar_t letter;
        const wchar_t* drive;
    } cases[] = {{L'a', L"A:"}, {L'z', L"Z:"},        {L'Q', L"Q:"},
                 {L'1', L"1:"}, {0x00E9, L"\u00E9:"}, {0x0101, L"\u0101:"}};
    for (const auto& c : cases) {
        CRecordingRegistry registry;
        CBoxRecorder boxes;
        RecordPersistentMount(c.letter, kImage, registry);
        ASSERT_FALSE(boxes.boxes.empty());
        EXPECT_EQ(c.drive, boxes.Texts()[0]);
        EXPECT_EQ(std::wstring(L"System\\CurrentControlSet\\Services\\kelmor\\Parameters\\Device") +
                      c.drive[0],
                  registry.calls[0].name);
    }
}

} // namespace
