// Requests that compute at once. A request is held inside one of its unlocked crypto steps
// while other requests run to their answers, which they could not if the held one kept the
// store; and what a held request read may change under it before it writes.

#include "foundation/ZelDateTime.h"
#include "foundation/testing/Eventually.h"
#include "server/CCentralHttpServer.h"
#include "server/CCentralMessages.h"
#include "server/CCentralServer.h"
#include "server/CCentralStore.h"
#include "testing/CentralServerFixture.h"
#include "testing/MailTestSupport.h"
#include "testing/SocketsEnvironment.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <thread>

using namespace mailtest;
using velmo_testing::Eventually;

namespace {

// Holds the first request that reaches the chosen step of the chosen type until released, and
// notes any step entered while its thread was inside a store transaction.
class Parking {
public:
    void Arm(uint32_t type, CCentralUnlockedStep step)
    {
        std::lock_guard hold(m_mutex);
        m_type = type;
        m_step = step;
        m_armed = true;
    }

    void OnStep(const CCentralStore& store, uint32_t type, CCentralUnlockedStep step)
    {
        if (store.InTransactionOnThisThread())
            ++m_stepsUnderLock;
        std::unique_lock hold(m_mutex);
        if (!m_armed || type != m_type || step != m_step)
            return;
        m_armed = false;
        m_parked = true;
        m_changed.wait(hold, [this] { return m_released; });
    }

    bool WaitParked()
    {
        return Eventually([this] {
            std::lock_guard hold(m_mutex);
            return m_parked;
        });
    }

    void Release()
    {
        {
            std::lock_guard hold(m_mutex);
            m_released = true;
        }
        m_changed.notify_all();
    }

    int StepsUnderLock() const { return m_stepsUnderLock.load(); }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    uint32_t m_type = 0;
    CCentralUnlockedStep m_step = CCentralUnlockedStep::OpenRequest;
    bool m_armed = false, m_parked = false, m_released = false;
    std::atomic<int> m_stepsUnderLock{0};
};

struct Keys {
    CZelString session = MakeSessionKey();
    CZelString outbox = MakeSessionKey();
    CZelString inbox = MakeSessionKey();
};

// Public, so that the table of held requests below can use its pieces.
class CentralConcurrencyFixture : public CentralServerFixture {
public:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(StartServer());
        m_server->SetUnlockedPhaseHook([this](uint32_t type, CCentralUnlockedStep step) {
            m_parking.OnStep(*m_store, type, step);
        });
        ASSERT_TRUE(m_client->Register(m_alice));
        ASSERT_TRUE(m_client->Register(m_bob));
        ASSERT_TRUE(m_client->Register(m_carol));
        MakeContacts(*m_client, m_bob, m_alice);
    }

    void TearDown() override
    {
        m_parking.Release();
        StopServer();
    }

    // Runs `held` on a connection of its own until it parks at the armed step, then `others`
    // on another while it stays parked; false when `held` never parked or `others` could not
    // finish before it was released.
    bool RunWhileParked(const std::function<void(Client&)>& held, const std::function<void(Client&)>& others)
    {
        std::thread heldThread([&] {
            Client client(m_port);
            held(client);
        });
        const bool parked = m_parking.WaitParked();
        std::atomic<bool> othersDone{false};
        std::thread othersThread([&] {
            if (parked) {
                Client client(m_port);
                others(client);
            }
            othersDone = true;
        });
        const bool othersFinished = Eventually([&] { return othersDone.load(); });
        m_parking.Release();
        heldThread.join();
        othersThread.join();
        EXPECT_TRUE(parked) << "the request never reached its unlocked step";
        EXPECT_TRUE(othersFinished) << "the other requests waited for the parked one";
        return parked && othersFinished;
    }

    void SendingHandshake(Client& client, const User& user, const Keys& keys)
    {
        ASSERT_EQ(client.Login(kRequestReqTimestamp, user, {{kKeyNumSession, keys.session}, {kKeyNumOutbox, keys.outbox}})
                      .size(),
                  1u);
    }

