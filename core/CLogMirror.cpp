#include "core/CLogMirror.h"

#include "foundation/CZelFormat.h"
#include "foundation/ZelGlobalLocks.h"

#include <ostream>

namespace {

constexpr char kDroppedFormat[] = "(%d log lines left out: the output was not read)";

void WriteLine(std::ostream& out, const CZelString& line)
{
    // One write per line, so lines from elsewhere on the same stream never cut into it.
    CZelString whole = line;
    whole += "\n";
    out.write(whole.Ptr(), whole.Length());
    out.flush();
}

} // namespace

CLogMirror& CLogMirror::Global()
{
    static CLogMirror* mirror = new CLogMirror;
    return *mirror;
}

void CLogMirror::Queue(std::ostream& out, const CZelString& line)
{
    std::lock_guard<std::mutex> hold(m_queueLock);
    if (m_queue.size() >= kQueueLimit) {
        ++m_dropped;
        m_droppedOut = &out;
        return;
    }
    m_queue.push_back({&out, line});
}

void CLogMirror::WriteQueued()
{
    for (;;) {
        std::deque<Entry> batch;
        size_t dropped;
        std::ostream* droppedOut;
        {
            std::lock_guard<std::mutex> hold(m_queueLock);
            batch.swap(m_queue);
            dropped = m_dropped;
            droppedOut = m_droppedOut;
            m_dropped = 0;
        }
        if (batch.empty() && dropped == 0)
            return;
        for (const Entry& entry : batch)
            WriteLine(*entry.out, entry.line);
        if (dropped > 0)
            WriteLine(*droppedOut, Format(kDroppedFormat, static_cast<int64_t>(dropped)));
    }
}

void CLogMirror::Flush()
{
    if (ZelDataLock().IsHeldByCallingThread())
        return;
    for (;;) {
        std::unique_lock<std::mutex> writing(m_writing, std::try_to_lock);
        if (!writing.owns_lock())
            return;   // the thread writing now takes these lines too
        WriteQueued();
        writing.unlock();
        // A line queued after the last look but before the unlock found the writer busy.
        std::lock_guard<std::mutex> hold(m_queueLock);
        if (m_queue.empty() && m_dropped == 0)
            return;
    }
}

void CLogMirror::WriteNow(std::ostream& out, const CZelString& line)
{
    {
        std::lock_guard<std::mutex> writing(m_writing);
        WriteQueued();
        WriteLine(out, line);
    }
    // A line queued while this one was written found the writer busy and left it to this
    // thread; without another look it would wait for the next line of the log.
    Flush();
}
