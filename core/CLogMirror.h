#pragma once
// CLogMirror: the activity logs' lines on a stream (standard output of a headless gateway).
// The logs queue each line while they hold the data lock, which gives the lines their order,
// and the lines are written after the lock is let go: a reader that stops taking the output
// then holds up at most the one thread writing at that moment, never a thread that waits for
// the data lock. One thread writes at a time, the queued lines in order; a thread that finds
// another writing leaves its lines to it.

#include "foundation/CZelString.h"

#include <cstddef>
#include <deque>
#include <iosfwd>
#include <mutex>
#include <utility>

class CLogMirror {
public:
    // Lines queued beyond this while the output is stalled are counted, not kept.
    static constexpr size_t kQueueLimit = 10000;

    static CLogMirror& Global();

    // Queues `line` (a newline is added) for `out`.
    void Queue(std::ostream& out, const CZelString& line);
    // Writes the queued lines unless another thread is writing them already, or the calling
    // thread holds the data lock (the lines then go with the next write).
    void Flush();
    // Writes `line` right after everything queued before it, waiting for the output.
    void WriteNow(std::ostream& out, const CZelString& line);

private:
    struct Entry {
        std::ostream* out;
        CZelString line;
    };

    void WriteQueued();   // with m_writing held

    std::mutex m_queueLock;
    std::deque<Entry> m_queue;
    size_t m_dropped = 0;
    std::ostream* m_droppedOut = nullptr;
    std::mutex m_writing;
};