    Recipient Lookup(Client& client, const User& sender, const Keys& keys, const User& recipient)
    {
        CZelXmlDocument document;
        document.Create("doc", "Root");
        document.RootElement().SetAttr("Command", "ReqMsgId");
        document.RootElement().SetAttr("TimeStamp", "1");
        document.RootElement().SetAttr("rcpt", recipient.email.c_str());
        const auto answers = SealedRequest(kRequestReqMsgId, document, sender.id, kKeyNumSession, keys.session,
                                           client.Server(), client.Connection(), kHttpWriteTimeoutMs);
        EXPECT_EQ(answers.size(), 1u);
        Recipient found{recipient.email, answers.empty() ? CZelString() : answers.front().RootElement().GetAttr("MsgId"),
                        recipient.id, recipient.Keys().n, recipient.Keys().e};
        EXPECT_FALSE(found.msgId.IsEmpty());
        return found;
    }

    // Alice's queued message to Bob; the upload is not started.
    CZelString AliceToBob(Recipient& bob)
    {
        SendingHandshake(*m_client, m_alice, m_aliceKeys);
        bob = Lookup(*m_client, m_alice, m_aliceKeys, m_bob);
        return QueuedMessage(m_alice, kKeyNumOutbox, m_aliceKeys.outbox, {bob}, Text());
    }

    // The ids of the messages waiting for Bob, after his PreLogin and Seed request.
    std::vector<CZelString> WaitingForBob(Client& client)
    {
        const auto login =
            client.Login(kRequestPreLogin, m_bob, {{kKeyNumSession, m_bobKeys.session}, {kKeyNumInbox, m_bobKeys.inbox}});
        EXPECT_EQ(login.size(), 1u);
        CZelXmlDocument document;
        document.Create("doc", "Root");
        document.RootElement().SetAttr("Seed", login.empty() ? CZelString() : login.front().RootElement().GetAttr("Seed"));
        document.RootElement().SetAttr("LastDeliveredTimeStamp", "0");
        const auto answers = SealedRequest(kRequestSeed, document, m_bob.id, kKeyNumSession, m_bobKeys.session,
                                           client.Server(), client.Connection(), kHttpWriteTimeoutMs);
        std::vector<CZelString> ids;
        if (answers.size() != 1)
            return ids;
        for (CZelXmlNode node = answers.front().RootElement().FindChild("Message"); !node.IsNull();
             node = node.NextSameName())
            ids.push_back(node.GetAttr("MessageId"));
        return ids;
    }

    // Bob's download of the message opens and carries Alice's text.
    void ExpectBobReads(Client& client, const CZelString& messageId)
    {
        const CZelString data = FetchAll(client, m_bob, kKeyNumInbox, m_bobKeys.inbox, messageId, 3000);
        const auto opened = OpenMessageData(data, m_bobKeys.inbox, m_bob, messageId);
        ASSERT_TRUE(opened);
        EXPECT_EQ(opened->text, Text());
    }

    // What a user who has nothing to do with the held request gets done meanwhile: a login,
    // a list change, the server key.
    void CarolsErrands(Client& client)
    {
        EXPECT_TRUE(client.LoginRun(m_carol, kKeyNumContactList));
        const auto answers =
            client.Sealed(kRequestContactList, m_carol, ListDocument({{"+bl", m_alice.email}}), kKeyNumContactList);
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers.front().RootElement().GetAttr("Status"), "OK");
        EXPECT_TRUE(client.ServerKey().IsComplete());
    }

    static CZelString Text()
    {
        CZelString text = "From: alice@example.org\r\nSubject: at once\r\n\r\n";
        for (int i = 0; text.Length() < 20000; ++i)
            text += Format("line %d of a message sent while others work\r\n", i);
        return text;
    }

    Parking m_parking;
    Keys m_aliceKeys, m_bobKeys;
};

// One request to hold: the state it needs, then the request itself and what its answer must be.
struct HeldRequest {
    const char* name;
    uint32_t type;
    CCentralUnlockedStep step;
    void (*prepare)(CentralConcurrencyFixture& test, CZelString& state);
    void (*run)(CentralConcurrencyFixture& test, Client& client, const CZelString& state);
};

void PrintTo(const HeldRequest& value, std::ostream* out)
{
    *out << value.name;
}

