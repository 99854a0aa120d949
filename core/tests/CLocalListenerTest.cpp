// The listening half shared by the local mail servers, on real loopback sockets: the port
// check, a taken port reported in the server's words, connections handed out with the
// "accepting" line before each wait, the stop request, and the end after too many failed
// accepts.

#include "core/CLocalListener.h"

#include "core/CProtocolListData.h"
#include "core/CZelStartServerThread.h"
#include "core/testing/LogLines.h"
#include "foundation/testing/FreePort.h"
#include "net/CZelTcpFile.h"
#include "testing/SocketsEnvironment.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kLoopback = 0x7F000001u;
constexpr int kSliceMs = 50;
constexpr int kFailureLimit = 3;

class LocalListenerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CZelStartServerThread::SetErrorSink([this](const CZelString& text) {
            std::lock_guard<std::mutex> hold(m_mutex);
            m_reported.push_back(text.ToStd());
        });
    }
    void TearDown() override { CZelStartServerThread::SetErrorSink({}); }

    CLocalListener MakeListener()
    {
        return CLocalListener(m_self, m_log, {kLoopback, kSliceMs, kFailureLimit},
                              {"port %d is bad\n", "waiting on %d\n", "too many failures\n",
                               [](const CZelString& failure) { return CZelString("cannot listen: ") + failure + "\n"; },
                               [this](const CZelString& failure) {
                                   m_acceptFailures.push_back(failure.ToStd());
                                   m_log.Write("accept failed: %S\n", failure);
                               }});
    }

    std::vector<std::string> Reported()
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_reported;
    }

    CZelStartServerThread m_self{CZelStartServerThread::kModeSmtpServer, 0};
    CProtocolListData m_log;
    std::vector<std::string> m_acceptFailures;
    std::mutex m_mutex;
    std::vector<std::string> m_reported;
};

class LocalListenerPortTest : public LocalListenerTest, public ::testing::WithParamInterface<int> {};

TEST_P(LocalListenerPortTest, PortOutsideTheRangeIsReportedAndNotListenedOn)
{
    CLocalListener listener = MakeListener();
    EXPECT_FALSE(listener.Open(GetParam()));
    EXPECT_EQ(velmo_testing::LogLines(m_log), std::vector<std::string>{"port " + std::to_string(GetParam()) + " is bad"});
    EXPECT_EQ(Reported(), std::vector<std::string>{"port " + std::to_string(GetParam()) + " is bad"});
}

INSTANTIATE_TEST_SUITE_P(Ports, LocalListenerPortTest, ::testing::Values(0, -1, 65536, 100000));

TEST_F(LocalListenerTest, TakenPortIsReportedInTheServersWords)
{
    CZelTcpFile holder(EErrorMode::Throw);
    ASSERT_TRUE(holder.Listen(kLoopback, 0));
    CLocalListener listener = MakeListener();
    EXPECT_FALSE(listener.Open(holder.LocalPort()));
    const std::vector<std::string> reported = Reported();
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].rfind("cannot listen: ", 0), 0u) << reported[0];
    EXPECT_NE(reported[0].find(std::strerror(EADDRINUSE)), std::string::npos) << reported[0];
    EXPECT_FALSE(velmo_testing::LogHasLine(m_log, "waiting on"));
}

TEST_F(LocalListenerTest, HandsOutEachConnectionAfterTheAcceptingLine)
{
    const int port = velmo_testing::FreePort();
    ASSERT_GT(port, 0);
    CLocalListener listener = MakeListener();
    ASSERT_TRUE(listener.Open(port));
    for (int round = 0; round < 2; ++round) {
        CZelTcpFile client(EErrorMode::ReturnCodes);
        ASSERT_TRUE(client.Open(CZelString("127.0.0.1"), port));
        const int handle = listener.AcceptNext();
        ASSERT_GE(handle, 0);
        CZelTcpFile accepted(handle, EErrorMode::Throw);
    }
    EXPECT_EQ(velmo_testing::LogLines(m_log),
              (std::vector<std::string>{"waiting on " + std::to_string(port), "waiting on " + std::to_string(port)}));
    EXPECT_TRUE(Reported().empty());
}

TEST_F(LocalListenerTest, StopRequestEndsTheWaitAndTheSlicesRunMeanwhile)
{
    const int port = velmo_testing::FreePort();
    ASSERT_GT(port, 0);
    CLocalListener listener = MakeListener();
    ASSERT_TRUE(listener.Open(port));
    std::atomic<int> slices{0};
    std::thread stopper([&] {
        while (slices.load() < 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        m_self.SignalStop();
    });
    EXPECT_EQ(listener.AcceptNext([&] { ++slices; }), -1);
    stopper.join();
    EXPECT_GE(slices.load(), 2);
    // Once stopped, no more waits and no more accepting lines.
    EXPECT_EQ(listener.AcceptNext(), -1);
    EXPECT_EQ(velmo_testing::LogLines(m_log), std::vector<std::string>{"waiting on " + std::to_string(port)});
    EXPECT_TRUE(Reported().empty());
}

TEST_F(LocalListenerTest, TooManyFailedAcceptsEndTheServerWithAReport)
{
    const int port = velmo_testing::FreePort();
    ASSERT_GT(port, 0);
    CLocalListener listener = MakeListener();
    ASSERT_TRUE(listener.Open(port));
    listener.Close();   // every accept now fails
    EXPECT_EQ(listener.AcceptNext(), -1);
    EXPECT_EQ(m_acceptFailures.size(), static_cast<size_t>(kFailureLimit));
    EXPECT_EQ(Reported(), std::vector<std::string>{"too many failures"});
    EXPECT_TRUE(velmo_testing::LogHasLine(m_log, "too many failures"));
}

} // namespace
