// The message requests end to end: two registered users, the gateway's own client code over
// HTTP against the in-process server on a free port with a real SQLite file.

#include "server/CCentralHttpServer.h"
#include "server/CCentralMessages.h"
#include "server/CCentralServer.h"
#include "server/CCentralStore.h"
#include "testing/CentralServerFixture.h"
#include "testing/MailTestSupport.h"
#include "testing/SocketsEnvironment.h"

#include <memory>
#include <regex>

using namespace mailtest;

namespace {

// One user's keys at the server, as the SMTP and POP3 sides hand them over.
struct Keys {
    CZelString session = MakeSessionKey();
    CZelString outbox = MakeSessionKey();
    CZelString inbox = MakeSessionKey();
};

class CentralMessagesTest : public CentralServerFixture {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(StartServer());
        ASSERT_TRUE(m_client->Register(m_alice));
        ASSERT_TRUE(m_client->Register(m_bob));
        ASSERT_TRUE(m_client->Register(m_carol));
        // Bob lets Alice write: he puts her on his list with her code, which puts each on the other's.
        ASSERT_TRUE(m_client->LoginRun(m_bob, kKeyNumContactList));
        const auto answers = m_client->Sealed(
            kRequestContactList, m_bob, ListDocument({{"+cl", m_alice.email, m_alice.secureCode, true}}), kKeyNumContactList);
        ASSERT_EQ(answers.size(), 1u);
        ASSERT_EQ(answers.front().RootElement().GetAttr("Status"), "OK");
    }

    // The SMTP side's handshake: the session key under 1 and the Outbox key under 3.
    void SendingHandshake(const User& user, const Keys& keys)
    {
        ASSERT_EQ(m_client->Login(kRequestReqTimestamp, user, {{kKeyNumSession, keys.session}, {kKeyNumOutbox, keys.outbox}})
                      .size(),
                  1u);
    }

    // The POP3 side's PreLogin: the session key under 1 and the Inbox key under 4; the seed.
    CZelString PreLogin(const User& user, const Keys& keys)
    {
        const auto answers =
            m_client->Login(kRequestPreLogin, user, {{kKeyNumSession, keys.session}, {kKeyNumInbox, keys.inbox}});
        EXPECT_EQ(answers.size(), 1u);
        return answers.empty() ? CZelString() : answers.front().RootElement().GetAttr("Seed");
    }

    CZelXmlDocument ReqMsgId(const User& sender, const Keys& keys, const std::string& address)
    {
        CZelXmlDocument document;
        document.Create("doc", "Root");
        document.RootElement().SetAttr("Command", "ReqMsgId");
        document.RootElement().SetAttr("TimeStamp", "1");
        document.RootElement().SetAttr("rcpt", address.c_str());
        const auto answers = SealedRequest(kRequestReqMsgId, document, sender.id, kKeyNumSession, keys.session, m_client->Server(),
                                           m_client->Connection(), kHttpWriteTimeoutMs);
        EXPECT_EQ(answers.size(), 1u);
        return answers.empty() ? CZelXmlDocument() : answers.front();
    }

    Recipient Lookup(const User& sender, const Keys& keys, const User& recipient)
    {
        const CZelXmlDocument answer = ReqMsgId(sender, keys, recipient.email);
        const CZelXmlNode root = answer.RootElement();
        EXPECT_FALSE(root.GetAttr("MsgId").IsEmpty()) << root.GetAttr("ErrorMessage").ToStd();
        Recipient found{recipient.email, root.GetAttr("MsgId"), -1, root.GetAttr("n"), root.GetAttr("e")};
        found.userId = std::stoll(root.GetAttr("UserId").ToStd());
        return found;
    }

    CZelXmlDocument SessionRequest(uint32_t type, const User& user, const Keys& keys, const char* attribute,
                                   const CZelString& value, const char* attribute2 = nullptr,
                                   const CZelString& value2 = CZelString())
    {
        CZelXmlDocument document;
        document.Create("doc", "Root");
        document.RootElement().SetAttr(attribute, value);
        if (attribute2)
            document.RootElement().SetAttr(attribute2, value2);
        const auto answers = SealedRequest(type, document, user.id, kKeyNumSession, keys.session, m_client->Server(),
                                           m_client->Connection(), kHttpWriteTimeoutMs);
        EXPECT_EQ(answers.size(), 1u);
        return answers.empty() ? CZelXmlDocument() : answers.front();
    }

