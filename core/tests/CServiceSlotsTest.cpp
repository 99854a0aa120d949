#include "core/CServiceSlots.h"

#include "foundation/CZelEvent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// A service thread that writes down each stop call, to show the order of a shut-down.
class RecordingThread : public CZelStartServerThread {
public:
    RecordingThread(int32_t mode, int32_t port, std::vector<std::string>& journal, std::mutex& lock)
        : CZelStartServerThread(mode, port), m_journal(journal), m_lock(lock) {}
    ~RecordingThread() override { CZelStartServerThread::StopAndWait(kDestroyWaitMs); }

    bool StopAndWait(int ms) override
    {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_journal.push_back((ms == 0 ? "signal " : "wait ") + std::to_string(Mode()));
        }
        return CZelStartServerThread::StopAndWait(ms);
    }

private:
    std::vector<std::string>& m_journal;
    std::mutex& m_lock;
};

class ServiceSlotsTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        slots.Stop();
        for (int32_t mode = 1; mode <= 4; ++mode)
            CZelStartServerThread::SetBody(mode, {});
    }

    CServiceSlots slots;
};

TEST_F(ServiceSlotsTest, StartFillsTheFourSlotsInOrderWithTheirPorts)
{
    std::vector<int32_t> made;
    slots.SetFactory([&made](int32_t mode, int32_t port) {
        made.push_back(mode);
        return std::make_unique<CZelStartServerThread>(mode, port);
    });
    slots.Start(2525, 1110);

    EXPECT_EQ(made, (std::vector<int32_t>{1, 2, 3, 4}));
    const int32_t ports[] = {2525, 1110, 0, 0};
    for (int i = 0; i < CServiceSlots::kSlotCount; ++i) {
        ASSERT_NE(slots.Slot(i), nullptr) << i;
        EXPECT_EQ(slots.Slot(i)->Mode(), i + 1);
        EXPECT_EQ(slots.Slot(i)->Port(), ports[i]);
        EXPECT_TRUE(slots.Slot(i)->IsRunning());
        EXPECT_EQ(slots.Slot(i)->Result(), CZelStartServerThread::kResultRunning);
    }

    slots.Stop();
    for (int i = 0; i < CServiceSlots::kSlotCount; ++i)
        EXPECT_EQ(slots.Slot(i), nullptr) << i;
}

TEST_F(ServiceSlotsTest, StartingAgainKeepsTheRunningThreads)
{
    int made = 0;
    slots.SetFactory([&made](int32_t mode, int32_t port) {
        ++made;
        return std::make_unique<CZelStartServerThread>(mode, port);
    });
    slots.Start(25, 110);
    CZelStartServerThread* first = slots.Slot(0);
    slots.Start(26, 111);

    EXPECT_EQ(made, 4);
    EXPECT_EQ(slots.Slot(0), first);
    EXPECT_EQ(slots.Slot(0)->Port(), 25);
}

TEST_F(ServiceSlotsTest, AnEndedThreadIsReplacedOnTheNextStart)
{
    CZelStartServerThread::SetBody(CZelStartServerThread::kModePop3Transfers, [](CZelStartServerThread&) {});
    slots.Start(25, 110);
    ASSERT_NE(slots.Slot(3), nullptr);
    ASSERT_TRUE(slots.Slot(3)->Join(5000));
    EXPECT_EQ(slots.Slot(3)->Result(), CZelStartServerThread::kResultDone);

    CZelStartServerThread::SetBody(CZelStartServerThread::kModePop3Transfers, {});
    slots.Start(25, 110);
    ASSERT_NE(slots.Slot(3), nullptr);
    EXPECT_TRUE(slots.Slot(3)->IsRunning());
    EXPECT_EQ(slots.Slot(3)->Result(), CZelStartServerThread::kResultRunning);
}

