// Moving a deployment from its SQLite file to PostgreSQL: a deployment filled through the real
// requests (users, lists, a message half fetched, an upload half done, an abuse report) is
// migrated with the `migrate` command and then served from the PostgreSQL database, where the
// users' keys, their mail and the rising ids and time stamps carry on as if nothing happened.
// And the migrations that must not happen: into a database that already holds a deployment,
// from a file that is not there, to something that is not PostgreSQL.

#include "foundation/CZelFile.h"
#include "server/CCentralCommand.h"
#include "server/CCentralHttpServer.h"
#include "server/CCentralMessages.h"
#include "server/CCentralServer.h"
#include "server/CCentralStore.h"
#include "server/CPostgresDb.h"
#include "testing/CentralServerFixture.h"
#include "testing/MailTestSupport.h"
#include "testing/SocketsEnvironment.h"
#include "testing/TestPostgres.h"

#include <memory>
#include <sstream>

using namespace mailtest;

namespace {

constexpr int64_t kDayMicroseconds = 24LL * 3600 * 1000000;

struct Keys {
    CZelString session = MakeSessionKey();
    CZelString outbox = MakeSessionKey();
    CZelString inbox = MakeSessionKey();
};

struct CommandResult {
    int exitCode;
    std::string out, err;
};

CommandResult RunCommand(std::vector<std::string> args)
{
    args.insert(args.begin(), "velmo-central");
    std::vector<const char*> argv;
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    std::ostringstream out, err;
    const int code = RunCentralCommand(ParseCentralCommandLine(static_cast<int>(argv.size()), argv.data()), out, err, [] {});
    return {code, out.str(), err.str()};
}

int64_t CountRows(const std::string& location, const char* table)
{
    CCentralStore store(location);
    CCentralStore::Hold hold(store);
    CStoreStatement statement = hold.Db().Prepare((std::string("SELECT COUNT(*) FROM ") + table).c_str());
    return statement.Step() ? statement.Int(0) : -1;
}

class CentralMigrateTest : public CentralServerFixture {
protected:
    std::string SqliteFile() const { return m_dir.File("central.sqlite3"); }

    void SendingHandshake(const User& user, const Keys& keys)
    {
        ASSERT_EQ(m_client->Login(kRequestReqTimestamp, user, {{kKeyNumSession, keys.session}, {kKeyNumOutbox, keys.outbox}})
                      .size(),
                  1u);
    }

    CZelXmlDocument Session(uint32_t type, const User& user, const Keys& keys, const char* attribute,
                            const CZelString& value, const char* attribute2 = nullptr, const CZelString& value2 = "")
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

    Recipient Lookup(const User& sender, const Keys& keys, const User& recipient)
    {
        CZelXmlDocument document;
        document.Create("doc", "Root");
        document.RootElement().SetAttr("Command", "ReqMsgId");
        document.RootElement().SetAttr("TimeStamp", "1");
        document.RootElement().SetAttr("rcpt", recipient.email.c_str());
        const auto answers = SealedRequest(kRequestReqMsgId, document, sender.id, kKeyNumSession, keys.session, m_client->Server(),
                                           m_client->Connection(), kHttpWriteTimeoutMs);
        EXPECT_EQ(answers.size(), 1u);
        const CZelXmlNode root = answers.empty() ? CZelXmlNode() : answers.front().RootElement();
        EXPECT_FALSE(root.GetAttr("MsgId").IsEmpty()) << root.GetAttr("ErrorMessage").ToStd();
        Recipient found{recipient.email, root.GetAttr("MsgId"), -1, root.GetAttr("n"), root.GetAttr("e")};
        found.userId = std::atoll(root.GetAttr("UserId").ToStd().c_str());
        return found;
    }

    // The POP3 side's PreLogin and the Seed request: the messages waiting and the deliveries.
    CZelXmlDocument Listing(const User& user, const Keys& keys)
    {
        const auto answers =
            m_client->Login(kRequestPreLogin, user, {{kKeyNumSession, keys.session}, {kKeyNumInbox, keys.inbox}});
        EXPECT_EQ(answers.size(), 1u);
        const CZelString seed = answers.empty() ? CZelString() : answers.front().RootElement().GetAttr("Seed");
        return Session(kRequestSeed, user, keys, "Seed", seed, "LastDeliveredTimeStamp", "0");
    }

    std::vector<std::string> Waiting(const User& user, const Keys& keys)
    {
        const CZelXmlDocument listed = Listing(user, keys);
        std::vector<std::string> ids;
        for (CZelXmlNode node = listed.RootElement().FindChild("Message"); !node.IsNull(); node = node.NextSameName())
            ids.push_back(node.GetAttr("MessageId").ToStd());
        return ids;
    }