    CZelXmlDocument Seed(const User& user, const Keys& keys, const CZelString& lastDelivered = "0")
    {
        const CZelString seed = PreLogin(user, keys);
        return SessionRequest(kRequestSeed, user, keys, "Seed", seed, "LastDeliveredTimeStamp", lastDelivered);
    }

    static std::vector<std::string> Ids(const CZelXmlDocument& answer, const char* element)
    {
        std::vector<std::string> ids;
        for (CZelXmlNode node = answer.RootElement().FindChild(element); !node.IsNull(); node = node.NextSameName())
            ids.push_back(node.GetAttr("MessageId").ToStd());
        return ids;
    }

    // Alice's message to the recipients, queued and uploaded; its message ids.
    std::vector<CZelString> SendFromAlice(const std::vector<const User*>& recipients, const CZelString& text,
                                          int64_t blockSize = 1000)
    {
        SendingHandshake(m_alice, m_aliceKeys);
        std::vector<Recipient> looked;
        for (const User* recipient : recipients)
            looked.push_back(Lookup(m_alice, m_aliceKeys, *recipient));
        const CZelString file = QueuedMessage(m_alice, kKeyNumOutbox, m_aliceKeys.outbox, looked, text);
        EXPECT_EQ(UploadAll(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, blockSize), "OK");
        std::vector<CZelString> ids;
        for (const Recipient& recipient : looked)
            ids.push_back(recipient.msgId);
        return ids;
    }

    static CZelString Text(int bytes)
    {
        CZelString text = "From: alice@example.org\r\nSubject: hello\r\n\r\n";
        for (int i = 0; text.Length() < bytes; ++i)
            text += Format("line %d of the message body\r\n", i);
        return text.Left(bytes);
    }

    Keys m_aliceKeys, m_bobKeys, m_carolKeys;
};

TEST_F(CentralMessagesTest, ReqMsgIdGivesAnIdAndTheRecipientsKeyToAContact)
{
    SendingHandshake(m_alice, m_aliceKeys);
    const CZelXmlNode root = ReqMsgId(m_alice, m_aliceKeys, "BOB@example.org").RootElement();
    EXPECT_EQ(root.GetAttr("Status"), "OK");
    EXPECT_EQ(root.GetAttr("UserId"), Format("%D", m_bob.id));
    EXPECT_EQ(root.GetAttr("n"), m_bob.Keys().n);
    EXPECT_EQ(root.GetAttr("e"), m_bob.Keys().e);
    EXPECT_EQ(root.GetAttr("Name"), "Test User");
    EXPECT_EQ(root.GetAttr("UnicodeName"), CZelString("T\0e\0", 4));
    // The gateway makes file names of message ids and accepts only this form.
    const CZelString id = root.GetAttr("MsgId");
    EXPECT_TRUE(std::regex_match(id.ToStd(), std::regex("[0-9]+(\\.[0-9]+)*"))) << id.ToStd();
    EXPECT_LE(id.Length(), 64);
    EXPECT_NE(ReqMsgId(m_alice, m_aliceKeys, m_bob.email).RootElement().GetAttr("MsgId"), id);
}

TEST_F(CentralMessagesTest, ReqMsgIdRefusals)
{
    // Bob black-lists Carol; Dave, a stranger to everyone, has no auto-reply text.
    ASSERT_TRUE(m_client->LoginRun(m_bob, kKeyNumContactList));
    ASSERT_EQ(
        m_client->Sealed(kRequestContactList, m_bob, ListDocument({{"+bl", m_carol.email, "", false}}), kKeyNumContactList)
            .size(),
        1u);
    User dave{"dave@example.org", "GGGG7777HHHH8888", 4};
    CZelXmlDocument registration = RegistrationDocument(dave);
    registration.RootElement().SetAttr("AutoReplyEng", "");
    const auto registered = m_client->Register(registration);
    ASSERT_TRUE(registered);
    dave.id = std::stoll(registered->RootElement().GetAttr("Id").ToStd());
    SendingHandshake(m_carol, m_carolKeys);
    SendingHandshake(m_alice, m_aliceKeys);

    struct Case {
        const User* sender;
        Keys* keys;
        std::string address;
        std::string error;
    } cases[] = {
        {&m_carol, &m_carolKeys, m_bob.email, "Recipient refuses your mail"},
        {&m_carol, &m_carolKeys, m_alice.email, "Call me first"},
        {&m_alice, &m_aliceKeys, dave.email, "Recipient accepts mail from the contact list only"},
        {&m_alice, &m_aliceKeys, "nobody@example.org", "No such user"},
        {&m_alice, &m_aliceKeys, "", "No such user"},
    };
    for (const Case& c : cases) {
        const CZelXmlNode root = ReqMsgId(*c.sender, *c.keys, c.address).RootElement();
        EXPECT_TRUE(root.GetAttr("MsgId").IsEmpty()) << c.address;
        EXPECT_EQ(root.GetAttr("ErrorMessage").ToStd(), c.error) << c.address;
    }

    // Alice is the administrator; once she restricts Carol, Carol may not send even to a contact.
    ASSERT_TRUE(m_client->LoginRun(m_alice));
    ASSERT_EQ(m_client->Sealed(kRequestAdministrative, m_alice, AdminDocument("Restrict", "email", m_carol.email)).size(), 1u);
    ASSERT_TRUE(m_client->LoginRun(m_alice, kKeyNumContactList));
    ASSERT_EQ(m_client->Sealed(kRequestContactList, m_alice, ListDocument({{"+cl", m_carol.email, m_carol.secureCode, true}}),
                               kKeyNumContactList).size(), 1u);
    EXPECT_EQ(ReqMsgId(m_carol, m_carolKeys, m_alice.email).RootElement().GetAttr("ErrorMessage"),
              "Sending is not allowed");
}

