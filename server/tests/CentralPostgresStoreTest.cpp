// The store on a PostgreSQL database: its schema is versioned there too, instances opening one
// database at once take turns, a transaction that loses a race runs again, and bytes the
// database cannot hold as text are an answer ("no such account"), not a failure.

#include "server/CCentralSchema.h"
#include "server/CCentralStore.h"
#include "server/CPostgresDb.h"

#include "testing/CentralTestSupport.h"
#include "testing/TestPostgres.h"

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace centraltest;

namespace {

class CentralPostgresStoreTest : public ::testing::Test {
protected:
    std::unique_ptr<CCentralStore> Open() { return std::make_unique<CCentralStore>(m_location, 64); }

    std::string m_location = velmo_testing::FreshPostgresDatabase();
};

TEST_F(CentralPostgresStoreTest, ANewDatabaseGetsTheCurrentSchemaAndKeepsWhatIsWritten)
{
    int64_t id = -1;
    CCentralServerKey key;
    {
        auto store = Open();
        EXPECT_EQ(store->Engine(), CStoreEngine::Postgres);
        EXPECT_EQ(store->SchemaVersion(), CCentralStore::kSchemaVersion);
        key = store->ServerKey();
        CCentralAccount account;
        account.email = "Alice@Example.org";
        account.n = UserKeys(1).n;
        account.e = UserKeys(1).e;
        account.unicodeName = CZelString("A\0\0\0", 4);
        id = store->Atomically([&](CCentralStore::Transaction& transaction) {
            const int64_t added = store->AddAccount(account);
            transaction.Commit();
            return added;
        });
    }
    auto store = Open();
    EXPECT_EQ(store->ServerKey().n, key.n);
    EXPECT_EQ(store->ServerKey().d, key.d);
    const auto alice = store->FindAccountByEmail("alice@EXAMPLE.org");
    ASSERT_TRUE(alice);
    EXPECT_EQ(alice->id, id);
    EXPECT_EQ(alice->unicodeName, CZelString("A\0\0\0", 4));
}

TEST_F(CentralPostgresStoreTest, ANewerSchemaIsRefused)
{
    Open();
    {
        CPostgresDb db(m_location);
        db.Exec("UPDATE schema_version SET version = 99");
    }
    try {
        Open();
        ADD_FAILURE() << "opened a newer database";
    } catch (const XCentralStoreError& error) {
        EXPECT_NE(std::string(error.what()).find("99"), std::string::npos);
    }
}

TEST_F(CentralPostgresStoreTest, InstancesOpeningANewDatabaseAtOnceShareOneKey)
{
    constexpr int kInstances = 4;
    std::vector<std::unique_ptr<CCentralStore>> stores(kInstances);
    std::vector<std::thread> threads;
    for (int i = 0; i < kInstances; ++i)
        threads.emplace_back([&, i] { stores[i] = Open(); });
    for (std::thread& thread : threads)
        thread.join();
    for (const auto& store : stores) {
        ASSERT_TRUE(store);
        EXPECT_EQ(store->ServerKey().n, stores[0]->ServerKey().n);
    }
    CCentralStore::Hold hold(*stores[0]);
    CStoreStatement count = hold.Db().Prepare("SELECT COUNT(*) FROM server_key");
    ASSERT_TRUE(count.Step());
    EXPECT_EQ(count.Int(0), 1);
}

// Two read-then-write transactions on one row at once: SERIALIZABLE lets one of them commit
// and fails the other, which then runs again and sees the first one's write.
TEST_F(CentralPostgresStoreTest, ATransactionThatLosesARaceRunsAgain)
{
    auto first = Open();
    auto second = Open();
    {
        CCentralStore::Hold hold(*first);
        hold.Db().Exec("CREATE TABLE counter (value BIGINT NOT NULL); INSERT INTO counter VALUES (0)");
    }
    std::atomic<int> runs{0}, inside{0};
    auto increment = [&](CCentralStore& store) {
        store.Atomically([&](CCentralStore::Transaction& transaction) {
            ++runs;
            CStoreStatement read = store.Db().Prepare("SELECT value FROM counter");
            EXPECT_TRUE(read.Step());
            const int64_t value = read.Int(0);
            // Both read before either writes.
            ++inside;
            for (int spin = 0; spin < 2000 && inside.load() < 2; ++spin)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            store.Db().Prepare("UPDATE counter SET value = ?").Bind(1, value + 1).Run();
            transaction.Commit();
        });
    };
    std::thread a([&] { increment(*first); });
    std::thread b([&] { increment(*second); });
    a.join();
    b.join();
    CCentralStore::Hold hold(*first);
    CStoreStatement value = hold.Db().Prepare("SELECT value FROM counter");
    ASSERT_TRUE(value.Step());
    EXPECT_EQ(value.Int(0), 2);
    EXPECT_GE(runs.load(), 3);
}

TEST_F(CentralPostgresStoreTest, AnAddressNoTextColumnCanHoldFindsNoAccount)
{
    auto store = Open();
    for (const CZelString& address : {CZelString("a\0b@example.org", 15), CZelString("\xC3\x28@example.org"),
                                      CZelString("\xFF@example.org")}) {
        EXPECT_FALSE(store->FindAccountByEmail(address));
    }
}

} // namespace
