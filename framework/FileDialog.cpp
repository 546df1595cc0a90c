#include "FileDialog.h"
#include "WinApp.h"
#include "Wnd.h"

#include <commdlg.h>

#include <vector>

namespace {

FileDialogHook& Hook() {
    static FileDialogHook hook;
    return hook;
}

} // namespace

FileDialogHook AfxSetFileDialogHook(FileDialogHook hook) {
    FileDialogHook previous = std::move(Hook());
    Hook() = std::move(hook);
    return previous;
}

CFileDialog::CFileDialog(BOOL bOpenFileDialog, LPCTSTR lpszDefExt, LPCTSTR lpszFileName,
                         DWORD dwFlags, LPCTSTR lpszFilter, CWnd* pParentWnd)
    : m_bOpenFileDialog(bOpenFileDialog), m_strDefExt(lpszDefExt), m_strFileName(lpszFileName),
      m_dwFlags(dwFlags), m_strFilter(lpszFilter), m_pParentWnd(pParentWnd) {}

std::basic_string<TCHAR> CFileDialog::SystemFilter(LPCTSTR filter) {
    std::basic_string<TCHAR> result(filter ? filter : _T(""));
    for (TCHAR& ch : result) {
        if (ch == '|')
            ch = 0;
    }
    // The system's list ends with two NULs whatever the caller wrote.
    result.append(2, 0);
    return result;
}

INT_PTR CFileDialog::DoModal() {
    HWND hOwner = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    if (!hOwner && AfxGetMainWnd())
        hOwner = AfxGetMainWnd()->m_hWnd;
    if (Hook()) {
        CFileDialogRequest request{hOwner,        m_bOpenFileDialog, m_strDefExt,
                                   m_strFileName, m_dwFlags,         m_strFilter};
        return Hook()(request, m_strPathName) == IDOK ? IDOK : IDCANCEL;
    }

    std::basic_string<TCHAR> filter = SystemFilter(m_strFilter);
    std::vector<TCHAR> file(32768, 0);
    lstrcpyn(file.data(), m_strFileName, static_cast<int>(file.size()));
    OPENFILENAME ofn = {};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = hOwner;
    ofn.lpstrFilter = m_strFilter.IsEmpty() ? nullptr : filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrDefExt = m_strDefExt.IsEmpty() ? nullptr : static_cast<LPCTSTR>(m_strDefExt);
    ofn.Flags = m_dwFlags | OFN_EXPLORER;
    BOOL chosen = m_bOpenFileDialog ? ::GetOpenFileName(&ofn) : ::GetSaveFileName(&ofn);
    if (!chosen)
        return IDCANCEL;
    m_strPathName = file.data();
    return IDOK;
}
