#include "net/CZelSockThread.h"

#include "foundation/CZelFormat.h"
#include "foundation/XTOOError.h"
#include "foundation/ZelGlobalLocks.h"
#include "net/ZelSockets.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

CZelSockThread::CZelSockThread(CZelSockThread* parent)
    : m_sockets(std::make_unique<CZelFdSockets>()), m_parent(parent)
{
    m_wakeHandle = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wakeHandle < 0)
        throw XTOOSockErr("eventfd()", nullptr, CZelString(), errno);
    m_sockets->WatchWakeHandle(m_wakeHandle);
}

CZelSockThread::~CZelSockThread()
{
    StopAndWait(-1);
    m_sockets->DeleteAllSockets();
    {
        // Timers that outlived their owners leave the list without being run again.
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        while (CZelSocketTimer* timer = m_timers.First()) {
            timer->Unlink();
            timer->m_thread = nullptr;
        }
    }
    m_sockets.reset();
    ::close(m_wakeHandle);
}

bool CZelSockThread::StopAndWait(int ms)
{
    SignalStop();
    Wake();
    return Join(ms);
}

CZelSockThread* CZelSockThread::Parent() const
{
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    return m_parent;
}

void CZelSockThread::SetParent(CZelSockThread* parent)
{
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    m_parent = parent;
}

void CZelSockThread::AddTimer(CZelSocketTimer* timer)
{
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    m_timers.Append(timer);
}

void CZelSockThread::SetDefaultWait(int seconds, int microseconds)
{
    m_defaultWaitMs = std::max(0, seconds * 1000 + microseconds / 1000);
}

void CZelSockThread::PostCommand(CZelSockThread* thread, const SCmd& command)
{
    if (!thread)
        return;
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        thread->m_commands.push_back(command);
    }
    thread->Wake();
}

void CZelSockThread::Wake()
{
    const uint64_t one = 1;
    // A full counter already means "woken"; nothing else can fail here.
    [[maybe_unused]] ssize_t written = ::write(m_wakeHandle, &one, sizeof one);
}

void CZelSockThread::ResetWake()
{
    uint64_t count = 0;
    [[maybe_unused]] ssize_t got = ::read(m_wakeHandle, &count, sizeof count);
}

int CZelSockThread::Run()
{
    SetCurrentThreadName("CZelSockThread");
    int code = kEndNormal;
    try {
        Loop();
    } catch (const eExitThread&) {
        code = kEndExitRequest;
    } catch (const XTOOBareText& text) {
        ZelSockTrace(1, XTOOSockErr::WithMessage(text.GetText()).GetText() + "\n");
        code = kEndText;
    } catch (const XTOOError& error) {
        ZelSockTrace(1, error.GetText() + "\n");
        code = kEndError;
    } catch (...) {
        ZelSockTrace(1, Format("\nUnknown error. Errno = %d %s\n", errno, std::strerror(errno)));
        code = kEndUnknown;
    }
    // Sockets tell whoever waits on them that they are gone before the thread is reaped.
    try {
        m_sockets->DeleteAllSockets();
    } catch (...) {
    }
    OnLoopEnded(code);
    TellParent();
    return code;
}

void CZelSockThread::TellParent()
{
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    if (m_parent) {
        m_parent->m_commands.push_back(SCmd{kSockCmdChildFinished, this});
        m_parent->Wake();
    }
}

void CZelSockThread::OnLoopEnded(int)
{
}

void CZelSockThread::OnIdle()
{
}

void CZelSockThread::OnCustomCommand(void*)
{
}

void CZelSockThread::OnChildFinished(CZelSockThread* child)
{
    child->Join(-1);
    delete child;
}

int CZelSockThread::Loop()
{
    while (Select()) {
    }
    return 0;
}

void CZelSockThread::HandleCommands()
{
    for (;;) {
        SCmd command;
        {
            CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
            if (m_commands.empty())
                return;
            command = m_commands.front();
            m_commands.pop_front();
        }
        if (command.type == kSockCmdChildFinished)
            OnChildFinished(static_cast<CZelSockThread*>(command.data));
        else if (command.type == kSockCmdCustom)
            OnCustomCommand(command.data);
    }
}

bool CZelSockThread::HasActiveTimers()
{
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    for (const CZelSocketTimer& timer : m_timers)
        if (timer.m_active)
            return true;
    return false;
}

int CZelSockThread::ComputeWaitMs()
{
    if (m_immediatePass) {
        m_immediatePass = false;
        return 0;
    }
    int64_t waitMs = m_defaultWaitMs;
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    const int64_t now = ZelTickMs();
    for (const CZelSocketTimer& timer : m_timers)
        if (timer.m_active)
            waitMs = std::min(waitMs, std::max<int64_t>(0, timer.m_dueMs - now));
    return static_cast<int>(waitMs);
}

bool CZelSockThread::Select()
{
    HandleCommands();
    if (!HasActiveTimers() && !m_immediatePass && (m_stopFlag || m_sockets->IsEmpty()))
        return false;
    // Asked to stop: leave even while timers run, so that a stop is never held up by them.
    CheckStop(0);
    WaitAndDispatch(ComputeWaitMs());
    RunDueTimers();
    OnIdle();
    return true;
}

