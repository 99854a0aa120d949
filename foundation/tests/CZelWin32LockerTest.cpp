#include "foundation/CZelWin32Locker.h"
#include "foundation/ZelGlobalLocks.h"
#include "foundation/testing/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Redirects the lock log into a fresh folder and collects every report handed to the callback.
class LockerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_savedPath = CZelWin32Locker::LogPath();
        CZelWin32Locker::SetLogPath((m_dir / "logs" / "CZelWin32Locker.txt").string());
        CZelWin32Locker::SetReportCallback([this](const CZelString& text) {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_reports.push_back(text.ToStd());
            m_changed.notify_all();
        });
    }

    void TearDown() override
    {
        CZelWin32Locker::SetReportCallback(nullptr);
        CZelWin32Locker::SetLogPath(m_savedPath);
        CZelWin32Locker::SetDeadlockTimeoutMs(kZelDeadlockTimeoutMs);
    }

    std::string LogText() const
    {
        std::ifstream in(m_dir / "logs" / "CZelWin32Locker.txt", std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::vector<std::string> Reports()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_reports;
    }

    bool WaitForReports(size_t count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(30), [&] { return m_reports.size() >= count; });
    }

    velmo_testing::TempDir m_temp{"velmo-locker"};
    const fs::path m_dir = m_temp.Path();
    std::string m_savedPath;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_reports;
};

const char* const kDate = R"([ 123]\d\.\d\d\.\d{4} \d\d:\d\d:\d\d)";

bool Matches(const std::string& text, const std::string& pattern)
{
    return std::regex_match(text, std::regex(pattern));
}

} // namespace

TEST_F(LockerTest, DefaultLogIsUnderTheWorkingDirectory)
{
    EXPECT_EQ(m_savedPath, "logs/CZelWin32Locker.txt");
}

TEST_F(LockerTest, NestedLevelsAreRecordedAndListed)
{
    CZelWin32Locker lock("Nested");
    ASSERT_EQ(lock.Lock("Outer()", 10), kZelWaitAcquired);
    ASSERT_EQ(lock.Lock(nullptr, 20), kZelWaitAcquired);
    ASSERT_EQ(lock.Lock(50), kZelWaitAcquired);
    EXPECT_EQ(lock.Depth(), 3);
    EXPECT_EQ(lock.HeldByHandle(), 3);
    EXPECT_EQ(lock.HolderList(), "[0]: Outer()(10)\r\n[1]: null(20)\r\n[2]: unnamed(-1)\r\n");
    EXPECT_EQ(lock.UnLock("Inner()", 30), 0);
    EXPECT_EQ(lock.UnLock("Inner()", 31), 0);
    EXPECT_EQ(lock.HolderList(), "[0]: Outer()(10)\r\n");
    EXPECT_EQ(lock.UnLock("Outer()", 12), 0);
    EXPECT_EQ(lock.Depth(), 0);
    EXPECT_TRUE(Reports().empty());
}

TEST_F(LockerTest, OnlyTheFirstTwentyLevelsAreRecorded)
{
    CZelWin32Locker lock("Deep");
    for (int i = 0; i < 25; ++i)
        ASSERT_EQ(lock.Lock("Deep()", i), kZelWaitAcquired);
    const std::string list = lock.HolderList().ToStd();
    EXPECT_NE(list.find("[19]: Deep()(19)\r\n"), std::string::npos);
    EXPECT_EQ(list.find("[20]"), std::string::npos);
    for (int i = 0; i < 25; ++i)
        ASSERT_EQ(lock.UnLock("Deep()", i), 0);
    EXPECT_EQ(lock.HolderList(), "");
}

TEST_F(LockerTest, TimedLockGivesTheTimeoutCodeWhileAnotherThreadHoldsIt)
{
    CZelWin32Locker lock("Timed");
    ASSERT_EQ(lock.Lock("Holder()", 1), kZelWaitAcquired);
    int result = -7;
    std::thread other([&] { result = lock.Lock(20); });
    other.join();
    EXPECT_EQ(result, kZelWaitTimeout);
    EXPECT_EQ(lock.Depth(), 1);
    EXPECT_EQ(lock.UnLock("Holder()", 2), 0);

    std::thread again([&] {
        result = lock.Lock(0);
        if (result == kZelWaitAcquired)
            lock.UnLock("again", 3);
    });
    again.join();
    EXPECT_EQ(result, kZelWaitAcquired);
}

