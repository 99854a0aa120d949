// The POP3 listener on real loopback sockets: sessions side by side, the busy account, clients
// that idle, babble or vanish while an honest one is served, the stop request, and the ports
// it refuses.

#include "pop3/CPop3Server.h"

#include "core/CAccountChangeFlags.h"
#include "core/CProtocolListData.h"
#include "core/CZelStartServerThread.h"
#include "core/testing/LogLines.h"
#include "foundation/testing/Eventually.h"
#include "foundation/testing/FreePort.h"
#include "foundation/testing/TempDir.h"
#include "net/CZelTcpFile.h"
#include "pop3/CPop3BusyAccounts.h"
#include "pop3/tests/ScriptedPop3Desk.h"
#include "protocol/ZelPop3Texts.h"
#include "testing/SocketsEnvironment.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using pop3_testing::Pop3DeskRecord;
using pop3_testing::ScriptedPop3Desk;
using velmo_testing::Eventually;

namespace {

const std::string kLocked = "+OK mailbox locked and ready\r\n";
const std::string kBusy = "-ERR [IN-USE] Account is busy\r\n";
const std::string kBye = "+OK Goodbye\r\n";

// A mail client on a real loopback connection.
class Client {
public:
    explicit Client(int port) : m_file(EErrorMode::Throw) { m_file.Open("127.0.0.1", port); }

    // The next line; empty once the server has closed the connection.
    std::string Line()
    {
        std::vector<char> buffer(1 << 16);
        try {
            const int count = m_file.ReadUntil(buffer.data(), static_cast<int>(buffer.size()), 60000, "\r\n");
            return count > 0 ? std::string(buffer.data(), static_cast<size_t>(count)) : std::string();
        } catch (const XTOOBaseError&) {
            return std::string();
        }
    }
    // Lines up to and including the end mark of a multi-line answer.
    std::string Answer()
    {
        std::string all;
        for (std::string line = Line(); !line.empty(); line = Line()) {
            all += line;
            if (line == ".\r\n")
                break;
        }
        return all;
    }
    // False when the server has gone (a client that babbles may be cut off mid-sentence).
    bool Send(const std::string& text)
    {
        try {
            return m_file.Write(CZelString(std::string_view(text)), 60000) == static_cast<int>(text.size());
        } catch (const XTOOBaseError&) {
            return false;
        }
    }
    // Logs in; the reply to PASS.
    std::string LogIn(const std::string& user, const std::string& password)
    {
        Send("USER " + user + "\r\n");
        const std::string reply = Line();
        if (reply.rfind("+OK", 0) != 0)
            return reply;
        Send("PASS " + password + "\r\n");
        return Line();
    }
    void Close() { m_file.Close(); }

private:
    CZelTcpFile m_file;
};

class Pop3ServerTest : public velmo_testing::TempHomeTest {
protected:
    void SetUp() override
    {
        WriteText("00000001.xml", "<Root Login=\"ann\" Password=\"secret\" Id=\"1\"/>");
        WriteText("00000002.xml", "<Root Login=\"bob\" Password=\"other\" Id=\"2\"/>");
        std::filesystem::create_directories("Accounts/00000001");
        std::filesystem::create_directories("Accounts/00000002");
        WriteText("Accounts/00000001/1.msg", "Subject: for ann\r\n\r\nfirst\r\n");
        WriteText("Accounts/00000001/1.id", "1.1");
        WriteText("Accounts/00000001/2.msg", "Subject: for ann\r\n\r\nsecond\r\n");
        WriteText("Accounts/00000001/2.id", "1.2");
        WriteText("Accounts/00000002/1.msg", "Subject: for bob\r\n\r\n.dot\r\n");
        WriteText("Accounts/00000002/1.id", "2.1");
        CZelStartServerThread::SetErrorSink([this](const CZelString& text) {
            std::lock_guard<std::mutex> hold(m_mutex);
            m_reported.push_back(text.ToStd());
        });
    }
    void TearDown() override
    {
        if (m_server) {
            EXPECT_TRUE(m_server->StopAndWait(10000));
        }
        CZelStartServerThread::SetBody(CZelStartServerThread::kModePop3Server, {});
        CZelStartServerThread::SetErrorSink({});
        CAccountChangeFlags::Global().Drain();
    }

    int StartServer()
    {
        const int port = velmo_testing::FreePort();
        CZelStartServerThread::SetBody(CZelStartServerThread::kModePop3Server, [this](CZelStartServerThread& self) {
            RunPop3Server(self.Port(), self, [this] { return std::make_unique<ScriptedPop3Desk>(m_record); }, m_log);
        });
        m_server = std::make_unique<CZelStartServerThread>(CZelStartServerThread::kModePop3Server, port);
        EXPECT_TRUE(m_server->Start());
        EXPECT_TRUE(Eventually([&] { return LogHas("Accepting connection to a port " + std::to_string(port)); }))
            << m_log.SaveText().ToStd();
        return port;
    }