TEST_F(CentralMessagesTest, MessageTravelsFromUploadToDownloadDeliveryAndDelete)
{
    const CZelString text = Text(5000);
    SendingHandshake(m_alice, m_aliceKeys);
    const Recipient bob = Lookup(m_alice, m_aliceKeys, m_bob);
    const CZelString file = QueuedMessage(m_alice, kKeyNumOutbox, m_aliceKeys.outbox, {bob}, text);
    const int64_t total = file.Length();

    // First an empty block, then two blocks; the second is sent twice as after a lost
    // acknowledgement, then the connection breaks and a new one resumes at the acknowledged offset.
    UploadAnswer answer = UploadBlock(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, 0, 0);
    ASSERT_EQ(answer.acks, (std::vector<std::pair<int64_t, int64_t>>{{total, 0}}));
    answer = UploadBlock(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, 0, 1500);
    ASSERT_EQ(answer.acks.back().second, 1500);
    answer = UploadBlock(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, 1500, 1500);
    ASSERT_EQ(answer.acks.back().second, 3000);
    answer = UploadBlock(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, 1500, 1500);
    ASSERT_EQ(answer.acks.back().second, 3000);
    EXPECT_FALSE(answer.status);
    m_client = std::make_unique<Client>(m_port);
    answer = UploadBlock(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, 0, 0);
    ASSERT_EQ(answer.acks.back().second, 3000);
    answer = UploadBlock(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, 3000, total - 3000);
    ASSERT_EQ(answer.acks.back(), std::make_pair(total, total));
    ASSERT_TRUE(answer.status);
    EXPECT_EQ(answer.status->RootElement().GetAttr("Status"), "OK");
    const CZelString sentTime = answer.status->RootElement().GetAttr("TimeStamp");
    EXPECT_FALSE(sentTime.IsEmpty());

    // Bob's login lists it; he fetches it in blocks of an odd size and it opens.
    const CZelXmlDocument seed = Seed(m_bob, m_bobKeys);
    EXPECT_EQ(Ids(seed, "Message"), std::vector<std::string>{bob.msgId.ToStd()});
    const CZelString data = FetchAll(*m_client, m_bob, kKeyNumInbox, m_bobKeys.inbox, bob.msgId, 777);
    const auto opened = OpenMessageData(data, m_bobKeys.inbox, m_bob, bob.msgId);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->text, text);
    const CZelXmlNode sender = opened->sender.RootElement();
    EXPECT_EQ(sender.GetAttr("email"), "alice@example.org");
    EXPECT_EQ(sender.GetAttr("Id"), Format("%D", m_alice.id));
    EXPECT_EQ(sender.GetAttr("SentMessageTimeStamp"), sentTime);

    // Nothing delivered yet; after the received report Alice sees the delivery once.
    EXPECT_TRUE(Ids(Seed(m_alice, m_aliceKeys), "Delivered").empty());
    EXPECT_EQ(SessionRequest(kRequestReceived, m_bob, m_bobKeys, "MessageId", bob.msgId).RootElement().GetAttr("Status"), "OK");
    const CZelXmlDocument delivered = Seed(m_alice, m_aliceKeys);
    ASSERT_EQ(Ids(delivered, "Delivered"), std::vector<std::string>{bob.msgId.ToStd()});
    const CZelXmlNode entry = delivered.RootElement().FindChild("Delivered");
    const CZelString deliveredAt = entry.GetAttr("TimeStamp");
    EXPECT_FALSE(deliveredAt.IsEmpty());
    EXPECT_EQ(entry.GetAttr("email"), "bob@example.org");
    EXPECT_TRUE(Ids(Seed(m_alice, m_aliceKeys, deliveredAt), "Delivered").empty());
    // A second retrieval does not move the delivery time.
    SessionRequest(kRequestReceived, m_bob, m_bobKeys, "MessageId", bob.msgId);
    EXPECT_TRUE(Ids(Seed(m_alice, m_aliceKeys, deliveredAt), "Delivered").empty());

    // Delete: gone from Bob's list and from the fetch; a repeated delete is still "OK".
    EXPECT_EQ(SessionRequest(kRequestDeleteMessage, m_bob, m_bobKeys, "MsgId", bob.msgId).RootElement().GetAttr("Status"), "OK");
    EXPECT_TRUE(Ids(Seed(m_bob, m_bobKeys), "Message").empty());
    EXPECT_TRUE(FetchBlock(*m_client, m_bob, kKeyNumInbox, m_bobKeys.inbox, bob.msgId, 0, 1000).refused);
    EXPECT_EQ(SessionRequest(kRequestDeleteMessage, m_bob, m_bobKeys, "MsgId", bob.msgId).RootElement().GetAttr("Status"), "OK");
    // The sender still sees the delivery after the copy is gone.
    EXPECT_EQ(Ids(Seed(m_alice, m_aliceKeys), "Delivered"), std::vector<std::string>{bob.msgId.ToStd()});
}

