// CZelTcpFile: reading, writing and the push-back buffer.
#include "net/CZelTcpFile.h"

#include "foundation/ZelGlobalLocks.h"
#include "net/CZelTcpFileConnection.h"
#include "net/CZelTcpFileLink.h"
#include "net/ZelSockets.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

using namespace tcpfile;

namespace {
// How long the facade waits past a request's own time-out for the socket side to report it.
constexpr int kTimeoutGraceMs = 250;
constexpr int kWaitSliceMs = 1000;
} // namespace

// ---- push-back buffer ----

int CZelTcpFile::ByteQueue::Take(char* buffer, int count)
{
    const size_t available = bytes.size() - start;
    const size_t take = std::min(available, static_cast<size_t>(std::max(count, 0)));
    if (take == 0)
        return 0;
    std::memcpy(buffer, bytes.data() + start, take);
    start += take;
    if (start == bytes.size())
        Clear();
    return static_cast<int>(take);
}

void CZelTcpFile::ByteQueue::Append(const char* data, int length)
{
    if (length <= 0)
        return;
    if (start > 0 && start >= bytes.size() / 2) {
        bytes.erase(0, start);
        start = 0;
    }
    bytes.append(data, static_cast<size_t>(length));
}

bool CZelTcpFile::PushBack(const char* data, int length)
{
    if (length <= 0)
        return true;
    if (!data || PushedBackBytes() > kPushBackLimit - length)
        return false;
    try {
        if (m_pushBack.start >= static_cast<size_t>(length)) {
            m_pushBack.start -= static_cast<size_t>(length);
            std::memcpy(m_pushBack.bytes.data() + m_pushBack.start, data, static_cast<size_t>(length));
        } else {
            std::string joined;
            joined.reserve(static_cast<size_t>(length) + m_pushBack.bytes.size() - m_pushBack.start);
            joined.append(data, static_cast<size_t>(length));
            joined.append(m_pushBack.bytes, m_pushBack.start, std::string::npos);
            m_pushBack.bytes.swap(joined);
            m_pushBack.start = 0;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool CZelTcpFile::PushBack(const CZelString& bytes)
{
    return PushBack(bytes.Ptr(), bytes.Length());
}

// ---- the read request ----

// Moves what the outstanding request received so far into the push-back buffer; a finished
// request is collected. Under the data lock.
int CZelTcpFile::HarvestLocked()
{
    if (!m_readPending)
        return 0;
    CZelTcpFileLink::ReadRequest& read = m_link->read;
    const int fresh = read.got - read.taken;
    if (fresh > 0) {
        RawQueue().Append(m_link->readBuffer.get() + read.taken, fresh);
        read.taken = read.got;
        m_bytesReceived += fresh;
    }
    if (!read.active)
        m_readPending = false;
    return fresh;
}

void CZelTcpFile::CollectArrived()
{
    if (!m_link || !m_readPending)
        return;
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    HarvestLocked();
}

bool CZelTcpFile::PostRead(int count, bool any, int timeoutMs, int idleMs)
{
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    if (!m_link->connection || (m_link->state & kGone))
        return false;
    if (!m_link->readBuffer)
        m_link->readBuffer.reset(new char[kReadBufferSize]);
    CZelTcpFileLink::ReadRequest& read = m_link->read;
    read = CZelTcpFileLink::ReadRequest{};
    read.active = true;
    read.any = any;
    read.count = std::min(count, kReadBufferSize);
    read.timeoutMs = timeoutMs;
    read.idleMs = idleMs;
    m_link->state &= ~(kReadDone | kReadTimedOut);
    m_readPending = true;
    m_link->connection->PostRead();
    return true;
}

int CZelTcpFile::WaitReadCore(int timeoutMs)
{
    if (!m_link || !m_readPending)
        return kWaitNoRead;
    const int64_t deadline = ZelTickMs() + std::max(timeoutMs, 0);
    for (;;) {
        int64_t left;
        {
            CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
            if (!m_link->read.active) {
                const int moved = HarvestLocked();
                const bool timedOut = (m_link->state & kReadTimedOut) != 0;
                m_link->state &= ~(kReadDone | kReadTimedOut);
                if (moved > 0)
                    return moved;
                if (!timedOut && ((m_link->state & kGone) || !m_link->connection))
                    return kWaitClosed;
                return kWaitTimedOut;
            }
            left = deadline - ZelTickMs();
            if (left <= 0)
                return kWaitNotComplete;
            m_link->event.Reset();
        }
        m_link->event.Wait(static_cast<int>(std::min<int64_t>(left, kWaitSliceMs)));
    }
}

int CZelTcpFile::WaitRead(int timeoutMs)
{
    CheckMayBlock("WaitRead()");
    const int result = WaitReadCore(timeoutMs);
    if (result == kWaitClosed && Throws())
        ClosedResult();
    return result;
}

// ---- the direct path: while no request runs, the facade moves bytes itself and waits for
// readiness in the platform, so a busy connection costs no hand-over to its socket thread.
// End of stream and errors are left to the socket side, which reports them properly.

int CZelTcpFile::DirectRecv(char* buffer, int length)
{
    std::lock_guard<std::mutex> guard(m_link->handleLock);
    if (m_link->handle < 0)
        return -1;
    const ssize_t got = ::recv(m_link->handle, buffer, static_cast<size_t>(length), MSG_DONTWAIT);
    if (got > 0) {
        m_bytesReceived += got;
        return static_cast<int>(got);
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return 0;
    return -1;
}

int CZelTcpFile::DirectSend(const char* data, int length)
{
    std::lock_guard<std::mutex> guard(m_link->handleLock);
    if (m_link->handle < 0)
        return -1;
    const ssize_t sent = ::send(m_link->handle, data, static_cast<size_t>(std::min(length, kSendPiece)),
                                MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent >= 0) {
        m_bytesSent += sent;
        return static_cast<int>(sent);
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return 0;
    return -1;
}

// Waits until the socket is ready for `events`, `untilMs` passes (1 ready, 0 not yet) or the
// socket side goes (-1). The socket side wakes the link's handle before it closes the socket,
// so a descriptor number taken over by another socket is never waited on unnoticed.
int CZelTcpFile::WaitOnSocket(short events, int64_t untilMs)
{
    int handle;
    {
        std::lock_guard<std::mutex> guard(m_link->handleLock);
        handle = m_link->handle;
    }
    if (handle < 0)
        return -1;
    const int64_t left = std::max<int64_t>(0, untilMs - ZelTickMs());
    const int slice = static_cast<int>(std::min<int64_t>(left, m_link->wakeHandle >= 0 ? kWaitSliceMs : 100));
    pollfd waits[2] = {{handle, events, 0}, {m_link->wakeHandle, POLLIN, 0}};
    const int count = ::poll(waits, m_link->wakeHandle >= 0 ? 2 : 1, slice);
    if (count < 0)
        return errno == EINTR ? 0 : -1;
    if (m_link->wakeHandle >= 0 && waits[1].revents)
        return -1;
    return waits[0].revents ? 1 : 0;
}

// ---- Read ----

int CZelTcpFile::ReadCore(char* buffer, int count, uint32_t timeoutWord, int idleMs)
{
    return m_tls ? TlsReadCore(buffer, count, timeoutWord, idleMs) : RawReadCore(buffer, count, timeoutWord, idleMs);
}

int CZelTcpFile::RawReadCore(char* buffer, int count, uint32_t timeoutWord, int idleMs)
{
    if (!buffer || count <= 0)
        return 0;
    if (!m_link)
        return -1;
    const bool any = (timeoutWord & kReadAnyData) != 0;
    const int timeoutMs = static_cast<int>(timeoutWord & kReadTimeoutMask);
    const int64_t deadline = ZelTickMs() + timeoutMs;
    int64_t lastProgress = ZelTickMs();
    int delivered = 0;
    bool gone = false;
    bool timeUp = false;
    for (;;) {
        CollectArrived();
        delivered += RawQueue().Take(buffer + delivered, count - delivered);
        if (delivered >= count || (any && delivered > 0) || gone || timeUp)
            break;
        if (!m_readPending) {
            const int direct = DirectRecv(buffer + delivered, count - delivered);
            if (direct > 0) {
                delivered += direct;
                lastProgress = ZelTickMs();
                continue;
            }
            if (direct == 0) {
                const int64_t until = idleMs >= 0 ? std::min(deadline, lastProgress + idleMs) : deadline;
                const int ready = WaitOnSocket(POLLIN, until);
                if (ready > 0)
                    continue;
                if (ready == 0) {
                    timeUp = ZelTickMs() >= until;
                    continue;
                }
            }
            // End of stream, an error, or a connection on its way out: the socket side
            // finds out which and reports it through a read request.
            const int left = static_cast<int>(std::max<int64_t>(0, deadline - ZelTickMs()));
            if (!PostRead(count - delivered, any, left, idleMs)) {
                gone = true;
                continue;
            }
        } else if (any) {
            // A request left from an earlier call now also ends at its first bytes.
            CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
            m_link->read.any = true;
        }
        const int64_t left = std::max<int64_t>(0, deadline - ZelTickMs());
        const int result = WaitReadCore(static_cast<int>(std::min<int64_t>(left + kTimeoutGraceMs, INT32_MAX)));
        if (result == kWaitClosed)
            gone = true;
        else if (result < 0 || ZelTickMs() >= deadline)
            timeUp = true;
    }
    if (delivered > 0)
        return delivered;
    if (gone || IsGone())
        return -1;
    return 0;
}

int CZelTcpFile::Read(char* buffer, int count, uint32_t timeoutWord, int idleMs)
{
    CheckMayBlock("Read()");
    const int result = ReadCore(buffer, count, timeoutWord, idleMs);
    return result < 0 ? ClosedResult() : result;
}

int CZelTcpFile::ReadUntil(char* buffer, int maximum, int timeoutMs, const CZelString& delimiter)
{
    CheckMayBlock("ReadUntil()");
    if (!buffer || maximum <= 0)
        return 0;
    const int64_t start = ZelTickMs();
    if (timeoutMs < 0)
        timeoutMs = static_cast<int>(kReadTimeoutMask);    // no limit of its own
    if (delimiter.IsEmpty()) {
        const int result = ReadCore(buffer, maximum, kReadAnyData | static_cast<uint32_t>(timeoutMs), kNoTimeout);
        return result < 0 ? ClosedResult() : result;
    }
    const std::string_view mark = delimiter.View();
    CollectArrived();
    int filled = TakePushBack(buffer, maximum);
    size_t searchFrom = 0;
    // Even without time left, what already arrived is looked at once.
    for (bool first = true;; first = false) {
        const std::string_view have(buffer, static_cast<size_t>(filled));
        const size_t found = have.find(mark, searchFrom);
        if (found != std::string_view::npos) {
            const int end = static_cast<int>(found + mark.size());
            PushBack(buffer + end, filled - end);
            return end;
        }
        searchFrom = filled >= static_cast<int>(mark.size()) ? filled - mark.size() + 1 : 0;
        const int64_t left = timeoutMs - (ZelTickMs() - start);
        if (filled >= maximum || (left <= 0 && !first))
            return filled;
        const uint32_t wait = static_cast<uint32_t>(std::max<int64_t>(left, 0));
        const int got = ReadCore(buffer + filled, maximum - filled, kReadAnyData | wait, kNoTimeout);
        if (got < 0)
            return filled > 0 ? filled : ClosedResult();
        filled += got;
    }
}

// ---- Write ----

int CZelTcpFile::Write(const char* data, int length, int timeoutMs, int idleMs)
{
    CheckMayBlock("Write()");
    if (length <= 0)
        return 0;
    if (!data)
        return -1;
    return WriteCore(data, length, nullptr, timeoutMs, idleMs);
}

int CZelTcpFile::Write(const CZelString& bytes, int timeoutMs, int idleMs)
{
    CheckMayBlock("Write()");
    if (bytes.IsEmpty())
        return 0;
    return WriteCore(bytes.Ptr(), bytes.Length(), &bytes, timeoutMs, idleMs);
}

int CZelTcpFile::WriteCore(const char* data, int length, const CZelString* shared, int timeoutMs, int idleMs)
{
    return m_tls ? TlsWriteCore(data, length, timeoutMs, idleMs) : RawWriteCore(data, length, shared, timeoutMs, idleMs);
}

int CZelTcpFile::RawWriteCore(const char* data, int length, const CZelString* shared, int timeoutMs, int idleMs)
{
    if (IsGone())
        return ClosedResult();
    const int64_t start = ZelTickMs();
    const int64_t deadline = timeoutMs < 0 ? INT64_MAX : start + timeoutMs;
    int64_t lastProgress = start;
    int sent = 0;
    for (;;) {
        const int n = DirectSend(data + sent, length - sent);
        if (n > 0) {
            sent += n;
            lastProgress = ZelTickMs();
            if (sent == length)
                return length;
            continue;
        }
        if (n < 0)
            break;
        const int64_t until = idleMs >= 0 ? std::min(deadline, lastProgress + idleMs) : deadline;
        const int ready = WaitOnSocket(POLLOUT, until);
        if (ready > 0)
            continue;
        if (ready < 0)
            break;
        if (ZelTickMs() >= until)
            return sent;    // a time-out is not an error: the count tells how far it got
    }
    const CZelString rest = shared ? shared->Mid(sent) : CZelString(data + sent, length - sent);
    return sent + WriteThroughSocketSide(rest, deadline, idleMs, sent > 0);
}

// The connection failed or is going: the rest goes to the socket side, whose send meets the
// failure and reports it (or, on a connection that is merely slow to go, sends it). Returns
// the bytes it sent.
int CZelTcpFile::WriteThroughSocketSide(const CZelString& rest, int64_t deadline, int idleMs, bool sentBefore)
{
    bool posted = false;
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        if (m_link->connection && !(m_link->state & kGone)) {
            CZelTcpFileLink::WriteRequest& write = m_link->write;
            write = CZelTcpFileLink::WriteRequest{};
            write.active = true;
            write.bytes = rest;
            write.timeoutMs = deadline == INT64_MAX
                ? kNoTimeout
                : static_cast<int>(std::clamp<int64_t>(deadline - ZelTickMs(), 0, INT32_MAX));
            write.idleMs = idleMs;
            m_link->state &= ~(kComplete | kWriteProgress | kWriteTimedOut);
            m_link->connection->PostWrite();
            posted = true;
        }
    }
    int sent = 0;
    bool timedOut = false;
    if (posted) {
        WaitFor([](const CZelTcpFileLink& link) { return !link.write.active; }, -1);
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        sent = m_link->write.sent;
        m_bytesSent += sent;
        timedOut = (m_link->state & kWriteTimedOut) != 0;
        m_link->write.bytes = CZelString();
        m_link->state &= ~(kComplete | kWriteProgress | kWriteTimedOut);
    }
    if (sent >= rest.Length() || timedOut)
        return sent;
    if (Throws())
        ClosedResult();
    // Nothing at all went out: the connection was gone before the write.
    return sent > 0 || sentBefore ? sent : -1;
}
