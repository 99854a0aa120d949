// The store on its own: what it keeps survives closing and reopening, its schema is versioned,
// and its rules (unique addresses, one list per correspondent, rising time stamps) hold.

#include "server/CCentralStore.h"

#include "testing/CentralTestSupport.h"

#include <sqlite3.h>

#include <array>
#include <chrono>
#include <vector>

using namespace centraltest;

namespace {

CCentralAccount NewAccount(const char* email, int keyIndex)
{
    CCentralAccount account;
    account.email = email;
    account.n = UserKeys(keyIndex).n;
    account.e = UserKeys(keyIndex).e;
    account.name = "Name";
    account.unicodeName = CZelString("N\0\0\0", 4);
    account.secureCode = "CODE";
    return account;
}

int64_t Now()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

class CentralStoreTest : public ::testing::Test {
protected:
    std::string Path() const { return m_dir.File("central.sqlite3"); }
    std::unique_ptr<CCentralStore> Open() { return std::make_unique<CCentralStore>(Path(), 64); }

    TempDir m_dir;
};

TEST_F(CentralStoreTest, ReopenKeepsEverything)
{
    CCentralServerKey serverKey;
    int64_t lastUpdate = 0;
    const CZelString key = MakeSessionKey();
    {
        auto store = Open();
        serverKey = store->ServerKey();
        EXPECT_EQ(serverKey.n.Length(), 64);
        CCentralStore::Transaction transaction(*store);
        CCentralAccount alice = NewAccount("alice@example.org", 1);
        CCentralAccount bob = NewAccount("bob@example.org", 2);
        store->AddAccount(alice);
        store->AddAccount(bob);
        store->AddSessionKey(bob.id, 4, key, Now());
        store->SetSeed(bob.id, "SEED", 1234);
        store->PutOnList(alice.id, bob.id, CCentralList::Black);
        lastUpdate = store->AddUpdate(alice.id, "+bl", bob);
        store->SetStanding(bob.id, "Restricted", "Normal");
        transaction.Commit();
    }
    auto store = Open();
    EXPECT_EQ(store->SchemaVersion(), CCentralStore::kSchemaVersion);
    EXPECT_EQ(store->ServerKey().n, serverKey.n);
    EXPECT_EQ(store->ServerKey().d, serverKey.d);
    const auto bob = store->FindAccountByEmail("bob@example.org");
    ASSERT_TRUE(bob);
    EXPECT_EQ(bob->id, 2);
    EXPECT_EQ(bob->userLevel, "Restricted");
    EXPECT_EQ(bob->unicodeName, CZelString("N\0\0\0", 4));
    EXPECT_EQ(bob->n, UserKeys(2).n);
    EXPECT_EQ(store->FindAccount(1)->userLevel, "Administrator");
    EXPECT_EQ(store->SessionKey(2, 4), key);
    EXPECT_EQ(store->Seed(2)->first, "SEED");
    EXPECT_EQ(store->ListOf(1, 2), CCentralList::Black);
    const auto updates = store->UpdatesAfter(1, 0);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].timeStamp, lastUpdate);
    EXPECT_EQ(updates[0].email, "bob@example.org");
    // Time stamps keep rising after a restart, whatever the clock says.
    EXPECT_GT(store->NextTimeStamp(), lastUpdate);
}

TEST_F(CentralStoreTest, AWriteWithoutCommitIsRolledBack)
{
    {
        auto store = Open();
        CCentralStore::Transaction transaction(*store);
        CCentralAccount alice = NewAccount("alice@example.org", 1);
        store->AddAccount(alice);
    }
    auto store = Open();
    EXPECT_FALSE(store->FindAccount(1));
}

TEST_F(CentralStoreTest, AddressesAreUniqueInAnyCase)
{
    auto store = Open();
    CCentralStore::Transaction transaction(*store);
    CCentralAccount alice = NewAccount("alice@example.org", 1);
    store->AddAccount(alice);
    EXPECT_EQ(store->FindAccountByEmail("ALICE@example.ORG")->id, alice.id);
    CCentralAccount twin = NewAccount("Alice@Example.org", 2);
    EXPECT_THROW(store->AddAccount(twin), XCentralStoreError);
}

