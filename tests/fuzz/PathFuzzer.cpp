// libFuzzer target: any byte string as an output file name. Parsing must either throw a
// CPathException or give a path whose components obey the naming rules and whose text parses
// back to the same components; the directory walk over its parent must never touch memory it
// does not own.
#include "DirectoryTree.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

class CNullFileSystem : public IFileSystem {
public:
    uint32_t QueryAttributes(const char*) override { return kInvalidFileAttributes; }
    bool MakeDirectory(const char* path) override { return path[0] != '\0'; }
};

void Check(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.c_str(); // the ANSI text ends at its first NUL
    CPath path;
    try {
        path.Parse(CHeapString(text.c_str()));
    } catch (const CPathException& e) {
        Check(e.m_nCode == PATH_ERR_INVALID_NAME);
        Check(path.GetComponentCount() == 0);
        return 0;
    }
    for (unsigned i = 0; i < path.GetComponentCount(); ++i) {
        CPathComponent component = path.GetComponent(i);
        const char* name = component.GetName().GetString();
        Check(name != nullptr);
        Check(i == 0 && path.m_bUNC ? IsValidServerName(name) : IsValidName(name));
    }
    CHeapString rebuilt = path.GetText();
    CPath again(rebuilt);
    Check(again.GetComponentCount() == path.GetComponentCount());

    CNullFileSystem fs;
    try {
        CreateDirectoryTree(path.GetParent(), fs);
    } catch (const CPathException& e) {
        Check(e.m_nCode == PATH_ERR_BAD_ROOT);
    }
    return 0;
}
