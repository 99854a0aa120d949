// The blocking connection facade against plain sockets on 127.0.0.1.
#include "net/CZelTcpFile.h"

#include "foundation/XTOOError.h"
#include "foundation/ZelGlobalLocks.h"
#include "net/ZelSockets.h"
#include "foundation/testing/Eventually.h"
#include "net/tests/NetTestPeer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

using namespace nettest;
using Clock = std::chrono::steady_clock;

namespace {

int64_t MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class TcpFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SocketsStart(true)); }
    void TearDown() override { SocketsStop(); }

    // A facade connected to `listener`, and the peer's end of it.
    Fd OpenTo(CZelTcpFile& file, Listener& listener)
    {
        EXPECT_TRUE(file.Open("127.0.0.1", listener.Port()));
        Fd peer = listener.Accept();
        EXPECT_TRUE(peer.Valid());
        return peer;
    }

    Listener m_listener;
};

TEST_F(TcpFileTest, WritesAndReadsBothWays)
{
    CZelTcpFile file(EErrorMode::Throw);
    Fd peer = OpenTo(file, m_listener);
    EXPECT_TRUE(file.IsOpen());

    EXPECT_EQ(file.Write(CZelString("hello"), 5000, 60000), 5);
    EXPECT_EQ(RecvExactly(peer.Get(), 5), "hello");

    ASSERT_TRUE(SendAll(peer.Get(), "world!"));
    char buffer[16] = {};
    EXPECT_EQ(file.Read(buffer, 6, 5000), 6);
    EXPECT_EQ(std::string(buffer, 6), "world!");
    EXPECT_EQ(file.BytesSent(), 5);
    EXPECT_EQ(file.BytesReceived(), 6);
    EXPECT_EQ(file.WaitRead(10), CZelTcpFile::kWaitNoRead) << "no read request is outstanding";
}

TEST_F(TcpFileTest, HostTextPortWinsOverThePortArgument)
{
    CZelTcpFile file(EErrorMode::Throw);
    ASSERT_TRUE(file.Open(CZelString(("127.0.0.1:" + std::to_string(m_listener.Port())).c_str()), 1));
    EXPECT_TRUE(m_listener.Accept().Valid());
}

TEST_F(TcpFileTest, BitThirtyOneReturnsAtTheFirstBytes)
{
    CZelTcpFile file(EErrorMode::Throw);
    Fd peer = OpenTo(file, m_listener);
    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        SendAll(peer.Get(), "abc");
    });
    char buffer[65536];
    const auto start = Clock::now();
    const int got = file.Read(buffer, sizeof buffer, CZelTcpFile::kReadAnyData | 20000);
    const int64_t elapsed = MsSince(start);
    sender.join();
    EXPECT_EQ(got, 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    EXPECT_LT(elapsed, 10000) << "the read waited for its time-out instead of the first bytes";
}

TEST_F(TcpFileTest, WithoutBitThirtyOneReadWaitsForTheFullCount)
{
    CZelTcpFile file(EErrorMode::Throw);
    Fd peer = OpenTo(file, m_listener);
    std::thread sender([&] {
        SendAll(peer.Get(), "abc");
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        SendAll(peer.Get(), "defg");
    });
    char buffer[16] = {};
    EXPECT_EQ(file.Read(buffer, 7, 20000), 7);
    sender.join();
    EXPECT_EQ(std::string(buffer, 7), "abcdefg");
}

TEST_F(TcpFileTest, ReadTimeOutReturnsWhatArrivedOrZero)
{
    CZelTcpFile file(EErrorMode::Throw);
    Fd peer = OpenTo(file, m_listener);
    char buffer[16];
    EXPECT_EQ(file.Read(buffer, 10, 150), 0);
    EXPECT_EQ(file.Read(buffer, 10, CZelTcpFile::kReadAnyData | 150), 0);

    ASSERT_TRUE(SendAll(peer.Get(), "xy"));
    EXPECT_EQ(file.Read(buffer, 10, 300), 2) << "bytes that came before the time-out are returned";
    EXPECT_EQ(std::string(buffer, 2), "xy");
    EXPECT_TRUE(file.IsOpen()) << "a time-out is not an error";
}

TEST_F(TcpFileTest, ReadBeyondTheRequestBufferSize)
{
    CZelTcpFile file(EErrorMode::Throw);
    Fd peer = OpenTo(file, m_listener);
    std::string big(350000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + i / 251);
    std::thread sender([&] { SendAll(peer.Get(), big); });
    std::string got(big.size(), '\0');
    EXPECT_EQ(file.Read(got.data(), static_cast<int>(got.size()), 20000), static_cast<int>(big.size()));
    sender.join();
    EXPECT_EQ(got, big);
}

