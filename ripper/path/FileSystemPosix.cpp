#include "FileSystem.h"
#include "NativePath.h"

#include <sys/stat.h>

#include <string>

namespace {

class CPosixFileSystem : public IFileSystem {
public:
    uint32_t QueryAttributes(const char* path) override {
        std::string native;
        struct stat st;
        if (!ToNativePath(path, native) || stat(native.c_str(), &st) != 0)
            return kInvalidFileAttributes;
        // Only the directory bit matters to the callers; 0x80 is "normal file".
        return S_ISDIR(st.st_mode) ? kFileAttributeDirectory : 0x80u;
    }
    bool MakeDirectory(const char* path) override {
        std::string native;
        return ToNativePath(path, native) && mkdir(native.c_str(), 0777) == 0;
    }
};

} // namespace

IFileSystem& SystemFileSystem() {
    static CPosixFileSystem fileSystem;
    return fileSystem;
}
