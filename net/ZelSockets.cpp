#include "net/ZelSockets.h"

#include "foundation/CZelDList.h"
#include "foundation/XTOOError.h"
#include "foundation/ZelGlobalLocks.h"
#include "net/CZelFileSockThread.h"
#include "net/CZelTcpFileMainThread.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

std::atomic<int> g_traceLevel{0};
CZelTcpFileMainThread* g_mainThread = nullptr;     // under the data lock

// Never destroyed: threads that outlive a stop may still unlink from it.
CZelDList<CZelFileSockThread>& FileThreads()
{
    static auto* threads = new CZelDList<CZelFileSockThread>();
    return *threads;
}

// Stop events set and a wake-up command posted to every file-socket thread.
void SignalFileThreadsLocked()
{
    for (CZelFileSockThread& thread : FileThreads()) {
        thread.SignalStop();
        CZelSockThread::PostCommand(&thread, SCmd{kSockCmdCustom, nullptr});
    }
}

} // namespace

int64_t ZelTickMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void SetSocketsTraceLevel(int level)
{
    g_traceLevel = level;
}

int SocketsTraceLevel()
{
    return g_traceLevel;
}

bool ZelSockTraceOn(int level)
{
    return level > 0 && level <= g_traceLevel.load(std::memory_order_relaxed);
}

void ZelSockTrace(int level, const CZelString& line)
{
    if (level <= 0 || level > g_traceLevel.load(std::memory_order_relaxed))
        return;
    std::fwrite(line.Ptr(), 1, static_cast<size_t>(line.Length()), stderr);
}

CZelTcpFileMainThread* ZelSocketsMainThreadLocked()
{
    return g_mainThread;
}

void ZelAddFileSockThreadLocked(CZelFileSockThread* thread)
{
    FileThreads().Append(thread);
}

void ZelRemoveFileSockThreadLocked(CZelFileSockThread* thread)
{
    FileThreads().Remove(thread);
}

size_t ZelFileSockThreadCountLocked()
{
    return FileThreads().Count();
}

bool SocketsStart(bool throwOnError)
{
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    if (g_mainThread)
        return true;
    auto main = std::make_unique<CZelTcpFileMainThread>();
    if (!main->Start()) {
        if (throwOnError)
            throw XTOOSockErr("WSAStartup failed", nullptr, CZelString(), 0);
        return false;
    }
    g_mainThread = main.release();
    return true;
}

bool SocketsInitialized()
{
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    return g_mainThread != nullptr;
}

void StopFileSockThreads()
{
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    SignalFileThreadsLocked();
}

void SocketsStop()
{
    CZelTcpFileMainThread* main;
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        main = g_mainThread;
        g_mainThread = nullptr;     // no new work from here on
        SignalFileThreadsLocked();
    }
    if (!main)
        return;
    // The main thread reaps the file-socket threads as they end, within the stop bound.
    main->SignalStop();
    main->Wake();
    main->Join(-1);
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        // Threads that did not end in time are left to themselves, cut off from the parent.
        std::vector<CZelFileSockThread*> leftovers;
        for (CZelFileSockThread& thread : FileThreads())
            leftovers.push_back(&thread);
        for (CZelFileSockThread* thread : leftovers) {
            thread->SetParent(nullptr);
            FileThreads().Remove(thread);
        }
    }
    delete main;
}