TEST_F(TcpFileTest, ReadUntilSplitsTwoLinesOfOnePacket)
{
    CZelTcpFile file(EErrorMode::Throw);
    Fd peer = OpenTo(file, m_listener);
    ASSERT_TRUE(SendAll(peer.Get(), "USER alice\r\nPASS secret\r\n"));
    char buffer[65536];
    int got = file.ReadUntil(buffer, sizeof buffer, 5000, "\r\n");
    ASSERT_EQ(got, 12);
    EXPECT_EQ(std::string(buffer, got), "USER alice\r\n");
    EXPECT_EQ(file.PushedBackBytes(), 13);

    // The second line comes from the push-back buffer: the peer is gone and the network is
    // not asked any more.
    peer.Reset();
    got = file.ReadUntil(buffer, sizeof buffer, 0, "\r\n");
    ASSERT_EQ(got, 13);
    EXPECT_EQ(std::string(buffer, got), "PASS secret\r\n");
    EXPECT_EQ(file.PushedBackBytes(), 0);
}

TEST_F(TcpFileTest, ReadUntilJoinsALineSplitAcrossPackets)
{
    CZelTcpFile file(EErrorMode::Throw);
    Fd peer = OpenTo(file, m_listener);
    std::thread sender([&] {
        SendAll(peer.Get(), "EHLO exa");
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        SendAll(peer.Get(), "mple.org\r");
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        SendAll(peer.Get(), "\nQUIT\r\n");
    });
    char buffer[256];
    const int got = file.ReadUntil(buffer, sizeof buffer, 10000, "\r\n");
    sender.join();
    ASSERT_EQ(got, 18);
    EXPECT_EQ(std::string(buffer, got), "EHLO example.org\r\n");
    EXPECT_EQ(file.ReadUntil(buffer, sizeof buffer, 5000, "\r\n"), 6);
}

TEST_F(TcpFileTest, ReadUntilWithoutTimeTakesWhatAlreadyArrivedAndWithoutLimitWaits)
{
    CZelTcpFile file(EErrorMode::Throw);
    Fd peer = OpenTo(file, m_listener);
    ASSERT_TRUE(SendAll(peer.Get(), "ready\r\n"));
    velmo_testing::Eventually([&] { return AllSentAcknowledged(peer.Get()); });
    char buffer[32];
    EXPECT_EQ(file.ReadUntil(buffer, sizeof buffer, 0, "\r\n"), 7);

    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        SendAll(peer.Get(), "late\r\n");
    });
    EXPECT_EQ(file.ReadUntil(buffer, sizeof buffer, -1, "\r\n"), 6);
    sender.join();
}

TEST_F(TcpFileTest, ReadUntilStopsAtTheMaximumAndKeepsTheRest)
{
    CZelTcpFile file(EErrorMode::Throw);
    Fd peer = OpenTo(file, m_listener);
    ASSERT_TRUE(SendAll(peer.Get(), "0123456789\r\n"));
    char buffer[16];
    EXPECT_EQ(file.ReadUntil(buffer, 4, 5000, "\r\n"), 4);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    EXPECT_EQ(file.ReadUntil(buffer, sizeof buffer, 5000, "\r\n"), 8);
    EXPECT_EQ(std::string(buffer, 8), "456789\r\n");
}

TEST_F(TcpFileTest, PushBackComesFirst)
{
    CZelTcpFile file(EErrorMode::Throw);
    Fd peer = OpenTo(file, m_listener);
    ASSERT_TRUE(SendAll(peer.Get(), "tail"));
    EXPECT_TRUE(file.PushBack(CZelString("head-")));
    EXPECT_TRUE(file.PushBack(CZelString(">")));
    char buffer[16];
    EXPECT_EQ(file.Read(buffer, 10, 5000), 10);
    EXPECT_EQ(std::string(buffer, 10), ">head-tail");
}

TEST_F(TcpFileTest, BitThirtyOneWithPushedBackBytesDoesNotWait)
{
    CZelTcpFile file(EErrorMode::Throw);
    Fd peer = OpenTo(file, m_listener);
    file.PushBack(CZelString("ready"));
    char buffer[64];
    EXPECT_EQ(file.Read(buffer, sizeof buffer, CZelTcpFile::kReadAnyData | 20000), 5);
}

