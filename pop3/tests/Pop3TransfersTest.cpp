// The download loop on its own thread against the real central server in-process: a queued
// message is fetched in blocks, verified, rewritten and stored; damaged downloads are dropped;
// a server that is away keeps the message queued for a later try without holding up the other
// accounts; stop requests end the loop.

#include "DownloadSupport.h"
#include "MessageDataBuilder.h"

#include "core/CAccountChangeFlags.h"
#include "core/CActivityTexts.h"
#include "core/CZelStartServerThread.h"
#include "core/testing/ServiceLoop.h"
#include "foundation/testing/Eventually.h"
#include "pop3/CPop3Transfers.h"
#include "testing/SocketsEnvironment.h"

#include <cstdlib>
#include <thread>

using namespace downloadtest;
using velmo_testing::Eventually;

namespace {

// A download file holding the whole data.
std::string FileOfData(const CZelString& data)
{
    return (Int64BE(data.Length()) + data).ToStd();
}

class Pop3TransfersTest : public CentralFixture {
protected:
    void SetUp() override
    {
        CentralFixture::SetUp();
        CAccountChangeFlags::Global().Drain();
    }

    void TearDown() override
    {
        StopLoop();
        unsetenv("VELMO_DOWNLOAD_RETRY_MS");
        CentralFixture::TearDown();
    }

    void StartLoop()
    {
        m_loop.Start([this](CZelStartServerThread& service) { StartPop3Transfers(service, m_log); });
    }

    void StopLoop() { m_loop.Stop(); }

    // Bob's message from Alice, queued for Bob's gateway under a fresh Inbox key.
    CZelString QueueForBob(const std::string& text)
    {
        const CZelString id = Send(m_bob, text);
        m_inbox = PreLogin(m_bob);
        WriteInboxKeyFile(m_bob, m_inbox, {id});
        return id;
    }

    std::string KeyFile(const User& user) const { return CSessionKeyFile::InboxPath(user.id).ToStd(); }
    std::string DownloadFile(const User& user, const CZelString& id) const
    {
        return CInboxQueue(user.id).DownloadPath(id).ToStd();
    }

    // The whole message data as the server hands it to Bob.
    CZelString FetchData(const CZelString& id)
    {
        return FetchAll(*m_client, BobCaller(), kKeyNumInbox, m_inbox, id, 100000);
    }

    User BobCaller() const
    {
        User caller = m_bob;
        caller.sessionKey = m_inbox;
        return caller;
    }

    velmo_testing::ServiceLoop m_loop{CZelStartServerThread::kModePop3Transfers};
    CZelString m_inbox;
};

TEST_F(Pop3TransfersTest, AQueuedMessageIsFetchedInBlocksVerifiedRewrittenAndStored)
{
    const std::string text = MessageText(5000);
    const CZelString id = QueueForBob(text);
    StartLoop();
    ASSERT_TRUE(Eventually([&] { return !Exists(KeyFile(m_bob)); }));

    // The sender's name and address replace the claimed one; the id is added.
    const std::string expected = "From: \"Te\" <alice@example.org>\r\nSubject: hello\r\nVelmo-Message-ID: " +
                                 id.ToStd() + "\r\n" + text.substr(text.find("\r\n\r\n") + 2);
    EXPECT_EQ(ReadText(Stored(m_bob, 1000000, ".msg")), expected);
    EXPECT_EQ(ReadText(Stored(m_bob, 1000000, ".id")), id.ToStd());
    EXPECT_FALSE(Exists(DownloadFile(m_bob, id)));

    const auto entries = ReceivedEntries(m_bob.id);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].GetAttr("MessageId"), id);
    EXPECT_EQ(entries[0].GetAttr("email"), "alice@example.org");
    EXPECT_EQ(entries[0].GetAttr("Id"), Format("%D", m_alice.id));
    EXPECT_EQ(entries[0].GetAttr("UnicodeName"), CZelString("T\0e\0", 4));
    EXPECT_FALSE(entries[0].GetAttr("SentMessageTimeStamp").IsEmpty());
    EXPECT_FALSE(entries[0].GetAttr("LocalDownloadedMessageTimeStamp").IsEmpty());

    int64_t account = 0;
    uint32_t bits = 0;
    ASSERT_TRUE(CAccountChangeFlags::Global().TakeOne(account, bits));
    EXPECT_EQ(account, m_bob.id);
    EXPECT_NE(bits & CAccountChangeFlags::kMessageDownloaded, 0u);

    EXPECT_TRUE(LogHasLine(m_log, "Receiving message " + id.ToStd() + " by <=1 KB parts..."));
    EXPECT_TRUE(LogHasLine(m_log, "Sender info block: letter with id = " + id.ToStd()));
    EXPECT_TRUE(LogHasLine(m_log, "Message " + id.ToStd() + " is received"));
    // Several blocks: the progress line ends on the whole length.
    EXPECT_TRUE(LogHasLine(m_log, " bytes of data are received..."));
    EXPECT_EQ(CActivityTexts::Receiving(), "Received message from Te");
}

