// The real velmo-central program: it says where it listens, serves the gateway's client, stops
// cleanly on SIGINT/SIGTERM, loses nothing it acknowledged even when killed, and changes a
// user's level offline.

#include "server/CCentralStore.h"

#include "CentralTestSupport.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>

using namespace centraltest;

namespace {

::testing::Environment* const kSockets = ::testing::AddGlobalTestEnvironment(new SocketsEnvironment);

const std::string kProgram = std::string(VELMO_BINARY_DIR) + "/bin/velmo-central";

// One run of the program with its standard output and error read through pipes.
class Program {
public:
    explicit Program(const std::vector<std::string>& args)
    {
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0)
            ADD_FAILURE() << "pipe";
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            close(out[0]), close(out[1]), close(err[0]), close(err[1]);
            std::vector<char*> argv{const_cast<char*>(kProgram.c_str())};
            for (const std::string& arg : args)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(kProgram.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }

    ~Program()
    {
        if (m_pid > 0 && !m_exited) {
            kill(m_pid, SIGKILL);
            Wait();
        }
        close(m_out);
        close(m_err);
    }

    // The next line of standard output, or "" when none comes within `seconds`.
    std::string ReadLine(int seconds = 60)
    {
        for (;;) {
            const size_t end = m_outText.find('\n');
            if (end != std::string::npos) {
                std::string line = m_outText.substr(0, end);
                m_outText.erase(0, end + 1);
                return line;
            }
            pollfd fd{m_out, POLLIN, 0};
            if (poll(&fd, 1, seconds * 1000) <= 0)
                return "";
            char buffer[4096];
            const ssize_t got = read(m_out, buffer, sizeof buffer);
            if (got <= 0)
                return "";
            m_outText.append(buffer, static_cast<size_t>(got));
        }
    }

    // The port of the "listening on" line.
    int ReadPort()
    {
        const std::string line = ReadLine();
        const std::string prefix = "velmo-central listening on 127.0.0.1:";
        EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
        return line.rfind(prefix, 0) == 0 ? std::stoi(line.substr(prefix.size())) : -1;
    }

    void Signal(int signal) { kill(m_pid, signal); }

    // The exit code, or 128 + the signal that ended it.
    int Wait()
    {
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_exited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string RestOfOutput() { return Drain(m_out, m_outText); }
    std::string Errors()
    {
        std::string text;
        return Drain(m_err, text);
    }

private:
    static std::string Drain(int fd, std::string& text)
    {
        char buffer[4096];
        ssize_t got;
        while ((got = read(fd, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<size_t>(got));
        return text;
    }

    pid_t m_pid = -1;
    bool m_exited = false;
    int m_out = -1, m_err = -1;
    std::string m_outText;
};

class CentralProgramTest : public ::testing::Test {
protected:
    std::vector<std::string> ServeArgs() const { return {"--listen", "127.0.0.1:0", "--db", m_dir.File("c.sqlite3")}; }

    TempDir m_dir;
    User m_alice{"alice@example.org", "CODEA", 1};
    User m_bob{"bob@example.org", "CODEB", 2};
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