void NoPreparation(CentralConcurrencyFixture&, CZelString&) {}

const HeldRequest kHeldRequests[] = {
    {"Registration", kRequestRegister, CCentralUnlockedStep::OpenRequest, NoPreparation,
     [](CentralConcurrencyFixture&, Client& client, const CZelString&) {
         User dave{"dave@example.org", "GGGG7777HHHH8888", 4};
         EXPECT_TRUE(client.Register(dave));
     }},
    {"Login", kRequestReqTimestamp, CCentralUnlockedStep::OpenRequest, NoPreparation,
     [](CentralConcurrencyFixture& test, Client& client, const CZelString&) {
         EXPECT_TRUE(client.LoginRun(test.m_alice));
     }},
    {"ContactList", kRequestContactList, CCentralUnlockedStep::OpenRequest,
     [](CentralConcurrencyFixture& test, CZelString&) {
         ASSERT_TRUE(test.m_client->LoginRun(test.m_alice, kKeyNumContactList));
     },
     [](CentralConcurrencyFixture& test, Client& client, const CZelString&) {
         const auto answers = client.Sealed(kRequestContactList, test.m_alice,
                                            ListDocument({{"+bl", "carol@example.org"}}), kKeyNumContactList);
         ASSERT_EQ(answers.size(), 1u);
         EXPECT_EQ(answers.front().RootElement().GetAttr("Status"), "OK");
     }},
    {"UploadCompletion", kRequestUploadBlock, CCentralUnlockedStep::CheckUpload,
     [](CentralConcurrencyFixture& test, CZelString& file) {
         Recipient bob;
         file = test.AliceToBob(bob);
     },
     [](CentralConcurrencyFixture& test, Client& client, const CZelString& file) {
         EXPECT_EQ(UploadAll(client, test.m_alice, kKeyNumOutbox, test.m_aliceKeys.outbox, file, 7000), "OK");
     }},
    {"FetchBuild", kRequestFetchBlock, CCentralUnlockedStep::BuildData,
     [](CentralConcurrencyFixture& test, CZelString& messageId) {
         Recipient bob;
         const CZelString file = test.AliceToBob(bob);
         ASSERT_EQ(UploadAll(*test.m_client, test.m_alice, kKeyNumOutbox, test.m_aliceKeys.outbox, file, 7000), "OK");
         ASSERT_EQ(test.WaitingForBob(*test.m_client), std::vector<CZelString>{bob.msgId});
         messageId = bob.msgId;
     },
     [](CentralConcurrencyFixture& test, Client& client, const CZelString& messageId) {
         test.ExpectBobReads(client, messageId);
     }},
};

class CentralHeldRequest : public CentralConcurrencyFixture, public ::testing::WithParamInterface<HeldRequest> {};

TEST_P(CentralHeldRequest, OthersCompleteWhileItComputes)
{
    const HeldRequest& held = GetParam();
    CZelString state;
    held.prepare(*this, state);
    ASSERT_FALSE(HasFatalFailure());
    m_parking.Arm(held.type, held.step);
    RunWhileParked([&](Client& client) { held.run(*this, client, state); },
                   [&](Client& client) { CarolsErrands(client); });
    EXPECT_EQ(m_parking.StepsUnderLock(), 0);
}

INSTANTIATE_TEST_SUITE_P(Requests, CentralHeldRequest, ::testing::ValuesIn(kHeldRequests),
                         [](const ::testing::TestParamInfo<HeldRequest>& info) { return info.param.name; });

// The same upload block sent twice at once, as after a lost acknowledgement on one connection
// and a resume on another: the second to write finds the block held and acknowledges it again,
// and the message reaches its recipient once and whole.
struct TwinBlock {
    const char* name;
    bool last;      // the block that reaches the total, held while its file is checked
};

void PrintTo(const TwinBlock& value, std::ostream* out)
{
    *out << value.name;
}

class CentralTwinBlocks : public CentralConcurrencyFixture, public ::testing::WithParamInterface<TwinBlock> {};

