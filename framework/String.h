#pragma once

// CString: the dialogs' text type. TCHAR text (UTF-16 in the Unicode build, bytes in the 8-bit
// build), with lengths counted in TCHARs. The string table is read through LoadString.

#include <windows.h>
#include <tchar.h>

#include <cstdarg>
#include <string>

class CString {
public:
    CString() = default;
    CString(LPCTSTR text) : m_str(text ? text : _T("")) {}
    CString(LPCTSTR text, int length);
    CString(TCHAR ch, int repeat = 1);

    int GetLength() const { return static_cast<int>(m_str.size()); }
    BOOL IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }

    // Out-of-range indexes read as 0 and are ignored by SetAt.
    TCHAR GetAt(int index) const;
    TCHAR operator[](int index) const { return GetAt(index); }
    void SetAt(int index, TCHAR ch);

    operator LPCTSTR() const { return m_str.c_str(); }

    // Substrings clamp their bounds to the string, as the dialog code expects.
    CString Left(int count) const;
    CString Mid(int first) const;
    CString Mid(int first, int count) const;
    CString Right(int count) const;
    int Find(TCHAR ch, int start = 0) const;
    int Find(LPCTSTR text, int start = 0) const;
    int Compare(LPCTSTR text) const { return m_str.compare(text ? text : _T("")); }

    // Reads string nID of the program's string table; FALSE (and an empty string) if absent.
    BOOL LoadString(UINT nID);

    // printf-style formatting. CString arguments are passed as (LPCTSTR)str.
    void Format(LPCTSTR format, ...);
    void Format(UINT nFormatID, ...);
    void FormatV(LPCTSTR format, va_list args);

    // Direct access for Win32 calls that fill a buffer: room for at least minLength characters
    // plus the terminator; ReleaseBuffer then trims to newLength, or to the first NUL.
    LPTSTR GetBuffer(int minLength);
    void ReleaseBuffer(int newLength = -1);

    CString& operator=(LPCTSTR text);
    CString& operator=(TCHAR ch);
    CString& operator+=(LPCTSTR text);
    CString& operator+=(TCHAR ch);
    CString& operator+=(const CString& text);

    friend CString operator+(const CString& a, const CString& b);
    friend CString operator+(const CString& a, LPCTSTR b);
    friend CString operator+(LPCTSTR a, const CString& b);
    friend CString operator+(const CString& a, TCHAR b);
    friend bool operator==(const CString& a, LPCTSTR b) { return a.Compare(b) == 0; }
    friend bool operator==(const CString& a, const CString& b) { return a.m_str == b.m_str; }
    friend bool operator!=(const CString& a, LPCTSTR b) { return a.Compare(b) != 0; }
    friend bool operator!=(const CString& a, const CString& b) { return a.m_str != b.m_str; }

private:
    std::basic_string<TCHAR> m_str;
};
