// Tests of the ripper's About box and its link control, on the box's own dialog template.

#include "AboutBox.h"
#include "LinkStatic.h"
#include "resource.h"
#include "OwnWindow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Opens the link control's state to the tests.
class CLinkProbe : public CLinkStatic {
public:
    HFONT Font() const { return static_cast<HFONT>(m_fontUnderline.GetSafeHandle()); }
    HCURSOR Cursor() const { return m_hLinkCursor; }
};

// The About box's template, with a link control attached to every static on it: the link
// itself, the two-line text (SS_NOPREFIX) and the icon (SS_ICON).
class CLinkTestDlg : public CDialog {
public:
    CLinkTestDlg() : CDialog(IDD_ABOUTBOX) {}
    CLinkProbe m_link;
    CLinkProbe m_text;
    CLinkProbe m_icon;

    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        for (HWND child = ::GetWindow(m_hWnd, GW_CHILD); child;
             child = ::GetWindow(child, GW_HWNDNEXT)) {
            if (::GetDlgCtrlID(child) != IDC_STATIC)
                continue;
            DWORD kind = static_cast<DWORD>(::GetWindowLongPtrA(child, GWL_STYLE)) & SS_TYPEMASK;
            (kind == SS_ICON ? m_icon : m_text).SubclassWindow(child);
        }
        return TRUE;
    }

protected:
    void DoDataExchange(CDataExchange* pDX) override {
        CDialog::DoDataExchange(pDX);
        DDX_Control(pDX, IDC_ABOUT_LINK, m_link);
    }
};

// What a control painted, through WM_PRINTCLIENT into a white 32-bit bitmap: the control
// asks its parent for colours exactly as when it paints on screen.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<DWORD> pixels; // 0x00RRGGBB, top row first

    int Count(COLORREF colour) const {
        int n = 0;
        for (DWORD p : pixels)
            n += p == Rgb(colour);
        return n;
    }
    // The longest horizontal run of one colour: an underline is as long as the text.
    int LongestRun(COLORREF colour) const {
        int best = 0;
        for (int y = 0; y < height; ++y) {
            int run = 0;
            for (int x = 0; x < width; ++x) {
                run = pixels[static_cast<size_t>(y * width + x)] == Rgb(colour) ? run + 1 : 0;
                best = run > best ? run : best;
            }
        }
        return best;
    }
    int CountDark() const {
        int n = 0;
        for (DWORD p : pixels)
            n += ((p >> 16) & 0xFF) < 0x60 && ((p >> 8) & 0xFF) < 0x60 && (p & 0xFF) < 0x60;
        return n;
    }
    static DWORD Rgb(COLORREF c) {
        return (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c);
    }
};

Picture Render(HWND control) {
    Picture picture;
    RECT rect;
    ::GetClientRect(control, &rect);
    picture.width = rect.right;
    picture.height = rect.bottom;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = picture.width;
    info.bmiHeader.biHeight = -picture.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HDC dc = ::CreateCompatibleDC(nullptr);
    HBITMAP bitmap = ::CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(dc, bitmap);
    ::PatBlt(dc, 0, 0, picture.width, picture.height, WHITENESS);
    ::SendMessageA(control, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
    ::GdiFlush();
    const DWORD* p = static_cast<const DWORD*>(bits);
    for (int i = 0; i < picture.width * picture.height; ++i)
        picture.pixels.push_back(p[i] & 0xFFFFFF);
    ::SelectObject(dc, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(dc);
    return picture;
}

// Points this program's import table slot for `function` of `dll` at `replacement`, so that a
// test sees the calls that the code under test makes there. Returns the function that the slot
// held, or null when the program imports no such function.
void* ReplaceImport(const char* dll, const char* function, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleA(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         module->Name; ++module) {
        if (::lstrcmpiA(reinterpret_cast<const char*>(base + module->Name), dll) != 0 ||
            !module->OriginalFirstThunk)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0)
                continue;
            DWORD protection = 0;
            if (!::VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE,
                                  &protection))
                return nullptr;
            void* original = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            ::VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), protection,
                             &protection);
            return original;
        }
    }
    return nullptr;
}

// Counts the program's calls of CreateFontIndirectA, passing each on.
int g_fontsCreated = 0;
decltype(&::CreateFontIndirectA) g_createFontIndirectA = nullptr;

HFONT WINAPI CountingCreateFontIndirectA(const LOGFONTA* logFont) {
    ++g_fontsCreated;
    return g_createFontIndirectA(logFont);
}

