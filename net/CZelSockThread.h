#pragma once
// CZelSockThread: a thread that serves a set of sockets and a list of timers. One round of
// its loop (Select) takes the queued commands, waits until a socket is ready, the wake handle
// fires or a timer is due, calls the ready sockets' handlers in the fixed order error, read
// (or accept), write, connect, and then runs the due timers. Other threads reach it only by
// posting commands, by starting its timers, or (for the main thread) by tasks.

#include "foundation/CZelDList.h"
#include "foundation/CZelThread.h"
#include "net/CZelFdSockets.h"
#include "net/CZelSocketTimer.h"

#include <cstdint>
#include <deque>
#include <vector>

// A queued command: type 1 = a child socket thread has finished (data: that thread),
// -1 = a custom command (data: whatever the thread's OnCustomCommand expects).
struct SCmd {
    int type = 0;
    void* data = nullptr;
};
inline constexpr int kSockCmdChildFinished = 1;
inline constexpr int kSockCmdCustom = -1;

class CZelSockThread : public CZelThread {
public:
    // How Run ended.
    static constexpr int kEndNormal = 0;
    static constexpr int kEndText = 1;
    static constexpr int kEndError = 2;
    static constexpr int kEndUnknown = 3;
    static constexpr int kEndExitRequest = 4;

    explicit CZelSockThread(CZelSockThread* parent = nullptr);
    // Stops the thread (a thread of this kind never blocks outside its wait, so the join is
    // prompt), then destroys its sockets and timers.
    ~CZelSockThread() override;

    int Run() override;
    // Also wakes the loop, so that a thread waiting for its sockets notices the stop at once.
    bool StopAndWait(int ms) override;

    CZelFdSockets& Sockets() { return *m_sockets; }
    CZelSockThread* Parent() const;
    void SetParent(CZelSockThread* parent);

    // Appends to the thread's queue under the data lock and wakes it.
    static void PostCommand(CZelSockThread* thread, const SCmd& command);
    // Sets the wake handle: the current or next wait returns at once.
    void Wake();
    // On the thread itself: the next wait does not block.
    void RequestImmediatePass() { m_immediatePass = true; }
    void SetDefaultWait(int seconds, int microseconds);
    // Ends the loop at the next round that has no timer running.
    void SetStopFlag() { m_stopFlag = true; }

protected:
    virtual void OnIdle();
    virtual void OnCustomCommand(void* data);
    virtual void OnChildFinished(CZelSockThread* child);
    virtual int Loop();
    virtual bool Select();
    // After the loop ended and the sockets are gone, before the parent is told.
    virtual void OnLoopEnded(int endCode);

    void HandleCommands();
    bool HasActiveTimers();
    int ComputeWaitMs();
    void WaitAndDispatch(int waitMs);
    void RunDueTimers();

private:
    friend class CZelSocketTimer;
    void AddTimer(CZelSocketTimer* timer);
    void Dispatch(const CZelFdSockets::SReady& ready);
    void DispatchHandlers(CZelSocket* socket, uint32_t events);
    void ResetWake();
    void TellParent();

    std::unique_ptr<CZelFdSockets> m_sockets;
    CZelDList<CZelSocketTimer> m_timers;
    std::deque<SCmd> m_commands;
    std::vector<CZelFdSockets::SReady> m_ready;
    int m_wakeHandle = -1;
    bool m_stopFlag = false;
    bool m_immediatePass = false;
    int m_defaultWaitMs = 1000;
    CZelSockThread* m_parent;
};
