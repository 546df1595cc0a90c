// Whether the texts of both programs' dialogs fit their controls, measured in the built
// programs under Wine at the display's DPI:
//   text_fit.exe DPI Tolvane.exe Ravelin.exe
// Each dialog is made hidden from the template in the program file, in its own font, and every
// static text, push button, check box and group box is measured with DrawText against the room
// that its control leaves for the text. One line per dialog, one more per text that does not
// fit. Exit status 1 when a text of Tolvane's main dialog does not fit, the dialog fonts are not
// the faces that Windows gives them, or the display is not at DPI; the other dialogs' sizes are
// fixed, so what does not fit there is reported and does not fail.
//
// The check proves the prefix as well: "MS Shell Dlg" must come out as Tahoma and "Marlett" as
// Marlett. Without Wine's own fonts in the prefix both fall back to another face (Wine does not
// look for them where Debian installs them), the caption buttons show letters and the labels are
// measured in the wrong font.

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct DialogToCheck {
    int program; // index into the programs given on the command line
    WORD id;
    const wchar_t* name;
    bool mayBeChanged;   // its layout is ours to fix; otherwise only reported
    const wchar_t* face; // the face its template's font must resolve to
};

const wchar_t* const kProgramNames[] = {L"Tolvane", L"Ravelin"};

const DialogToCheck kDialogs[] = {
    {0, 102, L"main dialog", true, L"Tahoma"},
    {0, 129, L"driver control", false, L"Tahoma"},
    {0, 130, L"mount options", false, L"Tahoma"},
    {1, 102, L"main dialog", false, L"MS Sans Serif"},
    {1, 100, L"About box", false, L"MS Sans Serif"},
};

class CDataFile {
public:
    explicit CDataFile(const std::wstring& path)
        : m_hModule(::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
    ~CDataFile() {
        if (m_hModule != nullptr)
            ::FreeLibrary(m_hModule);
    }
    CDataFile(const CDataFile&) = delete;
    CDataFile& operator=(const CDataFile&) = delete;
    HMODULE Get() const { return m_hModule; }

private:
    HMODULE m_hModule;
};

class CWindowDC {
public:
    explicit CWindowDC(HWND window) : m_hWnd(window), m_hDC(::GetDC(window)) {}
    ~CWindowDC() { ::ReleaseDC(m_hWnd, m_hDC); }
    CWindowDC(const CWindowDC&) = delete;
    CWindowDC& operator=(const CWindowDC&) = delete;
    HDC Get() const { return m_hDC; }

private:
    HWND m_hWnd;
    HDC m_hDC;
};

// Selects a font into a device context for the life of the object.
class CFontSelection {
public:
    CFontSelection(HDC dc, HFONT font)
        : m_hDC(dc), m_hOld(static_cast<HFONT>(::SelectObject(dc, font))) {}
    ~CFontSelection() { ::SelectObject(m_hDC, m_hOld); }
    CFontSelection(const CFontSelection&) = delete;
    CFontSelection& operator=(const CFontSelection&) = delete;

private:
    HDC m_hDC;
    HFONT m_hOld;
};

std::wstring Widen(const char* text) {
    std::wstring wide;
    for (const char* p = text; *p != '\0'; ++p)
        wide += *p == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*p));
    return wide;
}

// The face that the selected font resolved to. Wine's GetTextFace answers the name asked for
// when that name is a substitute ("MS Shell Dlg"), so an outline font is named by the family in
// its own file; a bitmap font has no outline metrics, and there GetTextFace is right.
std::wstring FaceOf(HDC dc) {
    const UINT size = ::GetOutlineTextMetricsW(dc, 0, nullptr);
    if (size != 0) {
        std::vector<BYTE> buffer(size);
        auto* metrics = reinterpret_cast<OUTLINETEXTMETRICW*>(buffer.data());
        if (::GetOutlineTextMetricsW(dc, size, metrics) != 0) {
            const auto offset = reinterpret_cast<UINT_PTR>(metrics->otmpFamilyName);
            return reinterpret_cast<const wchar_t*>(buffer.data() + offset);
        }
    }
    wchar_t face[LF_FACESIZE] = {};
    ::GetTextFaceW(dc, LF_FACESIZE, face);
    return face;
}