void CZelSockThread::WaitAndDispatch(int waitMs)
{
    if (ZelSockTraceOn(4))
        ZelSockTrace(4, "selecting \n");
    bool woken = false;
    m_sockets->Wait(waitMs, m_ready, woken);
    if (woken)
        ResetWake();
    for (const CZelFdSockets::SReady& ready : m_ready) {
        Dispatch(ready);
        m_sockets->FlushDiscarded();
    }
}

void CZelSockThread::Dispatch(const CZelFdSockets::SReady& ready)
{
    CZelSocket* socket = m_sockets->Find(ready.id);
    if (!socket)
        return;
    try {
        DispatchHandlers(socket, ready.events);
    } catch (const XTOOSockClose& close) {
        ZelSockTrace(2, close.GetText() + "\n");
    } catch (const XTOOSockErr& error) {
        ZelSockTrace(2, error.GetText() + "\n");
    }
}

// One ready socket: first decide whether the peer closed or data waits, then call the
// handlers in the order error, read, write, connect; a handler that takes the socket out of
// the set ends its dispatch.
void CZelSockThread::DispatchHandlers(CZelSocket* socket, uint32_t events)
{
    using namespace zelsock;
    CZelFdSockets& set = *m_sockets;
    uint32_t interest = set.Interest(socket);
    const bool connecting = (interest & kConnecting) != 0;
    const bool wantRead = (interest & kWantRead) != 0;
    const bool hangUp = (events & EPOLLHUP) != 0;
    const bool failed = (events & EPOLLERR) != 0;

    int closeError = 0;
    bool readDue = false;
    if (connecting) {
        // Only the connect's outcome matters; (a) and (e) below sort it out.
    } else if (socket->IsTcp() && !socket->IsListening() && !(interest & kSuspended)) {
        const bool closeReported = (events & EPOLLRDHUP) || hangUp;
        if (wantRead && (events & EPOLLIN) && !closeReported && !failed) {
            readDue = true;    // readable without a close or an error: there is data
        } else if (closeReported || failed || (wantRead && (events & EPOLLIN))) {
            int error = 0;
            const int peek = socket->PeekOne(error);
            if (peek == 0)
                closeError = kSockErrClosedByPeer;
            else if (peek == -2)
                closeError = error;
            else if (peek == 1 && wantRead)
                readDue = true;
            else if (peek == 1 && hangUp)
                set.MarkHungUp(socket);   // data nobody reads on a dead connection
        }
    } else {
        readDue = wantRead && (events & (EPOLLIN | EPOLLHUP | EPOLLERR));
    }

    // (a) error
    int error = failed ? socket->PendingError() : 0;
    if (error == 0 && connecting && (failed || hangUp))
        error = ECONNREFUSED;
    if (error == 0)
        error = closeError;
    if (error != 0) {
        if (error == kSockErrClosedByPeer)
            set.ChangeInterest(socket, kPeerCloseSeen);
        set.MarkHungUp(socket);
        errno = error;
        socket->Notify_Error(error);
        return;
    }
    // (b) read or accept
    if (readDue) {
        socket->ChangeInterest(static_cast<uint32_t>(socket->OnRead()));
        if (!set.Contains(socket))
            return;
    }
    // (c) bandwidth shaping is not used by any connection of the system.
    // (d) write
    interest = set.Interest(socket);
    if ((interest & kWantWrite) && !(interest & kConnecting) &&
        ((events & EPOLLOUT) || (interest & kWritePending))) {
        if (interest & kWritePending)
            set.ChangeInterest(socket, kWritePending << 8);
        socket->ChangeInterest(static_cast<uint32_t>(socket->OnWrite()));
        if (!set.Contains(socket))
            return;
    }
    // (e) connect
    if (connecting && (events & EPOLLOUT)) {
        bool connected = false;
        try {
            connected = socket->ConnectAgain();
        } catch (const XTOOSockErr& refused) {
            if (refused.Socket() == nullptr) {
                set.DiscardSocket(socket);
                return;
            }
            set.MarkHungUp(socket);
            errno = refused.Code();
            socket->Notify_Error(refused.Code());
            return;
        }
        if (connected) {
            set.ChangeInterest(socket, (kConnecting << 8) | kWritePending);
            socket->ChangeInterest(static_cast<uint32_t>(socket->OnConnected()));
        }
    }
}

void CZelSockThread::RunDueTimers()
{
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        for (CZelSocketTimer& timer : m_timers)
            timer.m_visited = false;
    }
    for (;;) {
        CZelSocketTimer* due = nullptr;
        int64_t dueAt = 0;
        {
            CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
            const int64_t now = ZelTickMs();
            for (CZelSocketTimer& timer : m_timers) {
                if (timer.m_visited || !timer.m_active || timer.m_dueMs > now)
                    continue;
                timer.m_visited = true;
                dueAt = timer.m_dueMs;
                timer.m_dueMs = std::max(timer.m_dueMs + timer.m_periodUs / 1000, now);
                due = &timer;
                break;
            }
        }
        if (!due)
            return;
        // Every call starts the scan again: a handler may start, stop or destroy timers.
        try {
            due->OnTimer(dueAt);
        } catch (const XTOOBareText&) {
            throw;      // a bare text (an allocation failure) ends the loop: Run tells it by kEndText
        } catch (const XTOOError& error) {
            ZelSockTrace(2, error.GetText() + "\n");
        }
        m_sockets->FlushDiscarded();
    }
}
