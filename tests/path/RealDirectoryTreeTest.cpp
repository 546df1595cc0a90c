// Directory creation against the real file system: stat/mkdir natively, GetFileAttributesA and
// CreateDirectoryA under Wine. Every test works in a fresh folder under the temporary directory.
#include "DirectoryTree.h"

#ifndef _WIN32
#include "NativePath.h"
#endif

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

class RealDirectoryTree : public ::testing::Test {
protected:
    void SetUp() override {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_root = fs::temp_directory_path() / (std::string("dirtree-") + info->name());
        fs::remove_all(m_root);
        fs::create_directories(m_root);
        m_oldCwd = fs::current_path();
#ifndef _WIN32
        BindDriveRoot('Q', m_root.string());
#endif
    }
    void TearDown() override {
        fs::current_path(m_oldCwd);
#ifndef _WIN32
        BindDriveRoot('Q', "");
#endif
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }

    // The Windows-style text for `relative` (backslashes) below the test folder, through a
    // drive: the real C: under Wine, a drive bound to the folder natively.
    std::string DriveText(const std::string& relative) const {
#ifdef _WIN32
        return m_root.string() + "\\" + relative;
#else
        return "Q:\\" + relative;
#endif
    }

    // The same folder as a rooted text without a drive ("\dir\...").
    std::string RootedText(const std::string& relative) const {
        std::string text = m_root.string();
#ifdef _WIN32
        text = text.substr(2); // drop "C:"; the current directory is on C: as well
#else
        for (char& ch : text)
            if (ch == '/')
                ch = '\\';
#endif
        return text + "\\" + relative;
    }

    fs::path Native(const std::string& relative) const {
        std::string r = relative;
        for (char& ch : r)
            if (ch == '\\')
                ch = '/';
        return m_root / fs::path(r);
    }

    static CPath Parsed(const std::string& text) {
        return CPath(CHeapString(text.c_str()));
    }

    fs::path m_root;
    fs::path m_oldCwd;
};

} // namespace

TEST_F(RealDirectoryTree, CreatesMissingDirectoriesOnce) {
    fs::create_directory(Native("a"));
    EXPECT_TRUE(CreateDirectoryTree(Parsed(DriveText("a\\b\\c"))));
    EXPECT_TRUE(fs::is_directory(Native("a\\b\\c")));
    // Again: everything exists, nothing to do, still true.
    EXPECT_TRUE(CreateDirectoryTree(Parsed(DriveText("a\\b\\c"))));
    EXPECT_TRUE(DirectoryExists(Parsed(DriveText("a\\b"))));
}

TEST_F(RealDirectoryTree, FileInTheWay) {
    std::ofstream(Native("file")) << "not a directory";
    EXPECT_FALSE(CreateDirectoryTree(Parsed(DriveText("file\\sub\\deeper"))));
    EXPECT_TRUE(fs::is_regular_file(Native("file")));
    EXPECT_FALSE(DirectoryExists(Parsed(DriveText("file"))));
}

TEST_F(RealDirectoryTree, DotDotWalkCreatesTheDirectoryOnTheWay) {
    EXPECT_TRUE(CreateDirectoryTree(Parsed(DriveText("a\\..\\b"))));
    EXPECT_TRUE(fs::is_directory(Native("a")));
    EXPECT_TRUE(fs::is_directory(Native("b")));
}

TEST_F(RealDirectoryTree, RelativePathUnderCurrentDirectory) {
    fs::current_path(m_root);
    EXPECT_TRUE(CreateDirectoryTree(Parsed("out\\sub")));
    EXPECT_TRUE(fs::is_directory(Native("out\\sub")));
    EXPECT_FALSE(CreateDirectoryTree(Parsed("x\\..\\..\\y")));
    EXPECT_TRUE(fs::is_directory(Native("x")));
}

TEST_F(RealDirectoryTree, RootedPathWithoutDriveGoesUnderTheRoot) {
    fs::create_directory(Native("elsewhere"));
    fs::current_path(Native("elsewhere"));
    EXPECT_TRUE(CreateDirectoryTree(Parsed(RootedText("out\\sub"))));
    EXPECT_TRUE(fs::is_directory(Native("out\\sub")));
    EXPECT_FALSE(fs::exists(Native("elsewhere\\out")));
}

TEST_F(RealDirectoryTree, DriveRootAlone) {
#ifdef _WIN32
    EXPECT_TRUE(CreateDirectoryTree(Parsed("C:")));
    EXPECT_TRUE(CreateDirectoryTree(Parsed("C:\\")));
#else
    EXPECT_TRUE(CreateDirectoryTree(Parsed("Q:")));
    EXPECT_TRUE(CreateDirectoryTree(Parsed("Q:\\")));
    EXPECT_FALSE(CreateDirectoryTree(Parsed("P:\\x"))); // a drive bound to nothing
#endif
}

TEST_F(RealDirectoryTree, UncRootThatDoesNotExist) {
    // No such server: the share root is not a directory, and nothing is attempted below it.
    EXPECT_FALSE(CreateDirectoryTree(Parsed("\\\\nosuchserver.invalid\\share")));
    EXPECT_FALSE(CreateDirectoryTree(Parsed("\\\\nosuchserver.invalid\\share\\a\\b")));
    EXPECT_FALSE(CreateDirectoryTree(Parsed("\\\\nosuchserver.invalid")));
}
