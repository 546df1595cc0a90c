#pragma once

#include "HeapString.h"

// One name of a path, without backslashes. Setting a non-empty name applies the ordinary
// naming rule (IsValidName) and throws CPathException(PATH_ERR_INVALID_NAME) when it fails.
class CPathComponent {
public:
    CPathComponent() = default;
    // Copies are always plain components, whatever the source's kind.
    CPathComponent(const CPathComponent& other) : m_strName(other.m_strName) {}
    CPathComponent& operator=(const CPathComponent& other);
    virtual ~CPathComponent() = default;

    void SetName(const char* text);
    void SetName(const CHeapString& text) { SetName(text.GetString()); }
    const CHeapString& GetName() const { return m_strName; }

protected:
    virtual bool IsValid(const char* text) const;

    CHeapString m_strName;
};

// The server name of a UNC path: same storage, the stricter server naming rule.
class CServerComponent : public CPathComponent {
protected:
    bool IsValid(const char* text) const override;
};

// The ordinary naming rule: 1 to 260 bytes, none of "\/|<>, and a colon only as the second of
// exactly two characters.
bool IsValidName(const char* text);

// The server naming rule: 1 to 64 bytes and none of "\/[]:;|=,+*?<>.
bool IsValidServerName(const char* text);
