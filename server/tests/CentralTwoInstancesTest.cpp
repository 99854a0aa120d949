// Two real velmo-central programs serving one PostgreSQL database, as they run behind a load
// balancer: whatever one of them stored or handed over the other goes on with, a SIGKILL of
// either loses nothing acknowledged, and requests racing on both still leave one outcome.

#include "server/CCentralStore.h"

#include "testing/MailTestSupport.h"
#include "testing/RawHttpPeer.h"
#include "testing/SocketsEnvironment.h"
#include "testing/TestPostgres.h"

#include <algorithm>
#include <latch>
#include <thread>
#include <unistd.h>

using namespace mailtest;

namespace {

const std::string kProgram = std::string(VELMO_BINARY_DIR) + "/bin/velmo-central";

// One velmo-central program on a free port with its own kept-alive client; Kill is a SIGKILL.
class Instance {
public:
    explicit Instance(std::string db) : m_db(std::move(db)) {}

    // Starts the program; Ready reads where it listens, so two can be started at one moment.
    void Launch()
    {
        m_program = std::make_unique<CentralProgram>(std::vector<std::string>{"--listen", "127.0.0.1:0", "--db", m_db});
    }
    bool Ready()
    {
        m_port = m_program->ReadPort();
        if (m_port > 0)
            m_client = std::make_unique<Client>(m_port);
        return m_port > 0;
    }
    bool Start()
    {
        Launch();
        return Ready();
    }
    void Kill()
    {
        m_client.reset();
        m_program->Kill();
        m_program.reset();
    }

    Client& Talk() { return *m_client; }
    int Port() const { return m_port; }

private:
    std::string m_db;
    std::unique_ptr<CentralProgram> m_program;
    std::unique_ptr<Client> m_client;
    int m_port = -1;
};

// A user's keys as the SMTP and POP3 sides hand them over.
struct Keys {
    CZelString session = MakeSessionKey();
    CZelString outbox = MakeSessionKey();
    CZelString inbox = MakeSessionKey();
};

CZelXmlDocument Document(std::initializer_list<std::pair<const char*, CZelString>> attributes)
{
    CZelXmlDocument document;
    document.Create("doc", "Root");
    for (const auto& [name, value] : attributes)
        document.RootElement().SetAttr(name, value);
    return document;
}

// A request sealed with the session key; its one answer, or an empty document.
CZelXmlDocument SessionRequest(Client& client, uint32_t type, const User& user, const Keys& keys,
                               const CZelXmlDocument& document)
{
    const auto answers = SealedRequest(type, document, user.id, kKeyNumSession, keys.session, client.Server(),
                                       client.Connection(), kHttpWriteTimeoutMs);
    EXPECT_EQ(answers.size(), 1u);
    return answers.empty() ? CZelXmlDocument() : answers.front();
}

// The POP3 side's PreLogin and the waiting list it opens.
CZelXmlDocument WaitingList(Client& client, const User& user, const Keys& keys, const CZelString& lastDelivered = "0")
{
    const auto login = client.Login(kRequestPreLogin, user, {{kKeyNumSession, keys.session}, {kKeyNumInbox, keys.inbox}});
    EXPECT_EQ(login.size(), 1u);
    const CZelString seed = login.empty() ? CZelString() : login.front().RootElement().GetAttr("Seed");
    return SessionRequest(client, kRequestSeed, user, keys,
                          Document({{"Seed", seed}, {"LastDeliveredTimeStamp", lastDelivered}}));
}

std::vector<std::string> Ids(const CZelXmlDocument& answer, const char* element)
{
    std::vector<std::string> ids;
    for (CZelXmlNode node = answer.RootElement().FindChild(element); !node.IsNull(); node = node.NextSameName())
        ids.push_back(node.GetAttr("MessageId").ToStd());
    return ids;
}

// The "list email" entries a fresh run of the user is told about from the start.
std::vector<std::string> AllUpdates(Client& client, User& user)
{
    user.sessionKey = MakeSessionKey();
    const auto answers = client.Login(kRequestReqTimestamp, user, {{kKeyNumAccountRun, user.sessionKey}}, 0);
    return answers.empty() ? std::vector<std::string>{"no answer"} : UpdateEntries(answers.front());
}

CZelString MessageText(int bytes)
{
    std::string text = "From: alice@example.org\r\nSubject: big\r\n\r\n";
    for (int i = 0; static_cast<int>(text.size()) < bytes; ++i)
        text += "line " + std::to_string(i) + " of a long message body\r\n";
    text.resize(static_cast<size_t>(bytes));
    return CZelString(std::string_view(text));
}

class CentralTwoInstancesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (access(kProgram.c_str(), X_OK) != 0)
            GTEST_SKIP() << kProgram << " is not built";
        m_db = velmo_testing::FreshPostgresDatabase();
        m_a = std::make_unique<Instance>(m_db);
        m_b = std::make_unique<Instance>(m_db);
    }

    void StartBoth()
    {
        ASSERT_TRUE(m_a->Start());
        ASSERT_TRUE(m_b->Start());
    }

    // Registered at A; Bob's contact list run gets its key at B and its command goes to A.
    void RegisterAndMakeContacts()
    {
        ASSERT_TRUE(m_a->Talk().Register(m_alice));
        ASSERT_TRUE(m_a->Talk().Register(m_bob));
        ASSERT_TRUE(m_b->Talk().LoginRun(m_bob, kKeyNumContactList));
        const auto answers = m_a->Talk().Sealed(kRequestContactList, m_bob,
                                                ListDocument({{"+cl", m_alice.email, m_alice.secureCode, true}}),
                                                kKeyNumContactList);
        ASSERT_EQ(answers.size(), 1u);
        ASSERT_EQ(answers.front().RootElement().GetAttr("Status"), "OK");
    }

    std::string m_db;
    std::unique_ptr<Instance> m_a, m_b;
    User m_alice = Alice();
    User m_bob = Bob();
    Keys m_aliceKeys, m_bobKeys;
};

