// The login exchange of a POP3 session against the real central server: the standing it
// brings back, the receive queue it fills under the Inbox key it hands over, the delivery
// reports it writes into the history - and against a scripted peer, what it does with ids that
// must never become file names and with a server that goes away.

#include "Pop3CentralFixture.h"

#include "foundation/ZelDateTime.h"
#include "foundation/ZelNumbers.h"
#include "foundation/testing/FreePort.h"
#include "protocol/ZelPop3LoginTexts.h"
#include "testing/ScriptedHttpPeer.h"
#include "testing/SocketsEnvironment.h"

#include <filesystem>
#include <map>
#include <mutex>

using namespace pop3test;

namespace {

class Pop3LoginExchangeTest : public Pop3CentralFixture {
protected:
    // The bits the account change flags hold for Alice (and empties them).
    uint32_t AliceFlags()
    {
        uint32_t bits = 0;
        CAccountChangeFlags::Global().Drain([&](int64_t id, uint32_t set) {
            if (id == m_alice.id)
                bits |= set;
        });
        return bits;
    }

    // The message the server holds for Alice, fetched with the Inbox key her key file keeps.
    CZelString FetchWithStoredKey(const CZelString& messageId)
    {
        const CZelXmlDocument key = KeyFile();
        const CZelString data = FetchAll(*m_client, m_alice, static_cast<uint32_t>(CSessionKeyFile::KeyNumber(key)),
                                         CSessionKeyFile::Key(key), messageId, 100000);
        const auto opened = OpenMessageData(data, CSessionKeyFile::Key(key), m_alice, messageId);
        return opened ? opened->text : CZelString();
    }

    // From now on the server answers Alice's Seed request with `text` (sealed as it seals
    // answers) and keeps the `LastDeliveredTimeStamp` it was asked with.
    void AnswerSeedWith(const std::string& text)
    {
        m_server->Register(kRequestSeed, [this, text](const CZelString& payload) {
            CCentralSealedRequest request;
            if (!m_server->OpenSealedRequest(payload, request))
                return CZelString();
            std::lock_guard<std::mutex> hold(m_askedLock);
            m_askedLastDelivered = request.document.RootElement().GetAttr(kAttrLastDeliveredTimeStamp).ToStd();
            return Frame(AnswerType(kRequestSeed), SealAnswer(request.key, CZelString(std::string_view(text))));
        });
    }

    // Alice's history with a `Sent` section of the time stamp and one entry of the attributes.
    static void WriteHistory(const char* timeStamp, const std::vector<std::pair<const char*, const char*>>& entry)
    {
        CZelXmlDocument history;
        ASSERT_TRUE(history.Create(CZelXmlDocument::kDefaultDocType, CZelXmlDocument::kDefaultRootName));
        CZelXmlElement sent(CMessageHistory::kSectionSent);
        sent.SetAttr(kAttrTimeStamp, timeStamp);
        CZelXmlElement message(CMessageHistory::kElementMessage);
        for (const auto& [name, value] : entry)
            message.SetAttr(name, value);
        sent.AddChild(message);
        history.RootElement().AddChild(sent);
        ASSERT_TRUE(history.SaveFile(CMessageHistory::PathFor(1)));
    }

    CZelXmlNode SentEntry(const char* messageId) const
    {
        return SentSection().FindChildByAttr(CMessageHistory::kElementMessage, kAttrMessageId, messageId);
    }

    std::string AskedLastDelivered()
    {
        std::lock_guard<std::mutex> hold(m_askedLock);
        return m_askedLastDelivered;
    }

