// The HTTP client against a scripted peer on 127.0.0.1.

#include "foundation/IZelLogSink.h"
#include "foundation/XTOOError.h"
#include "foundation/testing/MutationFuzzer.h"
#include "net/CZelTcpFile.h"
#include "protocol/CZelHttpClient.h"
#include "protocol/ZelHttpAnswer.h"
#include "testing/SocketsEnvironment.h"

#include "testing/ScriptedHttpPeer.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>

using protocoltest::HttpAnswer;
using protocoltest::PeerConnection;
using protocoltest::ScriptedHttpPeer;

namespace {

constexpr char kPath[] = "/cgi-bin/velmo.cgi";

// A log that keeps what was written to it, and translates through a table when given one.
class RecordingLog : public IZelLogSink {
public:
    RecordingLog() = default;
    explicit RecordingLog(std::map<std::string, std::string> translations) : m_translations(std::move(translations)) {}

    int64_t AddStringEx(const CZelString& text) override
    {
        m_text += text.ToStd();
        return 0;
    }
    CZelString TranslateText(const char* text, const char* sourceFile) const override
    {
        const auto found = m_translations.find(text);
        return CZelString(found == m_translations.end() ? std::string(text) : found->second);
    }
    const std::string& Text() const { return m_text; }

private:
    std::map<std::string, std::string> m_translations;
    std::string m_text;
};

CZelServerAddress AddressOf(const ScriptedHttpPeer& peer, const char* path = kPath)
{
    return {CZelString(peer.Address().c_str()), path};
}

class HttpClientTest : public ::testing::Test {
protected:
    void UseServer(const ScriptedHttpPeer& peer) { m_server = AddressOf(peer); }
    static std::string Text(const CZelString& s) { return s.ToStd(); }

