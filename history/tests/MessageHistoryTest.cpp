// The history writer on real files in a fresh working folder.

#include "history/CMessageHistory.h"

#include "core/CAccountChangeFlags.h"
#include "foundation/testing/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

class MessageHistoryTest : public velmo_testing::TempHomeTest {
protected:
    void SetUp() override { CAccountChangeFlags::Global().Drain(); }

    static CZelXmlDocument Loaded(int64_t account)
    {
        CZelXmlDocument document;
        EXPECT_TRUE(CMessageHistory::Load(account, document));
        return document;
    }

    static CSentEntry Entry(const char* id, const char* email)
    {
        return {id, email, "17", "Bob", "Bob T", CZelString("B\0o\0", 4)};
    }
};

TEST_F(MessageHistoryTest, RecordSentWritesOneEntryPerRecipientAndSetsTheChangeBit)
{
    ASSERT_TRUE(CMessageHistory::RecordSent(7, {Entry("5.1", "bob@example.org"), Entry("5.2", "eve@example.org")},
                                            "1700000000000001", 1700000000000999));
    const CZelXmlNode sent = Loaded(7).RootElement().FindChild(CMessageHistory::kSectionSent);
    CZelXmlNode first = sent.FindChild(CMessageHistory::kElementMessage);
    ASSERT_FALSE(first.IsNull());
    EXPECT_EQ(first.GetAttr("MessageId"), "5.1");
    EXPECT_EQ(first.GetAttr("Sent"), "true");
    EXPECT_EQ(first.GetAttr("email"), "bob@example.org");
    EXPECT_EQ(first.GetAttr("SentTimeStamp"), "1700000000000001");
    EXPECT_EQ(first.GetAttr("LocalSentTimeStamp"), "1700000000000999");
    EXPECT_EQ(first.GetAttr("UserId"), "17");
    EXPECT_EQ(first.GetAttr("Name"), "Bob");
    EXPECT_EQ(first.GetAttr("TranslitName"), "Bob T");
    EXPECT_EQ(first.GetAttr("UnicodeName"), CZelString("B\0o\0", 4));
    EXPECT_EQ(first.NextSameName().GetAttr("MessageId"), "5.2");
    EXPECT_TRUE(first.NextSameName().NextSameName().IsNull());

    int64_t account = 0;
    uint32_t bits = 0;
    ASSERT_TRUE(CAccountChangeFlags::Global().TakeOne(account, bits));
    EXPECT_EQ(account, 7);
    EXPECT_EQ(bits, CAccountChangeFlags::kSentRecorded);

    // The file's own profile: CR LF line ends and a one-space indent.
    const std::string text = ReadText("Accounts/00000007/MessageHistory.xml");
    EXPECT_NE(text.find("\r\n <Sent"), std::string::npos) << text;
    EXPECT_EQ(text.find("\n<Sent"), std::string::npos);
}

TEST_F(MessageHistoryTest, AnIdOccursOncePerSectionAndEntriesKeepTheirOrder)
{
    ASSERT_TRUE(CMessageHistory::RecordSent(3, {Entry("1", "a@x"), Entry("2", "b@x")}, "10", 11));
    ASSERT_TRUE(CMessageHistory::Update(3, CMessageHistory::kSectionSent, "3",
                                        [](CZelXmlNode& entry) { entry.SetAttr("Delivered", "12"); }));
    ASSERT_TRUE(CMessageHistory::RecordSent(3, {Entry("1", "again@x")}, "20", 21));
    // The same id in the other section is another entry.
    ASSERT_TRUE(CMessageHistory::Update(3, CMessageHistory::kSectionReceived, "1",
                                        [](CZelXmlNode& entry) { entry.SetAttr("email", "in@x"); }));

    const CZelXmlNode root = Loaded(3).RootElement();
    std::vector<std::string> ids;
    const CZelXmlNode sent = root.FindChild(CMessageHistory::kSectionSent);
    for (CZelXmlNode entry = sent.FindChild("message"); !entry.IsNull(); entry = entry.NextSameName())
        ids.push_back(entry.GetAttr("MessageId").ToStd());
    EXPECT_EQ(ids, (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(sent.FindChild("message").GetAttr("email"), "again@x");
    EXPECT_EQ(sent.FindChild("message").GetAttr("SentTimeStamp"), "20");
    EXPECT_EQ(root.FindChild(CMessageHistory::kSectionReceived).FindChild("message").GetAttr("email"), "in@x");
}

TEST_F(MessageHistoryTest, AFileThatDoesNotParseIsSetAsideBeforeANewOneStarts)
{
    std::filesystem::create_directories("Accounts/00000004");
    const std::string broken = "<?xml version=\"1.0\"?><Root><Sent><message MessageId=\"9\"";
    WriteText("Accounts/00000004/MessageHistory.xml", broken);
    CZelXmlDocument unused;
    EXPECT_FALSE(CMessageHistory::Load(4, unused));

    ASSERT_TRUE(CMessageHistory::RecordSent(4, {Entry("1", "a@x")}, "10", 11));
    std::vector<std::string> kept;
    for (const auto& item : std::filesystem::directory_iterator("Accounts/00000004"))
        if (item.path().filename().string().rfind("MessageHistory.xml.broken-", 0) == 0)
            kept.push_back(item.path().string());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(ReadText(kept.front()), broken);
    EXPECT_EQ(Loaded(4).RootElement().FindChild("Sent").FindChild("message").GetAttr("MessageId"), "1");
}

TEST_F(MessageHistoryTest, LoadOfAMissingFileGivesAnEmptyHistory)
{
    const CZelXmlDocument document = Loaded(99);
    EXPECT_EQ(document.RootElement().Name(), "Root");
    EXPECT_EQ(document.RootElement().ChildCount(), 0);
    EXPECT_FALSE(Exists("Accounts/00000099/MessageHistory.xml"));
}

} // namespace