// A client may send a large message in one block; the store keeps it in rows of a few
// megabytes, and reads it back across their borders.
TEST_F(CentralMessagesTest, ABlockLargerThanAStoredRowIsKeptInRowsAndReadAcrossThem)
{
    const int32_t rowBytes = CCentralMessageStore::kMaxStoredBlockBytes;
    std::string bytes(rowBytes * 2 + 12345, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7 + i / 4099);
    const CZelString block(bytes.data(), static_cast<int32_t>(bytes.size()));
    CCentralMessageStore messages(*m_store);
    CCentralStore::Transaction transaction(*m_store);
    const CCentralUpload upload = messages.StartUpload(m_alice.id, CZelString("HASH"), block.Length() + 10);
    messages.AppendUploadBlock(upload.message, 0, CZelString("0123456789"));
    messages.AppendUploadBlock(upload.message, 10, block);
    CStoreStatement rows = m_store->Db().Prepare("SELECT COUNT(*), MAX(size), SUM(size) FROM message_upload_blocks");
    ASSERT_TRUE(rows.Step());
    EXPECT_EQ(rows.Int(0), 4);
    EXPECT_EQ(rows.Int(1), rowBytes);
    EXPECT_EQ(rows.Int(2), block.Length() + 10);
    EXPECT_EQ(messages.FindUploadOf(upload.message)->received, block.Length() + 10);
    EXPECT_TRUE(messages.ReadUpload(upload.message, rowBytes, 100) == block.Mid(rowBytes - 10, 100));
    const std::vector<CCentralUploadPiece> pieces = messages.ReadUploadBlocks(upload.message, rowBytes + 20, rowBytes);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces.front().offset, 10 + rowBytes);
    EXPECT_TRUE(pieces.front().data == block.Mid(rowBytes, rowBytes));
}

