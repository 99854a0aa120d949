// TLS under the blocking connection facade: both ends upgrade a real loopback connection and
// keep reading and writing as before; what a client sent in the clear before the upgrade never
// shows up as protected input; a peer that cannot or will not complete a handshake only fails
// its own upgrade.
#include "net/CZelTcpFile.h"

#include "net/ZelSockets.h"
#include "net/tests/NetTestPeer.h"
#include "testing/TlsTestPair.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>

using namespace nettest;

namespace {

constexpr int kTimeoutMs = 10000;
const CZelString kLineEnd("\r\n");

std::string ReadLine(CZelTcpFile& file)
{
    char buffer[1024];
    const int got = file.ReadUntil(buffer, sizeof buffer, kTimeoutMs, kLineEnd);
    return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : std::string();
}

class TcpFileTlsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SocketsStart(true));
        ASSERT_TRUE(m_listening.Listen(0x7F000001u, 0));
    }
    void TearDown() override { SocketsStop(); }

    // The server's end of a connection the client facade opened.
    std::unique_ptr<CZelTcpFile> Connect(CZelTcpFile& client)
    {
        EXPECT_TRUE(client.Open("127.0.0.1", m_listening.LocalPort()));
        const int handle = m_listening.Accept(kTimeoutMs);
        EXPECT_GE(handle, 0);
        return std::make_unique<CZelTcpFile>(handle, EErrorMode::ReturnCodes);
    }
    // A raw peer connected to a new server end.
    std::unique_ptr<CZelTcpFile> ConnectRaw(Fd& peer)
    {
        peer = Fd(::socket(AF_INET, SOCK_STREAM, 0));
        const sockaddr_in to = Loopback(m_listening.LocalPort());
        EXPECT_EQ(::connect(peer.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
        const int handle = m_listening.Accept(kTimeoutMs);
        EXPECT_GE(handle, 0);
        return std::make_unique<CZelTcpFile>(handle, EErrorMode::ReturnCodes);
    }

    tls_testing::SavedPair m_pair;
    CTlsContext m_serverContext = CTlsContext::Server(m_pair.certificateFile, m_pair.keyFile);
    CTlsContext m_clientContext = CTlsContext::Client(m_pair.certificateFile);
    CZelTcpFile m_listening{EErrorMode::ReturnCodes};
};

TEST_F(TcpFileTlsTest, BothEndsUpgradeAndCarryLinesAndBulk)
{
    CZelTcpFile client(EErrorMode::ReturnCodes);
    auto server = Connect(client);
    auto clientSide = std::async(std::launch::async, [&] {
        return client.StartTlsClient(m_clientContext, "localhost", kTimeoutMs);
    });
    ASSERT_TRUE(server->StartTlsServer(m_serverContext, kTimeoutMs)) << server->TlsFailureReason();
    ASSERT_TRUE(clientSide.get()) << client.TlsFailureReason();
    EXPECT_TRUE(server->IsTls());

    EXPECT_EQ(client.Write(CZelString("EHLO me\r\nNOOP\r\n"), kTimeoutMs), 15);
    EXPECT_EQ(ReadLine(*server), "EHLO me\r\n");
    EXPECT_EQ(ReadLine(*server), "NOOP\r\n");

    // More than the socket buffers hold, so both ends must keep the records flowing.
    std::string bulk(3 << 20, 'x');
    for (size_t i = 0; i < bulk.size(); i += 1000)
        bulk[i] = static_cast<char>('a' + i % 26);
    auto writer = std::async(std::launch::async, [&] {
        return server->Write(bulk.data(), static_cast<int>(bulk.size()), kTimeoutMs);
    });
    std::string received(bulk.size(), '\0');
    EXPECT_EQ(client.Read(received.data(), static_cast<int>(received.size()), kTimeoutMs), static_cast<int>(bulk.size()));
    EXPECT_EQ(writer.get(), static_cast<int>(bulk.size()));
    EXPECT_TRUE(received == bulk);
}

TEST_F(TcpFileTlsTest, PlaintextSentAheadOfTheUpgradeIsDropped)
{
    CZelTcpFile client(EErrorMode::ReturnCodes);
    auto server = Connect(client);
    ASSERT_EQ(client.Write(CZelString("STARTTLS\r\nRCPT TO:<victim@example>\r\n"), kTimeoutMs), 36);
    ASSERT_EQ(ReadLine(*server), "STARTTLS\r\n");
    // The second line came with the first (one write on loopback): it is in the server's hands.
    ASSERT_EQ(server->PushedBackBytes(), 26);
    ASSERT_EQ(server->Write(CZelString("220 go\r\n"), kTimeoutMs), 8);
    auto clientSide = std::async(std::launch::async, [&] {
        const bool ok = ReadLine(client) == "220 go\r\n" && client.StartTlsClient(m_clientContext, "localhost", kTimeoutMs);
        return ok && client.Write(CZelString("NOOP\r\n"), kTimeoutMs) == 6;
    });
    ASSERT_TRUE(server->StartTlsServer(m_serverContext, kTimeoutMs)) << server->TlsFailureReason();
    EXPECT_EQ(ReadLine(*server), "NOOP\r\n");
    EXPECT_TRUE(clientSide.get());
}

// The last step of a protected opening: a stop from another thread ends a handshake that
// waits for a peer that never answers, and the peer sees the connection go.
TEST_F(TcpFileTlsTest, AnAbortEndsAHandshakeThatWaitsForThePeer)
{
    CZelTcpFile client(EErrorMode::ReturnCodes);
    auto server = Connect(client);
    constexpr int kLongerThanAnyTestMs = 600000;
    auto handshake = std::async(std::launch::async, [&] {
        return client.StartTlsClient(m_clientContext, "localhost", kLongerThanAnyTestMs);
    });
    // The client's hello has come: it waits for the answer now.
    char hello[4096];
    ASSERT_GT(server->Read(hello, sizeof hello, CZelTcpFile::kReadAnyData | kTimeoutMs), 0);
    client.Abort();
    ASSERT_EQ(handshake.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(handshake.get());
    EXPECT_FALSE(client.IsOpen());
    int got;
    while ((got = server->Read(hello, sizeof hello, CZelTcpFile::kReadAnyData | kTimeoutMs)) > 0) {
    }
    EXPECT_EQ(got, -1) << "the peer is left with an open connection";
}

struct HostileCase {
    const char* name;
    std::string bytes;     // what the peer sends instead of a proper handshake
    bool closeAfter;       // then hangs up (true) or just stops (false)
};

void PrintTo(const HostileCase& c, std::ostream* out) { *out << c.name; }

class TcpFileTlsHostileTest : public TcpFileTlsTest, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(TcpFileTlsHostileTest, FailedHandshakeEndsOnlyThatConnection)
{
    Fd peer;
    auto server = ConnectRaw(peer);
    ASSERT_TRUE(SendAll(peer.Get(), GetParam().bytes));
    if (GetParam().closeAfter)
        peer.Reset();
    EXPECT_FALSE(server->StartTlsServer(m_serverContext, 500));
    EXPECT_FALSE(server->TlsFailureReason().empty());
    char buffer[16];
    EXPECT_LE(server->Read(buffer, sizeof buffer, 100), 0) << "nothing readable after a failed upgrade";

    // The next client is served.
    CZelTcpFile client(EErrorMode::ReturnCodes);
    auto next = Connect(client);
    auto clientSide = std::async(std::launch::async, [&] {
        return client.StartTlsClient(m_clientContext, "localhost", kTimeoutMs);
    });
    EXPECT_TRUE(next->StartTlsServer(m_serverContext, kTimeoutMs)) << next->TlsFailureReason();
    EXPECT_TRUE(clientSide.get());
}

// The start of a real client hello: the record and handshake headers promise far more.
const std::string kHalfHello("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);

INSTANTIATE_TEST_SUITE_P(Peers, TcpFileTlsHostileTest,
                         ::testing::Values(HostileCase{"Garbage", "EHLO nonsense\r\nQUIT\r\n", false},
                                           HostileCase{"HalfAHelloThenSilence", kHalfHello, false},
                                           HostileCase{"HalfAHelloThenHangUp", kHalfHello, true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
