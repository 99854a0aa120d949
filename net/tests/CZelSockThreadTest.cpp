// The socket event loop on its own: change words, dispatch, timers, commands and reaping.
#include "net/CZelSockThread.h"

#include "foundation/XTOOError.h"
#include "foundation/testing/Eventually.h"
#include "foundation/testing/Threads.h"
#include "net/CZelTcpSocket.h"
#include "net/ZelSockets.h"
#include "net/tests/NetTestPeer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

using namespace nettest;
using velmo_testing::Eventually;

namespace {

// A socket thread that runs functions handed to it as custom commands, on itself.
class TestThread : public CZelSockThread {
public:
    explicit TestThread(CZelSockThread* parent = nullptr) : CZelSockThread(parent) {}
    ~TestThread() override
    {
        SignalStop();
        Wake();
        Join(-1);
    }
    // Runs `work` on the thread and waits for it.
    void RunOnThread(std::function<void()> work)
    {
        std::promise<void> done;
        auto job = new std::function<void()>([&] {
            work();
            done.set_value();
        });
        PostCommand(this, SCmd{kSockCmdCustom, job});
        done.get_future().wait();
    }
    // Returns once the loop has gone all the way round at least once after the call: whatever
    // it was to notice by then, it has acted on.
    void GoRound()
    {
        RunOnThread([] {});
        RunOnThread([] {});
    }
    // Returns once the loop sleeps in its wait.
    void WaitUntilIdle()
    {
        pid_t loop = 0;
        RunOnThread([&] { loop = velmo_testing::CurrentThreadId(); });
        Eventually([&] { return velmo_testing::IsThreadBlocked(loop); });
    }

protected:
    void OnCustomCommand(void* data) override
    {
        std::unique_ptr<std::function<void()>> job(static_cast<std::function<void()>*>(data));
        if (job)
            (*job)();
    }
};

// A TCP socket that records what the loop called.
class ProbeSocket : public CZelTcpSocket {
public:
    using CZelTcpSocket::CZelTcpSocket;

    int OnRead() override
    {
        ++reads;
        return readAnswer;
    }
    void Notify_Error(int code) override
    {
        errors.fetch_add(1);
        lastError = code;
        if (onError)
            onError(code);
    }
    int OnConnected() override
    {
        connected = true;
        return 0;
    }

    std::atomic<int> reads{0};
    std::atomic<int> errors{0};
    std::atomic<int> lastError{0};
    std::atomic<bool> connected{false};
    int readAnswer = zelsock::kStopReading;
    std::function<void(int)> onError;
};

struct ChangeWordCase {
    uint32_t interest;
    uint32_t change;
    uint32_t expected;
};

TEST(SockChangeWord, SetsAndClearsEightPlacesLower)
{
    const ChangeWordCase cases[] = {
        {0x01, 0x100, 0x00},           // the read handler's default stops reading
        {0x03, 0x200, 0x01},           // the write handler's default stops writing
        {0x00, 0x01, 0x01},
        {0x08, 0x800 | 0x02, 0x02},    // connect done, start writing
        {0x01, 0x10, 0x11},            // suspend
        {0x11, 0x1000, 0x01},          // resume
        {0x01, 0x10000, 0x10001},      // a peer close remembered
        {0x30003, 0x2000000 | 0x100, 0x10002},
        {0x1F, 0x1F00, 0x00},
        {0x01, 0x101, 0x01},           // both: the bit stays set
        {0x00, 0x40 | 0x80, 0x00},     // bits outside the word do nothing
    };
    for (const auto& c : cases)
        EXPECT_EQ(zelsock::ApplyChangeWord(c.interest, c.change), c.expected)
            << std::hex << c.interest << " " << c.change;
}

class SockThreadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_thread = std::make_unique<TestThread>();
        m_thread->SetDefaultWait(3600, 0);   // only events, wake-ups and timers end a wait
        // An active timer keeps an empty thread running until the test adds its sockets.
        m_keepAlive = std::make_unique<Ticker>(m_thread.get());
        m_keepAlive->Start(3600LL * 1000 * 1000);
        ASSERT_TRUE(m_thread->Start());
    }
    void TearDown() override
    {
        m_thread->RunOnThread([this] { m_thread->Sockets().DeleteAllSockets(); });
        m_thread.reset();
        m_keepAlive.reset();
    }

    class Ticker : public CZelSocketTimer {
    public:
        using CZelSocketTimer::CZelSocketTimer;
        void OnTimer(int64_t) override
        {
            ++ticks;
            if (action)
                action();
        }
        std::atomic<int> ticks{0};
        std::function<void()> action;
    };

    // A connected probe in the thread's set with `interest`, and the peer's end.
    ProbeSocket* AddConnectedProbe(Listener& listener, Fd& peer, uint32_t interest)
    {
        ProbeSocket* probe = nullptr;
        m_thread->RunOnThread([&] {
            auto owned = std::make_unique<ProbeSocket>(m_thread.get());
            owned->Create();
            probe = m_thread->Sockets().AddSocket(std::move(owned), 0);
            if (probe->Connect(0x7F000001u, listener.Port()))
                probe->connected = true;
            else
                m_thread->Sockets().ChangeInterest(probe, zelsock::kConnecting);
        });
        peer = listener.Accept();
        EXPECT_TRUE(Eventually([&] { return probe->connected.load(); }));
        m_thread->RunOnThread([&] { m_thread->Sockets().ChangeInterest(probe, interest); });
        return probe;
    }

    std::unique_ptr<TestThread> m_thread;
    std::unique_ptr<Ticker> m_keepAlive;
};