std::wstring FaceOfFont(const wchar_t* family, int dpi) {
    LOGFONTW font = {};
    font.lfHeight = -MulDiv(8, dpi, 72);
    font.lfCharSet = DEFAULT_CHARSET;
    std::wcsncpy(font.lfFaceName, family, LF_FACESIZE - 1);
    HFONT handle = ::CreateFontIndirectW(&font);
    CWindowDC screen(nullptr);
    std::wstring face;
    {
        CFontSelection selection(screen.Get(), handle);
        face = FaceOf(screen.Get());
    }
    ::DeleteObject(handle);
    return face;
}

INT_PTR CALLBACK QuietDialogProc(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

// The dialog made from the template as it stands in the program, but never shown: Ravelin's
// main dialog is visible in its template.
HWND CreateHiddenDialog(HMODULE module, WORD id) {
    HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5));
    if (resource == nullptr)
        return nullptr;
    HGLOBAL loaded = ::LoadResource(module, resource);
    const BYTE* bytes = static_cast<const BYTE*>(::LockResource(loaded));
    if (bytes == nullptr)
        return nullptr;
    std::vector<BYTE> copy(bytes, bytes + ::SizeofResource(module, resource));
    // DIALOGEX begins with its version and 0xFFFF, then the help id and the extended style,
    // then the style; the older DLGTEMPLATE begins with the style.
    const bool extended = copy.size() > 16 && copy[2] == 0xFF && copy[3] == 0xFF;
    DWORD* style = reinterpret_cast<DWORD*>(copy.data() + (extended ? 12 : 0));
    *style &= ~static_cast<DWORD>(WS_VISIBLE);
    return ::CreateDialogIndirectParamW(module, reinterpret_cast<const DLGTEMPLATE*>(copy.data()),
                                        nullptr, &QuietDialogProc, 0);
}

struct Measure {
    SIZE text;
    SIZE room;
};

// The room a control leaves for its text, in client pixels: a push button draws its text
// inside its raised frame; a check box beside its box, half an average character away; a group
// box draws its text in the top line of its frame, an average character in from the corner on
// either side.
bool MeasureControl(HWND control, HDC dc, Measure& measure) {
    wchar_t klass[32] = {};
    ::GetClassNameW(control, klass, 32);
    const LONG style = ::GetWindowLongW(control, GWL_STYLE);
    UINT format = DT_CALCRECT | DT_EXPANDTABS;
    RECT client;
    ::GetClientRect(control, &client);
    LONG width = client.right;
    LONG height = client.bottom;
    TEXTMETRICW metrics;
    ::GetTextMetricsW(dc, &metrics);
    if (_wcsicmp(klass, L"Static") == 0) {
        const LONG type = style & SS_TYPEMASK;
        if (type != SS_LEFT && type != SS_CENTER && type != SS_RIGHT && type != SS_SIMPLE &&
            type != SS_LEFTNOWORDWRAP)
            return false; // icons, frames, pictures
        if (style & SS_NOPREFIX)
            format |= DT_NOPREFIX;
    } else if (_wcsicmp(klass, L"Button") == 0) {
        switch (style & BS_TYPEMASK) {
        case BS_PUSHBUTTON:
        case BS_DEFPUSHBUTTON:
            width -= 2 * ::GetSystemMetrics(SM_CXEDGE);
            height -= 2 * ::GetSystemMetrics(SM_CYEDGE);
            break;
        case BS_CHECKBOX:
        case BS_AUTOCHECKBOX:
        case BS_3STATE:
        case BS_AUTO3STATE:
        case BS_RADIOBUTTON:
        case BS_AUTORADIOBUTTON:
            width -= ::GetSystemMetrics(SM_CXMENUCHECK) + metrics.tmAveCharWidth / 2;
            break;
        case BS_GROUPBOX:
            width -= 2 * metrics.tmAveCharWidth;
            break;
        default:
            return false;
        }
    } else {
        return false;
    }
    wchar_t text[256] = {};
    ::GetWindowTextW(control, text, 256);
    RECT rect = {0, 0, 0, 0};
    ::DrawTextW(dc, text, -1, &rect, format);
    measure.text = {rect.right, rect.bottom};
    measure.room = {width, height};
    return true;
}

