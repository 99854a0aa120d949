// The central server's HTTP front serving TLS, in front of a recording handler: the gateway's
// own client gets its answers through it with a pinned fingerprint, and the front's rules hold
// over TLS as they do in the clear: a peer that never finishes its handshake is dropped by the
// header deadline, requests that break the rules get their status and a close, a peer that
// speaks plain HTTP to the TLS port gets nothing, and a stop lets the request in hand finish.

#include "server/CCentralHttpFront.h"

#include "testing/HostileHttp.h"
#include "testing/RawHttpPeer.h"
#include "TlsHttpPeer.h"
#include "foundation/XTOOError.h"
#include "foundation/testing/Eventually.h"
#include "foundation/testing/TempDir.h"
#include "protocol/CZelHttpClient.h"
#include "testing/SocketsEnvironment.h"
#include "tls/CTlsCertificate.h"
#include "tls/CTlsContext.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace centraltest;
using velmo_testing::Eventually;

namespace {

constexpr char kPath[] = "/cgi-bin/velmo.cgi";

class CentralHttpsFrontTest : public ::testing::Test {
protected:
    CentralHttpsFrontTest()
    {
        CTlsCertificate::MakeSelfSigned("central.example").Save(m_certificateFile, m_keyFile);
        m_fingerprint = CTlsCertificate::FileFingerprint(m_certificateFile);
    }

    void StartFront(CCentralHttpOptions options = {})
    {
        m_front = std::make_unique<CCentralHttpFront>(
            [this](std::string body) {
                ++m_handled;
                return "answer to " + body;
            },
            options);
        m_front->UseTls(CTlsContext::Server(m_certificateFile, m_keyFile));
        m_port = m_front->Start("127.0.0.1", 0, nullptr);
        ASSERT_GT(m_port, 0);
    }

    CZelServerAddress Address() const
    {
        return {CZelString("https://127.0.0.1:" + std::to_string(m_port)), kPath, CZelString(m_fingerprint)};
    }

    // The gateway's own client on a fresh connection: the answer, or the text of its error.
    std::string PostAsTheGateway(const std::string& body)
    {
        CZelTcpFile connection(true);
        try {
            return HttpPost(CZelString(body), Address(), connection, kHttpWriteTimeoutMs).ToStd();
        } catch (const XTOOBaseError& error) {
            return std::string("error: ") + error.what();
        }
    }