TEST_F(CentralMessagesTest, EachRecipientGetsItsOwnCopy)
{
    ASSERT_TRUE(m_client->LoginRun(m_carol, kKeyNumContactList));
    ASSERT_EQ(m_client->Sealed(kRequestContactList, m_carol, ListDocument({{"+cl", m_alice.email, m_alice.secureCode, true}}),
                               kKeyNumContactList).size(), 1u);
    const CZelString text = Text(20000);
    const std::vector<CZelString> ids = SendFromAlice({&m_bob, &m_carol}, text, 4096);
    ASSERT_EQ(ids.size(), 2u);

    Seed(m_bob, m_bobKeys);
    Seed(m_carol, m_carolKeys);
    const auto bobs = OpenMessageData(FetchAll(*m_client, m_bob, kKeyNumInbox, m_bobKeys.inbox, ids[0], 5000),
                                      m_bobKeys.inbox, m_bob, ids[0]);
    const auto carols = OpenMessageData(FetchAll(*m_client, m_carol, kKeyNumInbox, m_carolKeys.inbox, ids[1], 100000),
                                        m_carolKeys.inbox, m_carol, ids[1]);
    ASSERT_TRUE(bobs);
    ASSERT_TRUE(carols);
    EXPECT_EQ(bobs->text, text);
    EXPECT_EQ(carols->text, text);
    // Neither can fetch the other's copy, and Bob's delete leaves Carol's in place.
    EXPECT_TRUE(FetchBlock(*m_client, m_bob, kKeyNumInbox, m_bobKeys.inbox, ids[1], 0, 1000).refused);
    EXPECT_EQ(SessionRequest(kRequestDeleteMessage, m_bob, m_bobKeys, "MsgId", ids[1]).RootElement().GetAttr("ErrorMessage"),
              "No such message");
    EXPECT_EQ(SessionRequest(kRequestReceived, m_bob, m_bobKeys, "MessageId", ids[1]).RootElement().GetAttr("ErrorMessage"),
              "No such message");
    EXPECT_TRUE(Ids(Seed(m_alice, m_aliceKeys), "Delivered").empty());
    EXPECT_EQ(SessionRequest(kRequestDeleteMessage, m_bob, m_bobKeys, "MsgId", ids[0]).RootElement().GetAttr("Status"), "OK");
    EXPECT_TRUE(OpenMessageData(FetchAll(*m_client, m_carol, kKeyNumInbox, m_carolKeys.inbox, ids[1], 3000),
                                m_carolKeys.inbox, m_carol, ids[1]));
}

TEST_F(CentralMessagesTest, MessageDataKeepsItsLengthAndFollowsANewInboxKey)
{
    const CZelString id = SendFromAlice({&m_bob}, Text(3000)).front();
    Seed(m_bob, m_bobKeys);
    const FetchAnswer first = FetchBlock(*m_client, m_bob, kKeyNumInbox, m_bobKeys.inbox, id, 0, 100);
    ASSERT_TRUE(first.answered);
    // Built once: the same block again is the same bytes, and a resume that names the length
    // goes on where the first part ended.
    const FetchAnswer again = FetchBlock(*m_client, m_bob, kKeyNumInbox, m_bobKeys.inbox, id, 0, 100);
    EXPECT_EQ(again.block, first.block);
    EXPECT_EQ(again.total, first.total);
    const CZelString data =
        FetchAll(*m_client, m_bob, kKeyNumInbox, m_bobKeys.inbox, id, 1000, first.block, first.total);
    EXPECT_TRUE(OpenMessageData(data, m_bobKeys.inbox, m_bob, id));

    // The download dropped the message and its key went with the empty queue: the next login
    // brings a new Inbox key, and the data is made anew under it.
    m_bobKeys.inbox = MakeSessionKey();
    Seed(m_bob, m_bobKeys);
    const CZelString fresh = FetchAll(*m_client, m_bob, kKeyNumInbox, m_bobKeys.inbox, id, 1000);
    EXPECT_TRUE(OpenMessageData(fresh, m_bobKeys.inbox, m_bob, id));
}

TEST_F(CentralMessagesTest, FetchRefusals)
{
    const CZelString id = SendFromAlice({&m_bob}, Text(2000)).front();
    Seed(m_bob, m_bobKeys);
    const FetchAnswer first = FetchBlock(*m_client, m_bob, kKeyNumInbox, m_bobKeys.inbox, id, 0, 10);
    ASSERT_TRUE(first.answered);
    const int64_t total = first.total;

    struct Case {
        std::string what;
        CZelString id;
        int64_t pos;
        std::optional<int64_t> known;
    } cases[] = {
        {"pos at the end", id, total, total},
        {"pos past the end", id, total + 1000, std::nullopt},
        {"pos far past the end", id, int64_t(1) << 62, std::nullopt},
        {"negative pos", id, -1, std::nullopt},
        {"another length", id, 10, total + 1},
        {"unknown id", "123.456", 0, std::nullopt},
        {"empty id", "", 0, std::nullopt},
    };
    for (const Case& c : cases) {
        const FetchAnswer answer = FetchBlock(*m_client, m_bob, kKeyNumInbox, m_bobKeys.inbox, c.id, c.pos, 100, c.known);
        EXPECT_TRUE(answer.refused) << c.what;
        EXPECT_FALSE(answer.answered) << c.what;
    }
    // Alice sent it, but it is not hers to fetch.
    Seed(m_alice, m_aliceKeys);
    EXPECT_TRUE(FetchBlock(*m_client, m_alice, kKeyNumInbox, m_aliceKeys.inbox, id, 0, 100).refused);
    // A block size out of range is brought within limits; the last block is only what is left.
    const FetchAnswer tail = FetchBlock(*m_client, m_bob, kKeyNumInbox, m_bobKeys.inbox, id, total - 5, 0);
    ASSERT_TRUE(tail.answered);
    EXPECT_EQ(tail.block.Length(), 5);
}

