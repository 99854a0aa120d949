// Two central server instances in one process on one PostgreSQL database, their requests racing
// each other: what one transaction read and another changed meanwhile is run again, so the
// rules hold as if the requests had come one after the other.

#include "server/CCentralHttpServer.h"
#include "server/CCentralServer.h"
#include "server/CCentralStore.h"
#include "testing/CentralTestSupport.h"
#include "testing/SocketsEnvironment.h"
#include "testing/TestPostgres.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

using namespace centraltest;

namespace {

struct Instance {
    explicit Instance(const std::string& location)
        : store(location, 64), server(store), http(server), port(http.Start("127.0.0.1", 0))
    {
    }

    CCentralStore store;
    CCentralServer server;
    CCentralHttpServer http;
    int port;
};

class CentralSharedDatabaseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_location = velmo_testing::FreshPostgresDatabase();
        for (auto& instance : m_instances) {
            instance = std::make_unique<Instance>(m_location);
            ASSERT_GT(instance->port, 0);
        }
    }

    int PortOf(int index) const { return m_instances[index % 2]->port; }
    CCentralStore& Store() { return m_instances[0]->store; }

    // Runs `work(i)` on `count` threads released at once.
    static void AtOnce(int count, const std::function<void(int)>& work)
    {
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < count; ++i)
            threads.emplace_back([&, i] {
                ++ready;
                while (ready.load() < count)
                    std::this_thread::yield();
                work(i);
            });
        for (std::thread& thread : threads)
            thread.join();
    }

    static CZelXmlDocument OneAnswer(const std::vector<CZelXmlDocument>& answers)
    {
        EXPECT_EQ(answers.size(), 1u);
        return answers.empty() ? CZelXmlDocument() : answers.front();
    }

    // `user` asks for `commands` at instance `index`, under a fresh contact list key.
    CZelXmlDocument ListRequest(int index, User& user, const std::vector<ListCommand>& commands)
    {
        Client client(PortOf(index));
        EXPECT_TRUE(client.LoginRun(user, kKeyNumContactList));
        return OneAnswer(client.Sealed(kRequestContactList, user, ListDocument(commands), kKeyNumContactList));
    }

    std::string m_location;
    std::unique_ptr<Instance> m_instances[2];
};

TEST_F(CentralSharedDatabaseTest, BothInstancesServeOneServerKey)
{
    Client a(PortOf(0)), b(PortOf(1));
    const CZelServerKey first = a.ServerKey(), second = b.ServerKey();
    ASSERT_TRUE(first.IsComplete());
    EXPECT_EQ(first.n, second.n);
    EXPECT_EQ(first.e, second.e);
}

TEST_F(CentralSharedDatabaseTest, OneAddressRegisteredAtBothInstancesAtOnceMakesOneAccount)
{
    constexpr int kRivals = 8;
    std::atomic<int> registered{0}, refused{0};
    AtOnce(kRivals, [&](int i) {
        User rival(i % 2 ? "Same@Example.org" : "same@example.org", "CODE" + std::to_string(i), i);
        Client client(PortOf(i));
        const auto answer = client.Register(RegistrationDocument(rival));
        ASSERT_TRUE(answer) << "rival " << i << " got no answer";
        if (answer->RootElement().GetAttr("Status") == "Success")
            ++registered;
        else if (answer->RootElement().GetAttr("Status") == kErrEmailRegistered)
            ++refused;
    });
    EXPECT_EQ(registered.load(), 1);
    EXPECT_EQ(refused.load(), kRivals - 1);
    CCentralStore::Hold hold(Store());
    CStoreStatement count = hold.Db().Prepare("SELECT COUNT(*) FROM accounts");
    ASSERT_TRUE(count.Step());
    EXPECT_EQ(count.Int(0), 1);
}

TEST_F(CentralSharedDatabaseTest, TwoUsersAddingEachOtherAtOnceEndAsMutualContacts)
{
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        User alice("alice" + std::to_string(round) + "@example.org", "AAAA" + std::to_string(round), 2 * round);
        User bob("bob" + std::to_string(round) + "@example.org", "BBBB" + std::to_string(round), 2 * round + 1);
        Client setup(PortOf(0));
        ASSERT_TRUE(setup.Register(alice));
        ASSERT_TRUE(setup.Register(bob));
        std::vector<CZelXmlDocument> answers(2);
        AtOnce(2, [&](int i) {
            User& caller = i == 0 ? alice : bob;
            const User& other = i == 0 ? bob : alice;
            answers[i] = ListRequest(i, caller, {{"+cl", other.email, other.secureCode, true}});
        });
        for (const CZelXmlDocument& answer : answers)
            EXPECT_FALSE(answer.RootElement().FindChild("Command").GetAttr("Status").IsEmpty());
        EXPECT_EQ(Store().ListOf(alice.id, bob.id), CCentralList::Contact);
        EXPECT_EQ(Store().ListOf(bob.id, alice.id), CCentralList::Contact);
        // Each sees the other arrive on its list, and no change twice.
        for (const User* user : {&alice, &bob}) {
            std::set<int64_t> stamps;
            for (const CCentralUpdate& update : Store().UpdatesAfter(user->id, 0))
                EXPECT_TRUE(stamps.insert(update.timeStamp).second);
            EXPECT_GE(stamps.size(), 1u);
        }
    }
}

// A client reads the list changes after the last time stamp it saw. Changes committed by two
// instances at once must come in the order of their stamps, or a reader that saw a later one
// first would never ask for the earlier.
TEST_F(CentralSharedDatabaseTest, AReaderFollowingTheChangesMissesNoneWrittenAtBothInstances)
{
    User owner("owner@example.org", "OWNERCODE", 0);
    Client setup(PortOf(0));
    ASSERT_TRUE(setup.Register(owner));
    constexpr int kWriters = 10;
    std::vector<User> writers;
    for (int i = 0; i < kWriters; ++i) {
        writers.emplace_back("writer" + std::to_string(i) + "@example.org", "W" + std::to_string(i), i + 1);
        ASSERT_TRUE(setup.Register(writers.back()));
    }

    std::atomic<bool> writing{true};
    std::map<int64_t, int> seen;   // member id -> how often read
    std::thread reader([&] {
        int64_t last = 0;
        auto readOnce = [&] {
            for (const CCentralUpdate& update : Store().UpdatesAfter(owner.id, last)) {
                ++seen[update.memberId];
                last = update.timeStamp;
            }
        };
        while (writing.load())
            readOnce();
        readOnce();
    });
    AtOnce(kWriters, [&](int i) {
        const CZelXmlDocument answer = ListRequest(i, writers[i], {{"+cl", owner.email, owner.secureCode, true}});
        EXPECT_EQ(answer.RootElement().FindChild("Command").GetAttr("Status"), "OK");
    });
    writing = false;
    reader.join();

    ASSERT_EQ(seen.size(), static_cast<size_t>(kWriters));
    for (const User& writer : writers)
        EXPECT_EQ(seen[writer.id], 1) << writer.email;
}

} // namespace
