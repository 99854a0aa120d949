#include "foundation/CZelFileFind.h"
#include "foundation/testing/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class CZelFileFindTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* folder : {"sub", "sub/deeper", "empty"})
            fs::create_directory(m_dir + "/" + folder);
        for (const char* file : {"a.xml", "B.XML", "c.txt", "ab.xml", "sub/d.xml", "sub/deeper/e.xml",
                                 "sub/z.txt", "\xd0\x9f\xd0\xa0\xd0\x98\xd0\x92\xd0\x95\xd0\xa2.txt"})
            std::ofstream(m_dir + "/" + file) << "12345";
    }

    std::vector<std::string> FullNames(const std::string& pattern, int depth,
                                       uint32_t mask = CZelFileFind::kAllTypes)
    {
        std::vector<std::string> names;
        CZelFileFind find(CZelString(pattern), depth, mask);
        while (find.Next())
            names.push_back(find.FullName().ToStd());
        return names;
    }

    velmo_testing::TempDir m_temp{"velmo-find"};
    const std::string m_dir = m_temp.Path().string();
};

TEST_F(CZelFileFindTest, OneFolderWithAPattern)
{
    const std::vector<std::string> expected = {m_dir + "/B.XML", m_dir + "/a.xml", m_dir + "/ab.xml"};
    EXPECT_EQ(FullNames(m_dir + "/*.xml", 1), expected);
    EXPECT_EQ(FullNames(m_dir + "\\*.XmL", 1), expected) << "'\\' and any case";
    EXPECT_EQ(FullNames(m_dir + "/?.xml", 1), (std::vector<std::string>{m_dir + "/B.XML", m_dir + "/a.xml"}));
}

TEST_F(CZelFileFindTest, EntriesCarryTypeSizeAndTime)
{
    CZelFileFind find(CZelString(m_dir + "/c.txt"));
    ASSERT_TRUE(find.Next());
    EXPECT_EQ(find.Name(), CZelString("c.txt"));
    EXPECT_EQ(find.Current().type, CZelFileFindEntry::kFile);
    EXPECT_EQ(find.Current().size, 5);
    EXPECT_NEAR(static_cast<double>(find.Current().seconds), static_cast<double>(::time(nullptr)), 60);
    EXPECT_GE(find.Current().microseconds, 0);
    EXPECT_LT(find.Current().microseconds, 1000000);
    EXPECT_FALSE(find.Next());
}

TEST_F(CZelFileFindTest, DepthDescendsBeforeTheFollowingEntries)
{
    EXPECT_EQ(FullNames(m_dir + "/*.xml", -1),
              (std::vector<std::string>{m_dir + "/B.XML", m_dir + "/a.xml", m_dir + "/ab.xml", m_dir + "/sub/d.xml",
                                        m_dir + "/sub/deeper/e.xml"}));
    EXPECT_EQ(FullNames(m_dir + "/*.xml", 2),
              (std::vector<std::string>{m_dir + "/B.XML", m_dir + "/a.xml", m_dir + "/ab.xml", m_dir + "/sub/d.xml"}));
    // A subfolder comes right before its own entries.
    EXPECT_EQ(FullNames(m_dir + "/*", -1, CZelFileFind::TypeBit(CZelFileFindEntry::kDirectory)),
              (std::vector<std::string>{m_dir + "/empty", m_dir + "/sub", m_dir + "/sub/deeper"}));
}

TEST_F(CZelFileFindTest, LinkedFoldersAreListedButNotEntered)
{
    fs::create_directory_symlink(m_dir, m_dir + "/sub/loop");
    EXPECT_EQ(FullNames(m_dir + "/*.xml", -1),
              (std::vector<std::string>{m_dir + "/B.XML", m_dir + "/a.xml", m_dir + "/ab.xml", m_dir + "/sub/d.xml",
                                        m_dir + "/sub/deeper/e.xml"}));
    EXPECT_EQ(FullNames(m_dir + "/sub/lo*", -1), (std::vector<std::string>{m_dir + "/sub/loop"}));
}

