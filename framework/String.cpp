#include "String.h"
#include "WinApp.h"

#include <vector>

CString::CString(LPCTSTR text, int length) {
    if (text && length > 0)
        m_str.assign(text, static_cast<size_t>(length));
}

CString::CString(TCHAR ch, int repeat) {
    if (repeat > 0)
        m_str.assign(static_cast<size_t>(repeat), ch);
}

TCHAR CString::GetAt(int index) const {
    return index >= 0 && index < GetLength() ? m_str[static_cast<size_t>(index)] : 0;
}

void CString::SetAt(int index, TCHAR ch) {
    if (index >= 0 && index < GetLength())
        m_str[static_cast<size_t>(index)] = ch;
}

CString CString::Left(int count) const {
    return Mid(0, count);
}

CString CString::Mid(int first) const {
    return Mid(first, GetLength());
}

CString CString::Mid(int first, int count) const {
    if (first < 0)
        first = 0;
    if (count < 0 || first >= GetLength())
        return CString();
    if (count > GetLength() - first)
        count = GetLength() - first;
    return CString(m_str.c_str() + first, count);
}

CString CString::Right(int count) const {
    if (count <= 0)
        return CString();
    if (count > GetLength())
        count = GetLength();
    return Mid(GetLength() - count, count);
}

int CString::Find(TCHAR ch, int start) const {
    if (start < 0 || start > GetLength())
        return -1;
    size_t at = m_str.find(ch, static_cast<size_t>(start));
    return at == m_str.npos ? -1 : static_cast<int>(at);
}

int CString::Find(LPCTSTR text, int start) const {
    if (!text || start < 0 || start > GetLength())
        return -1;
    size_t at = m_str.find(text, static_cast<size_t>(start));
    return at == m_str.npos ? -1 : static_cast<int>(at);
}

BOOL CString::LoadString(UINT nID) {
    // A string table entry holds at most 4097 characters; grow until the text fits whole.
    for (int size = 256; size <= 8192; size *= 2) {
        std::vector<TCHAR> buffer(static_cast<size_t>(size));
        int length = ::LoadString(AfxGetResourceHandle(), nID, buffer.data(), size);
        if (length < size - 1) {
            m_str.assign(buffer.data(), static_cast<size_t>(length));
            return length > 0;
        }
    }
    m_str.clear();
    return FALSE;
}

void CString::FormatV(LPCTSTR format, va_list args) {
    va_list count;
    va_copy(count, args);
    int length = _vsctprintf(format, count);
    va_end(count);
    if (length < 0) {
        m_str.clear();
        return;
    }
    std::vector<TCHAR> buffer(static_cast<size_t>(length) + 1);
    _vsntprintf(buffer.data(), buffer.size(), format, args);
    m_str.assign(buffer.data(), static_cast<size_t>(length));
}

void CString::Format(LPCTSTR format, ...) {
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
}

void CString::Format(UINT nFormatID, ...) {
    CString format;
    format.LoadString(nFormatID);
    va_list args;
    va_start(args, nFormatID);
    FormatV(format, args);
    va_end(args);
}

LPTSTR CString::GetBuffer(int minLength) {
    if (minLength > GetLength())
        m_str.resize(static_cast<size_t>(minLength));
    return &m_str[0];
}

void CString::ReleaseBuffer(int newLength) {
    if (newLength < 0)
        newLength = static_cast<int>(_tcslen(m_str.c_str()));
    if (newLength < GetLength())
        m_str.resize(static_cast<size_t>(newLength));
}

CString& CString::operator=(LPCTSTR text) {
    m_str = text ? text : _T("");
    return *this;
}

CString& CString::operator=(TCHAR ch) {
    m_str.assign(1, ch);
    return *this;
}

CString& CString::operator+=(LPCTSTR text) {
    if (text)
        m_str += text;
    return *this;
}

CString& CString::operator+=(TCHAR ch) {
    m_str += ch;
    return *this;
}

CString& CString::operator+=(const CString& text) {
    m_str += text.m_str;
    return *this;
}

CString operator+(const CString& a, const CString& b) {
    CString result(a);
    return result += b;
}

CString operator+(const CString& a, LPCTSTR b) {
    CString result(a);
    return result += b;
}

CString operator+(LPCTSTR a, const CString& b) {
    CString result(a);
    return result += b;
}

CString operator+(const CString& a, TCHAR b) {
    CString result(a);
    return result += b;
}