bool CountFontCreation() {
    if (!g_createFontIndirectA)
        g_createFontIndirectA = reinterpret_cast<decltype(&::CreateFontIndirectA)>(
            ReplaceImport("gdi32.dll", "CreateFontIndirectA",
                          reinterpret_cast<void*>(&CountingCreateFontIndirectA)));
    return g_createFontIndirectA != nullptr;
}

// Stands in for the shell while installed: records each ShellExecuteA call and answers it with
// g_shellAnswer.
struct ShellCall {
    HWND owner;
    std::string verb, file;
    bool hasParameters, hasDirectory;
    INT nShow;
};
std::vector<ShellCall> g_shellCalls;
INT_PTR g_shellAnswer = 0;
void* g_realShellExecuteA = nullptr;

HINSTANCE WINAPI RecordingShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                                        LPCSTR directory, INT nShow) {
    g_shellCalls.push_back({owner, verb ? verb : "<null>", file ? file : "<null>",
                            parameters != nullptr, directory != nullptr, nShow});
    return reinterpret_cast<HINSTANCE>(g_shellAnswer);
}

class CScriptedShell {
public:
    CScriptedShell() {
        g_shellCalls.clear();
        g_realShellExecuteA = ReplaceImport("shell32.dll", "ShellExecuteA",
                                            reinterpret_cast<void*>(&RecordingShellExecuteA));
    }
    ~CScriptedShell() {
        if (g_realShellExecuteA)
            ReplaceImport("shell32.dll", "ShellExecuteA", g_realShellExecuteA);
    }
    bool IsInstalled() const { return g_realShellExecuteA != nullptr; }
};

std::string ClipboardText() {
    std::string text = "<none>";
    if (!::OpenClipboard(nullptr))
        return "<closed>";
    if (HANDLE data = ::GetClipboardData(CF_TEXT)) {
        if (const char* p = static_cast<const char*>(::GlobalLock(data))) {
            text = p;
            ::GlobalUnlock(data);
        }
    }
    ::CloseClipboard();
    return text;
}

void SetClipboardText(const char* text) {
    ASSERT_TRUE(::OpenClipboard(nullptr));
    ::EmptyClipboard();
    HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, std::strlen(text) + 1);
    std::strcpy(static_cast<char*>(::GlobalLock(block)), text);
    ::GlobalUnlock(block);
    ::SetClipboardData(CF_TEXT, block);
    ::CloseClipboard();
}

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dlg.Create(IDD_ABOUTBOX)); }
    void TearDown() override { dlg.DestroyWindow(); }
    CLinkTestDlg dlg;
};

TEST_F(LinkTest, PaintsBlueUnderlinedTextAndMakesItsFontOnce) {
    ASSERT_TRUE(CountFontCreation());
    ASSERT_EQ(nullptr, dlg.m_link.Font()); // nothing painted yet: the box is hidden
    HFONT controlFont =
        reinterpret_cast<HFONT>(::SendMessageA(dlg.m_link.m_hWnd, WM_GETFONT, 0, 0));
    ASSERT_NE(nullptr, controlFont);

    g_fontsCreated = 0;
    Picture first = Render(dlg.m_link.m_hWnd);
    HFONT font = dlg.m_link.Font();
    ASSERT_NE(nullptr, font);
    EXPECT_EQ(1, g_fontsCreated);
    EXPECT_GT(first.Count(RGB(0, 0, 255)), 50);
    EXPECT_GE(first.LongestRun(RGB(0, 0, 255)), 60) << "no underline under the link";

    // The font is the control's original one, underlined.
    LOGFONTA own = {};
    LOGFONTA underlined = {};
    ASSERT_EQ(static_cast<int>(sizeof(own)), ::GetObjectA(controlFont, sizeof(own), &own));
    ASSERT_EQ(static_cast<int>(sizeof(underlined)),
              ::GetObjectA(font, sizeof(underlined), &underlined));
    EXPECT_EQ(0, own.lfUnderline);
    EXPECT_EQ(1, underlined.lfUnderline);
    EXPECT_EQ(own.lfHeight, underlined.lfHeight);
    EXPECT_STREQ(own.lfFaceName, underlined.lfFaceName);

    // Repaints reuse it and create no other.
    g_fontsCreated = 0;
    for (int i = 0; i < 3; ++i) {
        Picture again = Render(dlg.m_link.m_hWnd);
        EXPECT_EQ(font, dlg.m_link.Font());
        EXPECT_EQ(first.pixels, again.pixels);
    }
    EXPECT_EQ(0, g_fontsCreated);
}

