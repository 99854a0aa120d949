#include "smtp/CSmtpServer.h"

#include "core/CProtocolListData.h"
#include "core/CZelStartServerThread.h"
#include "core/testing/LogLines.h"
#include "foundation/ZelBase64.h"
#include "foundation/testing/Eventually.h"
#include "foundation/testing/TempDir.h"
#include "net/CZelTcpFile.h"
#include "smtp/tests/ScriptedDesk.h"
#include "testing/SocketsEnvironment.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using smtp_testing::DeskRecord;
using smtp_testing::ScriptedDesk;
using velmo_testing::Eventually;

namespace {

const std::string kPlainLogin =
    "AUTH PLAIN " + Base64Encode(std::string_view(std::string("\0ann\0secret", 11))).ToStd() + "\r\n";

// A mail client on a real loopback connection.
class Client {
public:
    explicit Client(int port) : m_file(EErrorMode::Throw) { m_file.Open("127.0.0.1", port); }

    // The next line; empty once the server has closed the connection.
    std::string Line()
    {
        char buffer[4096];
        try {
            const int count = m_file.ReadUntil(buffer, sizeof buffer, 60000, "\r\n");
            return count > 0 ? std::string(buffer, static_cast<size_t>(count)) : std::string();
        } catch (const XTOOBaseError&) {
            return std::string();
        }
    }
    // The reply to EHLO is ten lines.
    std::string Lines(int count)
    {
        std::string all;
        for (int i = 0; i < count; ++i)
            all += Line();
        return all;
    }
    void Send(const std::string& text) { m_file.Write(CZelString(text), 60000); }
    void Close() { m_file.Close(); }

private:
    CZelTcpFile m_file;
};

// A port nobody listens on: bound and let go at once (the facade's close is asynchronous).
int FreePort()
{
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (probe < 0 || ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ADD_FAILURE() << "no free port: " << std::strerror(errno);
    }
    ::close(probe);
    return ntohs(address.sin_port);
}

class SmtpServerTest : public velmo_testing::TempHomeTest {
protected:
    void SetUp() override
    {
        WriteText("00000001.xml", "<Root Login=\"ann\" Password=\"secret\" Id=\"1\"/>");
        CZelStartServerThread::SetErrorSink([this](const CZelString& text) {
            std::lock_guard<std::mutex> hold(m_mutex);
            m_reported.push_back(text.ToStd());
        });
    }
    void TearDown() override
    {
        if (m_server)
            EXPECT_TRUE(m_server->StopAndWait(10000));
        CZelStartServerThread::SetBody(CZelStartServerThread::kModeSmtpServer, {});
        CZelStartServerThread::SetErrorSink({});
    }

    void StartServer(int port)
    {
        CZelStartServerThread::SetBody(CZelStartServerThread::kModeSmtpServer, [this](CZelStartServerThread& self) {
            RunSmtpServer(self.Port(), self, [this] { return MakeDesk(); }, m_log);
        });
        m_server = std::make_unique<CZelStartServerThread>(CZelStartServerThread::kModeSmtpServer, port);
        ASSERT_TRUE(m_server->Start());
        ASSERT_TRUE(Eventually([&] { return LogHas("Accepting connection to a port " + std::to_string(port)); }))
            << m_log.SaveText().ToStd();
    }

    // The first desk of a server with m_makeThrowingDesk fails its handshake with an error
    // that is none of the system's own.
    std::unique_ptr<ISmtpMailDesk> MakeDesk()
    {
        struct ThrowingDesk : ScriptedDesk {
            using ScriptedDesk::ScriptedDesk;
            ESmtpHandshake Handshake(int64_t, const CZelString&, const CZelString&, CZelString&) override
            {
                throw std::runtime_error("desk broke");
            }
        };
        if (m_makeThrowingDesk.exchange(false))
            return std::make_unique<ThrowingDesk>(m_record);
        return std::make_unique<ScriptedDesk>(m_record);
    }

    bool LogHas(const std::string& text) const { return velmo_testing::LogContains(m_log, text); }

    std::vector<std::string> Reported()
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_reported;
    }

    CProtocolListData m_log;
    std::shared_ptr<DeskRecord> m_record = std::make_shared<DeskRecord>();
    std::unique_ptr<CZelStartServerThread> m_server;
    std::atomic<bool> m_makeThrowingDesk{false};
    std::mutex m_mutex;
    std::vector<std::string> m_reported;
};

