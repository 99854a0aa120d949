// The central server's HTTP front on its own, in front of a recording handler: the wire the
// gateway reads, the requests it refuses (and that never reach the handler), its limits on
// connections, idlers and tricklers, and its stop that lets the requests in hand finish.

#include "server/CCentralHttpFront.h"

#include "foundation/testing/Eventually.h"
#include "testing/HostileHttp.h"
#include "testing/RawHttpPeer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

using namespace centraltest;
using velmo_testing::Eventually;

namespace {

// More than the socket buffers of both ends hold.
constexpr size_t kBigAnswer = 64 * 1024 * 1024;

class CentralHttpFrontTest : public ::testing::Test {
protected:
    void StartFront(CCentralHttpOptions options = {})
    {
        m_front = std::make_unique<CCentralHttpFront>(
            [this](std::string body) {
                ++m_handled;
                if (body == "fail")
                    throw std::runtime_error("the request failed inside the server");
                if (body == "quiet")
                    return std::string();
                if (body == "big")
                    return std::string(kBigAnswer, 'a');
                return "answer to " + body;
            },
            options);
        m_port = m_front->Start("127.0.0.1", 0, nullptr);
        ASSERT_GT(m_port, 0);
    }

    // A whole exchange on a fresh connection from `from`: true when the answer came.
    bool Served(const char* from = "127.0.0.1")
    {
        RawPeer peer;
        if (!peer.Connect(m_port, from) || !peer.Send(HonestPost("ping")))
            return false;
        return StatusLineOf(peer.ReadAnswer()) == "HTTP/1.1 200 OK";
    }

