// The stored messages of an account: which files count as messages, where a new one goes,
// how a login closes the gaps, and what a removal leaves.

#include "pop3/CMailboxFolder.h"

#include "foundation/testing/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

namespace {

using velmo_testing::TempHomeTest;

class CMailboxFolderTest : public TempHomeTest {
protected:
    void SetUp() override { std::filesystem::create_directories("Accounts/00000007"); }
    static std::string In(const std::string& name) { return "Accounts/00000007/" + name; }
    static std::vector<int64_t> Numbers(const CMailboxFolder& folder)
    {
        std::vector<int64_t> numbers;
        for (const CMailboxFolder::CEntry& entry : folder.List())
            numbers.push_back(entry.number);
        return numbers;
    }
    CMailboxFolder m_folder{7};
};

TEST_F(CMailboxFolderTest, ListsOnlyNumberedMessagesInNumericOrderWithTheirSizes)
{
    for (const char* name : {"10.msg", "9.msg", "1000000.msg", "007.msg", "x.msg", ".1000001.msg.tmp1.2", "3.id",
                             "MessageHistory.xml", "2.msg.part"})
        WriteText(In(name), "abc");
    std::filesystem::create_directory(In("5.msg"));
    const auto entries = m_folder.List();
    EXPECT_EQ(Numbers(m_folder), (std::vector<int64_t>{9, 10, 1000000}));
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.front().size, 3);
}

TEST_F(CMailboxFolderTest, StoresNewMessagesFromTheFirstDownloadNumberUpWithTheirIds)
{
    WriteText(In("1.msg"), "old");
    EXPECT_EQ(m_folder.Store("1.2", "first"), CMailboxFolder::kFirstDownloadNumber);
    EXPECT_EQ(m_folder.Store("3.4", "second"), CMailboxFolder::kFirstDownloadNumber + 1);
    EXPECT_EQ(ReadText(In("1000000.msg")), "first");
    EXPECT_EQ(ReadText(In("1000001.id")), "3.4");
    EXPECT_EQ(m_folder.ReadId(1000000), "1.2");
    const auto table = m_folder.IdTable();
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table.at("3.4"), 1000001);
    // Nothing but the pairs is left beside them.
    int files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("Accounts/00000007"))
        ++files;
    EXPECT_EQ(files, 5);
}

TEST_F(CMailboxFolderTest, RenumberingClosesTheGapsAndMovesEachIdWithItsText)
{
    WriteText(In("2.msg"), "two");
    WriteText(In("2.id"), "2.0");
    WriteText(In("1000000.msg"), "new");
    WriteText(In("1000000.id"), "9.9");
    WriteText(In("1.id"), "stale");   // an id whose text is gone
    m_folder.Renumber();
    EXPECT_EQ(Numbers(m_folder), (std::vector<int64_t>{1, 2}));
    EXPECT_EQ(ReadText(In("1.msg")), "two");
    EXPECT_EQ(ReadText(In("1.id")), "2.0");
    EXPECT_EQ(ReadText(In("2.msg")), "new");
    EXPECT_EQ(ReadText(In("2.id")), "9.9");
}

TEST_F(CMailboxFolderTest, RemovalDeletesTheTextAndItsId)
{
    ASSERT_EQ(m_folder.Store("5.5", "text"), CMailboxFolder::kFirstDownloadNumber);
    EXPECT_TRUE(m_folder.Remove(CMailboxFolder::kFirstDownloadNumber));
    EXPECT_FALSE(Exists(In("1000000.msg")));
    EXPECT_FALSE(Exists(In("1000000.id")));
    EXPECT_TRUE(m_folder.IdTable().empty());
}

} // namespace
