// The test kit itself: folders that go away, waits that end, what it sees of threads, and key
// pairs that work.

#include "crypto/LongInt2.h"
#include "crypto/RsaBlockTransform.h"
#include "foundation/testing/Eventually.h"
#include "foundation/testing/TempDir.h"
#include "foundation/testing/Threads.h"
#include "testing/TestKeys.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;
using namespace velmo_testing;

namespace {

TEST(TempDir, IsAFreshFolderThatGoesWithEverythingInIt)
{
    fs::path kept;
    {
        TempDir first("velmo-kit"), second("velmo-kit");
        kept = first.Path();
        ASSERT_TRUE(fs::is_directory(kept));
        EXPECT_NE(first.Path(), second.Path());
        EXPECT_TRUE(fs::is_empty(kept));
        fs::create_directories(kept / "sub" / "deeper");
        WriteFileText(first.File("sub/deeper/file.txt"), "text");
        EXPECT_EQ(ReadFileText(kept / "sub" / "deeper" / "file.txt"), "text");
    }
    EXPECT_FALSE(fs::exists(kept));
}

TEST(TempDir, TheWorkingDirectoryComesBack)
{
    const fs::path before = fs::current_path();
    TempDir folder;
    {
        ScopedWorkingDirectory inside(folder.Path());
        EXPECT_EQ(fs::current_path(), fs::canonical(folder.Path()));
    }
    EXPECT_EQ(fs::current_path(), before);
}

class TempHome : public TempHomeTest {};

TEST_F(TempHome, RunsTheTestInItsFolder)
{
    EXPECT_EQ(fs::current_path(), fs::canonical(m_home));
    WriteText("relative.txt", "here");
    EXPECT_TRUE(Exists((m_home / "relative.txt").string()));
    EXPECT_EQ(ReadText("relative.txt"), "here");
}

TEST(Eventually, EndsWhenAnotherThreadMakesTheConditionTrueAndGivesUpOtherwise)
{
    std::atomic<bool> flag{false};
    std::thread setter([&] { flag = true; });
    EXPECT_TRUE(Eventually([&] { return flag.load(); }));
    setter.join();
    EXPECT_FALSE(Eventually([] { return false; }, std::chrono::milliseconds(20)));
}

TEST(Threads, SeeAThreadAsleepInItsWaitAndCountItWhileItLives)
{
    const int before = CountThreads();
    std::mutex lock;
    std::condition_variable wake;
    bool go = false;
    std::atomic<pid_t> waiter{0};
    std::thread thread([&] {
        waiter = CurrentThreadId();
        std::unique_lock<std::mutex> hold(lock);
        wake.wait(hold, [&] { return go; });
    });
    ASSERT_TRUE(Eventually([&] { return waiter.load() != 0 && IsThreadBlocked(waiter); }));
    EXPECT_TRUE(Eventually(AllOtherThreadsBlocked));
    EXPECT_EQ(CountThreads(), before + 1);
    EXPECT_FALSE(IsThreadBlocked(CurrentThreadId())) << "the caller is running";
    {
        std::lock_guard<std::mutex> hold(lock);
        go = true;
    }
    wake.notify_one();
    thread.join();
    EXPECT_TRUE(Eventually([&] { return CountThreads() == before; }));
    EXPECT_EQ(ThreadState(waiter), 0) << "an ended thread is gone";
}

TEST(TestKeys, AreWorkingPairsOfTheAskedSizeMadeOncePerProcess)
{
    for (int bytes : {64, 128}) {
        const TestKeyPair& pair = TestKeys(0, bytes);
        EXPECT_EQ(&pair, &TestKeys(0, bytes));
        EXPECT_NE(pair.n, TestKeys(1, bytes).n);
        ASSERT_EQ(pair.n.Length(), bytes);
        ASSERT_EQ(pair.d.Length(), bytes);
        ASSERT_EQ(pair.e.Length(), bytes);

        const LongInt2 n(pair.n.Ptr(), bytes), d(pair.d.Ptr(), bytes), e(pair.e.Ptr(), bytes);
        const std::string message = "a message under the test key";
        CZelString sealed, opened;
        ASSERT_GT(RsaBlockTransform::Apply(n, e, message.data(), static_cast<int>(message.size()), 7, sealed), 0);
        uint32_t time = 0;
        ASSERT_GE(RsaBlockTransform::Invert(n, d, sealed.Ptr(), sealed.Length(), opened, time), 0);
        EXPECT_EQ(opened.ToStd(), message);
        EXPECT_EQ(time, 7u);
    }
}

} // namespace