TEST_F(CentralMessagesTest, UploadRefusals)
{
    SendingHandshake(m_alice, m_aliceKeys);
    const Recipient bob = Lookup(m_alice, m_aliceKeys, m_bob);
    const CZelString file = QueuedMessage(m_alice, kKeyNumOutbox, m_aliceKeys.outbox, {bob}, Text(3000));
    const CZelString& key = m_aliceKeys.outbox;

    // A resume of an upload the server never saw, and a block beyond the acknowledged offset.
    UploadAnswer answer = UploadBlock(*m_client, m_alice, kKeyNumOutbox, key, file, 100, 100);
    EXPECT_TRUE(answer.acks.empty());
    ASSERT_TRUE(answer.status);
    EXPECT_EQ(answer.status->RootElement().GetAttr("ErrorMessage"), "Upload offset out of range");
    ASSERT_EQ(UploadBlock(*m_client, m_alice, kKeyNumOutbox, key, file, 0, 1000).acks.back().second, 1000);
    EXPECT_TRUE(UploadBlock(*m_client, m_alice, kKeyNumOutbox, key, file, 1001, 100).acks.empty());
    // Nothing was lost by the refusals: the upload goes on from 1000 and completes.
    answer = UploadBlock(*m_client, m_alice, kKeyNumOutbox, key, file, 1000, file.Length() - 1000);
    ASSERT_TRUE(answer.status);
    EXPECT_EQ(answer.status->RootElement().GetAttr("Status"), "OK");

    // Sending the whole file again is acknowledged whole at once, with the same final status.
    answer = UploadBlock(*m_client, m_alice, kKeyNumOutbox, key, file, 0, 0);
    ASSERT_EQ(answer.acks.back(), std::make_pair(int64_t(file.Length()), int64_t(file.Length())));
    ASSERT_TRUE(answer.status);
    EXPECT_EQ(answer.status->RootElement().GetAttr("Status"), "OK");

    // A file that does not match the hash it was announced with.
    const CZelString other = QueuedMessage(m_alice, kKeyNumOutbox, key, {Lookup(m_alice, m_aliceKeys, m_bob)}, Text(500));
    answer = UploadBlock(*m_client, m_alice, kKeyNumOutbox, key, other, 0, other.Length(), TransferHash(key, file));
    ASSERT_TRUE(answer.status);
    EXPECT_EQ(answer.status->RootElement().GetAttr("ErrorMessage"), "The message does not match its hash");

    // Message ids that were never handed out, or were already used.
    Recipient forged = Lookup(m_alice, m_aliceKeys, m_bob);
    forged.msgId = "999.2";
    const CZelString unknown = QueuedMessage(m_alice, kKeyNumOutbox, key, {forged}, Text(500));
    EXPECT_EQ(UploadAll(*m_client, m_alice, kKeyNumOutbox, key, unknown, 100000), "Error");

    // Garbage of the right length is refused, and an upload under an unknown key gets no answer.
    const CZelString garbage = RandomBytes(300);
    EXPECT_EQ(UploadAll(*m_client, m_alice, kKeyNumOutbox, key, garbage, 100), "Error");
    EXPECT_TRUE(UploadBlock(*m_client, m_alice, kKeyNumOutbox, MakeSessionKey(), file, 0, 0).empty);
    // Only Bob's first message id reached him.
    EXPECT_EQ(Ids(Seed(m_bob, m_bobKeys), "Message"), std::vector<std::string>{bob.msgId.ToStd()});
}

TEST_F(CentralMessagesTest, SeedMustBeTheCurrentOne)
{
    PreLogin(m_bob, m_bobKeys);
    for (const char* seed : {"", "0123456789ABCDEF0123456789ABCDEF"}) {
        const CZelXmlDocument answer = SessionRequest(kRequestSeed, m_bob, m_bobKeys, "Seed", seed, "LastDeliveredTimeStamp", "0");
        EXPECT_EQ(answer.RootElement().GetAttr("ErrorMessage"), "Seed is not valid") << seed;
        EXPECT_TRUE(Ids(answer, "Message").empty());
    }
}

