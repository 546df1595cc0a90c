#pragma once

#include "HeapString.h"
#include "PathComponent.h"
#include "PathException.h"

#include <vector>

// A backslash-separated Windows path: four root flags and a list of components.
class CPath {
public:
    CPath() = default;
    explicit CPath(const CHeapString& text);
    CPath(const CPath&) = default;
    CPath& operator=(const CPath&) = default;
    virtual ~CPath() = default;

    // Replaces the contents with the parsed text. Throws PATH_ERR_INVALID_NAME or
    // PATH_ERR_NO_MEMORY and leaves the path empty with every flag clear.
    void Parse(const CHeapString& text);
    CHeapString GetText() const;
    // Adds one component, interpreting "." and "..". Throws PATH_ERR_BAD_ROOT and leaves the
    // path unchanged.
    void Append(const CPathComponent& component);

    unsigned GetComponentCount() const { return static_cast<unsigned>(m_components.size()); }
    CPathComponent GetComponent(unsigned index) const;
    CPath GetUNCRoot() const;
    CPathComponent GetDriveComponent() const;
    CPath GetParent() const;
    void Reset();

    bool m_bUNC = false;
    bool m_bDrive = false;
    bool m_bRooted = false;
    bool m_bRelative = false;
    std::vector<CPathComponent> m_components;
};
