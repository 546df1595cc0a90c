#include "Path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Text(const CHeapString& s) {
    return s.GetString() ? s.GetString() : "";
}

std::string Text(const CPath& path) {
    return Text(path.GetText());
}

CPath Parsed(const std::string& text) {
    CHeapString s(text.c_str());
    return CPath(s);
}

std::vector<std::string> Names(const CPath& path) {
    std::vector<std::string> names;
    for (unsigned i = 0; i < path.GetComponentCount(); ++i)
        names.push_back(Text(path.GetComponent(i).GetName()));
    return names;
}

std::string Flags(const CPath& p) {
    std::string f;
    f += p.m_bUNC ? 'U' : '-';
    f += p.m_bDrive ? 'D' : '-';
    f += p.m_bRooted ? 'R' : '-';
    f += p.m_bRelative ? 'L' : '-';
    return f;
}

int ParseError(const std::string& text) {
    CPath path;
    try {
        path.Parse(CHeapString(text.c_str()));
    } catch (const CPathException& e) {
        EXPECT_EQ(path.GetComponentCount(), 0u) << text;
        EXPECT_EQ(Flags(path), "----") << text;
        return e.m_nCode;
    }
    return 0;
}

CPathComponent Component(const char* name) {
    CPathComponent c;
    c.SetName(name);
    return c;
}

// Appends the components of `text` one by one to an empty path, as directory creation does.
CPath AppendedOneByOne(const std::string& text) {
    CPath source = Parsed(text);
    CPath result;
    for (unsigned i = 0; i < source.GetComponentCount(); ++i)
        result.Append(source.GetComponent(i));
    return result;
}

int AppendError(CPath& path, const char* name) {
    try {
        path.Append(Component(name));
    } catch (const CPathException& e) {
        return e.m_nCode;
    }
    return 0;
}

} // namespace