TEST_F(CentralTwoInstancesTest, AMessageCrossesBothInstancesThroughKillsAndArrivesOnce)
{
    StartBoth();
    RegisterAndMakeContacts();

    // Alice's SMTP side hands its keys over at B; her lookup is answered at A.
    ASSERT_EQ(m_b->Talk().Login(kRequestReqTimestamp, m_alice,
                                {{kKeyNumSession, m_aliceKeys.session}, {kKeyNumOutbox, m_aliceKeys.outbox}}).size(),
              1u);
    const CZelXmlNode found =
        SessionRequest(m_a->Talk(), 4, m_alice, m_aliceKeys,
                       Document({{"Command", "ReqMsgId"}, {"TimeStamp", "1"}, {"rcpt", m_bob.email.c_str()}}))
            .RootElement();
    Recipient bob{m_bob.email, found.GetAttr("MsgId"), -1, found.GetAttr("n"), found.GetAttr("e")};
    ASSERT_FALSE(bob.msgId.IsEmpty()) << found.GetAttr("ErrorMessage").ToStd();
    bob.userId = std::stoll(found.GetAttr("UserId").ToStd());

    const CZelString text = MessageText(2 * 1024 * 1024);
    const CZelString& outbox = m_aliceKeys.outbox;
    const CZelString file = QueuedMessage(m_alice, kKeyNumOutbox, outbox, {bob}, text);
    const CZelString hash = TransferHash(outbox, file);
    const int64_t total = file.Length();
    constexpr int64_t kBlock = 300 * 1024;
    const auto upload = [&](Instance& at, int64_t offset, int64_t length) {
        return UploadBlock(at.Talk(), m_alice, kKeyNumOutbox, outbox, file, offset, length, hash);
    };

    UploadAnswer answer = upload(*m_a, 0, 0);
    ASSERT_FALSE(answer.acks.empty());
    ASSERT_EQ(answer.acks.back(), std::make_pair(total, int64_t{0}));
    int64_t offset = 0;
    for (Instance* at : {m_a.get(), m_b.get(), m_a.get()}) {
        answer = upload(*at, offset, kBlock);
        ASSERT_FALSE(answer.acks.empty());
        ASSERT_EQ(answer.acks.back().second, offset + kBlock);
        offset += kBlock;
    }

    // The next block goes to A whole, and A dies before its answer can be read: it was stored
    // with its acknowledgement or not at all. An upload from offset 0 at B learns which.
    {
        const CZelString plain =
            Int64BE(total) + Int64BE(offset) + hash + file.Mid(static_cast<int32_t>(offset), static_cast<int32_t>(kBlock));
        RawPeer inFlight(m_a->Port());
        const CZelString block = Frame(kRequestUploadBlock, Seal(m_alice.id, kKeyNumOutbox, outbox, plain));
        ASSERT_TRUE(inFlight.Send(HonestPost(std::string(block.View()))));
        m_a->Kill();
    }
    answer = upload(*m_b, 0, 0);
    ASSERT_FALSE(answer.acks.empty());
    const int64_t learned = answer.acks.back().second;
    EXPECT_TRUE(learned == offset || learned == offset + kBlock) << learned;
    offset = learned;
    answer = upload(*m_b, offset, kBlock);
    ASSERT_FALSE(answer.acks.empty());
    offset = answer.acks.back().second;

    // A comes back on the same database and takes blocks again, in turn with B, to the end.
    ASSERT_TRUE(m_a->Start());
    for (int turn = 0; offset < total; ++turn) {
        Instance& at = turn % 2 == 0 ? *m_a : *m_b;
        answer = upload(at, offset, std::min(kBlock, total - offset));
        ASSERT_FALSE(answer.acks.empty()) << "at " << offset;
        ASSERT_GT(answer.acks.back().second, offset);
        offset = answer.acks.back().second;
    }
    ASSERT_TRUE(answer.status);
    ASSERT_EQ(answer.status->RootElement().GetAttr("Status"), "OK");
    const CZelString sentAt = answer.status->RootElement().GetAttr("TimeStamp");
    ASSERT_FALSE(sentAt.IsEmpty());

    // Sent again, whole, at the other instance: the first verdict, and no second copy.
    answer = upload(*m_b, 0, 0);
    while (!answer.status && !answer.acks.empty() && answer.acks.back().second < total) {
        offset = answer.acks.back().second;
        answer = upload(*m_b, offset, std::min(kBlock, total - offset));
    }
    ASSERT_TRUE(answer.status);
    EXPECT_EQ(answer.status->RootElement().GetAttr("Status"), "OK");
    EXPECT_EQ(answer.status->RootElement().GetAttr("TimeStamp"), sentAt);
    {
        CCentralStore store(m_db, 64);
        CCentralStore::Hold hold(store);
        CStoreStatement count = hold.Db().Prepare("SELECT COUNT(*) FROM messages WHERE sender_id = ?");
        count.Bind(1, m_alice.id);
        ASSERT_TRUE(count.Step());
        EXPECT_EQ(count.Int(0), 1);
    }

    // Bob's POP3 side logs in at A and sees the message once at B.
    EXPECT_EQ(Ids(WaitingList(m_a->Talk(), m_bob, m_bobKeys), "Message"), std::vector<std::string>{bob.msgId.ToStd()});
    EXPECT_EQ(Ids(WaitingList(m_b->Talk(), m_bob, m_bobKeys), "Message"), std::vector<std::string>{bob.msgId.ToStd()});

    // The fetch takes blocks at A and B in turn; B dies with a fetch in flight and A serves the rest.
    constexpr int64_t kFetchBlock = 384 * 1024;
    CZelString data;
    int64_t known = -1;
    const auto fetch = [&](Instance& at) {
        const FetchAnswer got = FetchBlock(at.Talk(), m_bob, kKeyNumInbox, m_bobKeys.inbox, bob.msgId, data.Length(),
                                           kFetchBlock, known >= 0 ? std::optional<int64_t>(known) : std::nullopt);
        ASSERT_TRUE(got.answered);
        ASSERT_EQ(got.offset, data.Length());
        known = got.total;
        data += got.block;
    };
    for (Instance* at : {m_a.get(), m_b.get(), m_a.get(), m_b.get()})
        ASSERT_NO_FATAL_FAILURE(fetch(*at));
    {
        RawPeer inFlight(m_b->Port());
        const CZelXmlDocument place = Document({{"MessageId", bob.msgId}, {"pos", Format("%D", data.Length())},
                                                {"BlockSize", Format("%D", kFetchBlock)}});
        ASSERT_TRUE(inFlight.Send(HonestPost(std::string(
            Frame(kRequestFetchBlock, Seal(m_bob.id, kKeyNumInbox, m_bobKeys.inbox, place.ToRequestText())).View()))));
        m_b->Kill();
    }
    while (data.Length() < known)
        ASSERT_NO_FATAL_FAILURE(fetch(*m_a));
    const auto opened = OpenMessageData(data, m_bobKeys.inbox, m_bob, bob.msgId);
    ASSERT_TRUE(opened);
    EXPECT_TRUE(opened->text == text);
    EXPECT_EQ(opened->sender.RootElement().GetAttr("SentMessageTimeStamp"), sentAt);

    // B back again takes the received report; Alice learns of the delivery once, at A.
    ASSERT_TRUE(m_b->Start());
    EXPECT_EQ(SessionRequest(m_b->Talk(), 20, m_bob, m_bobKeys, Document({{"MessageId", bob.msgId}}))
                  .RootElement().GetAttr("Status"),
              "OK");
    const CZelXmlDocument delivered = WaitingList(m_a->Talk(), m_alice, m_aliceKeys);
    ASSERT_EQ(Ids(delivered, "Delivered"), std::vector<std::string>{bob.msgId.ToStd()});
    const CZelString deliveredAt = delivered.RootElement().FindChild("Delivered").GetAttr("TimeStamp");
    EXPECT_TRUE(Ids(WaitingList(m_b->Talk(), m_alice, m_aliceKeys, deliveredAt), "Delivered").empty());
    EXPECT_EQ(Ids(WaitingList(m_b->Talk(), m_bob, m_bobKeys), "Message"), std::vector<std::string>{bob.msgId.ToStd()});
}