TEST_F(CentralStoreTest, ACorrespondentStandsOnOneListOnly)
{
    auto store = Open();
    CCentralStore::Transaction transaction(*store);
    CCentralAccount alice = NewAccount("alice@example.org", 1);
    CCentralAccount bob = NewAccount("bob@example.org", 2);
    store->AddAccount(alice);
    store->AddAccount(bob);
    store->PutOnList(alice.id, bob.id, CCentralList::Contact);
    store->PutOnList(alice.id, bob.id, CCentralList::Black);
    EXPECT_EQ(store->ListOf(alice.id, bob.id), CCentralList::Black);
    store->TakeOffList(alice.id, bob.id);
    EXPECT_EQ(store->ListOf(alice.id, bob.id), CCentralList::None);
}

// Session keys of one (account, key number): the recent ones stay, newest first.
class CentralStoreKeyRingTest : public CentralStoreTest {
protected:
    void SetUp() override
    {
        m_store = Open();
        m_transaction = std::make_unique<CCentralStore::Transaction>(*m_store);
        CCentralAccount alice = NewAccount("alice@example.org", 1);
        m_id = m_store->AddAccount(alice);
        for (CZelString& key : m_keys)
            key = MakeSessionKey();
    }

    std::vector<CZelString> Keys(int64_t now, uint32_t number = 1) { return m_store->SessionKeys(m_id, number, now); }
    // The indexes into m_keys of the live keys, in the order given.
    std::vector<int> Live(int64_t now, uint32_t number = 1)
    {
        std::vector<int> live;
        for (const CZelString& key : Keys(now, number))
            for (int i = 0; i < static_cast<int>(m_keys.size()); ++i)
                if (m_keys[i] == key)
                    live.push_back(i);
        return live;
    }

    static constexpr int64_t kDay = 24LL * 3600 * 1000000;
    static constexpr int64_t kStart = 1700000000LL * 1000000;
    std::unique_ptr<CCentralStore> m_store;
    std::unique_ptr<CCentralStore::Transaction> m_transaction;
    int64_t m_id = -1;
    std::array<CZelString, 10> m_keys;
};

TEST_F(CentralStoreKeyRingTest, KeepsTheEightMostRecentlyUsedNewestFirst)
{
    for (int i = 0; i < 8; ++i)
        m_store->AddSessionKey(m_id, 1, m_keys[i], kStart + i);
    EXPECT_EQ(Live(kStart + 8), (std::vector<int>{7, 6, 5, 4, 3, 2, 1, 0}));
    // Key 0 opens a request, so key 1 is now the one used longest ago and goes for key 8.
    m_store->TouchSessionKey(m_id, 1, m_keys[0], kStart + 8);
    m_store->AddSessionKey(m_id, 1, m_keys[8], kStart + 9);
    EXPECT_EQ(Live(kStart + 9), (std::vector<int>{8, 0, 7, 6, 5, 4, 3, 2}));
    // Handing over a key that is there already takes no room of its own.
    m_store->AddSessionKey(m_id, 1, m_keys[5], kStart + 10);
    EXPECT_EQ(Live(kStart + 10), (std::vector<int>{5, 8, 0, 7, 6, 4, 3, 2}));
    // Another number keeps its own keys.
    m_store->AddSessionKey(m_id, 3, m_keys[9], kStart + 11);
    EXPECT_EQ(Live(kStart + 11, 3), std::vector<int>{9});
    EXPECT_EQ(Live(kStart + 11, 1).size(), 8u);
}

