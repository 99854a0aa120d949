#include "foundation/CZelEvent.h"
#include "foundation/testing/Eventually.h"
#include "foundation/testing/Threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

void WaitForWaiters(const CZelEvent& event, int count)
{
    velmo_testing::Eventually([&] { return event.Waiters() >= count; });
}

// Starts `count` threads that each wait without limit and count their release.
std::vector<std::thread> StartWaiters(CZelEvent& event, int count, std::atomic<int>& released)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back([&] {
            if (event.Wait(-1))
                released.fetch_add(1);
        });
    WaitForWaiters(event, count);
    return threads;
}

} // namespace

TEST(CZelEvent, TimesOutWhenNotSignalled)
{
    CZelEvent manual(true, false);
    CZelEvent automatic(false, false);
    EXPECT_FALSE(manual.Wait(0));
    EXPECT_FALSE(manual.Wait(10));
    EXPECT_FALSE(automatic.Wait(10));
    EXPECT_EQ(manual.Waiters(), 0);
}

TEST(CZelEvent, ManualResetReleasesEveryWaiterAndStaysSignalled)
{
    CZelEvent event(true, false);
    std::atomic<int> released{0};
    std::vector<std::thread> threads = StartWaiters(event, 3, released);
    event.Signal();
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(released.load(), 3);
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Reset());
    EXPECT_FALSE(event.Wait(0));
}

TEST(CZelEvent, ManualResetRightAfterSignalStillReleasesThoseWaiting)
{
    CZelEvent event(true, false);
    std::atomic<int> released{0};
    std::vector<std::thread> threads = StartWaiters(event, 3, released);
    event.Signal();
    event.Reset();
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(released.load(), 3);
    EXPECT_FALSE(event.Wait(0));
}

TEST(CZelEvent, AutomaticResetReleasesOneWaiterPerSignal)
{
    CZelEvent event(false, false);
    std::atomic<int> released{0};
    std::vector<std::thread> threads = StartWaiters(event, 3, released);
    event.Signal();
    velmo_testing::Eventually([&] { return released.load() >= 1; });
    WaitForWaiters(event, 2);
    // The two others stay blocked: once they sleep in their waits, the event is found cleared.
    velmo_testing::Eventually(velmo_testing::AllOtherThreadsBlocked);
    EXPECT_EQ(released.load(), 1);
    EXPECT_FALSE(event.IsSignalled());

    event.Signal();
    velmo_testing::Eventually([&] { return released.load() >= 2; });
    event.Signal();
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(released.load(), 3);
    EXPECT_FALSE(event.Wait(0));
}

TEST(CZelEvent, AutomaticSignalWithoutWaiterIsKeptForTheNextWait)
{
    CZelEvent event(false, false);
    event.Signal();
    event.Signal();   // not counted: one pending wake-up at most
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0));
}

TEST(CZelEvent, ResetOnlyAppliesToManualEvents)
{
    CZelEvent automatic(false, true);
    EXPECT_FALSE(automatic.Reset());
    EXPECT_TRUE(automatic.IsSignalled());
    EXPECT_TRUE(automatic.Wait(0));
    EXPECT_FALSE(automatic.IsSignalled());

    CZelEvent manual(true, true);
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Reset());
    EXPECT_FALSE(manual.IsSignalled());
}

TEST(CZelEvent, TimedWaitIsReleasedBySignal)
{
    CZelEvent event(false, false);
    std::atomic<bool> result{false};
    std::thread waiter([&] { result = event.Wait(60000); });
    WaitForWaiters(event, 1);
    event.Signal();
    waiter.join();
    EXPECT_TRUE(result.load());
}
