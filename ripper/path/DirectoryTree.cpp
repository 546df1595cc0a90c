#include "DirectoryTree.h"

bool DirectoryExists(const CPath& path, IFileSystem& fs) {
    CHeapString text = path.GetText();
    const char* s = text.GetString();
    uint32_t attributes = fs.QueryAttributes(s ? s : "");
    return attributes != kInvalidFileAttributes && (attributes & kFileAttributeDirectory) != 0;
}

bool CreateDirectoryTree(const CPath& path, IFileSystem& fs) {
    unsigned count = path.GetComponentCount();
    if (count == 0)
        return false;

    CPath work;
    unsigned first = 0;
    if (path.m_bUNC) {
        // Server and share are never created.
        work = path.GetUNCRoot();
        if (work.GetComponentCount() == 0)
            return false;
        first = 2;
    } else if (path.m_bDrive) {
        CPathComponent drive = path.GetDriveComponent();
        const char* name = drive.GetName().GetString();
        if (name && name[0] != '\0') {
            if (name[1] == ':') {
                work.m_bDrive = true;
                work.m_bRooted = true;
            } else {
                work.m_bRelative = true;
            }
            work.m_components.push_back(drive);
        }
        first = 1;
    } else if (path.m_bRooted) {
        // "\out\disc.iso": the file goes under the root of the current drive, so its
        // directories must too. A rooted working path keeps the leading backslash on every
        // prefix.
        work.m_bRooted = true;
        work.m_bRelative = true;
    }

    if (first == count)
        return DirectoryExists(work, fs);

    for (unsigned i = first; i < count; ++i) {
        work.Append(path.GetComponent(i));
        CHeapString text = work.GetText();
        if (!DirectoryExists(CPath(text), fs)) {
            const char* s = text.GetString();
            if (!fs.MakeDirectory(s ? s : ""))
                return false;
        }
    }
    return true;
}