    std::mutex m_askedLock;   // the server's thread writes, the test reads
    std::string m_askedLastDelivered;
};

TEST_F(Pop3LoginExchangeTest, AMessageSentToTheAccountIsQueuedUnderAnInboxKeyTheServerKnows)
{
    ASSERT_EQ(m_alice.id, 1);
    const CZelString id = Send(m_bob, m_bobKeys, m_alice, "Subject: for Alice\r\n\r\nHello.\r\n");
    ASSERT_FALSE(id.IsEmpty());
    CPop3Standing standing;
    LoggedIn(&standing);

    EXPECT_EQ(standing.operatedStatus, kOperatedNormal) << Log();
    EXPECT_EQ(standing.userLevel, kLevelAdministrator);   // the first account the server registered
    EXPECT_EQ(Queued(), std::vector<std::string>{id.ToStd()});
    const CZelXmlNode key = KeyFile().RootElement();
    EXPECT_EQ(key.GetAttr(CSessionKeyFile::kSessionKeyLock), "0");
    EXPECT_EQ(key.GetAttr(CSessionKeyFile::kSessionKeyId), "4");
    EXPECT_EQ(key.GetAttr(CSessionKeyFile::kSessionKeyUseCount), "0");
    EXPECT_TRUE(CInboxQueue::DownloadEvent().Wait(0));
    EXPECT_TRUE(Logged(Format(kPop3LogQueued, id).ToStd())) << Log();
    EXPECT_EQ(AliceFlags() & CAccountChangeFlags::kAccountUpdated, CAccountChangeFlags::kAccountUpdated);
    // The key the file keeps is the key the server seals Alice's copy with.
    EXPECT_EQ(FetchWithStoredKey(id), "Subject: for Alice\r\n\r\nHello.\r\n");
}

TEST_F(Pop3LoginExchangeTest, StoredOrQueuedMessagesAreNotQueuedAgain)
{
    const CZelString stored = Send(m_bob, m_bobKeys, m_alice);
    const CZelString waiting = Send(m_bob, m_bobKeys, m_alice);
    std::filesystem::create_directories("Accounts/00000001");
    WriteText("Accounts/00000001/3.id", stored.ToStd());

    LoggedIn();
    EXPECT_EQ(Queued(), std::vector<std::string>{waiting.ToStd()});
    const CZelString keyBefore = CSessionKeyFile::Key(KeyFile());
    CInboxQueue::DownloadEvent().Wait(0);

    LoggedIn();
    EXPECT_EQ(Queued(), std::vector<std::string>{waiting.ToStd()});
    EXPECT_EQ(CSessionKeyFile::Key(KeyFile()), keyBefore);   // the queue's key is kept while it serves
    EXPECT_TRUE(CInboxQueue::DownloadEvent().Wait(0));       // still something to fetch
    const std::string log = Log();
    const std::string line = Format(kPop3LogQueued, waiting).ToStd();
    EXPECT_EQ(log.find(line), log.rfind(line)) << log;
    EXPECT_FALSE(Logged(Format(kPop3LogQueued, stored).ToStd()));
}

TEST_F(Pop3LoginExchangeTest, WithNothingWaitingAndAnEmptyQueueTheKeyFileGoes)
{
    CPop3Standing standing;
    LoggedIn(&standing);
    EXPECT_EQ(standing.operatedStatus, kOperatedNormal);
    EXPECT_FALSE(CZelFile::FileExists(KeyPath()));
    EXPECT_FALSE(CInboxQueue::DownloadEvent().Wait(0));
}

TEST_F(Pop3LoginExchangeTest, ListUpdatesAreAskedForAfterTheLastOnesStored)
{
    LoggedIn();
    const auto entries = [] {
        return ChildIds(AccountFile(1).RootElement().FindChild(AccountAttr::kContactListUpdates), "user", "email");
    };
    ASSERT_EQ(entries(), std::vector<std::string>{"bob@example.org"});
    EXPECT_FALSE(AccountFile(1).RootElement().FindChild(AccountAttr::kContactListUpdates).GetAttr(kAttrTimeStamp).IsEmpty());
    LoggedIn();   // with the file as it is now: Bob's entry is not sent again
    EXPECT_EQ(entries(), std::vector<std::string>{"bob@example.org"});
}

// A key file the exchange cannot use is replaced by a fresh key under number 4.
struct KeyFileCase {
    const char* what;
    const char* text;   // nullptr: no file
};

class UnusableKeyFileTest : public Pop3LoginExchangeTest, public ::testing::WithParamInterface<KeyFileCase> {};

TEST_P(UnusableKeyFileTest, GetsANewKeyUnderNumberFour)
{
    const CZelString id = Send(m_bob, m_bobKeys, m_alice);
    if (GetParam().text) {
        std::filesystem::create_directories("Accounts/00000001/Inbox");
        WriteText(KeyPath().ToStd(), GetParam().text);
    }
    LoggedIn();
    const CZelXmlNode key = KeyFile().RootElement();
    EXPECT_EQ(key.GetAttr(CSessionKeyFile::kSessionKeyId), "4");
    EXPECT_EQ(key.GetAttr(CSessionKeyFile::kSessionKey).Length(), 32);
    EXPECT_EQ(key.GetAttr(CSessionKeyFile::kSessionKeyLock), "0");
    EXPECT_EQ(Queued(), std::vector<std::string>{id.ToStd()});
    EXPECT_FALSE(FetchWithStoredKey(id).IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    KeyFiles, UnusableKeyFileTest,
    ::testing::Values(
        KeyFileCase{"missing", nullptr}, KeyFileCase{"not_a_document", "key.bin \x01\x02 garbage"},
        KeyFileCase{"short_key",
                    "<?xml version=\"1.0\"?>\r\n<!DOCTYPE doc>\r\n<Root SessionKey=\"abc\" SessionKeyId=\"4\" "
                    "SessionKeyUseCount=\"0\" SessionKeyLock=\"0\"/>\r\n"},
        KeyFileCase{"negative_use_count",
                    "<?xml version=\"1.0\"?>\r\n<!DOCTYPE doc>\r\n<Root SessionKey=\"0123456789abcdef0123456789abcdef\" "
                    "SessionKeyId=\"4\" SessionKeyUseCount=\"-1\" SessionKeyLock=\"1\"/>\r\n"},
        KeyFileCase{"outbox_key_number",
                    "<?xml version=\"1.0\"?>\r\n<!DOCTYPE doc>\r\n<Root SessionKey=\"0123456789abcdef0123456789abcdef\" "
                    "SessionKeyId=\"3\" SessionKeyUseCount=\"0\" SessionKeyLock=\"0\"/>\r\n"}),
    [](const ::testing::TestParamInfo<KeyFileCase>& info) { return std::string(info.param.what); });

TEST_F(Pop3LoginExchangeTest, AUsableKeyFileKeepsItsKeyAndNumber)
{
    const CZelString id = Send(m_bob, m_bobKeys, m_alice);
    const CZelString key = MakeSessionKey();
    CZelXmlDocument document;
    document.Create("doc", "Root");
    document.RootElement().SetAttr(CSessionKeyFile::kSessionKey, key);
    document.RootElement().SetAttr(CSessionKeyFile::kSessionKeyId, "5");
    document.RootElement().SetAttr(CSessionKeyFile::kSessionKeyUseCount, "7");
    document.RootElement().SetAttr(CSessionKeyFile::kSessionKeyLock, "1");   // left by an exchange cut short
    ASSERT_TRUE(CSessionKeyFile::Save(KeyPath(), document));

    LoggedIn();
    const CZelXmlNode root = KeyFile().RootElement();
    EXPECT_EQ(CSessionKeyFile::Key(KeyFile()), key);
    EXPECT_EQ(root.GetAttr(CSessionKeyFile::kSessionKeyId), "5");
    EXPECT_EQ(root.GetAttr(CSessionKeyFile::kSessionKeyUseCount), "7");
    EXPECT_EQ(root.GetAttr(CSessionKeyFile::kSessionKeyLock), "0");
    EXPECT_EQ(FetchWithStoredKey(id), "Subject: hi\r\n\r\nHi.\r\n");
}

// What the server says of the account decides the login; an account it cannot verify gets
// no status at all.
struct StandingCase {
    const char* what;
    enum { Normal, Disabled, UnknownId, WrongKey } setup;
    const char* expected;
};

class StandingTest : public Pop3LoginExchangeTest, public ::testing::WithParamInterface<StandingCase> {};

TEST_P(StandingTest, ComesFromTheServer)
{
    switch (GetParam().setup) {
    case StandingCase::Normal:
        break;
    case StandingCase::Disabled:
        m_store->SetStanding(m_alice.id, kLevelRestricted, kOperatedDisabled);
        break;
    case StandingCase::UnknownId:
        WriteAccountFile(1, "77", m_alice.Keys());
        break;
    case StandingCase::WrongKey:
        WriteAccountFile(1, "1", m_carol.Keys());
        break;
    }
    CPop3Standing standing;
    LoggedIn(&standing);
    EXPECT_EQ(standing.operatedStatus, GetParam().expected) << Log();
    EXPECT_FALSE(CZelFile::FileExists(KeyPath()));   // nothing queued: the key is not kept
}

INSTANTIATE_TEST_SUITE_P(Accounts, StandingTest,
                         ::testing::Values(StandingCase{"normal", StandingCase::Normal, "Normal"},
                                           StandingCase{"disabled", StandingCase::Disabled, "Disabled"},
                                           StandingCase{"unknown_id", StandingCase::UnknownId, ""},
                                           StandingCase{"wrong_private_key", StandingCase::WrongKey, ""}),
                         [](const ::testing::TestParamInfo<StandingCase>& info) {
                             return std::string(info.param.what);
                         });

TEST_F(Pop3LoginExchangeTest, ADeliveryWithoutAHistoryEntryCreatesOne)
{
    const CZelString id = Send(m_alice, m_aliceKeys, m_bob);
    ASSERT_EQ(SessionRequest(kRequestReceived, m_bob, m_bobKeys, kAttrMessageId, id).RootElement().GetAttr(kAttrStatus),
              kStatusOk);
    LoggedIn();
    const CZelXmlNode entry = SentEntry(id.Ptr());
    ASSERT_FALSE(entry.IsNull()) << Log();
    bool hasSent = false;
    EXPECT_EQ(entry.GetAttr(CMessageHistory::kAttrSent, &hasSent), "");
    EXPECT_TRUE(hasSent);
    const CZelString delivered = entry.GetAttr(CMessageHistory::kAttrDelivered);
    ASSERT_FALSE(delivered.IsEmpty());
    EXPECT_EQ(entry.GetAttr(kAttrEmail), "bob@example.org");   // the report's own attributes come along
    bool hasTimeStamp = true;
    entry.GetAttr(kAttrTimeStamp, &hasTimeStamp);
    EXPECT_FALSE(hasTimeStamp);   // the report's time is the entry's `Delivered`
    EXPECT_EQ(SentSection().GetAttr(kAttrTimeStamp), delivered);
    int64_t microseconds = 0;
    ASSERT_TRUE(ParseDecimal(delivered, microseconds));
    EXPECT_TRUE(Logged(Format(kPop3LogDelivered, id, DateTimeText(microseconds / 1000000),
                              static_cast<int>(microseconds / 1000 % 1000))
                           .ToStd()))
        << Log();
    EXPECT_EQ(AliceFlags() & CAccountChangeFlags::kDeliveryReports, CAccountChangeFlags::kDeliveryReports);

    // The next login asks only for newer reports: the line is not written twice.
    LoggedIn();
    const std::string log = Log();
    const std::string line = Format("Message %s is delivered at", id).ToStd();
    EXPECT_EQ(log.find(line), log.rfind(line)) << log;
}

TEST_F(Pop3LoginExchangeTest, ADeliveryOfARecordedMessageKeepsItsEntry)
{
    const CZelString id = Send(m_alice, m_aliceKeys, m_bob);
    ASSERT_TRUE(CMessageHistory::RecordSent(1, {{id, "bob@example.org", "2", "Bob", "Bob", "B\0"}}, "10", 20));
    SessionRequest(kRequestReceived, m_bob, m_bobKeys, kAttrMessageId, id);
    LoggedIn();
    EXPECT_EQ(ChildIds(SentSection(), CMessageHistory::kElementMessage, kAttrMessageId),
              std::vector<std::string>{id.ToStd()});
    const CZelXmlNode entry = SentEntry(id.Ptr());
    EXPECT_EQ(entry.GetAttr(CMessageHistory::kAttrSent), "true");
    EXPECT_EQ(entry.GetAttr(kAttrName), "Bob");
    EXPECT_FALSE(entry.GetAttr(CMessageHistory::kAttrDelivered).IsEmpty());
}

TEST_F(Pop3LoginExchangeTest, AnOlderReportLeavesTheNewestTimeStamp)
{
    WriteHistory("1700000009000000", {{kAttrMessageId, "4.4"}, {CMessageHistory::kAttrSent, "true"}});
    AnswerSeedWith("<Root Status=\"OK\"><Delivered MessageId=\"4.4\" TimeStamp=\"1700000000123456\"/></Root>");
    LoggedIn();
    EXPECT_EQ(AskedLastDelivered(), "1700000009000000");
    EXPECT_EQ(SentSection().GetAttr(kAttrTimeStamp), "1700000009000000");
    EXPECT_EQ(SentEntry("4.4").GetAttr(CMessageHistory::kAttrDelivered), "1700000000123456");
    EXPECT_TRUE(Logged(Format(kPop3LogDelivered, "4.4", DateTimeText(1700000000), 123).ToStd())) << Log();
}

TEST_F(Pop3LoginExchangeTest, AnAbuseReportAloneKeepsTheDeliveryTime)
{
    WriteHistory("100", {{kAttrMessageId, "4.4"}, {CMessageHistory::kAttrSent, "true"},
                         {CMessageHistory::kAttrDelivered, "90"}});
    AnswerSeedWith("<Root Status=\"OK\"><Delivered MessageId=\"4.4\" AbuseReportTimeStamp=\"200\" "
                   "AbuseReport=\"AbuseReportSpam\"/></Root>");
    LoggedIn();
    const CZelXmlNode entry = SentEntry("4.4");
    EXPECT_EQ(entry.GetAttr(CMessageHistory::kAttrDelivered), "90");
    EXPECT_EQ(entry.GetAttr(kAttrAbuseReportTimeStamp), "200");
    EXPECT_EQ(entry.GetAttr(kAttrAbuseReport), "AbuseReportSpam");
    EXPECT_EQ(SentSection().GetAttr(kAttrTimeStamp), "200");
    EXPECT_FALSE(Logged("is delivered at")) << Log();
}

TEST_F(Pop3LoginExchangeTest, IdsThatCouldNameAFileAreNeitherRecordedNorQueued)
{
    AnswerSeedWith("<Root Status=\"OK\">"
                   "<Delivered MessageId=\"../4.4\" TimeStamp=\"5\"/><Delivered MessageId=\"\" TimeStamp=\"6\"/>"
                   "<Message MessageId=\"../../00000001.xml\"/><Message MessageId=\"1/2\"/>"
                   "<Message MessageId=\"key.bin\"/><Message MessageId=\"7.8\"/>"
                   "<Message MessageId=\"5&#10;Message 6.6 receiving task is added to queue\"/></Root>");
    LoggedIn();
    EXPECT_EQ(Queued(), std::vector<std::string>{"7.8"});
    EXPECT_TRUE(ChildIds(SentSection(), CMessageHistory::kElementMessage, kAttrMessageId).empty());
    EXPECT_TRUE(Logged(Format(kPop3LogUnsafeMessageId, "../../00000001.xml").ToStd())) << Log();
    EXPECT_TRUE(Logged(Format(kPop3LogUnsafeMessageId, "../4.4").ToStd())) << Log();
    EXPECT_FALSE(Logged("is delivered at")) << Log();
    // An id cannot write a line of its own into the log.
    EXPECT_TRUE(Logged("message id 5?Message 6.6 receiving task is added to queue is refused")) << Log();
    EXPECT_FALSE(Logged("\nMessage 6.6")) << Log();
}

// --- Against a scripted peer: the exchange as the wire sees it. ---

class Pop3LoginPeerTest : public velmo_testing::TempHomeTest {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories("Accounts");
        WriteAccountFile(1, "1", UserKeys(0));
        CInboxQueue::DownloadEvent().Wait(0);
    }

    // Answers the server key request and the PreLogin (opened with Alice's public key, sealed
    // under the session key it hands over), then answers the Seed request with `seedAnswer`,
    // or closes the connection when there is none.
    static protocoltest::ScriptedHttpPeer::Script Exchange(std::optional<std::string> seedAnswer)
    {
        return [seedAnswer](protocoltest::PeerConnection& connection) {
            if (!connection.ReadRequest())
                return;
            connection.Send(protocoltest::HttpAnswer(""));
            const auto login = connection.ReadRequest();
            if (!login)
                return;
            const auto records = SplitRecords(CZelString(std::string_view(login->body)));
            int64_t id = 0;
            CZelString text;
            uint32_t time = 0;
            CZelXmlDocument document;
            if (records.size() != 1 ||
                !OpenLoginPayload(records.front().payload, UserKeys(0).n, UserKeys(0).e, id, text, time) ||
                !document.Parse(text))
                return;
            const CZelString key = FirstSessionKey(document);
            const CZelString answer = "<Root Seed=\"s1\"><Updates UserLevel=\"Authorized\" OperatedStatus=\"Normal\"/></Root>";
            connection.Send(protocoltest::HttpAnswer(Frame(AnswerType(kRequestPreLogin), SealAnswer(key, answer)).ToStd()));
            if (!connection.ReadRequest())
                return;
            if (!seedAnswer)
                return;   // the connection closes: no Seed answer
            const CZelString seed = Frame(AnswerType(kRequestSeed), SealAnswer(key, CZelString(std::string_view(*seedAnswer))));
            connection.Send(protocoltest::HttpAnswer(seed.ToStd()));
            connection.WaitForClientClose();
        };
    }

    CPop3Standing LogIn(int port)
    {
        const CZelServerAddress server{CZelString(("127.0.0.1:" + std::to_string(port)).c_str()), "/cgi-bin/velmo.cgi"};
        return CPop3CentralDesk(server, m_log).LogIn(1, AccountFile(1));
    }

    // Every file of the working directory with its contents, but those of the account's folder.
    static std::map<std::string, std::string> FilesOutsideTheAccountFolder()
    {
        std::map<std::string, std::string> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(".")) {
            const std::string path = entry.path().lexically_normal().string();
            if (entry.is_regular_file() && path.rfind("Accounts/00000001/", 0) != 0)
                files[path] = ReadText(path);
        }
        return files;
    }