TEST_F(SmtpServerTest, SecondClientIsServedWhenTheFirstEnds)
{
    const int port = FreePort();
    StartServer(port);
    Client first(port);
    EXPECT_EQ(first.Line().rfind("220 ", 0), 0u);
    Client second(port);   // waits in the backlog
    first.Send("EHLO one\r\n");
    EXPECT_EQ(first.Lines(10).rfind("250-", 0), 0u);
    first.Send("QUIT\r\n");
    EXPECT_EQ(first.Line(), "503 bad sequence of commands\r\n");

    EXPECT_EQ(second.Line().rfind("220 ", 0), 0u);
    second.Send("EHLO two\r\n" + kPlainLogin);
    second.Lines(10);
    EXPECT_EQ(second.Line(), "235 Authentication successful\r\n");
    second.Send("MAIL FROM:<ann@x>\r\nRCPT TO:<bob@y>\r\nDATA\r\n");
    EXPECT_EQ(second.Line(), "250 OK\r\n");
    EXPECT_EQ(second.Line(), "250 Ok\r\n");
    EXPECT_EQ(second.Line(), "354 End data with <CR><LF>.<CR><LF>\r\n");
    second.Send("Subject: hi\r\n\r\nHello\r\n.\r\nQUIT\r\n");
    EXPECT_EQ(second.Line().rfind("250 OK: queued as ", 0), 0u);
    EXPECT_EQ(second.Line(), "221 Bye\r\n");
    ASSERT_TRUE(Eventually([&] { return m_record->Count("release") == 2; }));
    std::lock_guard<std::mutex> hold(m_record->mutex);
    EXPECT_EQ(m_record->messages, std::vector<std::string>{"Subject: hi\r\n\r\nHello\r\n"});
}

TEST_F(SmtpServerTest, ClientVanishingInTheDataQueuesNothing)
{
    const int port = FreePort();
    StartServer(port);
    {
        Client gone(port);
        gone.Line();
        gone.Send("EHLO x\r\n" + kPlainLogin + "MAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\nDATA\r\nSubject: x\r\n\r\nhalf a li");
        gone.Lines(10 + 4);
        gone.Close();
    }
    ASSERT_TRUE(Eventually([&] { return m_record->Count("release") == 1; }));
    EXPECT_EQ(m_record->Count("queue"), 0u);
    EXPECT_TRUE(LogHas("Connection is closed by remote host")) << m_log.SaveText().ToStd();

    Client next(port);
    EXPECT_EQ(next.Line().rfind("220 ", 0), 0u);
}

TEST_F(SmtpServerTest, FailingSessionEndsAloneAndTheServerGoesOn)
{
    m_makeThrowingDesk = true;
    const int port = FreePort();
    StartServer(port);
    {
        Client first(port);
        first.Line();
        first.Send("EHLO x\r\n" + kPlainLogin);
        first.Lines(10);
        EXPECT_EQ(first.Line(), "");   // closed without a reply
    }
    ASSERT_TRUE(Eventually([&] { return LogHas("desk broke"); })) << m_log.SaveText().ToStd();
    EXPECT_EQ(m_record->Count("release"), 1u);
    Client second(port);
    EXPECT_EQ(second.Line().rfind("220 ", 0), 0u);
}

TEST_F(SmtpServerTest, StopRequestEndsTheSessionInProgress)
{
    const int port = FreePort();
    StartServer(port);
    Client idle(port);
    EXPECT_EQ(idle.Line().rfind("220 ", 0), 0u);
    // The session waits for a command (30 s per read); the stop must not wait for it.
    EXPECT_TRUE(m_server->StopAndWait(10000));
    EXPECT_TRUE(Eventually([&] { return m_record->Count("release") == 1; }));
    m_server.reset();
}

TEST_F(SmtpServerTest, TakenPortIsReportedWithTheSocketError)
{
    CZelTcpFile holder(EErrorMode::Throw);
    holder.Listen(0x7F000001u, 0);
    const int port = holder.LocalPort();
    CZelStartServerThread self(CZelStartServerThread::kModeSmtpServer, port);
    RunSmtpServer(port, self, [this] { return std::make_unique<ScriptedDesk>(m_record); }, m_log);
    const std::string text = m_log.SaveText().ToStd();
    EXPECT_NE(text.find("err0: "), std::string::npos) << text;
    EXPECT_NE(text.find(std::strerror(EADDRINUSE)), std::string::npos) << text;
    EXPECT_EQ(text.find("Accepting connection"), std::string::npos) << text;
    const std::vector<std::string> reported = Reported();
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].rfind("err0: ", 0), 0u);
}

TEST_F(SmtpServerTest, PortsOutsideTheRangeAreRefused)
{
    for (const int port : {0, -1, 65536, 100000}) {
        m_log.Clear();
        CZelStartServerThread self(CZelStartServerThread::kModeSmtpServer, port);
        RunSmtpServer(port, self, [this] { return std::make_unique<ScriptedDesk>(m_record); }, m_log);
        CProtocolLine line;
        ASSERT_TRUE(m_log.LineAt(0, &line));
        EXPECT_EQ(line.text.ToStd(),
                  "SMTP server port " + std::to_string(port) + " is outside 1-65535; the server is not started");
    }
    EXPECT_EQ(Reported().size(), 4u);
}

} // namespace