// Checks one dialog; false when a text of a dialog whose layout is ours does not fit, or the
// dialog's font is not the face it must be.
bool CheckDialog(const DialogToCheck& dialog, HMODULE module, int dpi) {
    const wchar_t* program = kProgramNames[dialog.program];
    HWND window = CreateHiddenDialog(module, dialog.id);
    if (window == nullptr) {
        std::wprintf(L"%ls dialog %u (%ls): cannot be made, error %lu\n", program, dialog.id,
                     dialog.name, ::GetLastError());
        return false;
    }
    HFONT font = reinterpret_cast<HFONT>(::SendMessageW(window, WM_GETFONT, 0, 0));
    LOGFONTW requested = {};
    ::GetObjectW(font, sizeof(requested), &requested);
    bool ok = true;
    int texts = 0;
    int misfits = 0;
    std::wstring face;
    std::wstring report;
    {
        CWindowDC dc(window);
        CFontSelection selection(dc.Get(), font);
        face = FaceOf(dc.Get());
        for (HWND child = ::GetWindow(window, GW_CHILD); child != nullptr;
             child = ::GetWindow(child, GW_HWNDNEXT)) {
            Measure m;
            if (!MeasureControl(child, dc.Get(), m))
                continue;
            ++texts;
            if (m.text.cx <= m.room.cx && m.text.cy <= m.room.cy)
                continue;
            ++misfits;
            wchar_t text[256] = {};
            ::GetWindowTextW(child, text, 256);
            wchar_t line[512];
            std::swprintf(line, 512, L"  \"%ls\" needs %ld x %ld px, has %ld x %ld%ls\n", text,
                          m.text.cx, m.text.cy, m.room.cx, m.room.cy,
                          dialog.mayBeChanged ? L": DOES NOT FIT" : L" (size fixed; reported)");
            report += line;
        }
    }
    ::DestroyWindow(window);
    std::wprintf(L"%ls dialog %u (%ls) at %d DPI, \"%ls\" as \"%ls\": %d texts, %d do not fit\n",
                 program, dialog.id, dialog.name, dpi, requested.lfFaceName, face.c_str(), texts,
                 misfits);
    std::wprintf(L"%ls", report.c_str());
    if (face != dialog.face) {
        std::wprintf(L"  FAILED: the dialog font resolves to \"%ls\", not \"%ls\"\n", face.c_str(),
                     dialog.face);
        ok = false;
    }
    if (texts == 0) {
        std::wprintf(L"  FAILED: no text measured\n");
        ok = false;
    }
    if (dialog.mayBeChanged && misfits > 0)
        ok = false;
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fwprintf(stderr, L"usage: text_fit DPI Tolvane.exe Ravelin.exe\n");
        return 2;
    }
    const int dpi = std::atoi(argv[1]);
    bool ok = true;
    // The manifest declares DPI awareness, as the programs' own do: otherwise the process
    // sees 96 DPI whatever the display's, and its windows are stretched.
    if (!::IsProcessDPIAware()) {
        std::wprintf(L"FAILED: the process is not DPI-aware\n");
        ok = false;
    }
    {
        CWindowDC screen(nullptr);
        const int shown = ::GetDeviceCaps(screen.Get(), LOGPIXELSY);
        if (shown != dpi) {
            std::wprintf(L"FAILED: the display is at %d DPI, not %d\n", shown, dpi);
            ok = false;
        }
    }
    const std::wstring marlett = FaceOfFont(L"Marlett", dpi);
    std::wprintf(L"\"Marlett\" as \"%ls\" (the caption buttons' glyphs)\n", marlett.c_str());
    if (marlett != L"Marlett") {
        std::wprintf(L"FAILED: Marlett is missing from the prefix\n");
        ok = false;
    }

    INITCOMMONCONTROLSEX classes = {sizeof(classes), ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&classes);
    for (int program = 0; program < 2; ++program) {
        CDataFile file(Widen(argv[2 + program]));
        if (file.Get() == nullptr) {
            std::wprintf(L"FAILED: %hs cannot be read, error %lu\n", argv[2 + program],
                         ::GetLastError());
            ok = false;
            continue;
        }
        for (const DialogToCheck& dialog : kDialogs) {
            if (dialog.program == program && !CheckDialog(dialog, file.Get(), dpi))
                ok = false;
        }
    }
    std::wprintf(ok ? L"every text of the dialogs that may change fits\n" : L"FAILED\n");
    return ok ? 0 : 1;
}