    // The list changes announced to the user after `after`, and the time stamp of the last.
    std::pair<std::vector<std::string>, int64_t> UpdatesAfter(User& user, int64_t after)
    {
        user.sessionKey = MakeSessionKey();
        const auto answers = m_client->Login(kRequestReqTimestamp, user, {{kKeyNumAccountRun, user.sessionKey}}, after);
        if (answers.empty())
            return {{"no answer"}, 0};
        return {UpdateEntries(answers.front()), std::atoll(UpdatesAttr(answers.front(), "TimeStamp").c_str())};
    }

    static CZelString Text(int bytes)
    {
        CZelString text = "From: alice@example.org\r\nSubject: moving\r\n\r\n";
        for (int i = 0; text.Length() < bytes; ++i)
            text += Format("line %d of a message that moves house\r\n", i);
        return text.Left(bytes);
    }

    Keys m_aliceKeys, m_bobKeys, m_carolKeys;
};

TEST_F(CentralMigrateTest, TheDeploymentCarriesOnFromPostgres)
{
    StartServerAt(SqliteFile());
    for (User* user : {&m_alice, &m_bob, &m_carol})
        ASSERT_TRUE(m_client->Register(*user));
    MakeContacts(*m_client, m_bob, m_alice);
    MakeContacts(*m_client, m_carol, m_alice);
    const CZelServerKey serverKey = m_client->ServerKey();

    // One message to Bob and Carol: Bob fetches his copy and says so, Carol only its start.
    const CZelString text = Text(6000);
    SendingHandshake(m_alice, m_aliceKeys);
    const Recipient bob = Lookup(m_alice, m_aliceKeys, m_bob);
    const Recipient carol = Lookup(m_alice, m_aliceKeys, m_carol);
    const CZelString file = QueuedMessage(m_alice, kKeyNumOutbox, m_aliceKeys.outbox, {bob, carol}, text);
    ASSERT_EQ(UploadAll(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, 1000), "OK");
    ASSERT_EQ(Waiting(m_bob, m_bobKeys), std::vector<std::string>{bob.msgId.ToStd()});
    ASSERT_TRUE(OpenMessageData(FetchAll(*m_client, m_bob, kKeyNumInbox, m_bobKeys.inbox, bob.msgId, 1000),
                                m_bobKeys.inbox, m_bob, bob.msgId));
    ASSERT_EQ(Session(kRequestReceived, m_bob, m_bobKeys, "MessageId", bob.msgId).RootElement().GetAttr("Status"), "OK");
    ASSERT_EQ(Waiting(m_carol, m_carolKeys), std::vector<std::string>{carol.msgId.ToStd()});
    const FetchAnswer carolStart = FetchBlock(*m_client, m_carol, kKeyNumInbox, m_carolKeys.inbox, carol.msgId, 0, 1500);
    ASSERT_TRUE(carolStart.answered);
    // Bob reports it as spam; a second message to him stops after its first 2500 bytes.
    ASSERT_TRUE(m_client->LoginRun(m_bob));
    ASSERT_EQ(
        m_client->Sealed(kRequestAdministrative, m_bob, AdminDocument("AbuseReportSpam", "MessageId", bob.msgId.ToStd())).size(),
        1u);
    const Recipient bobAgain = Lookup(m_alice, m_aliceKeys, m_bob);
    const CZelString second = Text(4000);
    const CZelString unfinished = QueuedMessage(m_alice, kKeyNumOutbox, m_aliceKeys.outbox, {bobAgain}, second);
    ASSERT_EQ(UploadBlock(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, unfinished, 0, 2500).acks.back().second,
              2500);
    StopServer();

    // The old machine's clock ran a day ahead: the new database's stamps must still rise past it.
    int64_t ahead = 0;
    {
        CCentralStore store(SqliteFile());
        CCentralStore::Hold hold(store);
        hold.Db().Exec("UPDATE updates SET time_stamp = time_stamp + 86400000000 WHERE seq = (SELECT MAX(seq) FROM updates);"
                       "UPDATE messages SET created = created + 86400000000");
        CStoreStatement latest = hold.Db().Prepare("SELECT MAX(time_stamp), MAX(created) FROM updates, messages");
        ASSERT_TRUE(latest.Step());
        ahead = std::max(latest.Int(0), latest.Int(1));
    }

    const std::string uri = velmo_testing::FreshPostgresDatabase();
    const CommandResult migrated = RunCommand({"migrate", "--from", SqliteFile(), "--to", uri});
    ASSERT_EQ(migrated.exitCode, kCentralExitOk) << migrated.err;
    EXPECT_NE(migrated.out.find("accounts: 3 rows"), std::string::npos) << migrated.out;
    EXPECT_NE(migrated.out.find("message_recipients: 3 rows"), std::string::npos) << migrated.out;

    StartServerAt(uri);
    ASSERT_EQ(m_store->Engine(), CStoreEngine::Postgres);
    EXPECT_EQ(m_client->ServerKey().n, serverKey.n);
    // Alice's SMTP session key still opens her requests, and her upload goes on where it stopped.
    EXPECT_FALSE(Lookup(m_alice, m_aliceKeys, m_carol).msgId.IsEmpty());
    EXPECT_EQ(UploadBlock(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, unfinished, 0, 0).acks.back().second, 2500);
    EXPECT_EQ(UploadAll(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, unfinished, 1000), "OK");
    // Carol's copy continues from what she holds, the same bytes, and opens.
    const CZelString carolData = FetchAll(*m_client, m_carol, kKeyNumInbox, m_carolKeys.inbox, carol.msgId, 1000,
                                          carolStart.block, carolStart.total);
    const auto opened = OpenMessageData(carolData, m_carolKeys.inbox, m_carol, carol.msgId);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->text, text);
    // Bob's mail: the one he read until he deletes it, and the upload finished after the move.
    EXPECT_EQ(Waiting(m_bob, m_bobKeys), (std::vector<std::string>{bob.msgId.ToStd(), bobAgain.msgId.ToStd()}));
    const auto openedSecond = OpenMessageData(FetchAll(*m_client, m_bob, kKeyNumInbox, m_bobKeys.inbox, bobAgain.msgId, 1000),
                                              m_bobKeys.inbox, m_bob, bobAgain.msgId);
    ASSERT_TRUE(openedSecond);
    EXPECT_EQ(openedSecond->text, second);

