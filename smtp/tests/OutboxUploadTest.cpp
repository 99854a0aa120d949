// eMessageIsSent against the real central server in-process: a queued file goes up in
// several blocks and is recorded, a server that is gone keeps the file, a refusal finishes it.

#include "UploadSupport.h"

#include "smtp/COutboxUpload.h"
#include "testing/SocketsEnvironment.h"

using namespace uploadtest;

namespace {

class OutboxUploadTest : public CentralFixture {
protected:
    int Upload(const User& sender, int64_t number)
    {
        const CZelString path = COutbox::FilePath(sender.id, number);
        return eMessageIsSent(sender.id, m_outbox, kKeyNumOutbox, path, path + ".list", m_address, &m_log);
    }

    CProtocolListData m_log;
};

TEST_F(OutboxUploadTest, AnAcceptedMessageIsRecordedWithTheServersTimeAndKeptForTheLoopToDelete)
{
    Handshake(m_alice);
    const Recipient bob = Lookup(m_alice, m_bob);
    const CZelString file = Queue(m_alice, 1, {bob}, 5000);   // several 1 KB blocks

    EXPECT_EQ(Upload(m_alice, 1), kUploadSent);

    // The server keeps the first time of a finished upload and gives it again.
    CZelString serverTime;
    ASSERT_EQ(UploadAll(*m_client, m_alice, kKeyNumOutbox, m_outbox, file, 100000, &serverTime), "OK");
    const std::vector<CZelXmlNode> sent = SentEntries(m_alice.id);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].GetAttr("MessageId"), bob.msgId);
    EXPECT_EQ(sent[0].GetAttr("Sent"), "true");
    EXPECT_EQ(sent[0].GetAttr("email"), "bob@example.org");
    EXPECT_EQ(sent[0].GetAttr("SentTimeStamp"), serverTime);
    EXPECT_EQ(sent[0].GetAttr("UserId"), Format("%D", m_bob.id));
    EXPECT_TRUE(Exists(COutbox::FilePath(m_alice.id, 1).ToStd()));

    const std::string log = m_log.SaveText().ToStd();
    EXPECT_NE(log.find("Sending message " + bob.msgId.ToStd() + " in 1 KB parts..."), std::string::npos) << log;
    EXPECT_NE(log.find(Format("Sending e-mail: %,D of %,D bytes of data are sent...", file.Length(), file.Length()).ToStd()),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Message to the following recepients is sent"), std::string::npos);
    EXPECT_NE(log.find("Message " + bob.msgId.ToStd() + " is sent to Test User<bob@example.org> at "), std::string::npos);

    // Bob can now fetch it: the upload really reached the server whole.
    const CZelString inbox = MakeSessionKey();
    ASSERT_EQ(m_client->Login(kRequestPreLogin, m_bob, {{kKeyNumSession, MakeSessionKey()}, {kKeyNumInbox, inbox}}).size(),
              1u);
    EXPECT_FALSE(FetchAll(*m_client, m_bob, kKeyNumInbox, inbox, bob.msgId, 100000).IsEmpty());
}

TEST_F(OutboxUploadTest, AServerThatIsGoneKeepsTheFileForALaterPass)
{
    Handshake(m_alice);
    Queue(m_alice, 1, {Lookup(m_alice, m_bob)});
    StopServer();

    EXPECT_EQ(Upload(m_alice, 1), kUploadRetry);
    EXPECT_TRUE(Exists(COutbox::FilePath(m_alice.id, 1).ToStd()));
    EXPECT_TRUE(SentEntries(m_alice.id).empty());
    EXPECT_NE(m_log.SaveText().ToStd().find("fhttp."), std::string::npos) << m_log.SaveText().ToStd();
}

TEST_F(OutboxUploadTest, ARefusalFinishesTheUploadWithoutARecord)
{
    // Alice registered first and is the administrator; she restricts Bob after he queued.
    Handshake(m_bob);
    Queue(m_bob, 1, {Lookup(m_bob, m_alice)});
    ASSERT_TRUE(m_client->LoginRun(m_alice));
    ASSERT_EQ(m_client->Sealed(kRequestAdministrative, m_alice, AdminDocument("Restrict", "email", m_bob.email)).size(), 1u);

    EXPECT_EQ(Upload(m_bob, 1), kUploadFinished);
    EXPECT_TRUE(SentEntries(m_bob.id).empty());
    const std::string log = m_log.SaveText().ToStd();
    EXPECT_NE(log.find("sent failed: Sending is not allowed"), std::string::npos) << log;
    EXPECT_NE(log.find("Message Ids and recepients are:"), std::string::npos) << log;
}

TEST_F(OutboxUploadTest, AFileThatCannotBeReadIsFinished)
{
    EXPECT_EQ(Upload(m_alice, 5), kUploadFinished);
    EXPECT_NE(m_log.SaveText().ToStd().find("error: "), std::string::npos);
}

} // namespace