    bool LogHas(const std::string& text) const { return velmo_testing::LogContains(m_log, text); }

    std::vector<std::string> Reported()
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_reported;
    }

    CProtocolListData m_log;
    std::shared_ptr<Pop3DeskRecord> m_record = std::make_shared<Pop3DeskRecord>();
    std::unique_ptr<CZelStartServerThread> m_server;
    std::mutex m_mutex;
    std::vector<std::string> m_reported;
};

TEST_F(Pop3ServerTest, TwoAccountsAreServedAtTheSameTime)
{
    const int port = StartServer();
    Client ann(port);
    Client bob(port);
    EXPECT_EQ(ann.Line().rfind("+OK Tandrill POP3 secure mail server at ", 0), 0u);
    EXPECT_EQ(bob.Line().rfind("+OK Tandrill POP3 secure mail server at ", 0), 0u);
    EXPECT_EQ(ann.LogIn("ann", "secret"), kLocked);
    EXPECT_EQ(bob.LogIn("bob", "other"), kLocked);
    ann.Send("STAT\r\n");
    bob.Send("STAT\r\n");
    EXPECT_EQ(bob.Line(), "+OK 1 26\r\n");
    EXPECT_EQ(ann.Line(), "+OK 2 55\r\n");
    bob.Send("RETR 1\r\nQUIT\r\n");
    EXPECT_EQ(bob.Answer(), "+OK 27 bytes\r\nSubject: for bob\r\n\r\n..dot\r\n.\r\n");
    EXPECT_EQ(bob.Line(), kBye);
    EXPECT_EQ(bob.Line(), "");   // closed
    ann.Send("QUIT\r\n");
    EXPECT_EQ(ann.Line(), kBye);
    EXPECT_TRUE(Eventually([&] { return !CPop3BusyAccounts::IsBusy(1) && !CPop3BusyAccounts::IsBusy(2); }));
    EXPECT_EQ(m_record->Count("login"), 2u);
    EXPECT_EQ(m_record->Count("received 2.1"), 1u);
}

// A client that announces nothing and sends its whole login and every command in one write,
// as PIPELINING allows, gets every answer whole and in order.
TEST_F(Pop3ServerTest, PipelinedCommandsInOneWriteAreAnsweredWholeAndInOrder)
{
    const int port = StartServer();
    Client ann(port);
    ann.Line();
    ASSERT_TRUE(ann.Send("CAPA\r\nUSER ann\r\nPASS secret\r\nLIST\r\nUIDL\r\nRETR 1\r\nRETR 2\r\nDELE 1\r\nQUIT\r\n"));
    EXPECT_NE(ann.Answer().find("\r\nPIPELINING\r\n"), std::string::npos);
    EXPECT_EQ(ann.Line(), "+OK user name is valid, need password\r\n");
    EXPECT_EQ(ann.Line(), kLocked);
    EXPECT_EQ(ann.Answer(), "+OK 2 55\r\n1 27\r\n2 28\r\n.\r\n");
    EXPECT_EQ(ann.Answer(), "+OK\r\n1 1.1\r\n2 1.2\r\n.\r\n");
    EXPECT_EQ(ann.Answer(), "+OK 27 bytes\r\nSubject: for ann\r\n\r\nfirst\r\n.\r\n");
    EXPECT_EQ(ann.Answer(), "+OK 28 bytes\r\nSubject: for ann\r\n\r\nsecond\r\n.\r\n");
    EXPECT_EQ(ann.Line(), "+OK message 1 is marked for deleting\r\n");
    EXPECT_EQ(ann.Line(), kBye);
    EXPECT_EQ(ann.Line(), "");   // closed
    EXPECT_EQ(m_record->Count("remove 1"), 1u);
}

TEST_F(Pop3ServerTest, SecondSessionOfAnAccountIsBusyUntilTheFirstEnds)
{
    const int port = StartServer();
    Client first(port);
    first.Line();
    EXPECT_EQ(first.LogIn("ann", "secret"), kLocked);
    {
        Client second(port);
        second.Line();
        EXPECT_EQ(second.LogIn("ann", "secret"), kBusy);
        EXPECT_EQ(second.Line(), "");   // and closed
    }
    first.Send("QUIT\r\n");
    EXPECT_EQ(first.Line(), kBye);
    // The account is given back before the goodbye, so a client that logs in again the moment
    // it hears it is not refused.
    Client next(port);
    next.Line();
    EXPECT_EQ(next.LogIn("ann", "secret"), kLocked);
    EXPECT_EQ(m_record->Count("login"), 2u);
}