    CZelServerAddress m_server;
    RecordingLog m_log;
};

TEST_F(HttpClientTest, SendsTheExactRequestAndReassemblesAnAnswerSplitInPieces)
{
    std::string received;
    ScriptedHttpPeer peer({[&](PeerConnection& c) {
        received = c.ReadRequest().value_or(protocoltest::PeerRequest{}).Raw();
        const std::string answer = HttpAnswer("0123456789");
        const size_t headerEnd = answer.find("\r\n\r\n") + 4;
        c.Send(answer.substr(0, 10));
        c.Pause(30);
        c.Send(answer.substr(10, headerEnd - 10));
        c.Pause(30);
        c.Send(answer.substr(headerEnd, 4));
        c.Pause(30);
        c.Send(answer.substr(headerEnd + 4));
        c.WaitForClientClose();
    }});
    UseServer(peer);
    CZelTcpFile connection(true);
    EXPECT_EQ(Text(HttpPost("hello", m_server, connection, kHttpWriteTimeoutMs)), "0123456789");
    EXPECT_TRUE(connection.IsOpen());
    connection.Close();
    peer.WaitDone();
    EXPECT_EQ(received, "POST /cgi-bin/velmo.cgi HTTP/1.1\r\nHost: " + peer.Address() +
                            "\r\nContent-Type: application/octet-stream\r\nContent-Length: 5\r\n"
                            "Connection: keep-alive\r\n\r\nhello");
}

TEST_F(HttpClientTest, PipelinedAnswersAreReturnedByConsecutivePostsOnOneConnection)
{
    int requests = 0;
    ScriptedHttpPeer peer({[&](PeerConnection& c) {
        if (c.ReadRequest())
            ++requests;
        c.Send(HttpAnswer("first") + HttpAnswer("second"));
        if (c.ReadRequest())
            ++requests;
        c.WaitForClientClose();
    }});
    UseServer(peer);
    CZelTcpFile connection(true);
    EXPECT_EQ(Text(HttpPost("a", m_server, connection, kHttpWriteTimeoutMs)), "first");
    EXPECT_EQ(Text(HttpPost("b", m_server, connection, kHttpWriteTimeoutMs)), "second");
    connection.Close();
    EXPECT_EQ(peer.WaitDone(), 1);
    EXPECT_EQ(requests, 2);
}

TEST_F(HttpClientTest, NotFoundGivesEmptyWritesTheLogLineAndKeepsTheConnection)
{
    ScriptedHttpPeer peer({[&](PeerConnection& c) {
        c.ReadRequest();
        c.Send(HttpAnswer("", "HTTP/1.1 404 Not Found"));
        c.ReadRequest();
        c.Send(HttpAnswer("after"));
        c.WaitForClientClose();
    }});
    UseServer(peer);
    CZelTcpFile connection(true);
    EXPECT_TRUE(HttpPost("x", m_server, connection, kHttpWriteTimeoutMs, &m_log).IsEmpty());
    EXPECT_EQ(m_log.Text(), "Server reply error: HTTP/1.1 404 Not Found\n");
    EXPECT_TRUE(connection.IsOpen());
    EXPECT_EQ(Text(HttpPost("y", m_server, connection, kHttpWriteTimeoutMs, &m_log)), "after");
    connection.Close();
    EXPECT_EQ(peer.WaitDone(), 1);
}

TEST_F(HttpClientTest, ReplyErrorLineIsWrittenInTheLanguageOfTheLog)
{
    ScriptedHttpPeer peer({[&](PeerConnection& c) {
        c.ReadRequest();
        c.Send(HttpAnswer("", "HTTP/1.1 500 Internal Server Error"));
        c.WaitForClientClose();
    }});
    UseServer(peer);
    RecordingLog log(std::map<std::string, std::string>{{"Server reply error: %1\n", "Antwortfehler (%1)\n"}});
    CZelTcpFile connection(true);
    EXPECT_TRUE(HttpPost("x", m_server, connection, kHttpWriteTimeoutMs, &log).IsEmpty());
    EXPECT_EQ(log.Text(), "Antwortfehler (HTTP/1.1 500 Internal Server Error)\n");
}

// Two clients side by side, each made with its own server and path: each request goes where
// its client was told, and names that host and path.
TEST_F(HttpClientTest, EachClientPostsToTheAddressItWasMadeWith)
{
    std::string toFirst, toSecond;
    ScriptedHttpPeer first({[&](PeerConnection& c) {
        toFirst = c.ReadRequest().value_or(protocoltest::PeerRequest{}).header;
        c.Send(HttpAnswer("from first"));
        c.WaitForClientClose();
    }});
    ScriptedHttpPeer second({[&](PeerConnection& c) {
        toSecond = c.ReadRequest().value_or(protocoltest::PeerRequest{}).header;
        c.Send(HttpAnswer("from second"));
        c.WaitForClientClose();
    }});
    const CZelHttpClient firstClient(AddressOf(first, "/one"));
    const CZelHttpClient secondClient(AddressOf(second, "/two"));
    CZelTcpFile firstConnection(true), secondConnection(true);
    EXPECT_EQ(Text(secondClient.Post("b", secondConnection, kHttpWriteTimeoutMs)), "from second");
    EXPECT_EQ(Text(firstClient.Post("a", firstConnection, kHttpWriteTimeoutMs)), "from first");
    firstConnection.Close();
    secondConnection.Close();
    EXPECT_EQ(first.WaitDone(), 1);
    EXPECT_EQ(second.WaitDone(), 1);
    EXPECT_EQ(toFirst.rfind("POST /one HTTP/1.1\r\nHost: " + first.Address() + "\r\n", 0), 0u) << toFirst;
    EXPECT_EQ(toSecond.rfind("POST /two HTTP/1.1\r\nHost: " + second.Address() + "\r\n", 0), 0u) << toSecond;
}

TEST_F(HttpClientTest, NonSuccessWithABodyLeavesTheNextAnswerIntact)
{
    ScriptedHttpPeer peer({[&](PeerConnection& c) {
        c.ReadRequest();
        c.Send(HttpAnswer("<html>busy</html>", "HTTP/1.0 503 Service Unavailable") + HttpAnswer("next"));
        c.ReadRequest();
        c.WaitForClientClose();
    }});
    UseServer(peer);
    CZelTcpFile connection(true);
    EXPECT_TRUE(HttpPost("x", m_server, connection, kHttpWriteTimeoutMs).IsEmpty());   // no log: nothing written
    EXPECT_EQ(Text(HttpPost("y", m_server, connection, kHttpWriteTimeoutMs)), "next");
}

TEST_F(HttpClientTest, ContentLengthNameInCapitalsIsAccepted)
{
    ScriptedHttpPeer peer({[&](PeerConnection& c) {
        c.ReadRequest();
        c.Send(HttpAnswer("abc", "HTTP/1.1 200 OK", "CONTENT-LENGTH: "));
        c.WaitForClientClose();
    }});
    UseServer(peer);
    CZelTcpFile connection(true);
    EXPECT_EQ(Text(HttpPost("x", m_server, connection, kHttpWriteTimeoutMs)), "abc");
}

// Answers whose length cannot be used: the answer is empty and the connection is closed,
// without reading to the end of an endless stream or allocating what the header claims.
struct UnusableAnswer {
    const char* name;
    std::string answer;
};

class HttpUnusableAnswerTest : public HttpClientTest, public ::testing::WithParamInterface<UnusableAnswer> {};

TEST_P(HttpUnusableAnswerTest, GivesEmptyAndClosesTheConnection)
{
    bool clientClosed = false;
    ScriptedHttpPeer peer({[&](PeerConnection& c) {
        c.ReadRequest();
        c.Send(GetParam().answer);
        clientClosed = c.WaitForClientClose();
    }});
    UseServer(peer);
    CZelTcpFile connection(true);
    EXPECT_TRUE(HttpPost("x", m_server, connection, kHttpWriteTimeoutMs, &m_log).IsEmpty());
    EXPECT_FALSE(connection.IsOpen());
    peer.WaitDone();
    EXPECT_TRUE(clientClosed);
    EXPECT_EQ(m_log.Text(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Answers, HttpUnusableAnswerTest,
    ::testing::Values(
        UnusableAnswer{"NoBlankAfterColon", "HTTP/1.1 200 OK\r\ncontent-length:5\r\n\r\nhello"},
        UnusableAnswer{"NoLengthAtAll", "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n\r\nhello"},
        UnusableAnswer{"NotANumber", "HTTP/1.1 200 OK\r\nContent-Length: five\r\n\r\nhello"},
        UnusableAnswer{"NumberWithTrailingLetters", "HTTP/1.1 200 OK\r\nContent-Length: 5x\r\n\r\nhello"},
        UnusableAnswer{"Negative", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nhello"},
        UnusableAnswer{"AboveTheBound", "HTTP/1.1 200 OK\r\nContent-Length: 67108865\r\n\r\nhello"},
        UnusableAnswer{"Beyond64Bits", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\nx"}),
    [](const ::testing::TestParamInfo<UnusableAnswer>& info) { return std::string(info.param.name); });

TEST_F(HttpClientTest, EmptyBodyIsPostedWithContentLengthZero)
{
    std::string received;
    ScriptedHttpPeer peer({[&](PeerConnection& c) {
        received = c.ReadRequest().value_or(protocoltest::PeerRequest{}).Raw();
        c.Send(HttpAnswer("ok"));
        c.WaitForClientClose();
    }});
    UseServer(peer);
    CZelTcpFile connection(true);
    EXPECT_EQ(Text(HttpPost(CZelString(), m_server, connection, kHttpWriteTimeoutMs)), "ok");
    connection.Close();
    peer.WaitDone();
    ASSERT_GE(received.size(), 4u);
    EXPECT_NE(received.find("\r\nContent-Length: 0\r\n"), std::string::npos);
    EXPECT_EQ(received.substr(received.size() - 4), "\r\n\r\n");
}

TEST_F(HttpClientTest, InterimContinueAnswersAreDropped)
{
    ScriptedHttpPeer peer({[&](PeerConnection& c) {
        c.ReadRequest();
        c.Send("HTTP/1.1 100 Continue\r\nContent-Length: 0\r\n\r\n");
        c.Pause(30);
        c.Send(HttpAnswer("real"));
        c.ReadRequest();
        // Without a length and in one piece with the real answer.
        c.Send("HTTP/1.1 100 Continue\r\n\r\n" + HttpAnswer("second"));
        c.WaitForClientClose();
    }});
    UseServer(peer);
    CZelTcpFile connection(true);
    EXPECT_EQ(Text(HttpPost("x", m_server, connection, kHttpWriteTimeoutMs)), "real");
    EXPECT_EQ(Text(HttpPost("y", m_server, connection, kHttpWriteTimeoutMs)), "second");
}

TEST_F(HttpClientTest, PostReopensAfterTheServerClosedAKeptConnection)
{
    ScriptedHttpPeer peer({[&](PeerConnection& c) {
                               c.ReadRequest();
                               c.Send(HttpAnswer("one"));
                               c.Close();
                           },
                           [&](PeerConnection& c) {
                               c.ReadRequest();
                               c.Send(HttpAnswer("two"));
                               c.WaitForClientClose();
                           }});
    UseServer(peer);
    CZelTcpFile connection(true);
    EXPECT_EQ(Text(HttpPost("x", m_server, connection, kHttpWriteTimeoutMs)), "one");
    // Whether the close is noticed before the next write or by it, the next post must not hang:
    // it either reopens or reports the closed connection.
    CZelString second;
    for (int attempt = 0; attempt < 2 && second.IsEmpty(); ++attempt) {
        try {
            second = HttpPost("y", m_server, connection, kHttpWriteTimeoutMs);
        } catch (const XTOOSockErr&) {
        }
    }
    EXPECT_EQ(Text(second), "two");
    connection.Close();
    EXPECT_EQ(peer.WaitDone(), 2);
}

TEST_F(HttpClientTest, ServerClosingBeforeTheAnswerIsAReadError)
{
    ScriptedHttpPeer peer({[&](PeerConnection& c) {
        c.ReadRequest();
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
        c.Close();
    }});
    UseServer(peer);
    CZelTcpFile connection(true);
    try {
        HttpPost("x", m_server, connection, kHttpWriteTimeoutMs);
        ADD_FAILURE() << "no error thrown";
    } catch (const XTOOSockErr& error) {
        EXPECT_EQ(error.GetText().ToStd().rfind("fhttp.Read(): ", 0), 0u) << error.Text();
    }
    EXPECT_FALSE(connection.IsOpen());
}

TEST_F(HttpClientTest, ServerClosingBeforeTheAnswerGivesEmptyWithoutThrowMode)
{
    ScriptedHttpPeer peer({[&](PeerConnection& c) {
        c.ReadRequest();
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
        c.Close();
    }});
    UseServer(peer);
    CZelTcpFile connection(false);
    EXPECT_TRUE(HttpPost("x", m_server, connection, kHttpWriteTimeoutMs).IsEmpty());
    EXPECT_FALSE(connection.IsOpen());
}

TEST_F(HttpClientTest, OpenFailureNamesTheServer)
{
    int port = 0;
    {
        ScriptedHttpPeer closed({});
        port = closed.Port();
    }
    const std::string server = "127.0.0.1:" + std::to_string(port);
    m_server = {CZelString(server.c_str()), kPath};
    CZelTcpFile connection(true);
    try {
        HttpPost("x", m_server, connection, kHttpWriteTimeoutMs);
        ADD_FAILURE() << "no error thrown";
    } catch (const XTOOSockErr& error) {
        EXPECT_EQ(error.GetText().ToStd().rfind("fhttp.Open(" + server + "): ", 0), 0u) << error.Text();
    }
}

TEST_F(HttpClientTest, SilentServerIsGivenUpAfterTheReadLimit)
{
    ScriptedHttpPeer peer({[&](PeerConnection& c) {
        c.ReadRequest();
        c.WaitForClientClose();
    }});
    UseServer(peer);
    CZelHttpLimits limits;
    limits.readTimeoutMs = 100;
    limits.maxSilentReads = 2;
    CZelTcpFile connection(true);
    EXPECT_TRUE(CZelHttpClient(m_server, limits).Post("x", connection, kHttpWriteTimeoutMs).IsEmpty());
    EXPECT_FALSE(connection.IsOpen());
}

TEST_F(HttpClientTest, RequestNotSentWholeIsGivenUpInsteadOfAwaitingAnAnswer)
{
    ScriptedHttpPeer peer({[&](PeerConnection& c) { c.Pause(1500); }});
    UseServer(peer);
    CZelTcpFile connection(true);
    // Far more than the socket buffers take while the peer reads nothing.
    const CZelString body(std::string(size_t(48) << 20, 'b'));
    EXPECT_TRUE(HttpPost(body, m_server, connection, 200).IsEmpty());
    EXPECT_FALSE(connection.IsOpen());
}

TEST_F(HttpClientTest, MangledAnswersEndInAnAnswerOrNothing)
{
    const std::vector<std::string> seeds = {
        HttpAnswer("body of the answer"),
        "HTTP/1.1 100 Continue\r\n\r\n" + HttpAnswer("x") + HttpAnswer("y"),
        HttpAnswer("", "HTTP/1.1 404 Not Found"),
    };
    std::vector<std::string> answers;
    velmo_testing::RunMutationFuzzer(seeds, 150, [&](const std::string& input) { answers.push_back(input); });
    std::vector<ScriptedHttpPeer::Script> scripts;
    for (const std::string& answer : answers)
        scripts.push_back([answer](PeerConnection& c) {
            c.ReadRequest();
            c.Send(answer);
            c.Close();
        });
    ScriptedHttpPeer peer(scripts);
    UseServer(peer);
    for (const std::string& answer : answers) {
        CZelTcpFile connection(false);
        const std::string body = Text(HttpPost("x", m_server, connection, kHttpWriteTimeoutMs, &m_log));
        if (!body.empty()) {
            EXPECT_NE(answer.find(body), std::string::npos);
        }
    }
    EXPECT_EQ(peer.WaitDone(), static_cast<int>(answers.size()));
}

TEST(HttpServerText, HostAndOptionalPort)
{
    struct Case {
        const char* text;
        const char* host;
        int port;
    };
    const Case cases[] = {
        {"central.example", "central.example", 80},
        {"127.0.0.1:8080", "127.0.0.1", 8080},
        {"host:1", "host", 1},
        {"host:65535", "host", 65535},
        {"host:65536", "host:65536", 80},
        {"host:0", "host:0", 80},
        {"host:", "host:", 80},
        {"host:80a", "host:80a", 80},
        {"", "", 80},
        {"http://central.example:8080", "central.example", 8080},
        {"https://central.example", "central.example", 443},
        {"https://central.example:8443", "central.example", 8443},
        {"https://127.0.0.1:1", "127.0.0.1", 1},
    };
    for (const Case& c : cases) {
        CZelString host;
        int port = 0;
        CZelHttpClient::SplitServer(c.text, host, port);
        EXPECT_EQ(host.ToStd(), c.host) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
    }
}

TEST(HttpAnswerScan, StagesOfAnAnswer)
{
    struct Case {
        std::string buffer;
        HttpAnswerScan::Result result;
        int64_t contentLength;
    };
    const Case cases[] = {
        {"", HttpAnswerScan::kNeedHeader, -1},
        {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n", HttpAnswerScan::kNeedHeader, -1},
        {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nab", HttpAnswerScan::kNeedBody, 3},
        {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabcdef", HttpAnswerScan::kComplete, 3},
        {"HTTP/1.1 200 OK\r\nContent-Length: 3 \r\n\r\nabc", HttpAnswerScan::kComplete, 3},
        {"HTTP/1.1 200 OK\r\ncOnTeNt-LeNgTh: 0\r\n\r\n", HttpAnswerScan::kComplete, 0},
        {"HTTP/1.1 200 OK\r\nContent-Length:  3\r\n\r\nabc", HttpAnswerScan::kBadContentLength, -1},
        {"HTTP/1.1 200 OK\r\nContent-Length: \r\n\r\n", HttpAnswerScan::kBadContentLength, -1},
        {"HTTP/1.1 200 OK\r\nContent-Length: 67108864\r\n\r\n", HttpAnswerScan::kNeedBody, 67108864},
        {"HTTP/1.1 200 OK\r\nX-Content-Length: 3\r\n\r\nabc", HttpAnswerScan::kNoContentLength, -1},
        {"HTTP/1.1 200 OK\r\n\r\nContent-Length: 3\r\n\r\n", HttpAnswerScan::kNoContentLength, -1},
    };
    for (const Case& c : cases) {
        const HttpAnswerScan scan = ScanHttpAnswer(c.buffer);
        EXPECT_EQ(scan.result, c.result) << c.buffer;
        EXPECT_EQ(scan.contentLength, c.contentLength) << c.buffer;
    }
}

TEST(HttpAnswerScan, HeaderWithoutEndIsRefusedAtTheBound)
{
    std::string endless = "HTTP/1.1 200 OK\r\n";
    endless.resize(static_cast<size_t>(kMaxHttpHeaderLength), 'x');
    EXPECT_EQ(ScanHttpAnswer(endless).result, HttpAnswerScan::kHeaderTooLong);
    endless.pop_back();
    EXPECT_EQ(ScanHttpAnswer(endless).result, HttpAnswerScan::kNeedHeader);
}

TEST(HttpAnswerScan, StatusIsComparedByteForByte)
{
    EXPECT_TRUE(IsHttpStatus("HTTP/1.1 200 OK\r\n", "200"));
    EXPECT_TRUE(IsHttpStatus("HTTP/1.0 200\r\n\r\n", "200"));
    EXPECT_FALSE(IsHttpStatus("http/1.1 200 OK\r\n", "200"));
    EXPECT_FALSE(IsHttpStatus("HTTP/2 200 OK\r\n\r\n", "200"));
    EXPECT_FALSE(IsHttpStatus("HTTP/1.1 20", "200"));
    EXPECT_EQ(HttpFirstLine("HTTP/1.1 404 Not Found\r\nA: b\r\n\r\n"), "HTTP/1.1 404 Not Found");
}

TEST(HttpAnswerScan, AnyInputMeetsADefinedResult)
{
    const std::vector<std::string> seeds = {
        "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc",
        "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n",
        "HTTP/1.0 404 Not Found\r\nContent-Length: 12345678901234567890\r\n\r\n",
    };
    velmo_testing::RunMutationFuzzer(seeds, 20000, [](const std::string& input) {
        const HttpAnswerScan scan = ScanHttpAnswer(input);
        if (scan.result == HttpAnswerScan::kComplete) {
            ASSERT_GE(scan.contentLength, 0);
            ASSERT_LE(scan.headerLength + scan.contentLength, static_cast<int64_t>(input.size()));
        }
        if (scan.contentLength >= 0) {
            ASSERT_LE(scan.contentLength, kMaxHttpContentLength);
        }
    });
}

} // namespace