TEST(PathParse, FlagsComponentsTextAndParent) {
    struct Case {
        const char* text;
        const char* flags;
        std::vector<std::string> names;
        const char* rebuilt;
        const char* parent;
    };
    const Case cases[] = {
        {"C:\\out\\disc.iso", "-DR-", {"C:", "out", "disc.iso"}, "C:\\out\\disc.iso", "C:\\out"},
        {"C:\\disc.iso", "-DR-", {"C:", "disc.iso"}, "C:\\disc.iso", "C:\\"},
        {"C:", "-D-L", {"C:"}, "C:", "C:"},
        {"C:\\", "-DR-", {"C:"}, "C:\\", "C:\\"},
        {"C:\\out\\", "-DR-", {"C:", "out"}, "C:\\out", "C:\\"},
        {"\\\\server\\share\\disc.iso",
         "U-R-",
         {"server", "share", "disc.iso"},
         "\\\\server\\share\\disc.iso",
         "\\\\server\\share"},
        {"\\\\server\\share",
         "U-R-",
         {"server", "share"},
         "\\\\server\\share",
         "\\\\server\\share"},
        {"\\\\server\\share\\a\\disc.iso",
         "U-R-",
         {"server", "share", "a", "disc.iso"},
         "\\\\server\\share\\a\\disc.iso",
         "\\\\server\\share\\a"},
        {"\\\\\\server\\share",
         "U-R-",
         {"server", "share"},
         "\\\\server\\share",
         "\\\\server\\share"},
        {"\\out\\disc.iso", "--RL", {"out", "disc.iso"}, "\\out\\disc.iso", "\\out"},
        {"out\\disc.iso", "---L", {"out", "disc.iso"}, "out\\disc.iso", "out"},
        {"disc.iso", "---L", {"disc.iso"}, "disc.iso", ""},
        {"a b\\c. \\*?", "---L", {"a b", "c. ", "*?"}, "a b\\c. \\*?", "a b\\c. "},
        {"C:\\a\\..\\b", "-DR-", {"C:", "a", "..", "b"}, "C:\\a\\..\\b", "C:\\a\\.."},
        {"C:\\D:\\x", "-DR-", {"C:", "D:", "x"}, "C:\\D:\\x", "C:\\D:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CPath path = Parsed(c.text);
        EXPECT_EQ(Flags(path), c.flags);
        EXPECT_EQ(Names(path), c.names);
        EXPECT_EQ(Text(path), c.rebuilt);
        CPath parent = path.GetParent();
        EXPECT_EQ(Text(parent), c.parent);
    }
}

TEST(PathParse, EmptyTextAndParentOfSingleName) {
    CPath empty = Parsed("");
    EXPECT_EQ(empty.GetComponentCount(), 0u);
    EXPECT_EQ(Flags(empty), "----");
    EXPECT_EQ(Text(empty), "");

    CPath parent = Parsed("disc.iso").GetParent();
    EXPECT_EQ(parent.GetComponentCount(), 0u);
    EXPECT_EQ(Flags(parent), "----");
    CPath rootedParent = Parsed("\\disc.iso").GetParent();
    EXPECT_EQ(Flags(rootedParent), "----");
}

TEST(PathParse, Rejections) {
    struct Case {
        std::string text;
        int code;
    };
    const std::string long260(260, 'n');
    const std::string server64(64, 's');
    const Case cases[] = {
        {"C:\\out\\\\disc.iso", 1},
        {"\\", 1},
        {"\\\\\\\\", 1},
        {"C:\\" + long260, 0},
        {"C:\\" + long260 + "n", 1},
        {"\\\\" + server64 + "\\share", 0},
        {"\\\\" + server64 + "s\\share", 1},
        {"C:\\out/disc.iso", 1},
        {"C:\\\"disc\".iso", 1},
        {"C:\\a|b", 1},
        {"C:\\a<b", 1},
        {"C:\\a>b", 1},
        {"C:\\a*b?", 0},
        {"C:a", 1},
        {":a", 1},
        {"::", 1},
        {"\\\\ser,ver\\s", 1},
        {"\\\\ser;ver\\s", 1},
        {"\\\\ser=ver\\s", 1},
        {"\\\\ser+ver\\s", 1},
        {"\\\\ser*ver\\s", 1},
        {"\\\\ser?ver\\s", 1},
        {"\\\\ser[ver\\s", 1},
        {"\\\\ser]ver\\s", 1},
        {"\\\\ser:ver\\s", 1},
        {"\\\\server\\s,;=+*?[]", 0},
        {"\\\\server\\share\\a,;=+*?[]", 0},
        {"\\\\server\\sh:are", 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseError(c.text), c.code) << c.text;
}

TEST(PathParse, FailureAfterStoredComponentsLeavesPathEmpty) {
    CPath path = Parsed("C:\\keep\\this");
    EXPECT_THROW(path.Parse(CHeapString("\\\\server\\good\\bad|name")), CPathException);
    EXPECT_EQ(path.GetComponentCount(), 0u);
    EXPECT_EQ(Flags(path), "----");
    // Parsing again starts from scratch.
    path.Parse(CHeapString("out\\x"));
    EXPECT_EQ(Names(path), (std::vector<std::string>{"out", "x"}));
    EXPECT_EQ(Flags(path), "---L");
}

TEST(PathParse, ParseOfOwnComponentText) {
    CPath path = Parsed("a\\b");
    path.Parse(path.GetComponent(1).GetName());
    EXPECT_EQ(Names(path), (std::vector<std::string>{"b"}));
}

TEST(PathComponent, SetNameKeepsOldNameWhenRefused) {
    CPathComponent c;
    c.SetName("good");
    EXPECT_THROW(c.SetName("bad/name"), CPathException);
    EXPECT_EQ(Text(c.GetName()), "good");
    c.SetName("");
    EXPECT_TRUE(c.GetName().IsEmpty());

    CServerComponent server;
    EXPECT_THROW(server.SetName("a,b"), CPathException);
    server.SetName("host");
    CPathComponent copy(server);
    copy.SetName("a,b"); // copies are plain components with the ordinary rule
    EXPECT_EQ(Text(copy.GetName()), "a,b");
}

TEST(PathComponent, IsValidName) {
    EXPECT_FALSE(IsValidName(nullptr));
    EXPECT_FALSE(IsValidName(""));
    EXPECT_TRUE(IsValidName("C:"));
    EXPECT_TRUE(IsValidName("x"));
    EXPECT_FALSE(IsValidName(":"));
    EXPECT_FALSE(IsValidName("a:b"));
    EXPECT_TRUE(IsValidName(std::string(260, 'a').c_str()));
    EXPECT_FALSE(IsValidName(std::string(261, 'a').c_str()));
}

TEST(PathAppend, WalksDotAndDotDot) {
    EXPECT_EQ(Text(AppendedOneByOne("C:\\a\\..\\b")), "C:\\b");
    EXPECT_EQ(Text(AppendedOneByOne("C:\\a\\.\\b\\.")), "C:\\a\\b");
    EXPECT_EQ(Text(AppendedOneByOne("a\\..\\b")), "b");
    CPath dotdot = AppendedOneByOne("C:\\A\\..");
    EXPECT_EQ(Text(dotdot), "C:\\");
    CPath upper;
    upper.Append(Component("C:"));
    upper.Append(Component("x"));
    CPathComponent dots;
    dots.SetName("..");
    upper.Append(dots);
    EXPECT_EQ(Text(upper), "C:\\");
}

TEST(PathAppend, RootViolationsThrowAndLeavePathUnchanged) {
    CPath drive;
    drive.Append(Component("C:"));
    EXPECT_EQ(Flags(drive), "-DR-");
    EXPECT_EQ(AppendError(drive, ".."), 3);
    EXPECT_EQ(Text(drive), "C:\\");
    EXPECT_EQ(AppendError(drive, "D:"), 3);
    EXPECT_EQ(drive.GetComponentCount(), 1u);

    CPath source = Parsed("C:\\D:\\x");
    CPath walk;
    walk.Append(source.GetComponent(0));
    EXPECT_THROW(walk.Append(source.GetComponent(1)), CPathException);

    CPath share = Parsed("\\\\server\\share\\a").GetUNCRoot();
    EXPECT_EQ(Flags(share), "U-R-");
    EXPECT_EQ(AppendError(share, ".."), 3);
    EXPECT_EQ(Text(share), "\\\\server\\share");

    CPath serverOnly = Parsed("\\\\server");
    EXPECT_EQ(AppendError(serverOnly, ".."), 0);
    EXPECT_EQ(serverOnly.GetComponentCount(), 0u);
    EXPECT_TRUE(serverOnly.m_bUNC); // flags stay
    EXPECT_EQ(Text(serverOnly), "");
}

TEST(PathAppend, FirstComponentSetsFlags) {
    for (const char* name : {".", "..", "out"}) {
        CPath path;
        path.Append(Component(name));
        EXPECT_EQ(Flags(path), "---L") << name;
        EXPECT_EQ(Names(path), std::vector<std::string>{name});
    }
    CPath path = Parsed("out");
    path.Append(Component("."));
    EXPECT_EQ(Names(path), std::vector<std::string>{"out"});
    path.Append(CPathComponent());
    EXPECT_EQ(path.GetComponentCount(), 1u);
}

TEST(PathRoots, UNCRootDriveComponentAndIndexing) {
    CPath unc = Parsed("\\\\server\\share\\a\\b");
    CPath root = unc.GetUNCRoot();
    EXPECT_EQ(Names(root), (std::vector<std::string>{"server", "share"}));
    EXPECT_EQ(Flags(root), "U-R-");
    EXPECT_EQ(Parsed("\\\\server").GetUNCRoot().GetComponentCount(), 0u);
    EXPECT_EQ(Flags(Parsed("C:\\a").GetUNCRoot()), "----");

    EXPECT_EQ(Text(Parsed("D:\\x").GetDriveComponent().GetName()), "D:");
    EXPECT_TRUE(Parsed("x\\y").GetDriveComponent().GetName().IsEmpty());
    EXPECT_TRUE(unc.GetComponent(4).GetName().IsEmpty());
    EXPECT_TRUE(unc.GetComponent(~0u).GetName().IsEmpty());
}

TEST(PathValue, CopiesAreIndependent) {
    CPath a = Parsed("C:\\a\\b");
    CPath b = a;
    b.Append(Component("c"));
    a.Reset();
    EXPECT_EQ(Text(b), "C:\\a\\b\\c");
    EXPECT_EQ(Flags(a), "----");
    EXPECT_EQ(a.GetComponentCount(), 0u);
}
