#include "Path.h"

#include <cstring>
#include <new>

namespace {

bool IsDriveLike(const char* text) {
    return text && text[0] != '\0' && text[1] == ':';
}

} // namespace

CPath::CPath(const CHeapString& text) {
    Parse(text);
}

void CPath::Reset() {
    m_bUNC = false;
    m_bDrive = false;
    m_bRooted = false;
    m_bRelative = false;
    m_components.clear();
}

void CPath::Parse(const CHeapString& source) {
    Reset();
    // Work on a copy: the source may be a string that this path owns.
    CHeapString text(source);
    if (text.IsEmpty())
        return;

    const char* p = text.GetString();
    int32_t length = text.GetLength();
    bool twoBackslashes = length >= 2 && p[0] == '\\' && p[1] == '\\';
    bool colonBackslash = length >= 3 && p[1] == ':' && p[2] == '\\';

    if (twoBackslashes) {
        m_bUNC = true;
        m_bRooted = true;
    }
    if (length >= 2 && p[1] == ':')
        m_bDrive = true;
    if (p[0] == '\\' || colonBackslash)
        m_bRooted = true;
    if (!twoBackslashes && !colonBackslash)
        m_bRelative = true;

    try {
        int32_t pos = 0;
        while (pos < length && p[pos] == '\\')
            ++pos;
        for (;;) {
            const char* found = std::strchr(p + pos, '\\');
            int32_t end = found ? static_cast<int32_t>(found - p) : length;
            CHeapString name = text.Mid(pos, end - pos);

            CPathComponent plain;
            CServerComponent server;
            CPathComponent& component = (m_bUNC && m_components.empty()) ? server : plain;
            component.SetName(name);
            if (component.GetName().IsEmpty())
                throw CPathException(PATH_ERR_INVALID_NAME);
            try {
                m_components.push_back(component);
            } catch (const std::bad_alloc&) {
                throw CPathException(PATH_ERR_NO_MEMORY);
            }

            if (!found)
                break;
            pos = end + 1;
            if (pos >= length)
                break;
        }
    } catch (...) {
        Reset();
        throw;
    }
}

CHeapString CPath::GetText() const {
    CHeapString text;
    if (m_components.empty())
        return text;
    if (m_bUNC)
        text.Append("\\\\");
    else if (m_bRooted && !m_bDrive)
        text.Append('\\');
    for (const CPathComponent& component : m_components) {
        text.Append(component.GetName().GetString());
        text.Append('\\');
    }
    // A drive root keeps its backslash ("C:\"); nothing else ends with one.
    if (!(m_bDrive && m_bRooted && m_components.size() == 1))
        text.TrimRight('\\');
    return text;
}

void CPath::Append(const CPathComponent& component) {
    const CHeapString& name = component.GetName();
    if (name.IsEmpty())
        return;
    bool driveLike = IsDriveLike(name.GetString());

    if (m_components.empty()) {
        if (driveLike) {
            m_bDrive = true;
            m_bRooted = true;
        } else {
            m_bRelative = true;
        }
        m_components.push_back(component);
        return;
    }

    if (driveLike)
        throw CPathException(PATH_ERR_BAD_ROOT);
    if (name.CompareNoCase("..") == 0) {
        size_t count = m_components.size();
        if ((m_bDrive && count == 1) || (m_bUNC && count == 2))
            throw CPathException(PATH_ERR_BAD_ROOT);
        m_components.pop_back();
        return;
    }
    if (name.CompareNoCase(".") == 0)
        return;
    m_components.push_back(component);
}

CPathComponent CPath::GetComponent(unsigned index) const {
    if (index >= m_components.size())
        return CPathComponent();
    return m_components[index];
}

CPath CPath::GetUNCRoot() const {
    CPath root;
    if (m_bUNC && m_components.size() >= 2) {
        root.m_bUNC = true;
        root.m_bRooted = true;
        root.m_components.push_back(m_components[0]);
        root.m_components.push_back(m_components[1]);
    }
    return root;
}

CPathComponent CPath::GetDriveComponent() const {
    if (m_bDrive && !m_components.empty())
        return m_components[0];
    return CPathComponent();
}

CPath CPath::GetParent() const {
    CPath parent(*this);
    size_t count = m_components.size();
    if (m_bUNC && count <= 2)
        return parent;
    if (m_bDrive && count <= 1)
        return parent;
    if (count > 1) {
        parent.m_components.pop_back();
        return parent;
    }
    return CPath();
}
