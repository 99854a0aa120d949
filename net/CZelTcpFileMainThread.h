#pragma once
// CZelTcpFileMainThread: the one main socket thread of the library. It owns no protocol
// sockets; it runs tasks (the creation of connection and server objects with their threads)
// and reaps the file-socket threads that have finished.

#include "net/CZelSockThread.h"

class CZelTcpFileMainThread;

// A task runs on the main thread with that thread as its second argument; a task still
// waiting when the main thread ends is called once with a null thread instead, so that whoever
// waits for it learns that it will never run.
using ZelSockTask = void (*)(void* argument, CZelTcpFileMainThread* thread);

class CZelTcpFileMainThread : public CZelSockThread {
public:
    static constexpr int kTaskWaitMs = 1000;

    CZelTcpFileMainThread();
    ~CZelTcpFileMainThread() override;

    // Places the task in the single task slot (waiting while it is taken) and wakes the main
    // thread. False when there is no main thread.
    static bool AddTask(ZelSockTask task, void* argument);

protected:
    bool Select() override;
    void OnChildFinished(CZelSockThread* child) override;
    void OnLoopEnded(int endCode) override;

private:
    bool RunPendingTask();
    void ReapChildren(int boundMs);
};