    // Alice still sees that Bob got the first and reported it.
    const CZelXmlDocument delivered = Listing(m_alice, m_aliceKeys);
    const CZelXmlNode entry = delivered.RootElement().FindChild("Delivered");
    EXPECT_EQ(entry.GetAttr("MessageId"), bob.msgId);
    EXPECT_EQ(entry.GetAttr("AbuseReport"), "AbuseReportSpam");

    // A new user gets the next id; the list change she makes is stamped after everything before.
    User dave{"dave@example.org", "GGGG7777HHHH8888", 4};
    ASSERT_TRUE(m_client->Register(dave));
    EXPECT_EQ(dave.id, 4);
    EXPECT_EQ(UpdatesAfter(m_alice, 0).first.size(), 2u);
    MakeContacts(*m_client, dave, m_alice);
    const auto [entries, stamp] = UpdatesAfter(m_alice, ahead);
    EXPECT_EQ(entries, std::vector<std::string>{"+cl dave@example.org"});
    EXPECT_GT(stamp, ahead);
    CCentralStore::Hold hold(*m_store);
    EXPECT_GT(m_store->UniqueTimeStamp(), ahead);
}

TEST_F(CentralMigrateTest, ADatabaseHoldingADeploymentIsLeftAlone)
{
    StartServerAt(SqliteFile());
    ASSERT_TRUE(m_client->Register(m_alice));
    const std::string uri = velmo_testing::FreshPostgresDatabase();
    {
        // The program itself, as an operator runs it, while the server still serves the file.
        CentralProgram program({"migrate", "--from", SqliteFile(), "--to", uri});
        EXPECT_EQ(program.Wait(), 0) << program.Errors();
        EXPECT_NE(program.RestOfOutput().find("accounts: 1 rows"), std::string::npos);
    }
    ASSERT_TRUE(m_client->Register(m_bob));
    StopServer();
    CZelString key;
    {
        CCentralStore store(uri);
        key = store.ServerKey().n;
    }
    const CommandResult again = RunCommand({"migrate", "--from", SqliteFile(), "--to", uri});
    EXPECT_EQ(again.exitCode, kCentralExitFailure);
    EXPECT_NE(again.err.find("velmo-central: migrate refused: the target database already holds"), std::string::npos)
        << again.err;
    EXPECT_EQ(CountRows(uri, "accounts"), 1);
    CCentralStore store(uri);
    EXPECT_EQ(store.ServerKey().n, key);
}

// A value the SQLite file holds that PostgreSQL cannot: the migration stops with the place
// named, and the database holds none of the rows copied before it.
struct OddValue {
    const char* name;
    const char* sql;
    const char* error;
};

