// The store on its own: what it keeps survives closing and reopening, its schema is versioned,
// and its rules (unique addresses, one list per correspondent, rising time stamps) hold.

#include "server/CCentralStore.h"

#include "CentralTestSupport.h"

#include <sqlite3.h>

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
        store->SetSessionKey(bob.id, 4, key);
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

TEST_F(CentralStoreTest, AFileThatIsNotADatabaseIsRefused)
{
    FILE* file = std::fopen(Path().c_str(), "wb");
    ASSERT_TRUE(file);
    std::fputs("this is not a database, just some text that is long enough to look like a header....", file);
    std::fclose(file);
    EXPECT_THROW(Open(), XCentralStoreError);
}

} // namespace
