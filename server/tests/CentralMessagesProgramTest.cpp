// The real velmo-central program killed with SIGKILL in the middle of an upload: started again
// on the same database, it still knows the session's keys, resumes at the offset it
// acknowledged last, and the message arrives whole, once.

#include "testing/MailTestSupport.h"
#include "testing/SocketsEnvironment.h"

#include <csignal>
#include <unistd.h>

using namespace mailtest;

namespace {

const std::string kProgram = std::string(VELMO_BINARY_DIR) + "/bin/velmo-central";

// The program serving the database on a free port; killed with SIGKILL when it goes.
class Central : public CentralProgram {
public:
    explicit Central(const std::string& db) : CentralProgram({"--listen", "127.0.0.1:0", "--db", db}) {}
    int Port() { return ReadPort(); }
};

TEST(CentralMessagesProgramTest, KilledInTheMiddleOfAnUploadItResumesAtTheAcknowledgedOffset)
{
    if (access(kProgram.c_str(), X_OK) != 0)
        GTEST_SKIP() << kProgram << " is not built";
    TempDir dir;
    const std::string db = dir.File("central.sqlite3");
    auto central = std::make_unique<Central>(db);
    int port = central->Port();
    ASSERT_GT(port, 0);
    auto client = std::make_unique<Client>(port);

    User alice = Alice();
    User bob = Bob();
    ASSERT_TRUE(client->Register(alice));
    ASSERT_TRUE(client->Register(bob));
    ASSERT_TRUE(client->LoginRun(bob, kKeyNumContactList));
    ASSERT_EQ(client->Sealed(kRequestContactList, bob, ListDocument({{"+cl", alice.email, alice.secureCode, true}}), kKeyNumContactList)
                  .size(),
              1u);

    const CZelString session = MakeSessionKey(), outbox = MakeSessionKey();
    ASSERT_EQ(client->Login(kRequestReqTimestamp, alice, {{kKeyNumSession, session}, {kKeyNumOutbox, outbox}}).size(), 1u);
    CZelXmlDocument lookup;
    lookup.Create("doc", "Root");
    lookup.RootElement().SetAttr("Command", "ReqMsgId");
    lookup.RootElement().SetAttr("rcpt", bob.email.c_str());
    const auto answers =
        SealedRequest(kRequestReqMsgId, lookup, alice.id, kKeyNumSession, session, client->Server(), client->Connection(),
                      kHttpWriteTimeoutMs);
    if (answers.empty())
        GTEST_SKIP() << "this velmo-central does not serve the message requests";
    const CZelXmlNode found = answers.front().RootElement();
    Recipient recipient{bob.email, found.GetAttr("MsgId"), bob.id, found.GetAttr("n"), found.GetAttr("e")};
    ASSERT_FALSE(recipient.msgId.IsEmpty());

    const CZelString text = CZelString(std::string(300000, 'x').c_str());
    const CZelString file = QueuedMessage(alice, kKeyNumOutbox, outbox, {recipient}, text);
    int64_t offset = UploadBlock(*client, alice, kKeyNumOutbox, outbox, file, 0, 0).acks.back().second;
    for (int block = 0; block < 3; ++block)
        offset = UploadBlock(*client, alice, kKeyNumOutbox, outbox, file, offset, 50000).acks.back().second;
    ASSERT_EQ(offset, 150000);

    client.reset();
    central->Kill();
    central = std::make_unique<Central>(db);
    port = central->Port();
    ASSERT_GT(port, 0);
    client = std::make_unique<Client>(port);

    // Alice's POP3 side logs in with a key of its own under number 1; the SMTP session's key
    // handed over before the restart still opens its lookups.
    ASSERT_EQ(client->Login(kRequestPreLogin, alice, {{kKeyNumSession, MakeSessionKey()}, {kKeyNumInbox, MakeSessionKey()}})
                  .size(),
              1u);
    EXPECT_EQ(SealedRequest(kRequestReqMsgId, lookup, alice.id, kKeyNumSession, session, client->Server(), client->Connection(),
                            kHttpWriteTimeoutMs).size(),
              1u);

    const UploadAnswer resumed = UploadBlock(*client, alice, kKeyNumOutbox, outbox, file, 0, 0);
    ASSERT_FALSE(resumed.acks.empty());
    EXPECT_EQ(resumed.acks.back().second, 150000);
    CZelString sentAt, again;
    EXPECT_EQ(UploadAll(*client, alice, kKeyNumOutbox, outbox, file, 64 * 1024, &sentAt), "OK");
    EXPECT_EQ(UploadAll(*client, alice, kKeyNumOutbox, outbox, file, 64 * 1024, &again), "OK");
    EXPECT_EQ(again, sentAt);

    const CZelString bobSession = MakeSessionKey(), inbox = MakeSessionKey();
    const auto login = client->Login(kRequestPreLogin, bob, {{kKeyNumSession, bobSession}, {kKeyNumInbox, inbox}});
    ASSERT_EQ(login.size(), 1u);
    const auto opened = OpenMessageData(FetchAll(*client, bob, kKeyNumInbox, inbox, recipient.msgId, 100 * 1024), inbox,
                                        bob, recipient.msgId);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->text, text);
}

} // namespace
