#include "net/CZelTcpFileMainThread.h"

#include "foundation/ZelGlobalLocks.h"
#include "net/CZelFileSockThread.h"
#include "net/ZelSockets.h"

#include <algorithm>

namespace {

// The task slot (under the data lock) and the event that tells waiting callers it is free.
// Never destroyed, so a caller waiting across a library stop is safe.
struct TaskSlot {
    ZelSockTask task = nullptr;
    void* argument = nullptr;
    CZelEvent freed{false, false};
};

TaskSlot& Slot()
{
    static auto* slot = new TaskSlot();
    return *slot;
}

} // namespace

CZelTcpFileMainThread::CZelTcpFileMainThread() : CZelSockThread(nullptr) {}

CZelTcpFileMainThread::~CZelTcpFileMainThread()
{
    SignalStop();
    Wake();
    Join(-1);
}

bool CZelTcpFileMainThread::AddTask(ZelSockTask task, void* argument)
{
    for (;;) {
        {
            CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
            CZelTcpFileMainThread* main = ZelSocketsMainThreadLocked();
            if (!main)
                return false;
            TaskSlot& slot = Slot();
            if (!slot.task) {
                slot.task = task;
                slot.argument = argument;
                main->Wake();
                return true;
            }
        }
        Slot().freed.Wait(kTaskWaitMs);
    }
}

bool CZelTcpFileMainThread::RunPendingTask()
{
    ZelSockTask task;
    void* argument;
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        TaskSlot& slot = Slot();
        if (!slot.task)
            return false;
        task = slot.task;
        argument = slot.argument;
        slot.task = nullptr;
        slot.argument = nullptr;
    }
    Slot().freed.Signal();
    task(argument, this);
    return true;
}

bool CZelTcpFileMainThread::Select()
{
    HandleCommands();
    CheckStop(0);
    if (!RunPendingTask()) {
        WaitAndDispatch(kTaskWaitMs);
        RunPendingTask();
    }
    return true;
}

void CZelTcpFileMainThread::OnChildFinished(CZelSockThread* child)
{
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        ZelRemoveFileSockThreadLocked(static_cast<CZelFileSockThread*>(child));
    }
    CZelSockThread::OnChildFinished(child);
}

// Waits for the file-socket threads (already told to stop) and reaps them, within the bound.
void CZelTcpFileMainThread::ReapChildren(int boundMs)
{
    const int64_t deadline = ZelTickMs() + boundMs;
    for (;;) {
        HandleCommands();
        {
            CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
            if (ZelFileSockThreadCountLocked() == 0)
                return;
        }
        const int64_t left = deadline - ZelTickMs();
        if (left <= 0)
            return;
        WaitAndDispatch(static_cast<int>(std::min<int64_t>(left, 50)));
    }
}

void CZelTcpFileMainThread::OnLoopEnded(int)
{
    // A thread made by the last task may have missed the library's stop request.
    StopFileSockThreads();
    ReapChildren(kSocketsStopBoundMs - 500);
    // A task placed just before the stop will never run: let its caller know.
    ZelSockTask task;
    void* argument;
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        task = Slot().task;
        argument = Slot().argument;
        Slot().task = nullptr;
        Slot().argument = nullptr;
    }
    Slot().freed.Signal();
    if (task)
        task(argument, nullptr);
}