TEST_F(CentralTwoInstancesTest, TwoStartingAtOnceOnAnEmptyDatabaseShareOneServerKey)
{
    m_a->Launch();
    m_b->Launch();
    ASSERT_TRUE(m_a->Ready());
    ASSERT_TRUE(m_b->Ready());
    const CZelServerKey key = m_a->Talk().ServerKey();
    ASSERT_TRUE(key.IsComplete());
    const CZelServerKey other = m_b->Talk().ServerKey();
    EXPECT_EQ(other.n, key.n);
    EXPECT_EQ(other.e, key.e);
    // The key both answer is the one that opens a registration at either.
    EXPECT_TRUE(m_b->Talk().Register(m_alice));
}

// Requests sent to A (as Alice) and B (as Bob) at the same moment, each from its own thread, or
// one after the other to show what the race must end like.
struct Race {
    const char* what;
    bool atOnce;
    bool contactsRun;   // both registered first, their contact list runs keyed at their instance
    std::string (*racer)(Instance& at, const User& self, const User& other);
    void (*check)(Instance& a, CCentralStore& store, User& alice, User& bob, const std::vector<std::string>& outcomes);
};

void PrintTo(const Race& race, std::ostream* out)
{
    *out << race.what;
}

// Two people claim Alice's address, each with keys of his own: one account, the other refused.
std::string ClaimAlicesAddress(Instance& at, const User& self, const User&)
{
    const auto answer = at.Talk().Register(RegistrationDocument(User("alice@example.org", self.secureCode, self.keyIndex)));
    return answer ? answer->RootElement().GetAttr("Status").ToStd() : "no answer";
}