TEST_F(SockThreadTest, AReadHandlerThatStopsReadingGetsNoMoreReadEvents)
{
    Listener listener;
    Fd peer;
    ProbeSocket* probe = AddConnectedProbe(listener, peer, zelsock::kWantRead);
    ASSERT_TRUE(SendAll(peer.Get(), "data nobody takes"));
    ASSERT_TRUE(Eventually([&] { return probe->reads.load() == 1; }));
    // Level-triggered readiness would call it again at once; the interest word forbids it.
    for (int i = 0; i < 20; ++i)
        m_thread->Wake();
    m_thread->GoRound();
    EXPECT_EQ(probe->reads.load(), 1);

    m_thread->RunOnThread([&] { probe->ChangeInterest(zelsock::kWantRead); });
    EXPECT_TRUE(Eventually([&] { return probe->reads.load() == 2; }));
}

TEST_F(SockThreadTest, APeerCloseIsReportedAs9999InTheSameRound)
{
    Listener listener;
    Fd peer;
    ProbeSocket* probe = AddConnectedProbe(listener, peer, zelsock::kWantRead);
    std::atomic<int> code{0};
    probe->onError = [&, probe](int error) {
        m_thread->Sockets().DiscardSocket(probe);
        code = error;
    };
    m_thread->RunOnThread([&] { probe->StopCloseCheck(); });   // not the periodic check
    peer.Reset();
    ASSERT_TRUE(Eventually([&] { return code.load() != 0; }));
    EXPECT_EQ(code.load(), 9999);
}

TEST_F(SockThreadTest, TheCloseTimerNoticesAPeerCloseWhileNobodyReads)
{
    Listener listener;
    Fd peer;
    ProbeSocket* probe = AddConnectedProbe(listener, peer, 0);
    std::atomic<int> code{0};
    probe->onError = [&, probe](int error) {
        m_thread->Sockets().DiscardSocket(probe);
        code = error;
    };
    m_thread->RunOnThread([&] { probe->StartCloseCheck(20 * 1000); });
    peer.Reset();
    ASSERT_TRUE(Eventually([&] { return code.load() != 0; }));
    EXPECT_EQ(code.load(), 9999);
}

TEST_F(SockThreadTest, AConnectToAClosedPortEndsInNotifyErrorWithTheRefusal)
{
    const int port = ClosedPort();
    std::atomic<int> code{0};
    std::atomic<bool> connected{false};
    m_thread->RunOnThread([&] {
        auto owned = std::make_unique<ProbeSocket>(m_thread.get());
        owned->Create();
        ProbeSocket* probe = m_thread->Sockets().AddSocket(std::move(owned), 0);
        probe->onError = [&, probe](int error) {
            m_thread->Sockets().DiscardSocket(probe);
            code = error;
        };
        if (probe->Connect(0x7F000001u, port))
            connected = true;
        else
            m_thread->Sockets().ChangeInterest(probe, zelsock::kConnecting);
    });
    ASSERT_TRUE(Eventually([&] { return code.load() != 0; }));
    EXPECT_FALSE(connected);
    EXPECT_EQ(code.load(), ECONNREFUSED);
}

