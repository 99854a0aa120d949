// The desk's requests after the login, against the real central server: the removal of a
// stored message (the server's delete first, then the files) and the received report that
// the sender later sees as a delivery.

#include "Pop3CentralFixture.h"

#include "pop3/CMailboxFolder.h"
#include "protocol/ZelPop3LoginTexts.h"
#include "testing/SocketsEnvironment.h"

using namespace pop3test;

namespace {

class Pop3CentralDeskTest : public Pop3CentralFixture {
protected:
    // A message pair stored as the download stores it; its number.
    int64_t StoreMessage(const CZelString& messageId)
    {
        const int64_t number = m_folder.Store(messageId, "Subject: stored\r\n\r\nText.\r\n");
        EXPECT_GT(number, 0);
        return number;
    }
    bool Stored(int64_t number) const
    {
        return CZelFile::FileExists(m_folder.MessagePath(number)) || CZelFile::FileExists(m_folder.IdPath(number));
    }

    CMailboxFolder m_folder{1};
};

TEST_F(Pop3CentralDeskTest, AConfirmedRemovalDeletesTheFilesAndTheServersCopy)
{
    const CZelString id = Send(m_bob, m_bobKeys, m_alice);
    const int64_t number = StoreMessage(id);
    auto desk = LoggedIn();
    EXPECT_TRUE(Queued().empty());   // stored already: not fetched again

    EXPECT_TRUE(desk->RemoveMessage(number)) << Log();
    EXPECT_FALSE(Stored(number));
    EXPECT_TRUE(Logged(Format(kPop3LogDeleting, id).ToStd())) << Log();
    EXPECT_TRUE(ChildIds(SeedOf(m_alice, m_aliceKeys).RootElement(), kElementMessage, kAttrMessageId).empty());
}

TEST_F(Pop3CentralDeskTest, ARefusedRemovalDeletesTheFilesAndFails)
{
    const int64_t number = StoreMessage("9.9");   // a message the server does not hold for Alice
    auto desk = LoggedIn();
    EXPECT_FALSE(desk->RemoveMessage(number));
    EXPECT_FALSE(Stored(number));
    EXPECT_TRUE(Logged(Format(kPop3LogDeleteError, kErrNoSuchMessage).ToStd())) << Log();
}

TEST_F(Pop3CentralDeskTest, WithoutAnAnswerNothingIsRemoved)
{
    const CZelString id = Send(m_bob, m_bobKeys, m_alice);
    const int64_t number = StoreMessage(id);
    auto desk = LoggedIn();
    const CZelServerAddress server = Server();
    StopServer();
    EXPECT_FALSE(desk->RemoveMessage(number));
    EXPECT_TRUE(CZelFile::FileExists(m_folder.MessagePath(number)));
    EXPECT_TRUE(CZelFile::FileExists(m_folder.IdPath(number)));
    EXPECT_TRUE(Logged("fhttp.Open(")) << Log();
    // A desk that never logged in has no session the server would know: it asks nothing.
    CPop3CentralDesk fresh(server, m_log);
    EXPECT_FALSE(fresh.RemoveMessage(number));
    EXPECT_TRUE(CZelFile::FileExists(m_folder.MessagePath(number)));
}

TEST_F(Pop3CentralDeskTest, TheReceivedReportReachesTheSender)
{
    const CZelString id = Send(m_bob, m_bobKeys, m_alice);
    auto desk = LoggedIn();
    EXPECT_TRUE(ChildIds(SeedOf(m_bob, m_bobKeys).RootElement(), kElementDelivered, kAttrMessageId).empty());

    desk->ReportReceived(id);
    const CZelXmlDocument seed = SeedOf(m_bob, m_bobKeys);
    ASSERT_EQ(ChildIds(seed.RootElement(), kElementDelivered, kAttrMessageId), std::vector<std::string>{id.ToStd()})
        << Log();
    EXPECT_FALSE(seed.RootElement().FindChild(kElementDelivered).GetAttr(kAttrTimeStamp).IsEmpty());
}

TEST_F(Pop3CentralDeskTest, AReceivedReportToADeadServerIsOnlyLogged)
{
    auto desk = LoggedIn();
    StopServer();
    desk->ReportReceived("1.1");
    EXPECT_TRUE(Logged("fhttp.Open(")) << Log();
}

} // namespace