std::string AddTheOther(Instance& at, const User& self, const User& other)
{
    const auto answers = at.Talk().Sealed(kRequestContactList, self,
                                          ListDocument({{"+cl", other.email, other.secureCode, true}}), kKeyNumContactList);
    return answers.size() == 1 ? answers.front().RootElement().FindChild("Command").GetAttr("Status").ToStd()
                               : "no answer";
}

void OneAccount(Instance& a, CCentralStore&, User& alice, User&, const std::vector<std::string>& outcomes)
{
    std::vector<std::string> sorted = outcomes;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<std::string>{kErrEmailRegistered, "Success"}));
    const auto later = a.Talk().Register(RegistrationDocument(alice));
    ASSERT_TRUE(later);
    EXPECT_EQ(later->RootElement().GetAttr("Status"), kErrEmailRegistered);
}

// Both commands go through, each recording the change for both sides whether they meet or not
// (the gateway's merge makes one contact of a repeated entry); the lists hold one mutual pair.
void MutualContactsOnce(Instance& a, CCentralStore& store, User& alice, User& bob,
                        const std::vector<std::string>& outcomes)
{
    EXPECT_EQ(outcomes, (std::vector<std::string>{"OK", "OK"}));
    EXPECT_EQ(AllUpdates(a.Talk(), alice), std::vector<std::string>(2, "+cl bob@example.org"));
    EXPECT_EQ(AllUpdates(a.Talk(), bob), std::vector<std::string>(2, "+cl alice@example.org"));
    EXPECT_EQ(store.ListOf(alice.id, bob.id), CCentralList::Contact);
    EXPECT_EQ(store.ListOf(bob.id, alice.id), CCentralList::Contact);
}