TEST_F(Pop3ServerTest, HostileClientsDoNotKeepAnHonestOneWaiting)
{
    // A message big enough that the socket buffers cannot take it while its reader vanishes.
    WriteText("Accounts/00000001/3.msg", std::string(16 << 20, 'x') + "\r\n");
    WriteText("Accounts/00000001/3.id", "1.3");
    const int port = StartServer();

    Client idle(port);   // connects and never says a word
    Client garbage(port);
    garbage.Line();
    garbage.Send(std::string("\x00\xff\x80garbage\r\n\r\n", 13));
    Client babbler(port);
    babbler.Line();
    babbler.Send(std::string(1 << 20, 'A'));   // a 1 MB line
    Client vanishing(port);
    vanishing.Line();
    EXPECT_EQ(vanishing.LogIn("ann", "secret"), kLocked);
    vanishing.Send("RETR 3\r\n");
    EXPECT_EQ(vanishing.Line(), "+OK " + std::to_string((16 << 20) + 2) + " bytes\r\n");
    vanishing.Close();

    Client honest(port);
    EXPECT_EQ(honest.Line().rfind("+OK Tandrill", 0), 0u);
    EXPECT_EQ(honest.LogIn("bob", "other"), kLocked);
    honest.Send("LIST\r\nUIDL\r\nQUIT\r\n");
    EXPECT_EQ(honest.Answer(), "+OK 1 26\r\n1 26\r\n.\r\n");
    EXPECT_EQ(honest.Answer(), "+OK\r\n1 2.1\r\n.\r\n");
    EXPECT_EQ(honest.Line(), kBye);

    EXPECT_EQ(garbage.Line(), "-ERR USER command is required\r\n");
    EXPECT_EQ(babbler.Line(), "-ERR USER command is required\r\n");
    // The vanished reader's session ends and gives its account back, unreported.
    EXPECT_TRUE(Eventually([&] { return !CPop3BusyAccounts::IsBusy(1); }));
    EXPECT_EQ(m_record->Count("received 1.3"), 0u);
    EXPECT_EQ(m_record->Count("received"), 0u);
    EXPECT_TRUE(Eventually([&] {
        return LogHas("EPIPE") || LogHas("ECONNRESET") || LogHas("Connection is closed by remote host");
    })) << "the vanished reader's session ended without its socket error";
}

TEST_F(Pop3ServerTest, StopRequestEndsTheServerAndItsSessions)
{
    const int port = StartServer();
    Client idle(port);
    idle.Line();
    Client loggedIn(port);
    loggedIn.Line();
    EXPECT_EQ(loggedIn.LogIn("ann", "secret"), kLocked);
    // Both sessions wait for a command (15 minutes a read); the stop must not wait for them.
    EXPECT_TRUE(m_server->StopAndWait(10000));
    m_server.reset();
    EXPECT_EQ(idle.Line(), "");
    EXPECT_EQ(loggedIn.Line(), "");
    EXPECT_FALSE(CPop3BusyAccounts::IsBusy(1));
}

TEST_F(Pop3ServerTest, ConnectionsBeyondTheLimitAreTurnedAway)
{
    const int port = StartServer();
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kPop3SessionLimit; ++i) {
        clients.push_back(std::make_unique<Client>(port));
        ASSERT_EQ(clients.back()->Line().rfind("+OK Tandrill", 0), 0u) << i;
    }
    {
        Client extra(port);
        EXPECT_EQ(extra.Line(), "-ERR too many sessions, try again later\r\n");
        EXPECT_EQ(extra.Line(), "");
    }
    clients.front()->Send("QUIT\r\n");
    EXPECT_EQ(clients.front()->Line(), kBye);
    // Once a session has ended there is room again.
    EXPECT_TRUE(Eventually([&] {
        Client next(port);
        return next.Line().rfind("+OK Tandrill", 0) == 0;
    }));
}

TEST_F(Pop3ServerTest, TakenPortIsReportedWithTheSocketError)
{
    CZelTcpFile holder(EErrorMode::Throw);
    holder.Listen(0x7F000001u, 0);
    const int port = holder.LocalPort();
    CZelStartServerThread self(CZelStartServerThread::kModePop3Server, port);
    RunPop3Server(port, self, [this] { return std::make_unique<ScriptedPop3Desk>(m_record); }, m_log);
    const std::string text = m_log.SaveText().ToStd();
    EXPECT_NE(text.find("error: n=1 "), std::string::npos) << text;
    EXPECT_NE(text.find(std::strerror(EADDRINUSE)), std::string::npos) << text;
    EXPECT_EQ(text.find("Accepting connection"), std::string::npos) << text;
    const std::vector<std::string> reported = Reported();
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].rfind("error: n=1 ", 0), 0u);
}

TEST_F(Pop3ServerTest, PortsOutsideTheRangeAreRefused)
{
    for (const int port : {0, -1, 65536, 100000}) {
        m_log.Clear();
        CZelStartServerThread self(CZelStartServerThread::kModePop3Server, port);
        RunPop3Server(port, self, [this] { return std::make_unique<ScriptedPop3Desk>(m_record); }, m_log);
        CProtocolLine line;
        ASSERT_TRUE(m_log.LineAt(0, &line));
        EXPECT_EQ(line.text.ToStd(),
                  "POP3 server port " + std::to_string(port) + " is outside 1-65535; the server is not started");
    }
    EXPECT_EQ(Reported().size(), 4u);
}

} // namespace