TEST_F(SockThreadTest, TheDefaultErrorHandlerThrowsAndTheLoopGoesOn)
{
    CZelSocket plain;
    EXPECT_EQ(plain.Name(), "<unknown>");
    try {
        plain.Notify_Error(ECONNRESET);
        FAIL();
    } catch (const XTOOSockErr& error) {
        EXPECT_EQ(error.GetText().Find(CZelString("<unknown>:Some socket error occured ECONNRESET - ")), 0)
            << error.GetText().ToStd();
    }

    // A socket with that handler whose peer closes: the thrown error ends its dispatch, the
    // socket falls silent, and the thread keeps serving its timers.
    Listener listener;
    Fd peer;
    std::atomic<CZelSocket*> added{nullptr};
    m_thread->RunOnThread([&] {
        auto socket = std::make_unique<CZelTcpSocket>(m_thread.get());
        socket->Create();
        socket->Connect(0x7F000001u, listener.Port());
        added = m_thread->Sockets().AddSocket(std::move(socket), zelsock::kConnecting);
    });
    peer = listener.Accept();
    m_thread->GoRound();   // the connect is done
    m_thread->RunOnThread([&] { m_thread->Sockets().ChangeInterest(added.load(), zelsock::kWantRead); });
    peer.Reset();
    Ticker ticker(m_thread.get());
    ticker.Start(5 * 1000, CZelSocketTimer::kWake);
    EXPECT_TRUE(Eventually([&] { return ticker.ticks.load() >= 5; }));
    EXPECT_TRUE(m_thread->IsRunning());
}

TEST_F(SockThreadTest, ATimerStartedFromAnotherThreadWakesTheLoopAtOnce)
{
    // The loop waits for an hour by default; only the wake-up makes the timer fire.
    Ticker ticker(m_thread.get());
    m_thread->WaitUntilIdle();
    ticker.Start(10 * 1000, CZelSocketTimer::kWakeIfEarlier);
    EXPECT_TRUE(Eventually([&] { return ticker.ticks.load() >= 1; }));
    ticker.Stop();
}

TEST_F(SockThreadTest, TimersRepeatUntilStoppedAndAThrowingTimerHoldsUpNoOther)
{
    Ticker thrower(m_thread.get());
    thrower.action = [] { throw XTOOSockErr::WithMessage(CZelString("timer failed")); };
    Ticker steady(m_thread.get());
    thrower.Start(2 * 1000, CZelSocketTimer::kWake);
    steady.Start(2 * 1000, CZelSocketTimer::kWake);
    EXPECT_TRUE(Eventually([&] { return steady.ticks.load() >= 10 && thrower.ticks.load() >= 10; }));

    steady.Stop();
    thrower.Stop();
    EXPECT_FALSE(steady.IsActive());
    m_thread->GoRound();   // a tick already under way has ended
    const int after = steady.ticks.load();
    // A witness on the same short period: once it has ticked again and again, a stopped timer
    // that still ran would have ticked too.
    Ticker witness(m_thread.get());
    witness.Start(2 * 1000, CZelSocketTimer::kWake);
    EXPECT_TRUE(Eventually([&] { return witness.ticks.load() >= 10; }));
    witness.Stop();
    EXPECT_EQ(steady.ticks.load(), after);
}

TEST_F(SockThreadTest, AZeroPeriodKeepsThePreviousOneAndANegativeOneStaysStopped)
{
    Ticker ticker(m_thread.get());
    ticker.Start(-5);
    EXPECT_FALSE(ticker.IsActive());
    ticker.Start(0);
    EXPECT_FALSE(ticker.IsActive()) << "no period to keep yet";
    ticker.Start(50 * 1000, CZelSocketTimer::kNoWake);
    ticker.Stop();
    ticker.Start(0, CZelSocketTimer::kWake);
    EXPECT_TRUE(ticker.IsActive());
    EXPECT_TRUE(Eventually([&] { return ticker.ticks.load() >= 2; }));
    ticker.Stop();
}

// A child that ends at once; its parent reaps it through the finished-child command.
class ShortChild : public CZelSockThread {
public:
    ShortChild(CZelSockThread* parent, std::atomic<int>& destroyed) : CZelSockThread(parent), m_destroyed(destroyed) {}
    ~ShortChild() override
    {
        Join(-1);
        ++m_destroyed;
    }

private:
    std::atomic<int>& m_destroyed;
};