    std::string Log() const { return m_log.SaveText().ToStd(); }

    CProtocolListData m_log;
};

TEST_F(Pop3LoginPeerTest, UnsafeIdsInTheSeedAnswerTouchNothing)
{
    const auto before = FilesOutsideTheAccountFolder();
    protocoltest::ScriptedHttpPeer peer({Exchange(
        "<Root><Message MessageId=\"../../00000001.xml\"/><Message MessageId=\"..\"/>"
        "<Message MessageId=\"1.\"/><Message MessageId=\"12345678901234567890123456789012345678901234567890123456789012345\"/>"
        "<Delivered MessageId=\"../../00000001.xml\" TimeStamp=\"1\"/></Root>")});
    const CPop3Standing standing = LogIn(peer.Port());
    EXPECT_EQ(peer.WaitDone(), 1);
    EXPECT_EQ(standing.operatedStatus, kOperatedNormal);
    EXPECT_EQ(standing.userLevel, kLevelAuthorized);
    EXPECT_FALSE(CZelFile::FileExists(CSessionKeyFile::InboxPath(1)));   // nothing was queued
    EXPECT_FALSE(CInboxQueue::DownloadEvent().Wait(0));
    CZelXmlDocument history;
    ASSERT_TRUE(CMessageHistory::Load(1, history));
    EXPECT_TRUE(history.RootElement().IsNull() ||
                history.RootElement().FindChild(CMessageHistory::kSectionSent).FindChild("message").IsNull());
    auto after = FilesOutsideTheAccountFolder();
    after.erase("00000001.xml");   // the update writer stored the standing
    auto expected = before;
    expected.erase("00000001.xml");
    EXPECT_EQ(after, expected);
    EXPECT_NE(Log().find("message id ../../00000001.xml is refused"), std::string::npos) << Log();
}