    velmo_testing::TempDir m_dir{"velmo-https-front"};
    const std::string m_certificateFile = (m_dir.Path() / "central.crt").string();
    const std::string m_keyFile = (m_dir.Path() / "central.key").string();
    std::string m_fingerprint;
    std::atomic<int> m_handled{0};
    std::unique_ptr<CCentralHttpFront> m_front;
    int m_port = 0;
};

TEST_F(CentralHttpsFrontTest, TheGatewaysClientIsAnsweredOverOneKeptAliveConnection)
{
    StartFront();
    CZelTcpFile connection(true);
    const std::string binary("\0\x01\xff\r\n\r\nzero", 11);
    EXPECT_EQ(HttpPost(CZelString(binary), Address(), connection, kHttpWriteTimeoutMs).ToStd(), "answer to " + binary);
    EXPECT_TRUE(connection.IsTls());
    EXPECT_EQ(HttpPost(CZelString("second"), Address(), connection, kHttpWriteTimeoutMs).ToStd(), "answer to second");
    EXPECT_EQ(m_front->OpenConnections(), 1u);
    EXPECT_EQ(m_handled, 2);
}

TEST_F(CentralHttpsFrontTest, TwoRequestsInOneWriteGetTwoAnswersInOrder)
{
    StartFront();
    TlsPeer peer(m_port, m_fingerprint);
    ASSERT_TRUE(peer.HandshakeDone()) << peer.FailureReason();
    ASSERT_TRUE(peer.Send(HonestPost("a") + HonestPost("b")));
    EXPECT_NE(peer.ReadAnswer().find("answer to a"), std::string::npos);
    EXPECT_NE(peer.ReadAnswer().find("answer to b"), std::string::npos);
}

// ---- peers that stall ----

struct Staller {
    const char* name;
    bool handshakes;       // a whole handshake first, then `bytes` over TLS
    std::string bytes;     // what it sends, then nothing more
};

void PrintTo(const Staller& staller, std::ostream* out)
{
    *out << staller.name;
}

// The first bytes of a TLS record that announces a ClientHello of 512 bytes.
std::string StartOfAClientHello()
{
    return std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
}

class CentralHttpsStallerTest : public CentralHttpsFrontTest, public ::testing::WithParamInterface<Staller> {};

TEST_P(CentralHttpsStallerTest, IsDroppedByTheHeaderDeadlineWhileAnHonestPeerIsServed)
{
    CCentralHttpOptions options;
    options.headerTimeoutSeconds = 1;
    options.keepAliveSeconds = 1;
    options.transferWindowSeconds = 1;
    StartFront(options);
    RawPeer raw;
    std::unique_ptr<TlsPeer> tls;
    if (GetParam().handshakes) {
        tls = std::make_unique<TlsPeer>(m_port, m_fingerprint);
        ASSERT_TRUE(tls->HandshakeDone()) << tls->FailureReason();
        ASSERT_TRUE(tls->Send(GetParam().bytes));
    } else {
        ASSERT_TRUE(raw.Connect(m_port));
        ASSERT_TRUE(raw.Send(GetParam().bytes));
    }
    EXPECT_EQ(PostAsTheGateway("honest"), "answer to honest");
    const RawPeer::Received all = tls ? tls->ReadUntilClosed() : raw.ReadUntilClosed();
    EXPECT_TRUE(all.closed);
    EXPECT_EQ(all.bytes.find("HTTP/"), std::string::npos) << all.bytes;
    EXPECT_EQ(m_handled, 1);
    EXPECT_TRUE(Eventually([&] { return m_front->OpenConnections() == 0; }));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CentralHttpsStallerTest,
    ::testing::Values(Staller{"ConnectsAndSendsNothing", false, ""},
                      Staller{"StopsInItsClientHello", false, StartOfAClientHello()},
                      Staller{"HandshakesThenSendsNothing", true, ""},
                      Staller{"HandshakesThenSendsHalfAHead", true, "POST / HTTP/1.1\r\nContent-Le"},
                      Staller{"HandshakesThenSendsHalfABody", true,
                              "POST / HTTP/1.1\r\nContent-Length: 100000\r\n\r\n0123"}),
    [](const ::testing::TestParamInfo<Staller>& info) { return std::string(info.param.name); });

// ---- requests that break the rules ----

class CentralHttpsBadRequestTest : public CentralHttpsFrontTest, public ::testing::WithParamInterface<BadRequest> {};

TEST_P(CentralHttpsBadRequestTest, IsAnsweredWithItsStatusAndClosedWithoutReachingTheServer)
{
    CCentralHttpOptions options;
    // A refused body that never comes is waited for no longer than a window.
    options.transferWindowSeconds = 1;
    StartFront(options);
    TlsPeer peer(m_port, m_fingerprint);
    ASSERT_TRUE(peer.HandshakeDone()) << peer.FailureReason();
    // A server that closes early may cut the send short; its answer is what counts.
    peer.Send(GetParam().bytes);
    const RawPeer::Received all = peer.ReadUntilClosed();
    EXPECT_TRUE(all.closed);
    EXPECT_EQ(StatusLineOf(all.bytes), GetParam().statusLine);
    EXPECT_NE(all.bytes.find("\r\nConnection: close\r\n"), std::string::npos);
    EXPECT_EQ(m_handled, 0);
    EXPECT_EQ(PostAsTheGateway("after"), "answer to after");
}

INSTANTIATE_TEST_SUITE_P(Table, CentralHttpsBadRequestTest, ::testing::ValuesIn(BadRequests()),
                         [](const ::testing::TestParamInfo<BadRequest>& info) { return info.param.name; });

TEST_F(CentralHttpsFrontTest, PlainHttpToTheTlsPortGetsNoAnswerAndAClose)
{
    StartFront();
    RawPeer peer(m_port);
    ASSERT_TRUE(peer.Send(HonestPost("in the clear")));
    const RawPeer::Received all = peer.ReadUntilClosed();
    EXPECT_TRUE(all.closed);
    EXPECT_EQ(all.bytes.find("HTTP/"), std::string::npos) << all.bytes;
    EXPECT_EQ(m_handled, 0);
    EXPECT_EQ(PostAsTheGateway("after"), "answer to after");
}

TEST_F(CentralHttpsFrontTest, StopFinishesTheRequestInHandAndClosesTheIdleConnection)
{
    StartFront();
    TlsPeer idle(m_port, m_fingerprint);
    ASSERT_TRUE(idle.Send(HonestPost("before")));
    ASSERT_FALSE(idle.ReadAnswer().empty());
    TlsPeer busy(m_port, m_fingerprint);
    ASSERT_TRUE(busy.Send(HeadWaitingToContinue(7)));
    ASSERT_EQ(busy.ReadAnswer(), kContinueAnswer);

    std::thread stopping([&] { m_front->Stop(); });
    EXPECT_TRUE(idle.ReadUntilClosed().closed);
    ASSERT_TRUE(busy.Send("in hand"));
    const RawPeer::Received all = busy.ReadUntilClosed();
    stopping.join();
    EXPECT_TRUE(all.closed);
    EXPECT_EQ(StatusLineOf(all.bytes), "HTTP/1.1 200 OK");
    EXPECT_NE(all.bytes.find("\r\nConnection: close\r\n"), std::string::npos);
    EXPECT_NE(all.bytes.find("answer to in hand"), std::string::npos);
}

} // namespace