TEST_F(CentralMessagesTest, AbuseReportReachesTheSendersDelivered)
{
    const CZelString id = SendFromAlice({&m_bob}, Text(1000)).front();
    ASSERT_TRUE(m_client->LoginRun(m_bob));
    const auto answers = m_client->Sealed(kRequestAdministrative, m_bob, AdminDocument("AbuseReportSpam", "MessageId", id.ToStd()));
    ASSERT_EQ(answers.size(), 1u);
    ASSERT_EQ(answers.front().RootElement().GetAttr("Status"), "OK");

    for (const char* last : {"0", "", "not a number"}) {
        const CZelXmlDocument seed = Seed(m_alice, m_aliceKeys, last);
        ASSERT_EQ(Ids(seed, "Delivered"), std::vector<std::string>{id.ToStd()}) << last;
        const CZelXmlNode entry = seed.RootElement().FindChild("Delivered");
        EXPECT_EQ(entry.GetAttr("AbuseReport"), "AbuseReportSpam");
        EXPECT_FALSE(entry.GetAttr("AbuseReportTimeStamp").IsEmpty());
        EXPECT_TRUE(entry.GetAttr("TimeStamp").IsEmpty());
    }
}

TEST_F(CentralMessagesTest, AnUploadResumesAfterTheServerRestarts)
{
    SendingHandshake(m_alice, m_aliceKeys);
    const Recipient bob = Lookup(m_alice, m_aliceKeys, m_bob);
    const CZelString text = Text(4000);
    const CZelString file = QueuedMessage(m_alice, kKeyNumOutbox, m_aliceKeys.outbox, {bob}, text);
    ASSERT_EQ(UploadBlock(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, 0, 2500).acks.back().second, 2500);
    // Alice's POP3 side and an account worker log in with keys of their own before the restart.
    Keys pop3;
    PreLogin(m_alice, pop3);
    ASSERT_TRUE(m_client->LoginRun(m_alice));

    StopServer();
    StartServer();
    // The SMTP session's key and the Outbox key are still known: a lookup is answered, and a
    // request from offset 0 learns where the upload stands.
    EXPECT_FALSE(ReqMsgId(m_alice, m_aliceKeys, m_bob.email).RootElement().GetAttr("MsgId").IsEmpty());
    EXPECT_EQ(UploadBlock(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, 0, 0).acks.back().second, 2500);
    CZelString sentAt, again;
    EXPECT_EQ(UploadAll(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, 1000, &sentAt), "OK");
    // Its verdict lost, the file is sent again: the same verdict, and Bob gets one copy.
    EXPECT_EQ(UploadAll(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, 1000, &again), "OK");
    EXPECT_EQ(again, sentAt);
    EXPECT_EQ(Ids(Seed(m_bob, m_bobKeys), "Message"), std::vector<std::string>{bob.msgId.ToStd()});
    const auto opened = OpenMessageData(FetchAll(*m_client, m_bob, kKeyNumInbox, m_bobKeys.inbox, bob.msgId, 1000),
                                        m_bobKeys.inbox, m_bob, bob.msgId);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->text, text);
}

TEST_F(CentralMessagesTest, SmtpAndPop3SessionsOfOneAccountKeepTheirOwnKeys)
{
    // The SMTP session hands over its key under 1; then the POP3 side of the same account hands
    // over its own under 1 as well, and an account worker one under 6.
    SendingHandshake(m_alice, m_aliceKeys);
    Keys pop3;
    const CZelString seed = PreLogin(m_alice, pop3);
    ASSERT_TRUE(m_client->LoginRun(m_alice));

    // Each side goes on under its own key and is answered under it.
    const Recipient bob = Lookup(m_alice, m_aliceKeys, m_bob);
    EXPECT_EQ(SessionRequest(kRequestSeed, m_alice, pop3, "Seed", seed, "LastDeliveredTimeStamp", "0").RootElement().GetAttr("Status"),
              "OK");
    const CZelString file = QueuedMessage(m_alice, kKeyNumOutbox, m_aliceKeys.outbox, {bob}, Text(2000));
    EXPECT_EQ(UploadAll(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, 700), "OK");

    // Eight later sessions push the SMTP session's key out; the Outbox key under 3 stays.
    for (int session = 0; session < CCentralStore::kRecentKeysPerNumber; ++session) {
        Keys later;
        PreLogin(m_alice, later);
    }
    CZelXmlDocument lookup;
    lookup.Create("doc", "Root");
    lookup.RootElement().SetAttr("Command", "ReqMsgId");
    lookup.RootElement().SetAttr("rcpt", m_bob.email.c_str());
    EXPECT_TRUE(SealedRequest(kRequestReqMsgId, lookup, m_alice.id, kKeyNumSession, m_aliceKeys.session, m_client->Server(),
                              m_client->Connection(),
                              kHttpWriteTimeoutMs)
                    .empty());
    EXPECT_EQ(UploadBlock(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, 0, 0).acks.size(), 1u);
}