// A download file whose data is damaged: the message leaves the queue, nothing is stored.
struct Damage {
    const char* name;
    const char* logged;
    // The download file for Bob's message made from its true data (or built locally).
    std::function<std::string(const CZelString& data, const CZelString& inbox, const CZelString& id)> file;
};

class DamagedDownloadTest : public Pop3TransfersTest, public ::testing::WithParamInterface<Damage> {};

std::string Flipped(std::string file, size_t at)
{
    file[at] = static_cast<char>(file[at] ^ 0x20);
    return file;
}

TEST_P(DamagedDownloadTest, DropsTheMessageAndStoresNothing)
{
    const CZelString id = QueueForBob(MessageText(3000));
    const std::string file = GetParam().file(FetchData(id), m_inbox, id);
    std::filesystem::create_directories(std::filesystem::path(DownloadFile(m_bob, id)).parent_path());
    WriteText(DownloadFile(m_bob, id), file);

    StartLoop();
    ASSERT_TRUE(Eventually([&] { return !Exists(KeyFile(m_bob)); }));
    EXPECT_FALSE(Exists(DownloadFile(m_bob, id)));
    EXPECT_FALSE(Exists(Stored(m_bob, 1000000, ".msg")));
    EXPECT_FALSE(Exists(Stored(m_bob, 1000000, ".id")));
    EXPECT_TRUE(ReceivedEntries(m_bob.id).empty());
    EXPECT_TRUE(LogHasLine(m_log, Format(GetParam().logged, id).ToStd())) << Format(GetParam().logged, id).ToStd();
}

