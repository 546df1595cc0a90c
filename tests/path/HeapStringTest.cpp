#include "HeapString.h"

#include <gtest/gtest.h>

#include <string>

TEST(HeapString, DefaultHoldsNoBuffer) {
    CHeapString s;
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_EQ(s.GetString(), nullptr);
    EXPECT_EQ(s.GetCapacity(), 0);
}

TEST(HeapString, CapacityClasses) {
    struct Case {
        int length; // text length; the need is one more
        int capacity;
    };
    const Case cases[] = {{1, 16},    {3, 16},    {14, 16},   {15, 32},   {30, 32},
                          {31, 64},   {62, 64},   {63, 128},  {126, 128}, {127, 256},
                          {254, 256}, {255, 512}, {510, 512}, {511, 513}, {600, 602}};
    for (const Case& c : cases) {
        std::string text(static_cast<size_t>(c.length), 'x');
        CHeapString s;
        s.Assign(text.c_str());
        EXPECT_EQ(s.GetCapacity(), c.capacity) << "length " << c.length;
        EXPECT_EQ(s.GetLength(), c.length);
        EXPECT_STREQ(s.GetString(), text.c_str());
    }
}

TEST(HeapString, AssignEmptyOrNullReleasesBuffer) {
    CHeapString s("abc");
    s.Assign("");
    EXPECT_EQ(s.GetString(), nullptr);
    EXPECT_EQ(s.GetCapacity(), 0);
    s.Assign("abc");
    s.Assign(static_cast<const char*>(nullptr));
    EXPECT_EQ(s.GetCapacity(), 0);
    s.Assign('x');
    EXPECT_STREQ(s.GetString(), "x");
    EXPECT_EQ(s.GetCapacity(), 16);
    s.Assign('\0');
    EXPECT_EQ(s.GetCapacity(), 0);
    s.Assign(CHeapString());
    EXPECT_EQ(s.GetString(), nullptr);
}

TEST(HeapString, AssignWithinCapacityKeepsBuffer) {
    CHeapString s(std::string(20, 'a').c_str());
    const char* buffer = s.GetString();
    s.Assign("short");
    EXPECT_EQ(s.GetString(), buffer);
    EXPECT_EQ(s.GetCapacity(), 32);
    EXPECT_STREQ(s.GetString(), "short");
}

TEST(HeapString, AppendInPlaceAndWithGrowth) {
    CHeapString s("abc");
    const char* buffer = s.GetString();
    s.Append("defghijkl"); // 12 + NUL fits in 16
    EXPECT_EQ(s.GetString(), buffer);
    EXPECT_STREQ(s.GetString(), "abcdefghijkl");
    s.Append("mnopqrstu"); // 21 + NUL: grows to 32, old text kept in front
    EXPECT_STREQ(s.GetString(), "abcdefghijklmnopqrstu");
    EXPECT_EQ(s.GetCapacity(), 32);
    EXPECT_EQ(s.GetLength(), 21);
    s.Append('v');
    EXPECT_STREQ(s.GetString(), "abcdefghijklmnopqrstuv");
    s.Append("").Append(static_cast<const char*>(nullptr)).Append('\0');
    EXPECT_EQ(s.GetLength(), 22);

    CHeapString empty;
    empty.Append('\\');
    EXPECT_STREQ(empty.GetString(), "\\");
    EXPECT_EQ(empty.GetCapacity(), 16);
}

TEST(HeapString, AppendOfOwnTextSurvivesGrowth) {
    CHeapString s("0123456789abcd"); // 14 bytes, capacity 16
    s.Append(s.GetString());         // needs 29: the buffer is released while growing
    EXPECT_STREQ(s.GetString(), "0123456789abcd0123456789abcd");
    CHeapString t("xy");
    t.Append(t.GetString() + 1); // fits: appended in place
    EXPECT_STREQ(t.GetString(), "xyy");
    s.Assign(s.GetString() + 10);
    EXPECT_STREQ(s.GetString(), "abcd0123456789abcd");
}

TEST(HeapString, CopiesAreIndependent) {
    CHeapString a("path");
    CHeapString b(a);
    b.Append("\\more");
    EXPECT_STREQ(a.GetString(), "path");
    EXPECT_STREQ(b.GetString(), "path\\more");
    a = a;
    EXPECT_STREQ(a.GetString(), "path");
}

TEST(HeapString, Mid) {
    CHeapString s("disc.iso");
    struct Case {
        int start;
        int count;
        const char* expected;
    };
    const Case cases[] = {{0, -1, "disc.iso"}, {5, -1, "iso"}, {5, 100, "iso"}, {0, 4, "disc"},
                          {4, 1, "."},         {8, -1, ""},    {20, 2, ""},     {2, 0, ""}};
    for (const Case& c : cases) {
        CHeapString part = s.Mid(c.start, c.count);
        const char* text = part.GetString() ? part.GetString() : "";
        EXPECT_STREQ(text, c.expected) << c.start << "," << c.count;
        EXPECT_EQ(part.GetLength(), static_cast<int>(std::string(c.expected).size()));
    }
}

TEST(HeapString, TrimRight) {
    CHeapString s("C:\\out\\\\");
    s.TrimRight('\\');
    EXPECT_STREQ(s.GetString(), "C:\\out");
    EXPECT_EQ(s.GetLength(), 6);

    CHeapString slashes("\\\\\\");
    slashes.TrimRight('\\');
    EXPECT_TRUE(slashes.IsEmpty());
    ASSERT_NE(slashes.GetString(), nullptr); // keeps its buffer
    EXPECT_STREQ(slashes.GetString(), "");
    EXPECT_EQ(slashes.GetCapacity(), 16);

    CHeapString keep("abc");
    keep.TrimRight('\0');
    EXPECT_STREQ(keep.GetString(), "abc");
    CHeapString none;
    none.TrimRight('x');
    EXPECT_EQ(none.GetString(), nullptr);
}

TEST(HeapString, CompareNoCase) {
    EXPECT_EQ(CHeapString("..").CompareNoCase(".."), 0);
    EXPECT_EQ(CHeapString("Disc").CompareNoCase("dISC"), 0);
    EXPECT_LT(CHeapString("a").CompareNoCase("B"), 0);
    EXPECT_GT(CHeapString("b").CompareNoCase("A"), 0);
    EXPECT_LT(CHeapString(".").CompareNoCase(".."), 0);
    EXPECT_LT(CHeapString().CompareNoCase("."), 0);
    EXPECT_EQ(CHeapString().CompareNoCase(""), 0);
}