TEST_F(CentralMessagesTest, AMessageIsDeliveredOnceWhateverIsSentAgain)
{
    SendingHandshake(m_alice, m_aliceKeys);
    const Recipient first = Lookup(m_alice, m_aliceKeys, m_bob);
    const Recipient fresh = Lookup(m_alice, m_aliceKeys, m_bob);
    const CZelString& key = m_aliceKeys.outbox;
    const CZelString text = Text(3000);
    const CZelString file = QueuedMessage(m_alice, kKeyNumOutbox, key, {first}, text);
    CZelString sentAt;
    ASSERT_EQ(UploadAll(*m_client, m_alice, kKeyNumOutbox, key, file, 1000, &sentAt), "OK");

    struct Case {
        const char* what;
        CZelString file;
        const char* status;
    } cases[] = {
        {"the same file", file, "OK"},
        {"another file with the same message id", QueuedMessage(m_alice, kKeyNumOutbox, key, {first}, Text(500)), "OK"},
        {"a used id beside a fresh one", QueuedMessage(m_alice, kKeyNumOutbox, key, {first, fresh}, Text(500)), "Error"},
        {"a fresh id beside a used one", QueuedMessage(m_alice, kKeyNumOutbox, key, {fresh, first}, Text(500)), "Error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CZelString at;
        EXPECT_EQ(UploadAll(*m_client, m_alice, kKeyNumOutbox, key, c.file, 1000, &at), c.status);
        if (std::string(c.status) == "OK") {
            EXPECT_EQ(at, sentAt);
        }
    }

    // Bob got the first message, once; the fresh id is still free for a message of its own.
    EXPECT_EQ(Ids(Seed(m_bob, m_bobKeys), "Message"), std::vector<std::string>{first.msgId.ToStd()});
    const auto opened = OpenMessageData(FetchAll(*m_client, m_bob, kKeyNumInbox, m_bobKeys.inbox, first.msgId, 1000),
                                        m_bobKeys.inbox, m_bob, first.msgId);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->text, text);
    CZelString laterAt;
    EXPECT_EQ(UploadAll(*m_client, m_alice, kKeyNumOutbox, key, QueuedMessage(m_alice, kKeyNumOutbox, key, {fresh}, Text(700)),
                        1000, &laterAt),
              "OK");
    EXPECT_NE(laterAt, sentAt);
}

TEST_F(CentralMessagesTest, ARestrictedSenderCanNeitherStartNorFinishAnUpload)
{
    SendingHandshake(m_bob, m_bobKeys);
    const CZelString started = QueuedMessage(m_bob, kKeyNumOutbox, m_bobKeys.outbox, {Lookup(m_bob, m_bobKeys, m_alice)},
                                             Text(3000));
    const CZelString waiting = QueuedMessage(m_bob, kKeyNumOutbox, m_bobKeys.outbox, {Lookup(m_bob, m_bobKeys, m_alice)},
                                             Text(3000));
    ASSERT_EQ(UploadBlock(*m_client, m_bob, kKeyNumOutbox, m_bobKeys.outbox, started, 0, 1000).acks.back().second, 1000);

    // Alice, the administrator, restricts Bob while his upload is under way.
    ASSERT_TRUE(m_client->LoginRun(m_alice));
    ASSERT_EQ(m_client->Sealed(kRequestAdministrative, m_alice, AdminDocument("Restrict", "email", m_bob.email)).size(), 1u);
    UploadAnswer answer =
        UploadBlock(*m_client, m_bob, kKeyNumOutbox, m_bobKeys.outbox, started, 1000, started.Length() - 1000);
    ASSERT_TRUE(answer.status);
    EXPECT_EQ(answer.status->RootElement().GetAttr("ErrorMessage"), "Sending is not allowed");
    answer = UploadBlock(*m_client, m_bob, kKeyNumOutbox, m_bobKeys.outbox, waiting, 0, 0);
    EXPECT_TRUE(answer.acks.empty());
    ASSERT_TRUE(answer.status);
    EXPECT_EQ(answer.status->RootElement().GetAttr("ErrorMessage"), "Sending is not allowed");
    EXPECT_TRUE(Ids(Seed(m_alice, m_aliceKeys), "Message").empty());
}

} // namespace
