// Storing a received message: the numbered pair, the `Received` history entry, the change bit
// and the activity text - and the pair kept when the history cannot be written.

#include "pop3/CInboxStore.h"

#include "core/CAccountChangeFlags.h"
#include "core/CActivityTexts.h"
#include "core/CProtocolListData.h"
#include "foundation/testing/TempDir.h"
#include "history/CMessageHistory.h"
#include "pop3/CInboxMessage.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

class InboxStoreTest : public velmo_testing::TempHomeTest {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories("Accounts/00000007");
        CAccountChangeFlags::Global().Drain();
        m_sender.name = "Ann";
        m_sender.translitName = "Ann";
        m_sender.unicodeName = CZelString("\x10\x04n\0", 4);   // "Аn"
        m_sender.email = "ann@example.org";
        m_sender.id = "3";
        m_sender.sentTimeStamp = "1700000000000001";
    }

    int64_t Store(const char* id, const char* text)
    {
        CZelString error;
        return StoreReceivedMessage(7, id, text, m_sender, m_log, error);
    }

    CInboxSender m_sender;
    CProtocolListData m_log;
};

TEST_F(InboxStoreTest, StoresThePairRecordsTheSenderAndFlagsTheAccount)
{
    WriteText("Accounts/00000007/1000000.msg", "taken");
    EXPECT_EQ(Store("4.5", "text"), 1000001);
    EXPECT_EQ(ReadText("Accounts/00000007/1000001.msg"), "text");
    EXPECT_EQ(ReadText("Accounts/00000007/1000001.id"), "4.5");

    CZelXmlDocument history;
    ASSERT_TRUE(CMessageHistory::Load(7, history));
    const CZelXmlNode entry = history.RootElement().FindChild("Received").FindChild("message");
    ASSERT_FALSE(entry.IsNull());
    EXPECT_EQ(entry.GetAttr("MessageId"), "4.5");
    EXPECT_EQ(entry.GetAttr("Name"), "Ann");
    EXPECT_EQ(entry.GetAttr("TranslitName"), "Ann");
    EXPECT_EQ(entry.GetAttr("UnicodeName"), m_sender.unicodeName);
    EXPECT_EQ(entry.GetAttr("Id"), "3");
    EXPECT_EQ(entry.GetAttr("email"), "ann@example.org");
    EXPECT_EQ(entry.GetAttr("SentMessageTimeStamp"), "1700000000000001");
    EXPECT_GT(std::stoll(entry.GetAttr("LocalDownloadedMessageTimeStamp").ToStd()), 1700000000000000);

    int64_t account = 0;
    uint32_t bits = 0;
    ASSERT_TRUE(CAccountChangeFlags::Global().TakeOne(account, bits));
    EXPECT_EQ(account, 7);
    EXPECT_EQ(bits, CAccountChangeFlags::kMessageDownloaded);
    // The name is shown as text, not as its UTF-16 bytes.
    EXPECT_EQ(CActivityTexts::Receiving(), "Received message from \xD0\x90n");
}

TEST_F(InboxStoreTest, ThePairStaysWhenTheHistoryCannotBeWritten)
{
    // A folder where the history file belongs: nothing can be written over it.
    std::filesystem::create_directories("Accounts/00000007/MessageHistory.xml/inside");
    EXPECT_EQ(Store("4.5", "text"), 1000000);
    EXPECT_EQ(ReadText("Accounts/00000007/1000000.msg"), "text");
    EXPECT_EQ(ReadText("Accounts/00000007/1000000.id"), "4.5");
    CProtocolLine line;
    ASSERT_TRUE(m_log.LineByNumber(m_log.FirstLineNumber(), &line));
    EXPECT_EQ(line.text, "Message 4.5 is stored as 1000000, but its history entry cannot be written");
}

TEST_F(InboxStoreTest, NothingIsLeftWhenNoPairCanBeWritten)
{
    std::filesystem::remove_all("Accounts/00000007");
    WriteText("Accounts/00000007", "a file where the folder belongs");
    CZelString error;
    EXPECT_EQ(StoreReceivedMessage(7, "4.5", "text", m_sender, m_log, error), -1);
    EXPECT_FALSE(error.IsEmpty());
    EXPECT_TRUE(std::filesystem::is_regular_file("Accounts/00000007"));
}

} // namespace