TEST_F(LinkTest, CentredAndRightAlignedTextIsALinkToo) {
    for (DWORD style : {DWORD{SS_CENTER}, DWORD{SS_RIGHT}}) {
        SCOPED_TRACE(style);
        HWND link = dlg.m_link.m_hWnd;
        LONG_PTR others = ::GetWindowLongPtrA(link, GWL_STYLE) & ~LONG_PTR{0xFF};
        ::SetWindowLongPtrA(link, GWL_STYLE, others | static_cast<LONG_PTR>(style));
        EXPECT_GT(Render(link).Count(RGB(0, 0, 255)), 50);
    }
}

TEST_F(LinkTest, OtherStaticsPaintAsOrdinaryText) {
    struct Case {
        const char* name;
        CLinkProbe& control;
        bool hasDarkText;
    } cases[] = {{"SS_NOPREFIX text", dlg.m_text, true}, {"SS_ICON", dlg.m_icon, false}};
    for (const Case& c : cases) {
        ASSERT_NE(nullptr, c.control.m_hWnd) << c.name;
        Picture picture = Render(c.control.m_hWnd);
        EXPECT_EQ(0, picture.Count(RGB(0, 0, 255))) << c.name;
        EXPECT_EQ(nullptr, c.control.Font()) << c.name;
        if (c.hasDarkText) {
            EXPECT_GT(picture.CountDark(), 20) << c.name;
        }
    }
}

// Records the handles that the program gives to DestroyCursor and DeleteObject, passing each on.
std::vector<HANDLE> g_released;
decltype(&::DestroyCursor) g_destroyCursor = nullptr;
decltype(&::DeleteObject) g_deleteObject = nullptr;

BOOL WINAPI RecordingDestroyCursor(HCURSOR cursor) {
    g_released.push_back(cursor);
    return g_destroyCursor(cursor);
}

BOOL WINAPI RecordingDeleteObject(HGDIOBJ object) {
    g_released.push_back(object);
    return g_deleteObject(object);
}

TEST(LinkLifetime, DestructionReleasesTheCursorAndTheUnderlinedFont) {
    g_destroyCursor = reinterpret_cast<decltype(&::DestroyCursor)>(ReplaceImport(
        "user32.dll", "DestroyCursor", reinterpret_cast<void*>(&RecordingDestroyCursor)));
    g_deleteObject = reinterpret_cast<decltype(&::DeleteObject)>(ReplaceImport(
        "gdi32.dll", "DeleteObject", reinterpret_cast<void*>(&RecordingDeleteObject)));
    ASSERT_NE(nullptr, g_destroyCursor);
    ASSERT_NE(nullptr, g_deleteObject);

    HCURSOR cursor = nullptr;
    HFONT font = nullptr;
    {
        CLinkTestDlg dlg;
        ASSERT_TRUE(dlg.Create(IDD_ABOUTBOX));
        Render(dlg.m_link.m_hWnd);
        cursor = dlg.m_link.Cursor();
        font = dlg.m_link.Font();
        ASSERT_NE(nullptr, cursor);
        ASSERT_NE(nullptr, font);
        dlg.DestroyWindow();
        g_released.clear();
    }
    // The three link objects each destroy their cursor; only the link made a font.
    EXPECT_EQ(1, std::count(g_released.begin(), g_released.end(), cursor));
    EXPECT_EQ(1, std::count(g_released.begin(), g_released.end(), font));
    EXPECT_LT(std::find(g_released.begin(), g_released.end(), cursor),
              std::find(g_released.begin(), g_released.end(), font));

    ReplaceImport("user32.dll", "DestroyCursor", reinterpret_cast<void*>(g_destroyCursor));
    ReplaceImport("gdi32.dll", "DeleteObject", reinterpret_cast<void*>(g_deleteObject));
    g_destroyCursor = nullptr;
    g_deleteObject = nullptr;
}

