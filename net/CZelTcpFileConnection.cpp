#include "net/CZelTcpFileConnection.h"

#include "foundation/CZelFormat.h"
#include "foundation/ZelGlobalLocks.h"
#include "net/CZelFdSockets.h"
#include "net/ZelSockets.h"

#include <algorithm>
#include <cerrno>

using namespace tcpfile;

namespace {

// Due time of a request's time-out: the total deadline, brought forward by the idle time-out.
int64_t TimeoutDue(int64_t deadlineMs, bool hasDeadline, int idleMs, int64_t nowMs)
{
    int64_t due = hasDeadline ? deadlineMs : INT64_MAX;
    if (idleMs >= 0)
        due = std::min(due, nowMs + idleMs);
    return due;
}

} // namespace

CZelTcpFileConnection::CZelTcpFileConnection(CZelSockThread* thread, std::shared_ptr<CZelTcpFileLink> link,
                                             const CZelString& hostText)
    : CZelTcpSocket(thread), m_link(std::move(link)), m_name(Format("Connection to %S", hostText)),
      m_startRead(thread, this, kStartRead), m_startWrite(thread, this, kStartWrite),
      m_readTimeout(thread, this, kReadTimeout), m_writeTimeout(thread, this, kWriteTimeout)
{
}

CZelTcpFileConnection::CZelTcpFileConnection(CZelSockThread* thread, std::shared_ptr<CZelTcpFileLink> link,
                                             int handle)
    : CZelTcpSocket(thread, handle), m_link(std::move(link)),
      m_startRead(thread, this, kStartRead), m_startWrite(thread, this, kStartWrite),
      m_readTimeout(thread, this, kReadTimeout), m_writeTimeout(thread, this, kWriteTimeout)
{
    uint32_t localAddress = 0, peerAddress = 0;
    int localPort = 0, peerPort = 0;
    try {
        GetLocalAddress(localAddress, localPort);
        GetPeerAddress(peerAddress, peerPort);
    } catch (const XTOOSockErr&) {
        // A peer already gone still gets a connection object; its first read reports it.
    }
    m_name = Format("Connection from %I:%d-->%I:%d", localAddress, localPort, peerAddress, peerPort);
}

CZelTcpFileConnection::~CZelTcpFileConnection()
{
    Detach();
}

bool CZelTcpFileConnection::StartConnect(uint32_t address, int port)
{
    Create();
    return Connect(address, port);
}

void CZelTcpFileConnection::MarkConnected()
{
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        {
            std::lock_guard<std::mutex> handle(m_link->handleLock);
            m_link->handle = Handle();
        }
        m_link->Signal(kConnected);
    }
    StartCloseCheck();
}

int CZelTcpFileConnection::OnConnected()
{
    MarkConnected();
    return 0;
}

// Leaves the link: the facade sees the connection closed, and nothing it waits for is left
// pending. Idempotent.
void CZelTcpFileConnection::Detach()
{
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    if (m_link->connection != this)
        return;
    {
        std::lock_guard<std::mutex> handle(m_link->handleLock);
        m_link->handle = -1;
    }
    m_link->WakeDirectWaiters();
    m_link->connection = nullptr;
    m_link->thread = nullptr;
    uint32_t bits = kClosed;
    if (m_link->read.active) {
        m_link->read.active = false;
        bits |= kReadDone;
    }
    if (m_link->write.active) {
        m_link->write.active = false;
        bits |= kComplete;
    }
    m_link->Signal(bits);
}

void CZelTcpFileConnection::CloseConnection(const char* reason)
{
    Detach();
    if (CZelFdSockets* set = Set())
        set->DiscardSocket(this);
    throw XTOOSockClose(CZelString(reason), this);
}

void CZelTcpFileConnection::Notify_Error(int code)
{
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        if (code == kSockErrClosedByPeer)
            m_link->state |= kPeerClosed;
        else
            m_link->StoreError(XTOOSockErr("TCP:Notify_Error()", this, Name(), code));
    }
    CloseConnection(code == kSockErrClosedByPeer ? "Connection is closed" : "Error");
}

// A failing platform call inside a handler ends the connection like any reported error.
int CZelTcpFileConnection::FailWith(const XTOOSockErr& error)
{
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        m_link->StoreError(error);
    }
    CloseConnection("Error");
}

void CZelTcpFileConnection::RestartTimeout(CZelSocketTimer& timer, int64_t deadlineMs, int idleMs)
{
    const int64_t now = ZelTickMs();
    const int64_t due = TimeoutDue(deadlineMs, deadlineMs != INT64_MAX, idleMs, now);
    if (due == INT64_MAX) {
        timer.Stop();
        return;
    }
    // A period of at least one microsecond: a due time already passed still fires.
    timer.Start(std::max<int64_t>(1, (due - now) * 1000), CZelSocketTimer::kNoWake);
}

void CZelTcpFileConnection::PostRead()
{
    m_startRead.Start(1, CZelSocketTimer::kWake);
}

void CZelTcpFileConnection::PostWrite()
{
    m_startWrite.Start(1, CZelSocketTimer::kWake);
}