const Race kRaces[] = {
    {"SameAddressRegisteredAtBoth", true, false, ClaimAlicesAddress, OneAccount},
    {"EachAddsTheOtherAtOnce", true, true, AddTheOther, MutualContactsOnce},
    {"EachAddsTheOtherInTurn", false, true, AddTheOther, MutualContactsOnce},
};

class CentralTwoInstancesRace : public CentralTwoInstancesTest, public ::testing::WithParamInterface<Race> {};

TEST_P(CentralTwoInstancesRace, EndsWithOneOutcome)
{
    const Race& race = GetParam();
    StartBoth();
    if (race.contactsRun) {
        ASSERT_TRUE(m_a->Talk().Register(m_alice));
        ASSERT_TRUE(m_a->Talk().Register(m_bob));
        ASSERT_TRUE(m_a->Talk().LoginRun(m_alice, kKeyNumContactList));
        ASSERT_TRUE(m_b->Talk().LoginRun(m_bob, kKeyNumContactList));
    }

    std::vector<std::string> outcomes(2);
    if (!race.atOnce) {
        outcomes[0] = race.racer(*m_a, m_alice, m_bob);
        outcomes[1] = race.racer(*m_b, m_bob, m_alice);
    } else {
        std::latch together(2);
        std::jthread atA([&] {
            together.arrive_and_wait();
            outcomes[0] = race.racer(*m_a, m_alice, m_bob);
        });
        std::jthread atB([&] {
            together.arrive_and_wait();
            outcomes[1] = race.racer(*m_b, m_bob, m_alice);
        });
    }
    CCentralStore store(m_db, 64);
    race.check(*m_a, store, m_alice, m_bob, outcomes);
}

INSTANTIATE_TEST_SUITE_P(Races, CentralTwoInstancesRace, ::testing::ValuesIn(kRaces),
                         [](const ::testing::TestParamInfo<Race>& info) { return std::string(info.param.what); });

} // namespace
