#pragma once

#include <cstdint>

// The two file-system operations that directory creation needs, behind a seam so that tests
// can record and fail them. Paths are Windows-style text with backslashes.
constexpr uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
constexpr uint32_t kFileAttributeDirectory = 0x10u;

class IFileSystem {
public:
    virtual ~IFileSystem() = default;
    // The attribute bits of what `path` names, or kInvalidFileAttributes.
    virtual uint32_t QueryAttributes(const char* path) = 0;
    // Creates that one directory; false for any failure, an existing object included.
    virtual bool MakeDirectory(const char* path) = 0;
};

// GetFileAttributesA / CreateDirectoryA on Windows, stat / mkdir elsewhere.
IFileSystem& SystemFileSystem();