    std::atomic<int> m_handled{0};
    std::unique_ptr<CCentralHttpFront> m_front;
    int m_port = 0;
};

std::string Answer200(const std::string& body)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST_F(CentralHttpFrontTest, AnswersKeepTheWireTheGatewayReads)
{
    StartFront();
    RawPeer peer(m_port);
    const std::string binary("\0\x01\xff\r\n\r\nzero", 11);
    ASSERT_TRUE(peer.Send(HonestPost(binary)));
    EXPECT_EQ(peer.ReadAnswer(), Answer200("answer to " + binary));
    // Kept alive, and two requests in one write get two answers in order; no answer is an
    // empty body.
    ASSERT_TRUE(peer.Send(HonestPost("a") + HonestPost("quiet")));
    EXPECT_EQ(peer.ReadAnswer(), Answer200("answer to a"));
    EXPECT_EQ(peer.ReadAnswer(), Answer200(""));
    EXPECT_EQ(m_handled, 3);
}

TEST_F(CentralHttpFrontTest, AContinueIsSentToAClientThatWaitsForIt)
{
    StartFront();
    RawPeer peer(m_port);
    ASSERT_TRUE(peer.Send("POST / HTTP/1.1\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\n"));
    EXPECT_EQ(peer.ReadAnswer(), "HTTP/1.1 100 Continue\r\n\r\n");
    ASSERT_TRUE(peer.Send("hello"));
    EXPECT_EQ(peer.ReadAnswer(), Answer200("answer to hello"));
}

TEST_F(CentralHttpFrontTest, AnHttp10ClientGetsItsConnectionClosedUnlessItAsksToKeepIt)
{
    StartFront();
    RawPeer once(m_port);
    ASSERT_TRUE(once.Send("POST / HTTP/1.0\r\nContent-Length: 1\r\n\r\nx"));
    const RawPeer::Received all = once.ReadUntilClosed();
    EXPECT_TRUE(all.closed);
    EXPECT_EQ(StatusLineOf(all.bytes), "HTTP/1.1 200 OK");
    EXPECT_NE(all.bytes.find("\r\nConnection: close\r\n"), std::string::npos);

    RawPeer kept(m_port);
    ASSERT_TRUE(kept.Send("POST / HTTP/1.0\r\nConnection: keep-alive\r\nContent-Length: 1\r\n\r\nx"));
    EXPECT_NE(kept.ReadAnswer().find("\r\nConnection: keep-alive\r\n"), std::string::npos);
    ASSERT_TRUE(kept.Send("POST / HTTP/1.0\r\nConnection: keep-alive\r\nContent-Length: 1\r\n\r\ny"));
    EXPECT_NE(kept.ReadAnswer().find("answer to y"), std::string::npos);
}

TEST_F(CentralHttpFrontTest, ARequestThatFailsInsideTheServerGets500AndAClose)
{
    StartFront();
    RawPeer peer(m_port);
    ASSERT_TRUE(peer.Send(HonestPost("fail")));
    const RawPeer::Received all = peer.ReadUntilClosed();
    EXPECT_TRUE(all.closed);
    EXPECT_EQ(StatusLineOf(all.bytes), "HTTP/1.1 500 Internal Server Error");
    EXPECT_TRUE(Served());
}

// ---- requests that break the rules ----

class CentralHttpBadRequestTest : public CentralHttpFrontTest, public ::testing::WithParamInterface<BadRequest> {};

TEST_P(CentralHttpBadRequestTest, IsAnsweredWithItsStatusAndClosedWithoutReachingTheServer)
{
    StartFront();
    RawPeer peer(m_port);
    // A server that closes early may cut the send short; its answer is what counts.
    peer.Send(GetParam().bytes);
    const RawPeer::Received all = peer.ReadUntilClosed();
    EXPECT_TRUE(all.closed);
    EXPECT_EQ(StatusLineOf(all.bytes), GetParam().statusLine);
    EXPECT_NE(all.bytes.find("\r\nConnection: close\r\n"), std::string::npos);
    EXPECT_EQ(m_handled, 0);
    EXPECT_TRUE(Served());
}

INSTANTIATE_TEST_SUITE_P(Table, CentralHttpBadRequestTest, ::testing::ValuesIn(BadRequests()),
                         [](const ::testing::TestParamInfo<BadRequest>& info) { return info.param.name; });

// ---- limits ----

TEST_F(CentralHttpFrontTest, ConnectionsBeyondTheLimitPerAddressAreClosedAtOnce)
{
    CCentralHttpOptions options;
    options.maxConnectionsPerAddress = 3;
    StartFront(options);
    std::vector<RawPeer> held;
    for (int i = 0; i < 3; ++i) {
        held.emplace_back(m_port, "127.0.0.7");
        ASSERT_TRUE(held.back().Send(HonestPost("hold")));
        ASSERT_FALSE(held.back().ReadAnswer().empty());
    }
    RawPeer over(m_port, "127.0.0.7");
    const RawPeer::Received refused = over.ReadUntilClosed();
    EXPECT_TRUE(refused.closed);
    EXPECT_TRUE(refused.bytes.empty());
    // Another address is not held back, and a freed place is taken again.
    EXPECT_TRUE(Served("127.0.0.8"));
    held.pop_back();
    EXPECT_TRUE(Eventually([&] { return Served("127.0.0.7"); }));
}

TEST_F(CentralHttpFrontTest, ConnectionsBeyondTheLimitInAllAreClosedAtOnce)
{
    CCentralHttpOptions options;
    options.maxConnections = 3;
    StartFront(options);
    std::vector<RawPeer> held;
    for (const char* from : {"127.0.0.11", "127.0.0.12", "127.0.0.13"}) {
        held.emplace_back(m_port, from);
        ASSERT_TRUE(held.back().Send(HonestPost("hold")));
        ASSERT_FALSE(held.back().ReadAnswer().empty());
    }
    RawPeer over(m_port, "127.0.0.14");
    EXPECT_TRUE(over.ReadUntilClosed().closed);
    held.pop_back();
    EXPECT_TRUE(Eventually([&] { return Served("127.0.0.14"); }));
}

struct Idler {
    const char* name;
    bool answeredFirst;     // one honest exchange before idling
    std::string bytes;      // what it sends, then nothing more
};

class CentralHttpIdlerTest : public CentralHttpFrontTest, public ::testing::WithParamInterface<Idler> {};

TEST_P(CentralHttpIdlerTest, IsDroppedAndOthersAreStillServed)
{
    CCentralHttpOptions options;
    options.headerTimeoutSeconds = 1;
    options.keepAliveSeconds = 1;
    options.transferWindowSeconds = 1;
    StartFront(options);
    RawPeer peer(m_port);
    if (GetParam().answeredFirst) {
        ASSERT_TRUE(peer.Send(HonestPost("first")));
        ASSERT_FALSE(peer.ReadAnswer().empty());
    }
    ASSERT_TRUE(peer.Send(GetParam().bytes));
    const RawPeer::Received all = peer.ReadUntilClosed();
    EXPECT_TRUE(all.closed);
    EXPECT_EQ(all.bytes.find("200 OK"), std::string::npos) << all.bytes;
    EXPECT_EQ(m_handled, GetParam().answeredFirst ? 1 : 0);
    EXPECT_TRUE(Served());
}

INSTANTIATE_TEST_SUITE_P(
    Table, CentralHttpIdlerTest,
    ::testing::Values(Idler{"SendsNothing", false, ""}, Idler{"HalfAHead", false, "POST / HTTP/1.1\r\nContent-Le"},
                      Idler{"HalfABody", false, "POST / HTTP/1.1\r\nContent-Length: 100000\r\n\r\n0123"},
                      Idler{"IdleAfterAnAnswer", true, ""},
                      Idler{"HalfAHeadAfterAnAnswer", true, "POST / HTTP/1.1\r\n"}),
    [](const ::testing::TestParamInfo<Idler>& info) { return info.param.name; });

TEST_F(CentralHttpFrontTest, APeerThatDoesNotReadItsAnswerIsDropped)
{
    CCentralHttpOptions options;
    options.transferWindowSeconds = 1;
    StartFront(options);
    RawPeer peer(m_port);
    ASSERT_TRUE(peer.Send(HonestPost("ping")));
    ASSERT_FALSE(peer.ReadAnswer().empty());
    ASSERT_TRUE(peer.Send(HonestPost("big")));
    // It reads nothing until the server has given up on it.
    ASSERT_TRUE(Eventually([&] { return m_front->OpenConnections() == 0; }));
    EXPECT_LT(peer.ReadUntilClosed().bytes.size(), kBigAnswer);
    EXPECT_TRUE(Served());
}

// ---- stopping ----

TEST_F(CentralHttpFrontTest, StopFinishesTheRequestInHandAndTakesNoNewConnections)
{
    StartFront();
    RawPeer idle(m_port);
    ASSERT_TRUE(idle.Send(HonestPost("before")));
    ASSERT_FALSE(idle.ReadAnswer().empty());
    RawPeer busy(m_port);
    ASSERT_TRUE(busy.Send(HeadWaitingToContinue(7)));
    ASSERT_EQ(busy.ReadAnswer(), kContinueAnswer);

    std::thread stopping([&] { m_front->Stop(); });
    // The idle connection goes at once; nobody new gets in.
    EXPECT_TRUE(idle.ReadUntilClosed().closed);
    EXPECT_TRUE(Eventually([&] { return !RawPeer().Connect(m_port); }));
    // The request in hand still gets its whole answer, and the connection closes after it.
    ASSERT_TRUE(busy.Send("in hand"));
    const RawPeer::Received all = busy.ReadUntilClosed();
    stopping.join();
    EXPECT_TRUE(all.closed);
    EXPECT_EQ(StatusLineOf(all.bytes), "HTTP/1.1 200 OK");
    EXPECT_NE(all.bytes.find("\r\nConnection: close\r\n"), std::string::npos);
    EXPECT_NE(all.bytes.find("answer to in hand"), std::string::npos);
    EXPECT_FALSE(m_front->IsRunning());
}

TEST_F(CentralHttpFrontTest, StopDropsARequestThatOutlastsTheDrainDeadline)
{
    CCentralHttpOptions options;
    options.drainSeconds = 1;
    StartFront(options);
    RawPeer busy(m_port);
    ASSERT_TRUE(busy.Send(HeadWaitingToContinue(100000)));
    ASSERT_EQ(busy.ReadAnswer(), kContinueAnswer);
    ASSERT_TRUE(busy.Send("some of it"));
    m_front->Stop();
    const RawPeer::Received all = busy.ReadUntilClosed();
    EXPECT_TRUE(all.closed);
    EXPECT_TRUE(all.bytes.empty());
    EXPECT_EQ(m_handled, 0);
}

TEST_F(CentralHttpFrontTest, ServesAgainAfterAStop)
{
    StartFront();
    ASSERT_TRUE(Served());
    m_front->Stop();
    m_port = m_front->Start("127.0.0.1", 0, nullptr);
    ASSERT_GT(m_port, 0);
    EXPECT_TRUE(Served());
}

} // namespace
