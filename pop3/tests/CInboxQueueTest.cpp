// The Inbox key file as a login exchange and the download thread share it: the key a login
// reserves, what it queues, and when the file goes.

#include "pop3/CInboxQueue.h"

#include "foundation/CZelXmlDocument.h"
#include "foundation/testing/TempDir.h"
#include "protocol/CSessionKeyFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <vector>

namespace {

using velmo_testing::TempHomeTest;

class CInboxQueueTest : public TempHomeTest {
protected:
    CZelXmlDocument KeyFile() const
    {
        CZelXmlDocument document;
        EXPECT_TRUE(CSessionKeyFile::Load(m_queue.KeyFilePath(), document));
        return document;
    }
    bool KeyFileExists() const { return Exists(m_queue.KeyFilePath().ToStd()); }
    std::vector<CZelString> Queued() const
    {
        std::vector<CZelString> ids;
        CZelXmlDocument document;
        if (!CSessionKeyFile::Load(m_queue.KeyFilePath(), document))
            return ids;
        for (CZelXmlNode m = document.RootElement().FindChild("Message"); !m.IsNull(); m = m.NextSameName())
            ids.push_back(m.GetAttr("MessageId"));
        return ids;
    }

    CInboxQueue m_queue{3};
};

TEST_F(CInboxQueueTest, AMissingKeyFileGetsAFreshLockedKeyUnderNumberFourAndAReservationKeepsIt)
{
    CZelString key;
    uint32_t number = 0;
    ASSERT_TRUE(m_queue.Reserve(key, number));
    EXPECT_EQ(key.Length(), 32);
    EXPECT_EQ(number, CInboxQueue::kNewKeyNumber);
    EXPECT_TRUE(CSessionKeyFile::IsLocked(KeyFile()));

    CZelString again;
    uint32_t againNumber = 0;
    ASSERT_TRUE(m_queue.Reserve(again, againNumber));
    EXPECT_EQ(again, key);
    EXPECT_EQ(againNumber, number);
}

TEST_F(CInboxQueueTest, ADamagedKeyFileIsReplacedAndItsQueueKept)
{
    std::filesystem::create_directories("Accounts/00000003/Inbox");
    WriteText(m_queue.KeyFilePath().ToStd(), "<?xml version=\"1.0\"?><!DOCTYPE doc><Root SessionKey=\"short\" "
                                             "SessionKeyId=\"4\" SessionKeyUseCount=\"0\"><Message MessageId=\"5.1\"/></Root>");
    CZelString key;
    uint32_t number = 0;
    ASSERT_TRUE(m_queue.Reserve(key, number));
    EXPECT_EQ(key.Length(), 32);
    EXPECT_EQ(Queued(), std::vector<CZelString>{"5.1"});
}

TEST_F(CInboxQueueTest, EnqueueSkipsStoredQueuedAndUnsafeIdsAndUnlocks)
{
    CZelString key;
    uint32_t number = 0;
    ASSERT_TRUE(m_queue.Reserve(key, number));
    bool queued = false;
    EXPECT_EQ(m_queue.Enqueue({"1.1", "2.2"}, {}, queued), (std::vector<CZelString>{"1.1", "2.2"}));
    ASSERT_TRUE(m_queue.Reserve(key, number));
    const std::map<CZelString, int64_t> stored{{"3.3", 1}};
    EXPECT_EQ(m_queue.Enqueue({"2.2", "3.3", "../../00000001.xml", "4.4"}, stored, queued),
              std::vector<CZelString>{"4.4"});
    EXPECT_TRUE(queued);
    EXPECT_EQ(Queued(), (std::vector<CZelString>{"1.1", "2.2", "4.4"}));
    EXPECT_FALSE(CSessionKeyFile::IsLocked(KeyFile()));
}

TEST_F(CInboxQueueTest, NothingListedAndNothingQueuedDeletesTheKeyFile)
{
    CZelString key;
    uint32_t number = 0;
    ASSERT_TRUE(m_queue.Reserve(key, number));
    bool queued = true;
    EXPECT_TRUE(m_queue.Enqueue({}, {}, queued).empty());
    EXPECT_FALSE(queued);
    EXPECT_FALSE(KeyFileExists());
}

TEST_F(CInboxQueueTest, TheHeadIsTheFirstQueuedMessageAndTheLastRemovalDeletesTheFileUnlessALoginHoldsIt)
{
    CZelString key;
    uint32_t number = 0;
    ASSERT_TRUE(m_queue.Reserve(key, number));
    bool queued = false;
    m_queue.Enqueue({"7.1", "7.2"}, {}, queued);

    CInboxQueue::CHead head;
    ASSERT_TRUE(m_queue.Head(head));
    EXPECT_EQ(head.messageId, "7.1");
    EXPECT_EQ(head.key, key);
    EXPECT_EQ(head.keyNumber, number);

    EXPECT_TRUE(m_queue.Remove("7.1"));
    ASSERT_TRUE(m_queue.Head(head));
    EXPECT_EQ(head.messageId, "7.2");

    // A login in progress holds the key: the emptied queue keeps its file for that login.
    ASSERT_TRUE(m_queue.Reserve(key, number));
    EXPECT_TRUE(m_queue.Remove("7.2"));
    EXPECT_FALSE(m_queue.Head(head));
    EXPECT_TRUE(KeyFileExists());
    m_queue.Enqueue({}, {}, queued);
    EXPECT_FALSE(KeyFileExists());
}

} // namespace