TEST_P(CentralTwinBlocks, BothGetTheSameAnswer)
{
    Recipient bob;
    const CZelString file = AliceToBob(bob);
    const int64_t total = file.Length();
    const int64_t length = 5000;
    const int64_t offset = GetParam().last ? total - length : 0;
    ASSERT_EQ(UploadBlock(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, 0, offset).acks.back().second,
              offset);

    m_parking.Arm(kRequestUploadBlock,
                  GetParam().last ? CCentralUnlockedStep::CheckUpload : CCentralUnlockedStep::OpenRequest);
    UploadAnswer held, other;
    const auto send = [&](Client& client, UploadAnswer& answer) {
        answer = UploadBlock(client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, offset, length);
    };
    ASSERT_TRUE(RunWhileParked([&](Client& client) { send(client, held); },
                               [&](Client& client) { send(client, other); }));
    ASSERT_FALSE(held.acks.empty());
    EXPECT_EQ(held.acks, other.acks);
    EXPECT_EQ(held.acks.back(), std::make_pair(total, offset + length));
    ASSERT_EQ(held.status.has_value(), GetParam().last);
    ASSERT_EQ(other.status.has_value(), GetParam().last);
    if (GetParam().last) {
        EXPECT_EQ(held.status->RootElement().GetAttr("Status"), "OK");
        EXPECT_EQ(other.status->RootElement().GetAttr("Status"), "OK");
        EXPECT_EQ(held.status->RootElement().GetAttr("TimeStamp"), other.status->RootElement().GetAttr("TimeStamp"));
    } else {
        EXPECT_EQ(UploadAll(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, 7000), "OK");
    }
    EXPECT_EQ(WaitingForBob(*m_client), std::vector<CZelString>{bob.msgId});
    ExpectBobReads(*m_client, bob.msgId);
}

const TwinBlock kTwinBlocks[] = {{"MiddleBlock", false}, {"LastBlock", true}};

INSTANTIATE_TEST_SUITE_P(Blocks, CentralTwinBlocks, ::testing::ValuesIn(kTwinBlocks),
                         [](const ::testing::TestParamInfo<TwinBlock>& info) { return info.param.name; });

// What a held request read is taken away before it writes: it gets no answer and its write
// does not happen.
struct GoneKey {
    const char* name;
    uint32_t type;
    // Runs the held request; true when it got an answer.
    bool (*request)(CentralConcurrencyFixture& test, Client& client, const CZelString& key);
    // Takes the key away, on another connection or in the store.
    void (*takeAway)(CentralConcurrencyFixture& test, Client& client);
    // Whether the held request's write is in the store.
    bool (*written)(CentralConcurrencyFixture& test, const CZelString& key);
};

void PrintTo(const GoneKey& value, std::ostream* out)
{
    *out << value.name;
}

const GoneKey kGoneKeys[] = {
    {"AccountKeyReplacedUnderALogin", kRequestReqTimestamp,
     [](CentralConcurrencyFixture& test, Client& client, const CZelString& key) {
         return !client.Login(kRequestReqTimestamp, test.m_alice, {{kKeyNumAccountRun, key}}).empty();
     },
     [](CentralConcurrencyFixture& test, Client&) {
         CCentralStore::Transaction transaction(*test.m_store);
         test.m_store->Db().Prepare("UPDATE accounts SET n = ? WHERE id = ?")
             .Bind(1, test.m_carol.Keys().n).Bind(2, test.m_alice.id).Run();
         transaction.Commit();
     },
     [](CentralConcurrencyFixture& test, const CZelString& key) {
         const auto keys = test.m_store->SessionKeys(test.m_alice.id, kKeyNumAccountRun, NowMicroseconds());
         return std::find(keys.begin(), keys.end(), key) != keys.end();
     }},
    {"SessionKeyPushedOutUnderAListChange", kRequestContactList,
     [](CentralConcurrencyFixture& test, Client& client, const CZelString& key) {
         User alice = test.m_alice;
         alice.sessionKey = key;
         return !client.Sealed(kRequestContactList, alice, ListDocument({{"+bl", test.m_carol.email}}), kKeyNumContactList)
                     .empty();
     },
     [](CentralConcurrencyFixture& test, Client& client) {
         User alice = test.m_alice;
         for (int i = 0; i < CCentralStore::kRecentKeysPerNumber; ++i)
             ASSERT_TRUE(client.LoginRun(alice, kKeyNumContactList));
     },
     [](CentralConcurrencyFixture& test, const CZelString&) {
         return test.m_store->ListOf(test.m_alice.id, test.m_carol.id) != CCentralList::None;
     }},
};