TEST_F(TcpFileTest, PeerCloseDuringReadReturnsTheBytesThenMinusOne)
{
    CZelTcpFile file(EErrorMode::ReturnCodes);
    Fd peer = OpenTo(file, m_listener);
    std::thread closer([&] {
        SendAll(peer.Get(), "partial");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peer.Reset();
    });
    char buffer[64];
    EXPECT_EQ(file.Read(buffer, 20, 20000), 7);
    closer.join();
    EXPECT_EQ(std::string(buffer, 7), "partial");
    EXPECT_EQ(file.Read(buffer, 20, 20000), -1);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_TRUE(file.State() & 0x04) << "peer closed";
}

TEST_F(TcpFileTest, PeerCloseInThrowModeSaysSo)
{
    CZelTcpFile file(EErrorMode::Throw);
    Fd peer = OpenTo(file, m_listener);
    peer.Reset();
    char buffer[64];
    try {
        file.Read(buffer, sizeof buffer, CZelTcpFile::kReadAnyData | 20000);
        FAIL() << "no error";
    } catch (const XTOOSockErr& error) {
        EXPECT_EQ(error.GetText(), "CZelTcpFile: Connection is closed by remote host");
        EXPECT_EQ(error.Code(), 9999);
    }
    // Writing to a closed connection fails in the same way.
    EXPECT_THROW(file.Write(CZelString("x"), 1000), XTOOSockErr);
}

TEST_F(TcpFileTest, UnresolvableHostFailsWithTheLookupError)
{
    CZelTcpFile quiet(EErrorMode::ReturnCodes);
    EXPECT_FALSE(quiet.Open("no-such-host.invalid", 80));
    const CZelString text = quiet.LastError().GetText();
    EXPECT_EQ(text.Find(CZelString("Connection to no-such-host.invalid:gethostbyname(\"no-such-host.invalid\")")), 0)
        << text.ToStd();
    EXPECT_FALSE(quiet.IsOpen());

    CZelTcpFile loud(EErrorMode::Throw);
    EXPECT_THROW(loud.Open("no-such-host.invalid", 80), XTOOSockDnsErr);
}

TEST_F(TcpFileTest, RefusedConnectReportsThePlatformError)
{
    CZelTcpFile file(EErrorMode::ReturnCodes);
    EXPECT_FALSE(file.Open("127.0.0.1", ClosedPort()));
    const XTOOError error = file.LastError();
    EXPECT_EQ(error.Code(), ECONNREFUSED);
    EXPECT_NE(error.GetText().Find(CZelString("ECONNREFUSED")), -1) << error.GetText().ToStd();
    EXPECT_EQ(error.GetText().Find(CZelString("Connection to 127.0.0.1:")), 0) << error.GetText().ToStd();
}

TEST_F(TcpFileTest, ListenAcceptAndAttach)
{
    CZelTcpFile server(EErrorMode::Throw);
    ASSERT_TRUE(server.Open("|127.0.0.1:0", 0));
    const int port = server.LocalPort();
    ASSERT_GT(port, 0);
    EXPECT_TRUE(server.IsOpen());

    Fd client = Connect(port);
    ASSERT_TRUE(client.Valid());
    const int accepted = server.Accept(10000);
    ASSERT_GE(accepted, 0);
    uint32_t peerAddress = 0;
    int peerPort = 0;
    server.AcceptedPeer(peerAddress, peerPort);
    EXPECT_EQ(peerAddress, 0x7F000001u);

    CZelTcpFile connection(accepted, EErrorMode::Throw);
    ASSERT_TRUE(connection.IsOpen());
    ASSERT_TRUE(SendAll(client.Get(), "ping\r\n"));
    char buffer[16];
    EXPECT_EQ(connection.ReadUntil(buffer, sizeof buffer, 5000, "\r\n"), 6);
    EXPECT_EQ(connection.Write(CZelString("pong\r\n"), 5000), 6);
    EXPECT_EQ(RecvExactly(client.Get(), 6), "pong\r\n");
}

TEST_F(TcpFileTest, AcceptOnAFacadeThatDoesNotListen)
{
    CZelTcpFile quiet(EErrorMode::ReturnCodes);
    EXPECT_EQ(quiet.Accept(10), -1);
    CZelTcpFile loud(EErrorMode::Throw);
    try {
        loud.Accept(10);
        FAIL() << "no error";
    } catch (const XTOOSockErr& error) {
        EXPECT_EQ(error.GetText(), "CZelTcpFile::Accept(): not listening");
    }
}