TEST_F(CentralStoreKeyRingTest, AKeyExpiresThirtyDaysAfterItsLastUse)
{
    m_store->AddSessionKey(m_id, 3, m_keys[0], kStart);
    m_store->AddSessionKey(m_id, 3, m_keys[1], kStart);
    m_store->TouchSessionKey(m_id, 3, m_keys[1], kStart + 20 * kDay);
    struct Case {
        int64_t at;
        std::vector<int> live;
    } cases[] = {
        {kStart + 30 * kDay - 1, {1, 0}},
        {kStart + 30 * kDay, {1}},
        {kStart + 50 * kDay - 1, {1}},
        {kStart + 50 * kDay, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Live(c.at, 3), c.live) << (c.at - kStart) / kDay << " days";
    // A login after the expiry clears the dead keys out of the table as well.
    m_store->AddSessionKey(m_id, 1, m_keys[2], kStart + 60 * kDay);
    CCentralStore::Hold hold(*m_store);
    CStoreStatement count = hold.Db().Prepare("SELECT COUNT(*) FROM session_key_ring");
    ASSERT_TRUE(count.Step());
    EXPECT_EQ(count.Int(0), 1);
}

TEST_F(CentralStoreTest, ADatabaseOfTheFirstVersionIsMigratedWithItsKeys)
{
    const CZelString outbox = MakeSessionKey();
    {
        auto store = Open();
        CCentralStore::Transaction transaction(*store);
        CCentralAccount alice = NewAccount("alice@example.org", 1);
        store->AddAccount(alice);
        transaction.Commit();
    }
    // Back to the tables of version 1: one key per account and key number.
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
        const char* downgrade =
            "DROP TABLE session_key_ring;"
            "CREATE TABLE session_keys (account_id INTEGER NOT NULL REFERENCES accounts(id),"
            "  key_number INTEGER NOT NULL, key BLOB NOT NULL, PRIMARY KEY (account_id, key_number));"
            "UPDATE schema_version SET version = 1;";
        ASSERT_EQ(sqlite3_exec(db, downgrade, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_stmt* insert = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, "INSERT INTO session_keys VALUES (1, 3, ?)", -1, &insert, nullptr), SQLITE_OK);
        sqlite3_bind_blob(insert, 1, outbox.Ptr(), outbox.Length(), SQLITE_TRANSIENT);
        ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
        sqlite3_finalize(insert);
        sqlite3_close(db);
    }
    auto store = Open();
    EXPECT_EQ(store->SchemaVersion(), CCentralStore::kSchemaVersion);
    EXPECT_EQ(store->FindAccount(1)->email, "alice@example.org");
    EXPECT_EQ(store->SessionKeys(1, 3, Now()), std::vector<CZelString>{outbox});
    // The migrated key counts as used at the migration, and new keys join it.
    const CZelString session = MakeSessionKey();
    CCentralStore::Transaction transaction(*store);
    store->AddSessionKey(1, 3, session, Now());
    EXPECT_EQ(store->SessionKeys(1, 3, Now()), (std::vector<CZelString>{session, outbox}));
    EXPECT_TRUE(store->SessionKeys(1, 3, Now() + CCentralStore::kSessionKeyLifetimeMicroseconds + 1000000).empty());
}

TEST_F(CentralStoreTest, DatabaseIsInWalModeWithASchemaVersion)
{
    Open();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &statement, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)), "wal");
    sqlite3_finalize(statement);
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT version FROM schema_version", -1, &statement, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(statement, 0), CCentralStore::kSchemaVersion);
    sqlite3_finalize(statement);
    sqlite3_close(db);
}

TEST_F(CentralStoreTest, ANewerSchemaIsRefusedAndLeftAlone)
{
    Open();
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "UPDATE schema_version SET version = 99", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    try {
        Open();
        ADD_FAILURE() << "opened a newer database";
    } catch (const XCentralStoreError& error) {
        EXPECT_NE(std::string(error.what()).find("99"), std::string::npos);
    }
}

// The program before the third version made the message and guard tables itself on every
// start: the step to version 3 finds them there, with their rows, and keeps them.
TEST_F(CentralStoreTest, ASecondVersionDatabaseWithItsOwnTablesReachesTheThirdWhole)
{
    {
        auto store = Open();
        CCentralStore::Transaction transaction(*store);
        CCentralAccount alice = NewAccount("alice@example.org", 1);
        store->AddAccount(alice);
        store->Db().Prepare("INSERT INTO code_blocks (caller_id, target_id, until) VALUES (1, 2, 3)").Run();
        transaction.Commit();
    }
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "UPDATE schema_version SET version = 2", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    auto store = Open();
    EXPECT_EQ(store->SchemaVersion(), CCentralStore::kSchemaVersion);
    EXPECT_TRUE(store->FindAccountByEmail("ALICE@example.org"));
    CCentralStore::Hold hold(*store);
    CStoreStatement blocks = hold.Db().Prepare("SELECT until FROM code_blocks WHERE caller_id = 1");
    ASSERT_TRUE(blocks.Step());
    EXPECT_EQ(blocks.Int(0), 3);
}

TEST_F(CentralStoreTest, AFileThatIsNotADatabaseIsRefused)
{
    FILE* file = std::fopen(Path().c_str(), "wb");
    ASSERT_TRUE(file);
    std::fputs("this is not a database, just some text that is long enough to look like a header....", file);
    std::fclose(file);
    EXPECT_THROW(Open(), XCentralStoreError);
}

} // namespace
