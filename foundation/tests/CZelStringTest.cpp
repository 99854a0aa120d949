#include "foundation/CZelString.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(CZelString, HoldsAnyBytesAndStaysTerminated)
{
    CZelString s("a\0b", 3);
    EXPECT_EQ(s.Length(), 3);
    EXPECT_EQ(s[1], '\0');
    EXPECT_EQ(s[3], '\0');
    EXPECT_EQ(s[-1], '\0');
    EXPECT_EQ(CZelString(nullptr, 2), CZelString("\0\0", 2));
    EXPECT_STREQ(CZelString().Ptr(), "");
}

TEST(CZelString, ComparesSignedBytesAndPrefixesFirst)
{
    EXPECT_LT(CZelString("ab").Compare("abc"), 0);
    EXPECT_GT(CZelString("b").Compare("a"), 0);
    EXPECT_LT(CZelString("\x80").Compare("a"), 0);  // 0x80 is negative as a signed byte
    EXPECT_EQ(CZelString("x").Compare("x"), 0);
}

TEST(CZelString, PiecesAndSearch)
{
    CZelString s("hello world");
    EXPECT_EQ(s.Left(5), "hello");
    EXPECT_EQ(s.Right(5), "world");
    EXPECT_STREQ(s.Right(5).Ptr(), "world");  // a shared tail is still terminated
    EXPECT_EQ(s.Mid(6), "world");
    EXPECT_EQ(s.Mid(2, 3), "llo");
    EXPECT_STREQ(s.Mid(2, 3).Ptr(), "llo");
    EXPECT_EQ(s.Left(0), "");
    EXPECT_EQ(s.Left(100), s);
    EXPECT_EQ(s.Find('o'), 4);
    EXPECT_EQ(s.Find('o', 5), 7);
    EXPECT_EQ(s.Find('o', 5, 7), -1);
    EXPECT_EQ(s.Find('o', -1), -1);
    EXPECT_EQ(s.ReverseFind('o'), 7);
    EXPECT_EQ(s.Find(CZelString("wor")), 6);
    EXPECT_EQ(s.Find(CZelString("xyz")), -1);
}

TEST(CZelString, SharedTailOutlivesSource)
{
    CZelString tail;
    {
        CZelString source("abcdef");
        tail = source.Right(3);
    }
    EXPECT_EQ(tail, "def");
}

// Word after word, each rest is a tail of the previous rest. A million of them must neither
// pile up nor, when dropped, free one another recursively.
TEST(CZelString, TailsOfTailsStayTerminatedAndFreeFlat)
{
    constexpr int kWords = 1000000;
    std::string text;
    for (int i = 0; i < kWords; ++i)
        text += "w ";
    text += "end";
    CZelString rest(text);
    std::vector<CZelString> kept;
    for (int i = 0; i < kWords; ++i) {
        ASSERT_EQ(rest.GetWord(" ", false, true), "w") << i;
        if (i % 100000 == 0)
            kept.push_back(rest);
    }
    EXPECT_EQ(rest, "end");
    EXPECT_STREQ(rest.Ptr(), "end");
    EXPECT_STREQ(kept.back().Right(5).Ptr(), "w end");
    EXPECT_EQ(kept.front().Length(), static_cast<int32_t>(text.size()) - 2);
    kept.clear();
    rest = CZelString();
}

TEST(CZelString, ReplaceCountsOccurrences)
{
    CZelString s("a.b.c");
    EXPECT_EQ(s.Replace(".", "::"), 2);
    EXPECT_EQ(s, "a::b::c");
    EXPECT_EQ(s.Replace("x", "y"), 0);
}

TEST(CZelString, GetWordTakesCommandWords)
{
    CZelString line("  MAIL FROM:<a@b>");
    EXPECT_EQ(line.GetWord(" ", true, true), "MAIL");
    EXPECT_EQ(line, "FROM:<a@b>");
    CZelString onlyDelims("   ");
    EXPECT_EQ(onlyDelims.GetWord(" ", true, true), "");
}

TEST(CZelString, NextArgHandlesQuotes)
{
    CZelString cmd(R"(  config set "two words"  tail)");
    EXPECT_EQ(cmd.NextArg(), "config");
    EXPECT_EQ(cmd.NextArg(), "set");
    EXPECT_EQ(cmd.NextArg(), "two words");
    EXPECT_EQ(cmd, "tail");
    EXPECT_EQ(cmd.NextArg(), "tail");
    EXPECT_EQ(cmd, "");
    CZelString open(R"("unterminated rest)");
    EXPECT_EQ(open.NextArg(), "unterminated rest");
    EXPECT_EQ(open, "");
}
