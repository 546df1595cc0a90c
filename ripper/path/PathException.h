#pragma once

#include <cstdint>

enum : int32_t {
    PATH_ERR_INVALID_NAME = 1, // empty or too long component, or a forbidden character
    PATH_ERR_NO_MEMORY = 2,    // no storage for a new component
    PATH_ERR_BAD_ROOT = 3,     // a drive after other components, or ".." past the root
};

// The one exception type of the path code, thrown by value.
class CPathException {
public:
    explicit CPathException(int32_t code) : m_nCode(code) {}
    CPathException(const CPathException&) = default;
    CPathException& operator=(const CPathException&) = default;
    virtual ~CPathException() = default;

    int32_t m_nCode;
};