TEST_F(CZelFileFindTest, TypeMaskSelectsEntries)
{
    const uint32_t dots = CZelFileFind::TypeBit(CZelFileFindEntry::kDot) | CZelFileFind::TypeBit(CZelFileFindEntry::kDotDot);
    EXPECT_EQ(FullNames(m_dir + "/*", 1, dots), (std::vector<std::string>{m_dir + "/.", m_dir + "/.."}));
    EXPECT_EQ(FullNames(m_dir + "/sub/*", 1, CZelFileFind::kFilesOnly),
              (std::vector<std::string>{m_dir + "/sub/d.xml", m_dir + "/sub/z.txt"}));
}

TEST_F(CZelFileFindTest, CyrillicNamesMatchWithoutCase)
{
    const std::string upper = "\xd0\x9f\xd0\xa0\xd0\x98\xd0\x92\xd0\x95\xd0\xa2.txt";  // ПРИВЕТ.txt
    const std::string lower = "\xd0\xbf\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82.*";      // привет.*
    EXPECT_EQ(FullNames(m_dir + "/" + lower, 1), (std::vector<std::string>{m_dir + "/" + upper}));
    // '?' takes a whole character, not one byte of it.
    EXPECT_EQ(FullNames(m_dir + "/??????.txt", 1), (std::vector<std::string>{m_dir + "/" + upper}));
}

TEST_F(CZelFileFindTest, MissingFolderAndFinish)
{
    EXPECT_TRUE(FullNames(m_dir + "/nowhere/*.xml", -1).empty());
    EXPECT_TRUE(FullNames(m_dir + "/empty/*", 1, CZelFileFind::kFilesOnly).empty());

    CZelFileFind find(CZelString(m_dir + "/*"), -1);
    ASSERT_TRUE(find.Next());
    find.Finish();
    EXPECT_FALSE(find.Next());
    EXPECT_TRUE(find.Name().IsEmpty());
    find.Start(CZelString(m_dir + "/c.*"));
    ASSERT_TRUE(find.Next());
    EXPECT_EQ(find.Name(), CZelString("c.txt"));
}

TEST_F(CZelFileFindTest, PatternWithoutFolderSearchesTheWorkingDirectory)
{
    const fs::path before = fs::current_path();
    fs::current_path(m_dir);
    std::vector<std::string> names;
    CZelFileFind find(CZelString("*.txt"));
    while (find.Next())
        names.push_back(find.FullName().ToStd());
    fs::current_path(before);
    EXPECT_EQ(names, (std::vector<std::string>{"./c.txt", "./\xd0\x9f\xd0\xa0\xd0\x98\xd0\x92\xd0\x95\xd0\xa2.txt"}));
}

TEST(CZelFileFindMatchTest, Wildcards)
{
    struct Case {
        const char* pattern;
        const char* name;
        bool matches;
    };
    const Case cases[] = {
        {"*.msg", "12.msg", true},   {"*.msg", "12.msg.part", false}, {"*.MSG", "12.msg", true},
        {"*", "", true},             {"", "", true},                  {"", "a", false},
        {"?", "", false},            {"a*b*c", "aXbYc", true},        {"a*b*c", "aXbY", false},
        {"*.blk", "00000001.blk", true}, {"*.blk", "00000001.blk.list", false},
        {"**x", "x", true},          {"x*", "x", true},               {"?.id", "1.id", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CZelFileFind::NameMatches(c.pattern, c.name), c.matches) << c.pattern << " / " << c.name;

    // Many stars against a long near-miss finishes (the matcher never back-tracks exponentially).
    EXPECT_FALSE(CZelFileFind::NameMatches("*a*a*a*a*a*a*a*a*a*a*b", CZelString(std::string(3000, 'a'))));
}

} // namespace