INSTANTIATE_TEST_SUITE_P(
    Damages, DamagedDownloadTest,
    ::testing::Values(
        Damage{"ByteFlippedInTheData", "Message %S: the downloaded data does not match its hash",
               [](const CZelString& data, const CZelString&, const CZelString&) {
                   return Flipped(FileOfData(data), 8 + data.Length() / 2);
               }},
        Damage{"WrongTransferHash", "Message %S: the downloaded data does not match its hash",
               [](const CZelString& data, const CZelString&, const CZelString&) {
                   return Flipped(FileOfData(data), 8 + 3);
               }},
        // Only the first part is held, with a flipped byte: the rest is fetched after it, so
        // the damage stays and the whole fails its hash.
        Damage{"ByteFlippedInAHeldPart", "Message %S: the downloaded data does not match its hash",
               [](const CZelString& data, const CZelString&, const CZelString&) {
                   return Flipped(FileOfData(data).substr(0, 8 + 1500), 8 + 700);
               }},
        Damage{"WrongTextHash", "Message %S: hash error",
               [](const CZelString&, const CZelString& inbox, const CZelString& id) {
                   MessageDataBuilder built;
                   built.inbox = inbox;
                   built.messageId = id;
                   built.hashOverride = RandomBytes(32);
                   return built.DownloadFile();
               }}),
    [](const ::testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

TEST_F(Pop3TransfersTest, ALocallyBuiltMessageOpensWhenIntact)
{
    // The data built in the test stands for the server's: intact, it opens and is stored.
    const CZelString id = QueueForBob(MessageText(100));
    MessageDataBuilder built;
    built.inbox = m_inbox;
    built.messageId = id;
    built.recipientId = m_bob.id;
    std::filesystem::create_directories(std::filesystem::path(DownloadFile(m_bob, id)).parent_path());
    WriteText(DownloadFile(m_bob, id), built.DownloadFile());
    StartLoop();
    ASSERT_TRUE(Eventually([&] { return Exists(Stored(m_bob, 1000000, ".msg")); }));
    EXPECT_NE(ReadText(Stored(m_bob, 1000000, ".msg")).find("Hello, Bob."), std::string::npos);
}

TEST_F(Pop3TransfersTest, AServerThatIsAwayKeepsTheMessageQueuedAndTheHeldPartIsResumed)
{
    setenv("VELMO_DOWNLOAD_RETRY_MS", "300", 1);
    const std::string text = MessageText(4000);
    const CZelString id = QueueForBob(text);
    const CZelString data = FetchData(id);
    std::filesystem::create_directories(std::filesystem::path(DownloadFile(m_bob, id)).parent_path());
    const std::string held = FileOfData(data).substr(0, 8 + 2000);
    WriteText(DownloadFile(m_bob, id), held);
    StopServer();

    StartLoop();
    ASSERT_TRUE(Eventually([&] { return LogHasLine(m_log, "fhttp."); }));
    EXPECT_TRUE(Exists(KeyFile(m_bob)));
    EXPECT_EQ(ReadText(DownloadFile(m_bob, id)), held);
    EXPECT_FALSE(Exists(Stored(m_bob, 1000000, ".msg")));

    // The server comes back (on another port): the next try after the pause finishes it.
    StartServer();
    CConfig::Global().Set(CConfig::kServer, m_address.server);
    ASSERT_TRUE(Eventually([&] { return Exists(Stored(m_bob, 1000000, ".msg")); }));
    EXPECT_NE(ReadText(Stored(m_bob, 1000000, ".msg")).find(text.substr(text.find("\r\n\r\n"))), std::string::npos);
    EXPECT_TRUE(Eventually([&] { return !Exists(KeyFile(m_bob)); }));
}

TEST_F(Pop3TransfersTest, AMessageThatMustWaitDoesNotHoldUpAnotherAccount)
{
    // Carol, another account on this gateway whose message arrives at once.
    User carol{"carol@example.org", "carol-code", 2};
    ASSERT_TRUE(m_client->Register(carol));
    ASSERT_NO_FATAL_FAILURE(MakeContacts(*m_client, carol, m_alice));
    WriteAccountFile(carol);
    const CZelString forCarol = Send(carol, MessageText(2000));
    WriteInboxKeyFile(carol, PreLogin(carol), {forCarol});
    // Bob's key file holds a key the server never got: no answer opens, so his message waits.
    const CZelString forBob = Send(m_bob, MessageText(2000));
    WriteInboxKeyFile(m_bob, MakeSessionKey(), {forBob});

    StartLoop();
    ASSERT_TRUE(Eventually([&] { return !Exists(KeyFile(carol)); }));
    EXPECT_TRUE(Exists(Stored(carol, 1000000, ".msg")));
    EXPECT_TRUE(Exists(KeyFile(m_bob)));
    EXPECT_FALSE(Exists(Stored(m_bob, 1000000, ".msg")));
}

TEST_F(Pop3TransfersTest, RetriesAreBoundedAndTheMessageThenLeavesTheQueue)
{
    setenv("VELMO_DOWNLOAD_RETRY_MS", "1", 1);
    const CZelString id = Send(m_bob, MessageText(2000));
    WriteInboxKeyFile(m_bob, MakeSessionKey(), {id});
    StartLoop();
    ASSERT_TRUE(Eventually([&] { return !Exists(KeyFile(m_bob)); }, std::chrono::seconds(60)));
    EXPECT_TRUE(LogHasLine(m_log, "Message " + id.ToStd() + " could not be received after 30 tries"));
    EXPECT_FALSE(Exists(DownloadFile(m_bob, id)));
}

TEST_F(Pop3TransfersTest, UnsafeQueuedIdsAreDroppedAndNeverUsedAsFileNames)
{
    const CZelString id = Send(m_bob, MessageText(1000));
    m_inbox = PreLogin(m_bob);
    WriteInboxKeyFile(m_bob, m_inbox, {"../../escape", "", "1..2", id});
    StartLoop();
    ASSERT_TRUE(Eventually([&] { return !Exists(KeyFile(m_bob)); }));
    EXPECT_TRUE(LogHasLine(m_log, "message id ../../escape is refused"));
    EXPECT_TRUE(LogHasLine(m_log, "message id 1..2 is refused"));
    EXPECT_FALSE(Exists("escape"));
    EXPECT_FALSE(Exists(Format("Accounts/%08D/escape", m_bob.id).ToStd()));
    EXPECT_EQ(ReadText(Stored(m_bob, 1000000, ".id")), id.ToStd());
}

TEST_F(Pop3TransfersTest, AKeyFileALoginHoldsStaysWhenTheQueueEmpties)
{
    const CZelString id = Send(m_bob, MessageText(1000));
    m_inbox = PreLogin(m_bob);
    WriteInboxKeyFile(m_bob, m_inbox, {id}, true);
    StartLoop();
    ASSERT_TRUE(Eventually([&] { return Exists(Stored(m_bob, 1000000, ".msg")); }));
    StopLoop();
    CZelXmlDocument key;
    ASSERT_TRUE(CSessionKeyFile::Load(CSessionKeyFile::InboxPath(m_bob.id), key));
    EXPECT_TRUE(key.RootElement().FindChild(kElementMessage).IsNull());
}

TEST_F(Pop3TransfersTest, AStopRequestEndsALongDownloadBetweenBlocksAndKeepsWhatItHolds)
{
    const CZelString id = QueueForBob(MessageText(1024 * 1024));
    StartLoop();
    ASSERT_TRUE(Eventually([&] { return std::filesystem::exists(DownloadFile(m_bob, id)) &&
                                        std::filesystem::file_size(DownloadFile(m_bob, id)) > 8; },
                           std::chrono::seconds(60)));
    m_loop.Service().SignalStop();
    EXPECT_TRUE(Eventually([&] { return m_loop.Ended(); }));
    StopLoop();
    // Stopped part-way: the message stays queued with the part it holds, for the next start.
    EXPECT_TRUE(Exists(KeyFile(m_bob)));
    EXPECT_FALSE(Exists(Stored(m_bob, 1000000, ".msg")));
    EXPECT_GT(std::filesystem::file_size(DownloadFile(m_bob, id)), 8u);
}

TEST_F(Pop3TransfersTest, AStopRequestEndsThePauseAfterAFailedTry)
{
    const CZelString id = QueueForBob(MessageText(1000));
    StopServer();
    StartLoop();
    ASSERT_TRUE(Eventually([&] { return LogHasLine(m_log, "fhttp."); }));
    m_loop.Service().SignalStop();
    EXPECT_TRUE(Eventually([&] { return m_loop.Ended(); }));
    StopLoop();
    EXPECT_TRUE(Exists(KeyFile(m_bob)));
}

} // namespace