class CentralGoneKey : public CentralConcurrencyFixture, public ::testing::WithParamInterface<GoneKey> {};

TEST_P(CentralGoneKey, HeldRequestGetsNoAnswerAndWritesNothing)
{
    const GoneKey& gone = GetParam();
    // The key the held request is sealed with, handed over first; a login hands it over itself.
    const CZelString key = MakeSessionKey();
    if (gone.type != kRequestReqTimestamp) {
        ASSERT_EQ(m_client->Login(kRequestReqTimestamp, m_alice, {{kKeyNumContactList, key}}).size(), 1u);
    }

    m_parking.Arm(gone.type, CCentralUnlockedStep::OpenRequest);
    bool answered = true;
    ASSERT_TRUE(RunWhileParked([&](Client& client) { answered = gone.request(*this, client, key); },
                               [&](Client& client) { gone.takeAway(*this, client); }));
    EXPECT_FALSE(answered);
    EXPECT_FALSE(gone.written(*this, key));
}

INSTANTIATE_TEST_SUITE_P(Keys, CentralGoneKey, ::testing::ValuesIn(kGoneKeys),
                         [](const ::testing::TestParamInfo<GoneKey>& info) { return info.param.name; });

// Two registrations of one address at once: the one whose RSA was held finds the address taken
// when it comes to write, and the address stays with the first.
TEST_F(CentralConcurrencyFixture, AddressTakenWhileARegistrationComputes)
{
    m_parking.Arm(kRequestRegister, CCentralUnlockedStep::OpenRequest);
    User held{"dave@example.org", "GGGG7777HHHH8888", 4};
    User other{"DAVE@example.org", "IIII9999JJJJ0000", 5};
    std::optional<CZelXmlDocument> heldAnswer;
    ASSERT_TRUE(RunWhileParked([&](Client& client) { heldAnswer = client.Register(RegistrationDocument(held)); },
                               [&](Client& client) { EXPECT_TRUE(client.Register(other)); }));
    ASSERT_TRUE(heldAnswer);
    EXPECT_EQ(heldAnswer->RootElement().GetAttr("Status"), "E-mail is already registered");
    const auto stored = m_store->FindAccountByEmail("dave@example.org");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->id, other.id);
    EXPECT_EQ(stored->n, other.Keys().n);
}

// Two first fetches of one message at once: both build the recipient's data, the one held in
// its build finds the other's already stored and answers from it, so every block of the data
// comes from one build and the whole opens.
TEST_F(CentralConcurrencyFixture, TwinFirstFetchesServeOneBuild)
{
    Recipient bob;
    const CZelString file = AliceToBob(bob);
    ASSERT_EQ(UploadAll(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, 7000), "OK");
    ASSERT_EQ(WaitingForBob(*m_client), std::vector<CZelString>{bob.msgId});

    m_parking.Arm(kRequestFetchBlock, CCentralUnlockedStep::BuildData);
    FetchAnswer held, other;
    const auto fetch = [&](Client& client, FetchAnswer& answer) {
        answer = FetchBlock(client, m_bob, kKeyNumInbox, m_bobKeys.inbox, bob.msgId, 0, 3000);
    };
    ASSERT_TRUE(RunWhileParked([&](Client& client) { fetch(client, held); },
                               [&](Client& client) { fetch(client, other); }));
    ASSERT_TRUE(held.answered);
    ASSERT_TRUE(other.answered);
    EXPECT_EQ(held.total, other.total);
    EXPECT_EQ(held.block, other.block);
    const CZelString data =
        FetchAll(*m_client, m_bob, kKeyNumInbox, m_bobKeys.inbox, bob.msgId, 3000, held.block, held.total);
    const auto opened = OpenMessageData(data, m_bobKeys.inbox, m_bob, bob.msgId);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->text, Text());
}

} // namespace