TEST_F(LinkTest, TakesTheMouseAndShowsTheHand) {
    HWND link = dlg.m_link.m_hWnd;
    EXPECT_EQ(0, ::GetWindowLongPtrA(link, GWL_STYLE) & SS_NOTIFY);
    EXPECT_EQ(HTCLIENT, ::SendMessageA(link, WM_NCHITTEST, 0, MAKELPARAM(1, 1)));

    HCURSOR hand = dlg.m_link.Cursor();
    ASSERT_NE(nullptr, hand);
    ::SetCursor(::LoadCursor(nullptr, IDC_ARROW));
    EXPECT_EQ(TRUE, ::SendMessageA(link, WM_SETCURSOR, reinterpret_cast<WPARAM>(link),
                                   MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)));
    EXPECT_EQ(hand, ::GetCursor());

    // The hand: 32 x 32, monochrome, pointing with the tip of its finger at (6, 0).
    ICONINFO info = {};
    ASSERT_TRUE(::GetIconInfo(hand, &info));
    EXPECT_FALSE(info.fIcon);
    EXPECT_EQ(6u, info.xHotspot);
    EXPECT_EQ(0u, info.yHotspot);
    EXPECT_EQ(nullptr, info.hbmColor);
    BITMAP mask = {};
    ASSERT_TRUE(::GetObjectA(info.hbmMask, sizeof(mask), &mask));
    EXPECT_EQ(32, mask.bmWidth);
    EXPECT_EQ(64, mask.bmHeight);
    ::DeleteObject(info.hbmMask);
    if (info.hbmColor)
        ::DeleteObject(info.hbmColor);
}

