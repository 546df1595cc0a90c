#pragma once

// CFileDialog: the system's file-open (or save) dialog. The filter uses '|' between the
// entries and ends with "||", as in "Text (*.txt)|*.txt|All Files (*.*)|*.*||". A test can
// install a hook that answers the dialog in place of the user.

#include "String.h"

#include <commdlg.h>

#include <functional>

class CWnd;

struct CFileDialogRequest {
    HWND hOwner;
    BOOL bOpenFileDialog;
    CString defaultExt;
    CString fileName;
    DWORD flags;
    CString filter; // as given, with '|' separators
};

// Returns IDOK after storing the chosen full path in pathName, or IDCANCEL.
using FileDialogHook = std::function<INT_PTR(const CFileDialogRequest&, CString& pathName)>;

FileDialogHook AfxSetFileDialogHook(FileDialogHook hook);

class CFileDialog {
public:
    explicit CFileDialog(BOOL bOpenFileDialog, LPCTSTR lpszDefExt = nullptr,
                         LPCTSTR lpszFileName = nullptr,
                         DWORD dwFlags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT,
                         LPCTSTR lpszFilter = nullptr, CWnd* pParentWnd = nullptr);
    virtual ~CFileDialog() = default;

    // IDOK when the user chose a file, IDCANCEL otherwise (also when the dialog failed).
    virtual INT_PTR DoModal();
    CString GetPathName() const { return m_strPathName; }

    // The filter in the system's form: each '|' becomes a NUL.
    static std::basic_string<TCHAR> SystemFilter(LPCTSTR filter);

private:
    BOOL m_bOpenFileDialog;
    CString m_strDefExt;
    CString m_strFileName;
    DWORD m_dwFlags;
    CString m_strFilter;
    CWnd* m_pParentWnd;
    CString m_strPathName;
};