void PrintTo(const OddValue& odd, std::ostream* out)
{
    *out << odd.name;
}

class CentralMigrateOddValueTest : public CentralMigrateTest, public ::testing::WithParamInterface<OddValue> {};

TEST_P(CentralMigrateOddValueTest, StopsTheMigrationWhole)
{
    StartServerAt(SqliteFile());
    ASSERT_TRUE(m_client->Register(m_alice));
    ASSERT_TRUE(m_client->Register(m_bob));
    StopServer();
    {
        CCentralStore store(SqliteFile());
        CCentralStore::Hold hold(store);
        hold.Db().Exec(GetParam().sql);
    }
    const std::string uri = velmo_testing::FreshPostgresDatabase();
    const CommandResult result = RunCommand({"migrate", "--from", SqliteFile(), "--to", uri});
    EXPECT_EQ(result.exitCode, kCentralExitFailure);
    EXPECT_NE(result.err.find(GetParam().error), std::string::npos) << result.err;
    EXPECT_EQ(CountRows(uri, "accounts"), 0);
    // Mended, the file migrates.
    {
        CCentralStore store(SqliteFile());
        CCentralStore::Hold hold(store);
        hold.Db().Exec("DELETE FROM code_failures; UPDATE accounts SET operated_status = 'Normal'");
    }
    EXPECT_EQ(RunCommand({"migrate", "--from", SqliteFile(), "--to", uri}).exitCode, kCentralExitOk);
    EXPECT_EQ(CountRows(uri, "accounts"), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Values, CentralMigrateOddValueTest,
    ::testing::Values(
        OddValue{"TextNotUtf8", "UPDATE accounts SET operated_status = CAST(x'ff41' AS TEXT) WHERE id = 2",
                 "velmo-central: accounts.operated_status of row 2 holds bytes PostgreSQL cannot keep as text"},
        OddValue{"WordForANumber", "INSERT INTO code_failures (caller_id, target_id, time) VALUES (1, 2, 'soon')",
                 "velmo-central: code_failures.time of row 1 holds \"soon\" where a number belongs"}),
    [](const auto& info) { return std::string(info.param.name); });

struct BadMigration {
    const char* name;
    std::vector<std::string> args;   // FROM and TO stand for the test's file and database
    int exitCode;
    const char* error;
};

void PrintTo(const BadMigration& bad, std::ostream* out)
{
    *out << bad.name;
}

class CentralMigrateRefusalTest : public ::testing::TestWithParam<BadMigration> {
protected:
    TempDir m_dir;
};

TEST_P(CentralMigrateRefusalTest, NothingIsCreatedOrWritten)
{
    const std::string missing = m_dir.File("missing.sqlite3");
    const std::string uri = velmo_testing::FreshPostgresDatabase();
    std::vector<std::string> args = GetParam().args;
    for (std::string& arg : args)
        arg = arg == "FROM" ? missing : arg == "TO" ? uri : arg == "FILE_TO" ? m_dir.File("to.sqlite3") : arg;
    const CommandResult result = RunCommand(args);
    EXPECT_EQ(result.exitCode, GetParam().exitCode);
    EXPECT_NE(result.err.find(GetParam().error), std::string::npos) << result.err;
    EXPECT_FALSE(CZelFile::FileExists(CZelString(missing.c_str())));
    EXPECT_FALSE(CZelFile::FileExists(CZelString(m_dir.File("to.sqlite3").c_str())));
    // The database was not even given tables.
    CPostgresDb db(uri);
    CStoreStatement tables =
        db.Prepare("SELECT COUNT(*) FROM information_schema.tables WHERE table_schema = current_schema()");
    ASSERT_TRUE(tables.Step());
    EXPECT_EQ(tables.Int(0), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CentralMigrateRefusalTest,
    ::testing::Values(
        BadMigration{"MissingSource", {"migrate", "--from", "FROM", "--to", "TO"}, kCentralExitFailure,
                     "velmo-central: migrate refused: no SQLite file"},
        BadMigration{"TargetNotPostgres", {"migrate", "--from", "FROM", "--to", "FILE_TO"}, kCentralExitUsage,
                     "velmo-central: --to wants a PostgreSQL URI"},
        BadMigration{"NoTarget", {"migrate", "--from", "FROM"}, kCentralExitUsage,
                     "velmo-central: migrate needs --from FILE and --to"},
        BadMigration{"OptionsWithoutMigrate", {"--from", "FROM", "--to", "TO"}, kCentralExitUsage,
                     "velmo-central: --from and --to belong to migrate"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
