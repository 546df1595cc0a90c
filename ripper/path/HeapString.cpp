#include "HeapString.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

int32_t CapacityFor(int32_t needed) {
    if (needed < 16)
        return 16;
    if (needed < 32)
        return 32;
    if (needed < 64)
        return 64;
    if (needed < 128)
        return 128;
    if (needed < 256)
        return 256;
    if (needed < 512)
        return 512;
    return needed + 1;
}

int32_t ByteLength(const char* text) {
    return text ? static_cast<int32_t>(std::strlen(text)) : 0;
}

} // namespace

CHeapString::CHeapString(const CHeapString& other) {
    Assign(other);
}

CHeapString::CHeapString(const char* text) {
    Assign(text);
}

CHeapString::~CHeapString() {
    Empty();
}

void CHeapString::Empty() {
    delete[] m_pszData;
    m_pszData = nullptr;
    m_nCapacity = 0;
    m_nLength = 0;
}

void CHeapString::Reserve(int32_t needed) {
    if (needed <= m_nCapacity)
        return;
    Empty();
    int32_t capacity = CapacityFor(needed);
    m_pszData = new char[capacity];
    m_pszData[0] = '\0';
    m_nCapacity = capacity;
}

CHeapString& CHeapString::Assign(const CHeapString& other) {
    if (&other == this)
        return *this;
    return Assign(other.GetString());
}

CHeapString& CHeapString::Assign(const char* text) {
    int32_t length = ByteLength(text);
    if (length == 0) {
        Empty();
        return *this;
    }
    if (m_pszData && text >= m_pszData && text < m_pszData + m_nCapacity) {
        // A text from our own buffer (a tail of it) fits where it is: move it to the front.
        std::memmove(m_pszData, text, static_cast<size_t>(length) + 1);
        m_nLength = length;
        return *this;
    }
    Reserve(length + 1);
    std::memcpy(m_pszData, text, static_cast<size_t>(length) + 1);
    m_nLength = length;
    return *this;
}

CHeapString& CHeapString::Assign(char ch) {
    if (ch == '\0') {
        Empty();
        return *this;
    }
    Reserve(2);
    m_pszData[0] = ch;
    m_pszData[1] = '\0';
    m_nLength = 1;
    return *this;
}

CHeapString& CHeapString::Append(const char* text) {
    return AppendBytes(text, ByteLength(text));
}

CHeapString& CHeapString::Append(char ch) {
    return AppendBytes(&ch, ch == '\0' ? 0 : 1);
}

CHeapString& CHeapString::AppendBytes(const char* bytes, int32_t count) {
    if (count == 0)
        return *this;
    int32_t needed = m_nLength + count + 1;
    if (needed <= m_nCapacity) {
        // memmove: the text may be a part of this very buffer.
        std::memmove(m_pszData + m_nLength, bytes, static_cast<size_t>(count));
    } else {
        // Growth releases the old buffer, which may hold the text being appended as well as
        // our own: keep both in one temporary until the new buffer is there.
        int32_t oldLength = m_nLength;
        char* saved = new char[static_cast<size_t>(oldLength) + static_cast<size_t>(count)];
        if (oldLength > 0)
            std::memcpy(saved, m_pszData, static_cast<size_t>(oldLength));
        std::memcpy(saved + oldLength, bytes, static_cast<size_t>(count));
        try {
            Reserve(needed);
        } catch (...) {
            delete[] saved;
            throw;
        }
        std::memcpy(m_pszData, saved, static_cast<size_t>(oldLength) + static_cast<size_t>(count));
        delete[] saved;
        m_nLength = oldLength;
    }
    m_nLength += count;
    m_pszData[m_nLength] = '\0';
    return *this;
}

int CHeapString::CompareNoCase(const char* text) const {
    const unsigned char* a = reinterpret_cast<const unsigned char*>(m_pszData ? m_pszData : "");
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text ? text : "");
    for (;; ++a, ++b) {
        int ca = std::tolower(*a);
        int cb = std::tolower(*b);
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (ca == 0)
            return 0;
    }
}

CHeapString CHeapString::Mid(int32_t start, int32_t count) const {
    CHeapString result;
    if (start < 0 || start >= m_nLength || count == 0)
        return result;
    int32_t available = m_nLength - start;
    int32_t take = (count < 0 || count > available) ? available : count;
    result.Reserve(take + 1);
    std::memcpy(result.m_pszData, m_pszData + start, static_cast<size_t>(take));
    result.m_pszData[take] = '\0';
    result.m_nLength = take;
    return result;
}

void CHeapString::TrimRight(char ch) {
    if (ch == '\0' || m_nLength == 0)
        return;
    int32_t length = m_nLength;
    while (length > 0 && m_pszData[length - 1] == ch)
        --length;
    m_pszData[length] = '\0';
    m_nLength = length;
}
