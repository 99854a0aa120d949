// The data lock held across processes: this test program starts itself again as the other
// process (the child part below runs instead of the tests when its variable is set).

#include "foundation/CZelFileLock.h"
#include "foundation/XTOOError.h"
#include "foundation/ZelGlobalLocks.h"
#include "foundation/testing/ChildProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* kChildVariable = "VELMO_FILE_LOCK_CHILD";
constexpr int kLineWaitMs = 30000;

long ReadCounter(const fs::path& file)
{
    std::ifstream in(file);
    long value = 0;
    in >> value;
    return value;
}

void WriteCounter(const fs::path& file, long value)
{
    std::ofstream(file, std::ios::trunc) << value;
}

// One read-modify-write of the counter under the data lock, with a pause between the read and
// the write so that an edit of another process in between would be lost.
void Increment(const fs::path& file)
{
    CZelLockGuard guard(ZelDataLock(), "Increment()", __LINE__);
    const long value = ReadCounter(file);
    std::this_thread::yield();
    WriteCounter(file, value + 1);
}

// The other process: "<lock file>\n<counter file>\n<job>" in the variable.
int RunChild(const std::string& spec)
{
    std::istringstream words(spec);
    std::string lockFile, counter, job;
    std::getline(words, lockFile);
    std::getline(words, counter);
    std::getline(words, job);
    ZelShareDataLockThrough(CZelString(lockFile));
    if (job == "probe") {
        const bool free = ZelDataLock().Lock(0) == kZelWaitAcquired;
        std::cout << (free ? "free" : "busy") << std::endl;
        if (free)
            ZelDataLock().UnLock();
        return 0;
    }
    const int count = std::atoi(job.c_str());
    std::cout << "ready" << std::endl;
    for (int i = 0; i < count; ++i)
        Increment(counter);
    std::cout << "done" << std::endl;
    return 0;
}

// Runs before the test framework starts: in the child, the child's work is all there is.
[[maybe_unused]] const bool g_child = [] {
    if (const char* spec = std::getenv(kChildVariable))
        std::_Exit(RunChild(spec));
    return false;
}();

class FileLockTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/velmo-filelock-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        lockFile = folder / "velmo.lock";
        counter = folder / "counter";
        WriteCounter(counter, 0);
        ZelShareDataLockThrough(CZelString(lockFile.string()));
    }
    void TearDown() override
    {
        ZelShareDataLockThrough(CZelString());
        unsetenv(kChildVariable);
        fs::remove_all(folder);
    }

    // The other process, started with `job`.
    std::unique_ptr<velmo_testing::ChildProcess> StartChild(const std::string& job)
    {
        const std::string spec = lockFile.string() + "\n" + counter.string() + "\n" + job;
        setenv(kChildVariable, spec.c_str(), 1);
        auto child = std::make_unique<velmo_testing::ChildProcess>("/proc/self/exe", std::vector<std::string>{});
        unsetenv(kChildVariable);
        return child;
    }

    std::string Probe()
    {
        auto child = StartChild("probe");
        std::string line;
        EXPECT_TRUE(child->ReadLine(line, kLineWaitMs)) << child->Errors();
        EXPECT_EQ(velmo_testing::ChildProcess::ExitCode(child->Wait(kLineWaitMs)), 0);
        return line;
    }

    fs::path folder;
    fs::path lockFile;
    fs::path counter;
};

TEST_F(FileLockTest, TheLockFileIsPrivate)
{
    struct stat info {};
    ASSERT_EQ(stat(lockFile.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(FileLockTest, AnotherProcessFindsTheLockTakenUntilTheOutermostRelease)
{
    EXPECT_EQ(Probe(), "free");
    ZelDataLock().Lock("outer", __LINE__);
    EXPECT_EQ(Probe(), "busy");
    ZelDataLock().Lock("inner", __LINE__);
    ZelDataLock().UnLock("inner", __LINE__);
    EXPECT_EQ(Probe(), "busy") << "the inner release must keep the other process out";
    ZelDataLock().UnLock("outer", __LINE__);
    EXPECT_EQ(Probe(), "free");
}

TEST_F(FileLockTest, AThreadThatEndsHoldingTheLockLetsTheOtherProcessIn)
{
    std::thread([] { ZelDataLock().Lock("forgotten", __LINE__); }).join();
    EXPECT_EQ(Probe(), "free");
    // And this process takes it again as usual.
    EXPECT_EQ(ZelDataLock().Lock(0), kZelWaitAcquired);
    ZelDataLock().UnLock();
}

TEST_F(FileLockTest, TheOtherProcessWaitsAndBuildsOnTheEditMadeMeanwhile)
{
    std::unique_ptr<velmo_testing::ChildProcess> child;
    {
        CZelLockGuard guard(ZelDataLock(), "TheOtherProcessWaits", __LINE__);
        child = StartChild("1");
        std::string line;
        ASSERT_TRUE(child->ReadLine(line, kLineWaitMs)) << child->Errors();
        ASSERT_EQ(line, "ready");
        WriteCounter(counter, 100);
    }
    std::string line;
    ASSERT_TRUE(child->ReadLine(line, kLineWaitMs)) << child->Errors();
    EXPECT_EQ(line, "done");
    EXPECT_EQ(velmo_testing::ChildProcess::ExitCode(child->Wait(kLineWaitMs)), 0);
    EXPECT_EQ(ReadCounter(counter), 101);
}

TEST_F(FileLockTest, EditsOfTwoProcessesAtOnceAllSurvive)
{
    constexpr int kEach = 300;
    std::unique_ptr<velmo_testing::ChildProcess> child;
    {
        // Held until the child is up, so both start their edits together.
        CZelLockGuard guard(ZelDataLock(), "EditsOfTwoProcesses", __LINE__);
        child = StartChild(std::to_string(kEach));
        std::string line;
        ASSERT_TRUE(child->ReadLine(line, kLineWaitMs)) << child->Errors();
        ASSERT_EQ(line, "ready");
    }
    for (int i = 0; i < kEach; ++i)
        Increment(counter);
    EXPECT_EQ(velmo_testing::ChildProcess::ExitCode(child->Wait(kLineWaitMs)), 0) << child->Errors();
    EXPECT_EQ(ReadCounter(counter), 2 * kEach);
}

TEST_F(FileLockTest, ALockFileThatCannotBeMadeIsReportedAndChangesNothing)
{
    const fs::path underAFile = counter / "velmo.lock";
    try {
        ZelShareDataLockThrough(CZelString(underAFile.string()));
        FAIL() << "no error";
    } catch (const XTOOError& error) {
        EXPECT_NE(std::string(error.Text()).find(underAFile.string()), std::string::npos) << error.Text();
    }
    // Still shared through the file of SetUp.
    ZelDataLock().Lock("kept", __LINE__);
    EXPECT_EQ(Probe(), "busy");
    ZelDataLock().UnLock("kept", __LINE__);
}

} // namespace
