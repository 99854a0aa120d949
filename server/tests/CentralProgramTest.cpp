// The real velmo-central program: it says where it listens, serves the gateway's client, stops
// cleanly on SIGINT/SIGTERM, loses nothing it acknowledged even when killed, and changes a
// user's level offline.

#include "server/CCentralStore.h"

#include "foundation/testing/Eventually.h"
#include "testing/CentralTestSupport.h"
#include "testing/RawHttpPeer.h"
#include "testing/SocketsEnvironment.h"

#include <csignal>

using namespace centraltest;

namespace {

using Program = CentralProgram;

class CentralProgramTest : public ::testing::Test {
protected:
    std::vector<std::string> ServeArgs() const { return {"--listen", "127.0.0.1:0", "--db", m_dir.File("c.sqlite3")}; }

    TempDir m_dir;
    User m_alice = Alice();
    User m_bob = Bob();
};

TEST_F(CentralProgramTest, ServesTheClientAndStopsCleanlyOnEitherSignal)
{
    CZelServerKey key;
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        Program program(ServeArgs());
        const int port = program.ReadPort();
        ASSERT_GT(port, 0);
        Client client(port);
        if (signal == SIGTERM) {
            key = client.ServerKey();
            ASSERT_TRUE(key.IsComplete());
            ASSERT_TRUE(client.Register(m_alice));
        } else {
            // After the restart: the same key, and the account is still there.
            EXPECT_EQ(client.ServerKey().n, key.n);
            const auto answer = client.Register(RegistrationDocument(m_alice));
            ASSERT_TRUE(answer);
            EXPECT_EQ(answer->RootElement().GetAttr("Status"), "E-mail is already registered");
            EXPECT_EQ(client.Login(kRequestReqTimestamp, m_alice, {{1, MakeSessionKey()}}).size(), 1u);
        }
        client.Connection().Close();
        program.Signal(signal);
        EXPECT_EQ(program.Wait(), 0);
        EXPECT_NE(program.RestOfOutput().find("velmo-central stopped"), std::string::npos);
    }
}

TEST_F(CentralProgramTest, TheStopRequestLetsTheRequestInHandFinish)
{
    std::vector<std::string> args = ServeArgs();
    args.insert(args.end(), {"--drain", "600", "--transfer-window", "600"});
    Program program(args);
    const int port = program.ReadPort();
    ASSERT_GT(port, 0);
    RawPeer busy(port);
    const std::string body(Frame(kUnknownRequestType, "in hand").View());
    ASSERT_TRUE(busy.Send(HeadWaitingToContinue(body.size())));
    ASSERT_EQ(busy.ReadAnswer(), kContinueAnswer);

    program.Signal(SIGTERM);
    // Nobody new gets in, but the request under way is still answered, and then the program ends.
    EXPECT_TRUE(velmo_testing::Eventually([&] { return !RawPeer().Connect(port); }));
    ASSERT_TRUE(busy.Send(body));
    const RawPeer::Received all = busy.ReadUntilClosed();
    EXPECT_TRUE(all.closed);
    EXPECT_EQ(StatusLineOf(all.bytes), "HTTP/1.1 200 OK");
    EXPECT_NE(all.bytes.find("\r\nConnection: close\r\n"), std::string::npos);
    EXPECT_EQ(program.Wait(), 0);
    EXPECT_NE(program.RestOfOutput().find("velmo-central stopped"), std::string::npos);
}

TEST_F(CentralProgramTest, TheLimitsOnTheCommandLineAreTheServers)
{
    std::vector<std::string> args = ServeArgs();
    args.insert(args.end(), {"--max-connections-per-address", "1", "--max-body", "100"});
    Program program(args);
    const int port = program.ReadPort();
    ASSERT_GT(port, 0);
    RawPeer first(port);
    ASSERT_TRUE(first.Send(HonestPost(std::string(Frame(kUnknownRequestType, "x").View()))));
    ASSERT_EQ(StatusLineOf(first.ReadAnswer()), "HTTP/1.1 200 OK");
    // A second connection from the same address is closed unanswered; the first one's next
    // request is over the body limit.
    RawPeer second(port);
    EXPECT_EQ(second.ReadUntilClosed().bytes, "");
    ASSERT_TRUE(first.Send(HonestPost(std::string(101, 'b'))));
    EXPECT_EQ(StatusLineOf(first.ReadUntilClosed().bytes), "HTTP/1.1 413 Payload Too Large");
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
}