TEST_F(LinkTest, ButtonDownCopiesTheTextWhenTheShellCannotOpenIt) {
    // A file that does not exist: the shell fails and the link copies its text instead.
    const char* target = "Z:\\nonexistent-ravelin-test\\no such page.xyz";
    ::SetWindowTextA(dlg.m_link.m_hWnd, target);
    SetClipboardText("marker");
    ASSERT_EQ("marker", ClipboardText());

    ::SendMessageA(dlg.m_link.m_hWnd, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
    EXPECT_EQ("marker", ClipboardText()) << "the link reacted to the button going up";

    ::SendMessageA(dlg.m_link.m_hWnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
    EXPECT_EQ(target, ClipboardText());

    ASSERT_TRUE(::OpenClipboard(nullptr));
    HANDLE data = ::GetClipboardData(CF_TEXT);
    ASSERT_NE(nullptr, data);
    EXPECT_GE(::GlobalSize(data), std::strlen(target) + 1);
    ::CloseClipboard();
}

TEST_F(LinkTest, OpensItsTextWithTheShellAndCopiesItOnlyWhenTheShellFails) {
    const char* address = "https://ravelin.example.org/";
    ::SetWindowTextA(dlg.m_link.m_hWnd, address);
    CScriptedShell shell;
    ASSERT_TRUE(shell.IsInstalled());
    struct {
        INT_PTR answer;
        const char* clipboard;
    } const cases[] = {
        // Above 32 the link is open and the clipboard is left alone; 32 and below (such as
        // ERROR_FILE_NOT_FOUND, or 0 for no memory) are failures: the text goes there.
        {33, "marker"}, {42, "marker"}, {32, address}, {2, address}, {0, address},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        SetClipboardText("marker");
        g_shellCalls.clear();
        g_shellAnswer = c.answer;
        ::SendMessageA(dlg.m_link.m_hWnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
        ASSERT_EQ(1u, g_shellCalls.size());
        const ShellCall& call = g_shellCalls[0];
        EXPECT_EQ(nullptr, call.owner);
        EXPECT_EQ("open", call.verb);
        EXPECT_EQ(address, call.file);
        EXPECT_FALSE(call.hasParameters);
        EXPECT_FALSE(call.hasDirectory);
        EXPECT_EQ(SW_SHOWNORMAL, call.nShow);
        EXPECT_EQ(c.clipboard, ClipboardText());
    }
}

// ---------------------------------------------------------------------------------------------
// The box itself, run modally as the main dialog runs it.

struct AboutSeen {
    bool found = false;
    std::string caption;
    std::string linkText;
    bool linkSubclassed = false;
    LRESULT linkHitTest = 0;
    int bluePixels = 0;
    LONG_PTR exStyle = 0;
    HWND okButton = nullptr;
};

AboutSeen g_seen;

void CALLBACK InspectAboutBox(HWND, UINT, UINT_PTR timer, DWORD) {
    HWND box = FindOwnWindow("About Ravelin");
    if (!box || !::IsWindowVisible(box))
        return;
    ::KillTimer(nullptr, timer);
    g_seen.found = true;
    char text[256] = {};
    ::GetWindowTextA(box, text, sizeof(text));
    g_seen.caption = text;
    HWND link = ::GetDlgItem(box, IDC_ABOUT_LINK);
    ::GetWindowTextA(link, text, sizeof(text));
    g_seen.linkText = text;
    g_seen.linkSubclassed = CWnd::FromHandlePermanent(link) != nullptr;
    g_seen.linkHitTest = ::SendMessageA(link, WM_NCHITTEST, 0, 0);
    g_seen.bluePixels = Render(link).Count(RGB(0, 0, 255));
    g_seen.exStyle = ::GetWindowLongPtrA(box, GWL_EXSTYLE);
    g_seen.okButton = ::GetDlgItem(box, IDOK);
    ::PostMessageA(box, WM_COMMAND, IDOK, 0);
}

TEST(AboutBoxTest, RunsModallyWithItsLinkAndEndsWithOk) {
    g_seen = AboutSeen();
    UINT_PTR timer = ::SetTimer(nullptr, 0, 50, &InspectAboutBox);
    ASSERT_NE(0u, timer);
    CAboutBox box;
    EXPECT_EQ(IDOK, box.DoModal());
    ::KillTimer(nullptr, timer);

    ASSERT_TRUE(g_seen.found);
    EXPECT_EQ("About Ravelin", g_seen.caption);
    EXPECT_EQ("https://ravelin.example.org/", g_seen.linkText);
    EXPECT_TRUE(g_seen.linkSubclassed);
    EXPECT_EQ(HTCLIENT, g_seen.linkHitTest);
    EXPECT_GT(g_seen.bluePixels, 50);
    EXPECT_NE(0, g_seen.exStyle & WS_EX_TOOLWINDOW);
    EXPECT_NE(nullptr, g_seen.okButton);
    EXPECT_EQ(nullptr, box.m_hWnd);
}

// ---------------------------------------------------------------------------------------------
// The program's other resources, linked into this test from the same .rc.

TEST(RavelinResourcesTest, StringIconManifestAndVersion) {
    char text[64] = {};
    ASSERT_GT(::LoadStringA(::GetModuleHandleA(nullptr), IDS_ABOUTBOX, text, sizeof(text)), 0);
    EXPECT_STREQ("&About Ravelin...", text);
    EXPECT_EQ(0x0010, IDM_ABOUTBOX);
    EXPECT_NE(nullptr, ::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME)));

    HRSRC manifest = ::FindResourceA(nullptr, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(nullptr, manifest);
    std::string xml(static_cast<const char*>(::LockResource(::LoadResource(nullptr, manifest))),
                    ::SizeofResource(nullptr, manifest));
    EXPECT_NE(std::string::npos, xml.find("Microsoft.Windows.Common-Controls"));
    EXPECT_NE(std::string::npos, xml.find("version=\"6.0.0.0\""));

    HRSRC version = ::FindResourceA(nullptr, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16));
    ASSERT_NE(nullptr, version);
    const auto* block = static_cast<const BYTE*>(::LockResource(::LoadResource(nullptr, version)));
    // The fixed part follows the root block's header (6 bytes, the key, padding).
    const VS_FIXEDFILEINFO* fixed = nullptr;
    for (DWORD at = 0; at + sizeof(VS_FIXEDFILEINFO) <= ::SizeofResource(nullptr, version);
         at += 4) {
        const auto* candidate = reinterpret_cast<const VS_FIXEDFILEINFO*>(block + at);
        if (candidate->dwSignature == 0xFEEF04BD) {
            fixed = candidate;
            break;
        }
    }
    ASSERT_NE(nullptr, fixed);
    EXPECT_EQ(0x00010002u, fixed->dwFileVersionMS);
    EXPECT_EQ(0x00000000u, fixed->dwFileVersionLS);
    // The string block is for US English in UTF-16 (040904B0), also named as the translation.
    const std::wstring all(reinterpret_cast<const wchar_t*>(block),
                           ::SizeofResource(nullptr, version) / sizeof(wchar_t));
    EXPECT_NE(std::wstring::npos, all.find(L"040904B0"));
    EXPECT_NE(std::wstring::npos, all.find(L"1.2.0.0"));
    const std::wstring translation = {L'\x0409', L'\x04B0'};
    EXPECT_NE(std::wstring::npos, all.find(std::wstring(L"Translation") + L'\0'));
    EXPECT_NE(std::wstring::npos, all.find(translation));
}

} // namespace
