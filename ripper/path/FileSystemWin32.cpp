#include "FileSystem.h"

#include <windows.h>

namespace {

class CWin32FileSystem : public IFileSystem {
public:
    uint32_t GetFileAttributes(const char* path) override { return ::GetFileAttributesA(path); }
    bool CreateDirectory(const char* path) override {
        return ::CreateDirectoryA(path, nullptr) == TRUE;
    }
};

} // namespace

IFileSystem& SystemFileSystem() {
    static CWin32FileSystem fileSystem;
    return fileSystem;
}