TEST_F(SockThreadTest, AFinishedChildIsReapedByItsParent)
{
    std::atomic<int> destroyed{0};
    for (int i = 0; i < 5; ++i) {
        auto* child = new ShortChild(m_thread.get(), destroyed);
        ASSERT_TRUE(child->Start());
    }
    EXPECT_TRUE(Eventually([&] { return destroyed.load() == 5; }));
}

// Run's result codes for the ways a loop can end.
class ThrowingThread : public CZelSockThread {
public:
    explicit ThrowingThread(int kind) : m_kind(kind) {}
    ~ThrowingThread() override { Join(-1); }

protected:
    int Loop() override
    {
        switch (m_kind) {
        case 0: return 0;
        case 1: throw XTOOBareText("a text");
        case 2: throw XTOOSockErr::WithMessage(CZelString("an error"));
        case 4: throw eExitThread();
        default: throw 42;
        }
    }

private:
    int m_kind;
};

TEST(SockThreadEnd, RunTellsHowTheLoopEnded)
{
    for (int kind : {0, 1, 2, 3, 4}) {
        ThrowingThread thread(kind);
        ASSERT_TRUE(thread.Start());
        ASSERT_TRUE(thread.Join(20000));
        ASSERT_TRUE(thread.ExitCode().has_value());
        EXPECT_EQ(*thread.ExitCode(), kind);
    }
}

TEST(SockThreadEnd, ABareTextIsTracedWithItsOwnText)
{
    const int level = SocketsTraceLevel();
    SetSocketsTraceLevel(1);
    testing::internal::CaptureStderr();
    {
        ThrowingThread thread(1);
        ASSERT_TRUE(thread.Start());
        ASSERT_TRUE(thread.Join(20000));
    }
    const std::string trace = testing::internal::GetCapturedStderr();
    SetSocketsTraceLevel(level);
    EXPECT_NE(trace.find("a text\n"), std::string::npos) << trace;
}

// A timer whose handler fails: a library error is traced and the loop goes on; a bare text
// (an allocation failure) ends the thread.
class FailingTimer : public CZelSocketTimer {
public:
    FailingTimer(CZelSockThread* thread, bool bare) : CZelSocketTimer(thread), m_bare(bare) {}
    void OnTimer(int64_t) override
    {
        calls.fetch_add(1);
        if (m_bare)
            ThrowMemoryAllocationError();
        throw XTOOErrMsg("the timer failed");
    }

    std::atomic<int> calls{0};

private:
    bool m_bare;
};

TEST(SockThreadEnd, ATimerErrorLeavesTheLoopRunningButABareTextEndsIt)
{
    {
        TestThread thread;
        FailingTimer timer(&thread, false);
        timer.Start(1000);
        ASSERT_TRUE(thread.Start());
        EXPECT_TRUE(Eventually([&] { return timer.calls.load() >= 3; }));
        EXPECT_FALSE(thread.HasEnded());
        ASSERT_TRUE(thread.StopAndWait(20000));
        EXPECT_EQ(*thread.ExitCode(), CZelSockThread::kEndExitRequest);
    }
    {
        TestThread thread;
        FailingTimer timer(&thread, true);
        timer.Start(1000);
        ASSERT_TRUE(thread.Start());
        ASSERT_TRUE(thread.Join(20000));
        EXPECT_EQ(*thread.ExitCode(), CZelSockThread::kEndText);
        EXPECT_EQ(timer.calls.load(), 1);
    }
}

TEST(SockThreadEnd, AStopRequestEndsALoopWhoseTimersRun)
{
    TestThread thread;
    thread.SetDefaultWait(3600, 0);
    class Busy : public CZelSocketTimer {
    public:
        using CZelSocketTimer::CZelSocketTimer;
        void OnTimer(int64_t) override {}
    } busy(&thread);
    busy.Start(3600LL * 1000 * 1000);
    ASSERT_TRUE(thread.Start());
    thread.WaitUntilIdle();
    // The stop wakes the loop out of its hour-long wait.
    ASSERT_TRUE(thread.StopAndWait(20000));
    EXPECT_EQ(*thread.ExitCode(), CZelSockThread::kEndExitRequest);
}

} // namespace