TEST_F(TcpFileTest, AcceptTimesOut)
{
    CZelTcpFile server(EErrorMode::ReturnCodes);
    ASSERT_TRUE(server.Listen(0x7F000001u, 0));
    const auto start = Clock::now();
    EXPECT_EQ(server.Accept(200), -1);
    EXPECT_GE(MsSince(start), 150);
    EXPECT_TRUE(server.IsOpen()) << "a time-out leaves the server listening";

    // The next request still works.
    Fd client = Connect(server.LocalPort());
    const int accepted = server.Accept(10000);
    EXPECT_GE(accepted, 0);
    if (accepted >= 0)
        ::close(accepted);
}

TEST_F(TcpFileTest, ListenPlusTakesOverOneConnection)
{
    const int port = ClosedPort();
    // Joined however the test ends, and told to give up when the listen failed.
    std::atomic<bool> listenFailed{false};
    std::jthread client([&] {
        Fd fd;
        if (velmo_testing::Eventually([&] { return listenFailed.load() || (fd = Connect(port)).Valid(); }) &&
            fd.Valid()) {
            SendAll(fd.Get(), "over");
            RecvExactly(fd.Get(), 2);
        }
    });
    CZelTcpFile file(EErrorMode::Throw);
    const bool listening = file.Open("|+", port);
    listenFailed = !listening;
    ASSERT_TRUE(listening);
    char buffer[8];
    EXPECT_EQ(file.Read(buffer, 4, 10000), 4);
    EXPECT_EQ(std::string(buffer, 4), "over");
    EXPECT_EQ(file.Write(CZelString("ok"), 5000), 2);
}

TEST_F(TcpFileTest, ABarListeningTextUsesThePortArgumentOnAllAddresses)
{
    const int port = ClosedPort();
    CZelTcpFile server(EErrorMode::Throw);
    ASSERT_TRUE(server.Open("|", port));
    EXPECT_EQ(server.LocalPort(), port);
    Fd client = Connect(port);
    const int accepted = server.Accept(10000);
    EXPECT_GE(accepted, 0);
    if (accepted >= 0)
        ::close(accepted);
}

TEST_F(TcpFileTest, ListenOnAPortInUseFails)
{
    CZelTcpFile file(EErrorMode::ReturnCodes);
    EXPECT_FALSE(file.Listen(0x7F000001u, m_listener.Port()));
    EXPECT_EQ(file.LastError().Code(), EADDRINUSE);
    EXPECT_NE(file.LastError().GetText().Find(CZelString("bind ()")), -1) << file.LastError().GetText().ToStd();
}

TEST_F(TcpFileTest, BadListeningTextsAreRefused)
{
    CZelTcpFile file(EErrorMode::ReturnCodes);
    EXPECT_FALSE(file.Open("|300.1.1.1:0", 0));
    EXPECT_FALSE(file.Open("|127.0.0.1:notaport", 0));
    EXPECT_FALSE(file.IsOpen());
}

TEST_F(TcpFileTest, WriteTotalTimeOutAgainstAPeerThatNeverReads)
{
    CZelTcpFile file(EErrorMode::Throw);
    Fd peer = OpenTo(file, m_listener);
    const std::string big(64 * 1024 * 1024, 'z');
    const auto start = Clock::now();
    const int sent = file.Write(CZelString(big), 300, -1);
    EXPECT_GE(MsSince(start), 250);
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<int>(big.size()));
    EXPECT_TRUE(file.IsOpen()) << "a time-out is not an error";
}

TEST_F(TcpFileTest, WriteIdleTimeOutAgainstAPeerThatStopsReading)
{
    CZelTcpFile file(EErrorMode::Throw);
    Fd peer = OpenTo(file, m_listener);
    const std::string big(64 * 1024 * 1024, 'i');
    // The peer reads the first 2 MB, then stops: the idle time-out ends the write.
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        RecvExactly(peer.Get(), 2 * 1024 * 1024);
        reading = false;
    });
    const int sent = file.Write(CZelString(big), -1, 300);
    reader.join();
    EXPECT_FALSE(reading);
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<int>(big.size()));
}

