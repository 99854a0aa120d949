#include "foundation/CZelThread.h"
#include "foundation/CZelWin32Locker.h"
#include "foundation/XTOOError.h"
#include "foundation/testing/Eventually.h"
#include "foundation/testing/Threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

// A thread whose body is given as a function of the thread object.
class FunctionThread : public CZelThread {
public:
    explicit FunctionThread(std::function<int(FunctionThread&)> body) : m_body(std::move(body)) {}
    ~FunctionThread() override { StopAndWait(-1); }
    int Run() override { return m_body(*this); }

private:
    std::function<int(FunctionThread&)> m_body;
};

// Ignores its stop event: it only ends when the test lets it. Everything it touches after the
// start lives in a block it shares with the test, never in the thread object.
struct Stubborn {
    std::atomic<bool> running{false};
    std::atomic<bool> release{false};
    std::atomic<bool> finished{false};
};

class StubbornThread : public CZelThread {
public:
    explicit StubbornThread(std::shared_ptr<Stubborn> shared) : m_shared(std::move(shared)) {}
    int Run() override
    {
        std::shared_ptr<Stubborn> shared = m_shared;   // the object may be gone before we end
        shared->running = true;
        while (!shared->release)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        shared->finished = true;
        return 5;
    }

private:
    std::shared_ptr<Stubborn> m_shared;
};

} // namespace

TEST(CZelThread, RunResultIsTheExitCode)
{
    FunctionThread thread([](FunctionThread&) { return 42; });
    EXPECT_EQ(thread.ThreadId(), -1);
    EXPECT_FALSE(thread.ExitCode().has_value());
    ASSERT_TRUE(thread.Start());
    EXPECT_TRUE(thread.Join(-1));
    EXPECT_EQ(thread.ExitCode(), 42);
    EXPECT_TRUE(thread.HasEnded());
    EXPECT_GT(thread.ThreadId(), 0);
    EXPECT_TRUE(thread.IsValid());
}

TEST(CZelThread, WhatRunThrowsDecidesTheExitCode)
{
    struct Case {
        const char* name;
        std::function<int(FunctionThread&)> body;
        int expected;
    };
    const Case cases[] = {
        {"exit request", [](FunctionThread&) -> int { throw eExitThread(); }, 0},
        {"library error", [](FunctionThread&) -> int { throw XTOOErrMsg("broken"); }, -1},
        {"standard exception", [](FunctionThread&) -> int { throw std::runtime_error("x"); }, -1},
        {"bare text", [](FunctionThread&) -> int { ThrowMemoryAllocationError(); }, -1},
        {"anything", [](FunctionThread&) -> int { throw 7; }, -1},
    };
    for (const Case& c : cases) {
        FunctionThread thread(c.body);
        ASSERT_TRUE(thread.Start()) << c.name;
        ASSERT_TRUE(thread.Join(-1)) << c.name;
        EXPECT_EQ(thread.ExitCode(), c.expected) << c.name;
    }
}

TEST(CZelThread, CheckStopReturnsTheTimeoutCodeUntilStopIsSignalled)
{
    FunctionThread thread([](FunctionThread&) { return 0; });
    EXPECT_EQ(thread.CheckStop(0), kZelWaitTimeout);
    EXPECT_EQ(thread.CheckStop(5), kZelWaitTimeout);
    thread.SignalStop();
    EXPECT_TRUE(thread.IsStopSignalled());
    EXPECT_THROW(thread.CheckStop(0), eExitThread);
}

TEST(CZelThread, StopAndWaitEndsALoopThatChecksForStop)
{
    std::atomic<int> rounds{0};
    FunctionThread thread([&](FunctionThread& self) {
        for (;;) {
            rounds.fetch_add(1);
            self.CheckStop(5);
        }
        return 1;
    });
    ASSERT_TRUE(thread.Start());
    velmo_testing::Eventually([&] { return rounds.load() >= 3; });
    EXPECT_TRUE(thread.StopAndWait(-1));
    EXPECT_EQ(thread.ExitCode(), 0);   // eExitThread from CheckStop is a normal end
}

TEST(CZelThread, StopAndWaitGivesUpAfterItsBound)
{
    auto shared = std::make_shared<Stubborn>();
    StubbornThread thread(shared);
    ASSERT_TRUE(thread.Start());
    EXPECT_FALSE(thread.StopAndWait(20));
    EXPECT_TRUE(thread.IsRunning());
    shared->release = true;
    EXPECT_TRUE(thread.Join(-1));
    EXPECT_EQ(thread.ExitCode(), 5);
}

TEST(CZelThread, JoinOfAThreadNeverStartedSucceedsAndStartWorksOnce)
{
    FunctionThread thread([](FunctionThread&) { return 3; });
    EXPECT_TRUE(thread.Join(0));
    EXPECT_TRUE(thread.StopAndWait(0));
    ASSERT_TRUE(thread.Start());
    EXPECT_FALSE(thread.Start());
    EXPECT_TRUE(thread.Join(-1));
    EXPECT_EQ(thread.ExitCode(), 3);
}

TEST(CZelThread, ThreadCannotJoinItself)
{
    std::atomic<int> selfJoin{-1};
    FunctionThread thread([&](FunctionThread& self) {
        selfJoin = self.Join(10) ? 1 : 0;
        return 0;
    });
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(thread.Join(-1));
    EXPECT_EQ(selfJoin.load(), 0);
}

TEST(CZelThread, DestructionReturnsAfterItsBoundAndLeavesTheThreadRunning)
{
    const int threadsBefore = velmo_testing::CountThreads();
    auto shared = std::make_shared<Stubborn>();
    {
        auto thread = std::make_unique<StubbornThread>(shared);
        thread->SetDestroyWaitMs(30);
        ASSERT_TRUE(thread->Start());
        velmo_testing::Eventually([&] { return shared->running.load(); });
        thread.reset();   // returns although Run ignores the stop event
    }
    EXPECT_FALSE(shared->finished.load());
    shared->release = true;   // the left thread ends on its own, touching no freed memory
    // Its wrapper ends too before the test does.
    velmo_testing::Eventually([&] { return velmo_testing::CountThreads() == threadsBefore; });
}

TEST(CZelThread, DestructionStopsACooperativeThread)
{
    std::atomic<bool> ended{false};
    {
        FunctionThread thread([&](FunctionThread& self) {
            try {
                for (;;)
                    self.CheckStop(1000);
            } catch (const eExitThread&) {
                ended = true;
                throw;
            }
            return 0;
        });
        ASSERT_TRUE(thread.Start());
    }
    EXPECT_TRUE(ended.load());
}

TEST(CZelThread, DefaultDestroyBoundIsTenSeconds)
{
    EXPECT_EQ(CZelThread::kDestroyWaitMs, 10000);
    EXPECT_EQ(CZelThread::kCheckWord, 0xAA5555AAu);
}

TEST(CZelThread, ThreadNamesItself)
{
    std::string name;
    FunctionThread thread([&](FunctionThread&) {
        CZelThread::SetCurrentThreadName("CZelSockThreadWithALongName");
        char buffer[32] = {};
        pthread_getname_np(pthread_self(), buffer, sizeof buffer);
        name = buffer;
        return 0;
    });
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(thread.Join(-1));
    EXPECT_EQ(name, "CZelSockThreadW");
}