TEST_F(CentralProgramTest, AKilledServerKeepsWhatItAcknowledged)
{
    {
        Program program(ServeArgs());
        Client client(program.ReadPort());
        ASSERT_TRUE(client.Register(m_alice));
        ASSERT_TRUE(client.Register(m_bob));
        ASSERT_TRUE(client.LoginRun(m_bob));
        program.Signal(SIGKILL);
        EXPECT_EQ(program.Wait(), 128 + SIGKILL);
    }
    CCentralStore store(m_dir.File("c.sqlite3"));
    EXPECT_EQ(store.FindAccountByEmail("bob@example.org")->id, 2);
    EXPECT_EQ(store.SessionKey(2, kKeyNumAccountRun), m_bob.sessionKey);
}

TEST_F(CentralProgramTest, AdminSetLevelChangesAUserOffline)
{
    {
        Program program(ServeArgs());
        Client client(program.ReadPort());
        ASSERT_TRUE(client.Register(m_alice));
        ASSERT_TRUE(client.Register(m_bob));
        client.Connection().Close();
        program.Signal(SIGTERM);
        ASSERT_EQ(program.Wait(), 0);
    }
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string level, operated;
    } cases[] = {
        {{"admin", "set-level", "bob@example.org", "Administrator"}, 0, "Administrator", "Normal"},
        {{"admin", "set-level", "BOB@example.org", "Disabled"}, 0, "Disabled", "Disabled"},
        {{"admin", "set-level", "bob@example.org", "Restricted"}, 0, "Restricted", "Normal"},
        {{"admin", "set-level", "bob@example.org", "King"}, 2, "Restricted", "Normal"},
        {{"admin", "set-level", "nobody@example.org", "Authorized"}, 1, "Restricted", "Normal"},
        {{"admin", "set-level", "bob@example.org"}, 2, "Restricted", "Normal"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.args[2] + " " + (c.args.size() > 3 ? c.args[3] : ""));
        c.args.insert(c.args.end(), {"--db", m_dir.File("c.sqlite3")});
        Program program(c.args);
        EXPECT_EQ(program.Wait(), c.exitCode);
        if (c.exitCode != 0) {
            EXPECT_FALSE(program.Errors().empty());
        }
        CCentralStore store(m_dir.File("c.sqlite3"));
        const auto bob = store.FindAccount(2);
        EXPECT_EQ(bob->userLevel, c.level.c_str());
        EXPECT_EQ(bob->operatedStatus, c.operated.c_str());
    }
}

TEST_F(CentralProgramTest, UsageErrorsAndABusyPortAreReported)
{
    struct Case {
        std::vector<std::string> args;
        int exitCode;
    } cases[] = {
        {{"--listen", "nowhere"}, 2},
        {{"--listen", "127.0.0.1:70000"}, 2},
        {{"--db"}, 2},
        {{"--frobnicate"}, 2},
        {{"serve"}, 2},
        {{"--header-timeout", "0"}, 2},
        {{"--max-body", "-5"}, 2},
        {{"--max-connections", "ten"}, 2},
        {{"--workers"}, 2},
    };
    for (const Case& c : cases) {
        Program program(c.args);
        EXPECT_EQ(program.Wait(), c.exitCode);
        EXPECT_NE(program.Errors().find("usage: velmo-central"), std::string::npos);
    }

    Program first(ServeArgs());
    const int port = first.ReadPort();
    Program second({"--listen", "127.0.0.1:" + std::to_string(port), "--db", m_dir.File("d.sqlite3")});
    EXPECT_EQ(second.Wait(), 1);
    EXPECT_NE(second.Errors().find("cannot listen on 127.0.0.1:" + std::to_string(port)), std::string::npos);
}

} // namespace