TEST_F(TcpFileTest, WriteToAVanishedPeerFails)
{
    CZelTcpFile file(EErrorMode::ReturnCodes);
    Fd peer = OpenTo(file, m_listener);
    // An abortive close: the next writes meet a reset.
    linger hard{1, 0};
    ::setsockopt(peer.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    peer.Reset();
    const std::string big(8 * 1024 * 1024, 'v');
    int sent = 0;
    for (int i = 0; i < 5 && sent >= 0 && file.IsOpen(); ++i)
        sent = file.Write(CZelString(big), 10000, 10000);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_NE(file.LastError().Code(), 0) << file.LastError().GetText().ToStd();
}

TEST_F(TcpFileTest, CloseAndReopen)
{
    CZelTcpFile file(EErrorMode::Throw);
    for (int i = 0; i < 3; ++i) {
        Fd peer = OpenTo(file, m_listener);
        EXPECT_EQ(file.Write(CZelString("n"), 5000), 1);
        EXPECT_EQ(RecvExactly(peer.Get(), 1), "n");
        file.Close();
        EXPECT_FALSE(file.IsOpen());
        EXPECT_EQ(RecvExactly(peer.Get(), 1, 5000), "") << "the peer sees the close";
    }
}

TEST(TcpFileWithoutLibrary, StartingTwiceKeepsOneLibraryAndStopIsIdempotent)
{
    ASSERT_TRUE(SocketsStart(true));
    EXPECT_TRUE(SocketsStart(true));
    EXPECT_TRUE(SocketsInitialized());
    SocketsStop();
    EXPECT_FALSE(SocketsInitialized());
    SocketsStop();
}

TEST(TcpFileWithoutLibrary, OpenSaysTheLibraryIsNotInitialized)
{
    SocketsStop();
    CZelTcpFile file(EErrorMode::ReturnCodes);
    EXPECT_FALSE(file.Open("127.0.0.1", 1));
    EXPECT_EQ(file.LastError().GetText(), "Sockets library is not initialized");
    CZelTcpFile loud(EErrorMode::Throw);
    EXPECT_THROW(loud.Open("127.0.0.1", 1), XTOOSockErr);
}

// A call that waits on the network while its thread holds the data lock would wait for the
// socket side, which needs that lock to report: builds without NDEBUG stop at the call.
using TcpFileDeathTest = TcpFileTest;

TEST_F(TcpFileDeathTest, ABlockingCallUnderTheDataLockStopsTheProgram)
{
#ifdef NDEBUG
    GTEST_SKIP() << "the data lock check is compiled only without NDEBUG";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CZelTcpFile file(EErrorMode::ReturnCodes);
    Fd peer = OpenTo(file, m_listener);
    ASSERT_TRUE(file.IsOpen());
    char buffer[16];
    struct Case {
        const char* pattern;
        std::function<void()> call;
    };
    const Case cases[] = {
        {"CZelTcpFile::Read\\(\\)", [&] { file.Read(buffer, 1, 0); }},
        {"CZelTcpFile::ReadUntil\\(\\)", [&] { file.ReadUntil(buffer, 16, 0, CZelString("\r\n")); }},
        {"CZelTcpFile::WaitRead\\(\\)", [&] { file.WaitRead(0); }},
        {"CZelTcpFile::Write\\(\\)", [&] { file.Write(CZelString("x"), 1000); }},
        {"CZelTcpFile::Close\\(\\)", [&] { file.Close(); }},
        {"CZelTcpFile::Open\\(\\)", [&] { file.Open("127.0.0.1", m_listener.Port()); }},
        {"CZelTcpFile::Accept\\(\\)", [&] { file.Accept(0); }},
    };
    for (const Case& c : cases) {
        EXPECT_DEATH(
            {
                CZelLockGuard guard(ZelDataLock(), "HoldsTheDataLock()", 7);
                c.call();
            },
            std::string(c.pattern) + " called while holding the data lock.*HoldsTheDataLock\\(\\)\\(7\\)")
            << c.pattern;
    }
    EXPECT_TRUE(file.IsOpen()) << "the calls died in the children only";
}

TEST_F(TcpFileTest, AnotherLockHeldDoesNotStopABlockingCall)
{
    CZelTcpFile file(EErrorMode::ReturnCodes);
    Fd peer = OpenTo(file, m_listener);
    CZelLockGuard guard(ZelGeneralLock(), "HoldsAnotherLock()", 1);
    ASSERT_TRUE(SendAll(peer.Get(), "ok"));
    char buffer[2];
    EXPECT_EQ(file.Read(buffer, 2, 5000), 2);
    EXPECT_EQ(file.Write(CZelString("fine"), 5000), 4);
    EXPECT_EQ(RecvExactly(peer.Get(), 4), "fine");
}

} // namespace