TEST_F(Pop3LoginPeerTest, AServerGoneMidwayLeavesTheStandingAndTheKeyLockedUntilTheNextLogin)
{
    {
        protocoltest::ScriptedHttpPeer peer({Exchange(std::nullopt)});
        const CPop3Standing standing = LogIn(peer.Port());
        EXPECT_EQ(standing.operatedStatus, kOperatedNormal);
        EXPECT_NE(Log().find("fhttp.Read(): "), std::string::npos) << Log();
        CZelXmlDocument key;
        ASSERT_TRUE(CSessionKeyFile::Load(CSessionKeyFile::InboxPath(1), key));
        EXPECT_TRUE(CSessionKeyFile::IsLocked(key));
    }
    protocoltest::ScriptedHttpPeer peer({Exchange("<Root/>")});
    EXPECT_EQ(LogIn(peer.Port()).operatedStatus, kOperatedNormal);
    EXPECT_FALSE(CZelFile::FileExists(CSessionKeyFile::InboxPath(1))) << Log();
}

TEST_F(Pop3LoginPeerTest, AServerThatCannotBeReachedIsLoggedAndGivesNoStanding)
{
    const int port = velmo_testing::FreePort();
    const CPop3Standing standing = LogIn(port);
    EXPECT_TRUE(standing.operatedStatus.IsEmpty());
    EXPECT_TRUE(standing.userLevel.IsEmpty());
    EXPECT_NE(Log().find("fhttp.Open(127.0.0.1:" + std::to_string(port) + ")"), std::string::npos) << Log();
    EXPECT_FALSE(CZelFile::FileExists(CSessionKeyFile::InboxPath(1)));
}

} // namespace