TEST_F(LockerTest, UnLockWithoutLockReportsAndReturnsMinusOne)
{
    CZelWin32Locker lock("Lonely");
    EXPECT_EQ(lock.UnLock("Release()", 77), -1);
    EXPECT_EQ(lock.Depth(), 0);

    const std::string log = LogText();
    EXPECT_NE(log.find(": CZelWin32Lock::UnLockF(Release(), 77) error : xx = -1 (lock count less then 0)\r\n"),
              std::string::npos)
        << log;
    const std::vector<std::string> reports = Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_TRUE(Matches(reports[0], std::string(kDate) +
                                        R"( CZelWin32Locker::UnLock\(Release\(\), 77\): error: m_x=0, m_Name=Lonely\r\n)"))
        << reports[0];
    EXPECT_TRUE(Matches(reports[1], std::string(R"(\r\n)") + kDate +
                                        R"(: CZelWin32Lock::UnLockF\(Release\(\), 77\) error : xx = -1 \(lock count less then 0\)\r\n)"))
        << reports[1];
    EXPECT_EQ(log, reports[0] + reports[1]);

    // The lock still works normally afterwards.
    EXPECT_EQ(lock.Lock("After()", 1), kZelWaitAcquired);
    EXPECT_EQ(lock.UnLock("After()", 2), 0);
}

TEST_F(LockerTest, UnLockFromAThreadThatHoldsNothingLeavesTheHolderAlone)
{
    CZelWin32Locker lock("Shared");
    ASSERT_EQ(lock.Lock("Holder()", 5), kZelWaitAcquired);
    int result = 0;
    std::thread intruder([&] { result = lock.UnLock("Intruder()", 6); });
    intruder.join();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(lock.Depth(), 1);
    EXPECT_EQ(lock.HeldByHandle(), 1);
    EXPECT_EQ(lock.HolderList(), "[0]: Holder()(5)\r\n");

    // Nobody else can take it, since the holder still has it.
    std::thread other([&] { result = lock.Lock(10); });
    other.join();
    EXPECT_EQ(result, kZelWaitTimeout);
    EXPECT_EQ(lock.UnLock("Holder()", 7), 0);
}

TEST_F(LockerTest, AHandleThatHoldsNoLockDoesNotReleaseAnotherHandlesLevel)
{
    CZelWin32Locker first("First");
    CZelWin32Locker second(first);   // same body
    ASSERT_EQ(first.Lock("First()", 1), kZelWaitAcquired);
    EXPECT_EQ(second.UnLock("Second()", 2), -1);
    EXPECT_EQ(first.Depth(), 1);
    const std::vector<std::string> reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(Matches(reports[0], std::string(kDate) +
                                        R"( CZelWin32Locker::UnLock\(Second\(\), 2\): error: m_x=0, m_Name=First\r\n)"))
        << reports[0];
    EXPECT_EQ(first.UnLock("First()", 3), 0);
}

TEST_F(LockerTest, TwoWaitersPastTheBoundGiveTwoReportsThenBothGetTheLock)
{
    CZelWin32Locker::SetDeadlockTimeoutMs(50);
    CZelWin32Locker lock("Data");
    ASSERT_EQ(lock.Lock("StartSmtpTransfers()", 120), kZelWaitAcquired);
    ASSERT_EQ(lock.Lock("SaveFile()", 130), kZelWaitAcquired);

    std::atomic<int> acquired{0};
    auto waiter = [&](int line) {
        lock.Lock("Waiter()", line);
        acquired.fetch_add(1);
        lock.UnLock("Waiter()", line);
    };
    std::thread a(waiter, 1);
    std::thread b(waiter, 2);
    ASSERT_TRUE(WaitForReports(2));
    EXPECT_EQ(acquired.load(), 0);   // the report does not hand out the lock

    const std::string expected = std::string(R"(\r\n)") + kDate +
                                 R"(: Possible deadlock \(50 ms timeout\):\r\n)"
                                 R"(\[0\]: StartSmtpTransfers\(\)\(120\)\r\n\[1\]: SaveFile\(\)\(130\)\r\n)";
    const std::vector<std::string> reports = Reports();
    ASSERT_EQ(reports.size(), 2u);
    for (const std::string& report : reports)
        EXPECT_TRUE(Matches(report, expected)) << report;
    EXPECT_EQ(LogText(), reports[0] + reports[1]);

    lock.UnLock("SaveFile()", 131);
    lock.UnLock("StartSmtpTransfers()", 121);
    a.join();
    b.join();
    EXPECT_EQ(acquired.load(), 2);
    EXPECT_EQ(lock.Depth(), 0);
}

TEST_F(LockerTest, DestroyingAHandleThatHoldsALockReportsAndGivesItBack)
{
    CZelWin32Locker survivor("Survivor");
    {
        CZelWin32Locker doomed(survivor);
        ASSERT_EQ(doomed.Lock("Forgot()", 42), kZelWaitAcquired);
    }
    const std::vector<std::string> reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(Matches(reports[0], std::string(kDate) +
                                        R"( CZelWin32Locker::~CZelWin32Locker\(\): error: m_x=1, m_Name=Survivor\r\n)"
                                        R"(\[0\]: Forgot\(\)\(42\)\r\n)"))
        << reports[0];

    int result = -7;
    std::thread other([&] {
        result = survivor.Lock(1000);
        if (result == kZelWaitAcquired)
            survivor.UnLock("other", 1);
    });
    other.join();
    EXPECT_EQ(result, kZelWaitAcquired);
}

