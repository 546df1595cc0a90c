#include "FileSystem.h"

#include <windows.h>

namespace {

class CWin32FileSystem : public IFileSystem {
public:
    uint32_t QueryAttributes(const char* path) override { return ::GetFileAttributesA(path); }
    bool MakeDirectory(const char* path) override {
        return ::CreateDirectoryA(path, nullptr) == TRUE;
    }
};

} // namespace

IFileSystem& SystemFileSystem() {
    static CWin32FileSystem fileSystem;
    return fileSystem;
}
