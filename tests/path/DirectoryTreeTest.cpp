#include "DirectoryTree.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

// A file system in memory that records every call in order.
class CRecordingFileSystem : public IFileSystem {
public:
    std::set<std::string> directories;
    std::set<std::string> files;
    std::set<std::string> refuseCreate;
    std::vector<std::string> calls;

    uint32_t QueryAttributes(const char* path) override {
        calls.push_back(std::string("test ") + path);
        if (directories.count(path))
            return kFileAttributeDirectory;
        if (files.count(path))
            return 0x20; // archive
        return kInvalidFileAttributes;
    }
    bool MakeDirectory(const char* path) override {
        calls.push_back(std::string("create ") + path);
        std::string text(path);
        if (text.empty() || directories.count(text) || files.count(text) ||
            refuseCreate.count(text))
            return false;
        directories.insert(text);
        return true;
    }
};

CPath Parsed(const char* text) {
    return CPath(CHeapString(text));
}

using Calls = std::vector<std::string>;

} // namespace

TEST(DirectoryTree, EmptyPathTouchesNothing) {
    CRecordingFileSystem fs;
    EXPECT_FALSE(CreateDirectoryTree(CPath(), fs));
    EXPECT_TRUE(fs.calls.empty());
}

TEST(DirectoryTree, Walks) {
    struct Case {
        const char* path;
        std::set<std::string> existing;
        bool result;
        Calls calls;
    };
    const Case cases[] = {
        {"C:\\a\\b", {"C:\\a"}, true, {"test C:\\a", "test C:\\a\\b", "create C:\\a\\b"}},
        {"C:\\a\\b", {"C:\\a", "C:\\a\\b"}, true, {"test C:\\a", "test C:\\a\\b"}},
        {"C:", {"C:\\"}, true, {"test C:\\"}},
        {"C:\\", {}, false, {"test C:\\"}},
        {"\\\\server", {}, false, {}},
        {"\\\\server\\share", {"\\\\server\\share"}, true, {"test \\\\server\\share"}},
        {"\\\\server\\share\\a",
         {"\\\\server\\share"},
         true,
         {"test \\\\server\\share\\a", "create \\\\server\\share\\a"}},
        {"C:\\a\\..\\b",
         {"C:\\"},
         true,
         {"test C:\\a", "create C:\\a", "test C:\\", "test C:\\b", "create C:\\b"}},
        {"out\\sub", {}, true, {"test out", "create out", "test out\\sub", "create out\\sub"}},
        {"a\\..\\b", {}, false, {"test a", "create a", "test ", "create "}},
        {"C:\\.\\x", {"C:\\"}, true, {"test C:\\", "test C:\\x", "create C:\\x"}},
        // A rooted path without a drive keeps its root on every prefix.
        {"\\out\\sub",
         {},
         true,
         {"test \\out", "create \\out", "test \\out\\sub", "create \\out\\sub"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        CRecordingFileSystem fs;
        fs.directories = c.existing;
        EXPECT_EQ(CreateDirectoryTree(Parsed(c.path), fs), c.result);
        EXPECT_EQ(fs.calls, c.calls);
    }
}

TEST(DirectoryTree, FileInTheWayStopsTheWalk) {
    CRecordingFileSystem fs;
    fs.files = {"C:\\a"};
    EXPECT_FALSE(CreateDirectoryTree(Parsed("C:\\a\\b\\c"), fs));
    EXPECT_EQ(fs.calls, (Calls{"test C:\\a", "create C:\\a"}));
}

TEST(DirectoryTree, RefusedCreationStopsTheWalk) {
    CRecordingFileSystem fs;
    fs.refuseCreate = {"x\\y"};
    EXPECT_FALSE(CreateDirectoryTree(Parsed("x\\y\\z"), fs));
    EXPECT_EQ(fs.calls, (Calls{"test x", "create x", "test x\\y", "create x\\y"}));
    EXPECT_EQ(fs.directories, (std::set<std::string>{"x"})); // what was made stays
}

TEST(DirectoryTree, BadRootThrowsBeforeAnyCall) {
    for (const char* path : {"C:\\..\\x", "C:\\D:\\x"}) {
        CRecordingFileSystem fs;
        try {
            CreateDirectoryTree(Parsed(path), fs);
            ADD_FAILURE() << path << " did not throw";
        } catch (const CPathException& e) {
            EXPECT_EQ(e.m_nCode, PATH_ERR_BAD_ROOT) << path;
        }
        EXPECT_TRUE(fs.calls.empty()) << path;
    }
}

TEST(DirectoryTree, DirectoryExistsLooksAtTheDirectoryBit) {
    CRecordingFileSystem fs;
    fs.directories = {"C:\\d"};
    fs.files = {"C:\\f"};
    EXPECT_TRUE(DirectoryExists(Parsed("C:\\d"), fs));
    EXPECT_FALSE(DirectoryExists(Parsed("C:\\f"), fs));
    EXPECT_FALSE(DirectoryExists(Parsed("C:\\none"), fs));
    EXPECT_FALSE(DirectoryExists(CPath(), fs));
    EXPECT_EQ(fs.calls.back(), "test ");
}