TEST_F(LockerTest, ReportWritesTheLogFolderWhenMissing)
{
    const fs::path savedCwd = fs::current_path();
    CZelWin32Locker::SetLogPath("logs/CZelWin32Locker.txt");
    fs::current_path(m_dir);
    CZelWin32Locker lock("Relative");
    lock.UnLock("Where()", 1);
    fs::current_path(savedCwd);
    EXPECT_TRUE(fs::exists(m_dir / "logs" / "CZelWin32Locker.txt"));
    EXPECT_NE(LogText().find("lock count less then 0"), std::string::npos);
}

TEST_F(LockerTest, GuardHoldsForItsScopeAndGlobalLocksAreDistinctAndStable)
{
    CZelWin32Locker& data = ZelDataLock();
    EXPECT_EQ(&data, &ZelDataLock());
    EXPECT_NE(&data, &ZelStringGlobalLock());
    EXPECT_NE(&ZelFileHandleLock(), &ZelGeneralLock());
    EXPECT_NE(&ZelErrorLock(), &ZelGeneralLock());
    {
        CZelLockGuard guard(data, "Scoped()", 9);
        EXPECT_EQ(data.Depth(), 1);
        EXPECT_EQ(data.HolderList(), "[0]: Scoped()(9)\r\n");
    }
    EXPECT_EQ(data.Depth(), 0);
    EXPECT_TRUE(Reports().empty());
}

TEST(LockerDate, HasTheSpacePaddedDayForm)
{
    EXPECT_TRUE(Matches(ZelLockLogDateTime().ToStd(), kDate)) << ZelLockLogDateTime().ToStd();
}

TEST_F(LockerTest, ExcludesOtherThreadsUnderContention)
{
    CZelWin32Locker lock("Counter");
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                CZelLockGuard outer(lock, "Outer()", 1);
                CZelLockGuard inner(lock, "Inner()", 2);
                const long seen = counter;
                counter = seen + 1;
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(counter, 8000);
    EXPECT_EQ(lock.Depth(), 0);
    EXPECT_EQ(lock.HeldByHandle(), 0);
    EXPECT_TRUE(Reports().empty());
}

TEST_F(LockerTest, ALockHeldByAThreadThatEndedPassesToTheNextTaker)
{
    CZelWin32Locker lock("Abandoned");
    CZelWin32Locker dying(lock);
    std::thread([&] { dying.Lock("Dies()", 1); dying.Lock("Dies()", 2); }).join();
    EXPECT_EQ(lock.Lock(5000), kZelWaitAcquired);
    EXPECT_EQ(lock.Depth(), 1);                       // counted again from 0
    EXPECT_EQ(lock.HolderList(), "[0]: unnamed(-1)\r\n");
    EXPECT_EQ(lock.UnLock("Next()", 3), 0);
    EXPECT_EQ(lock.Depth(), 0);
}

TEST_F(LockerTest, HeldByCallingThreadFollowsTheOwnerThroughEveryHandle)
{
    CZelWin32Locker lock("Owned");
    CZelWin32Locker other("Other");
    CZelWin32Locker shared(lock);     // another handle on the same body
    EXPECT_FALSE(lock.IsHeldByCallingThread());
    ASSERT_EQ(lock.Lock("Outer()", 1), kZelWaitAcquired);
    ASSERT_EQ(lock.Lock("Inner()", 2), kZelWaitAcquired);
    EXPECT_TRUE(lock.IsHeldByCallingThread());
    EXPECT_TRUE(shared.IsHeldByCallingThread());
    EXPECT_FALSE(other.IsHeldByCallingThread());

    bool seenElsewhere = true;
    std::thread([&] { seenElsewhere = lock.IsHeldByCallingThread(); }).join();
    EXPECT_FALSE(seenElsewhere) << "another thread does not hold it";

    EXPECT_EQ(lock.UnLock("Inner()", 3), 0);
    EXPECT_TRUE(lock.IsHeldByCallingThread()) << "one level is still held";
    EXPECT_EQ(lock.UnLock("Outer()", 4), 0);
    EXPECT_FALSE(lock.IsHeldByCallingThread());

    // A thread that ended holding it no longer does; the next taker does.
    CZelWin32Locker dying(lock);
    std::thread([&] { dying.Lock("Dies()", 5); }).join();
    EXPECT_FALSE(lock.IsHeldByCallingThread());
    ASSERT_EQ(lock.Lock(5000), kZelWaitAcquired);
    EXPECT_TRUE(lock.IsHeldByCallingThread());
    EXPECT_EQ(lock.UnLock("Next()", 6), 0);
}