TEST_F(ServiceSlotsTest, AThreadThatCannotStartLeavesItsSlotEmpty)
{
    slots.SetFactory([](int32_t mode, int32_t port) {
        auto thread = std::make_unique<CZelStartServerThread>(mode, port);
        if (mode == CZelStartServerThread::kModePop3Server)
            thread->Start();  // a second Start is refused
        return thread;
    });
    slots.Start(25, 110);

    EXPECT_NE(slots.Slot(0), nullptr);
    EXPECT_EQ(slots.Slot(1), nullptr);
    EXPECT_NE(slots.Slot(2), nullptr);
    EXPECT_NE(slots.Slot(3), nullptr);
}

TEST_F(ServiceSlotsTest, StopSignalsAllThenRunsTheHookThenWaitsInOrder)
{
    std::vector<std::string> journal;
    std::mutex lock;
    slots.SetFactory([&](int32_t mode, int32_t port) {
        return std::make_unique<RecordingThread>(mode, port, journal, lock);
    });
    slots.Start(25, 110);
    slots.Stop([&] {
        std::lock_guard<std::mutex> hold(lock);
        journal.push_back("socket thread");
    });

    const std::vector<std::string> expected = {"signal 1", "signal 2", "signal 3", "signal 4", "socket thread",
                                               "wait 1",   "wait 2",   "wait 3",   "wait 4"};
    EXPECT_EQ(journal, expected);
}

TEST_F(ServiceSlotsTest, AThreadIgnoringItsStopIsGivenUpAndKeptAlive)
{
    auto release = std::make_shared<CZelEvent>(true, false);
    CZelStartServerThread::SetBody(CZelStartServerThread::kModeSmtpTransfers,
                                   [release](CZelStartServerThread& self) {
                                       release->Wait(-1);  // deaf to its own stop event
                                       EXPECT_EQ(self.Mode(), CZelStartServerThread::kModeSmtpTransfers);
                                   });
    slots.SetStopWaitMs(200);
    slots.Start(25, 110);
    const int abandonedBefore = CServiceSlots::AbandonedCount();
    CZelStartServerThread* stubborn = slots.Slot(2);

    slots.Stop();

    for (int i = 0; i < CServiceSlots::kSlotCount; ++i)
        EXPECT_EQ(slots.Slot(i), nullptr) << i;
    EXPECT_EQ(CServiceSlots::AbandonedCount(), abandonedBefore + 1);
    // The object outlives the stop, so the late body still finds its thread intact.
    release->Signal();
    EXPECT_TRUE(stubborn->Join(5000));
    EXPECT_EQ(stubborn->Result(), CZelStartServerThread::kResultDone);
}

struct ResultCase {
    const char* name;
    int32_t mode;
    CZelStartServerThread::Body body;
    int32_t expected;
};

TEST(ServiceThreadTest, ResultTellsHowTheBodyEnded)
{
    const std::vector<ResultCase> cases = {
        {"returns", 3, [](CZelStartServerThread&) {}, CZelStartServerThread::kResultDone},
        {"throws", 3, [](CZelStartServerThread&) { throw std::runtime_error("boom"); },
         CZelStartServerThread::kResultFailed},
        {"stopped", 3,
         [](CZelStartServerThread& self) {
             self.SignalStop();
             self.CheckStop(0);
         },
         CZelStartServerThread::kResultDone},
        {"unknown mode", 7, {}, CZelStartServerThread::kResultFailed},
    };
    for (const ResultCase& c : cases) {
        CZelStartServerThread::SetBody(c.mode, c.body);
        CZelStartServerThread thread(c.mode, 0);
        ASSERT_TRUE(thread.Start()) << c.name;
        ASSERT_TRUE(thread.Join(5000)) << c.name;
        EXPECT_EQ(thread.Result(), c.expected) << c.name;
        CZelStartServerThread::SetBody(c.mode, {});
    }
}

TEST(ServiceThreadTest, TheDefaultBodyRunsUntilItsStop)
{
    CZelStartServerThread thread(CZelStartServerThread::kModeSmtpServer, 25);
    EXPECT_EQ(thread.Result(), CZelStartServerThread::kResultRunning);
    ASSERT_TRUE(thread.Start());
    EXPECT_FALSE(thread.Join(50));
    EXPECT_TRUE(thread.StopAndWait(5000));
    EXPECT_EQ(thread.Result(), CZelStartServerThread::kResultDone);
}

} // namespace
