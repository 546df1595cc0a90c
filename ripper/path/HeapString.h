#pragma once

#include <cstdint>

// The ripper's owning byte string. Text is ANSI: bytes up to a NUL, lengths in bytes.
// Capacity grows in classes (16, 32, 64, 128, 256, 512, then exactly what is needed plus one)
// and never shrinks except to nothing through Empty().
class CHeapString {
public:
    CHeapString() = default;
    CHeapString(const CHeapString& other);
    explicit CHeapString(const char* text);
    virtual ~CHeapString();

    CHeapString& operator=(const CHeapString& other) { return Assign(other); }

    CHeapString& Assign(const CHeapString& other);
    CHeapString& Assign(const char* text);
    CHeapString& Assign(char ch);

    CHeapString& Append(const char* text);
    CHeapString& Append(char ch);

    int CompareNoCase(const char* text) const;
    CHeapString Mid(int32_t start, int32_t count = -1) const;
    void TrimRight(char ch);

    bool IsEmpty() const { return m_nLength == 0; }
    int32_t GetLength() const { return m_nLength; }
    int32_t GetCapacity() const { return m_nCapacity; }
    // Null when no buffer is held; callers take that as the empty text.
    const char* GetString() const { return m_pszData; }
    void Empty();

private:
    // Makes room for `needed` bytes (text plus NUL). Growing discards the old contents.
    void Reserve(int32_t needed);
    CHeapString& AppendBytes(const char* bytes, int32_t count);

    char* m_pszData = nullptr;
    int32_t m_nCapacity = 0;
    int32_t m_nLength = 0;
};