int CZelTcpFileConnection::OnTimer(int type)
{
    switch (type) {
    case kStartRead:
        m_startRead.Stop();
        return StartRead();
    case kStartWrite:
        m_startWrite.Stop();
        return StartWrite();
    case kReadTimeout:
        return ReadTimedOut();
    case kWriteTimeout:
        return WriteTimedOut();
    default:
        throw XTOOSockErr::WithMessage(Format("OnTimer(%d)", type));
    }
}

int CZelTcpFileConnection::StartRead()
{
    int64_t deadline;
    int idle;
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        CZelTcpFileLink::ReadRequest& read = m_link->read;
        if (!read.active)
            return 0;
        read.deadlineMs = read.timeoutMs >= 0 ? ZelTickMs() + read.timeoutMs : INT64_MAX;
        deadline = read.deadlineMs;
        idle = read.idleMs;
    }
    RestartTimeout(m_readTimeout, deadline, idle);
    // Data already waiting is taken at once instead of after one more wait.
    const int change = OnRead();
    return change == static_cast<int>(zelsock::kStopReading) ? change : static_cast<int>(zelsock::kWantRead);
}

int CZelTcpFileConnection::OnRead()
{
    char* target;
    int piece;
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        CZelTcpFileLink::ReadRequest& read = m_link->read;
        if (!read.active)
            return zelsock::kStopReading;
        piece = std::min(read.count - read.got, kRecvPiece);
        target = m_link->readBuffer.get() + read.got;
    }
    int got;
    try {
        got = Recv(target, piece);
    } catch (const XTOOSockErr& error) {
        return FailWith(error);
    }
    if (got == 0) {
        ChangeInterest(zelsock::kPeerCloseSeen);
        Notify_Error(kSockErrClosedByPeer);
    }
    if (got < 0)
        return 0;

    int64_t deadline;
    int idle;
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        CZelTcpFileLink::ReadRequest& read = m_link->read;
        read.got += got;
        if (read.got < read.count && !read.any) {
            deadline = read.deadlineMs;
            idle = read.idleMs;
        } else {
            read.active = false;
            m_link->Signal(kReadDone | kComplete);
            deadline = -1;
        }
    }
    if (deadline < 0) {
        m_readTimeout.Stop();
        return zelsock::kStopReading;
    }
    if (idle >= 0)
        RestartTimeout(m_readTimeout, deadline, idle);
    return 0;
}

int CZelTcpFileConnection::ReadTimedOut()
{
    m_readTimeout.Stop();
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    if (!m_link->read.active)
        return 0;
    m_link->read.active = false;
    m_link->Signal(kReadTimedOut | kReadDone);
    return zelsock::kStopReading;
}

int CZelTcpFileConnection::StartWrite()
{
    int64_t deadline;
    int idle;
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        CZelTcpFileLink::WriteRequest& write = m_link->write;
        if (!write.active)
            return 0;
        m_writing = write.bytes;
        write.deadlineMs = write.timeoutMs >= 0 ? ZelTickMs() + write.timeoutMs : INT64_MAX;
        deadline = write.deadlineMs;
        idle = write.idleMs;
    }
    RestartTimeout(m_writeTimeout, deadline, idle);
    const int change = OnWrite();
    return change == static_cast<int>(zelsock::kStopWriting) ? change : static_cast<int>(zelsock::kWantWrite);
}

int CZelTcpFileConnection::OnWrite()
{
    int sent;
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        if (!m_link->write.active) {
            m_writing = CZelString();
            return zelsock::kStopWriting;
        }
        sent = m_link->write.sent;
    }
    const int length = m_writing.Length();
    int moved = 0;
    try {
        // A few pieces per call while the platform keeps taking whole pieces.
        for (int round = 0; round < 4 && sent + moved < length; ++round) {
            const int piece = std::min(length - sent - moved, kSendPiece);
            const int n = Send(m_writing.Ptr() + sent + moved, piece);
            moved += n;
            if (n < piece)
                break;
        }
    } catch (const XTOOSockErr& error) {
        return FailWith(error);
    }
    if (moved == 0)
        return 0;

    int64_t deadline = -1;
    int idle = -1;
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        CZelTcpFileLink::WriteRequest& write = m_link->write;
        if (!write.active)
            return zelsock::kStopWriting;     // the facade gave up on it meanwhile
        write.sent += moved;
        if (write.sent >= length) {
            write.active = false;
            m_link->Signal(kWriteProgress | kComplete);
        } else {
            m_link->state |= kWriteProgress;
            deadline = write.deadlineMs;
            idle = write.idleMs;
        }
    }
    if (deadline < 0) {
        m_writeTimeout.Stop();
        m_writing = CZelString();
        return zelsock::kStopWriting;
    }
    if (idle >= 0)
        RestartTimeout(m_writeTimeout, deadline, idle);
    return 0;
}

int CZelTcpFileConnection::WriteTimedOut()
{
    m_writeTimeout.Stop();
    m_writing = CZelString();
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    if (!m_link->write.active)
        return zelsock::kStopWriting;
    m_link->write.active = false;
    m_link->Signal(kWriteTimedOut | kWriteProgress);
    return zelsock::kStopWriting;
}
