#pragma once
// SIGINT and SIGTERM as the stop request. The signals are blocked in every thread (so the
// mask must be set before any other thread starts) and taken by one waiting thread with
// sigtimedwait, so no work ever runs inside a signal handler. The first signal calls the
// stop callback; later ones (a second Ctrl+C while stopping) are taken and dropped.

#include <atomic>
#include <functional>
#include <thread>

class CSignalStop {
public:
    // Blocks SIGINT and SIGTERM in the calling thread and in every thread it starts later.
    static void BlockStopSignals();

    explicit CSignalStop(std::function<void()> onStop);
    ~CSignalStop();  // ends the waiting thread
    CSignalStop(const CSignalStop&) = delete;
    CSignalStop& operator=(const CSignalStop&) = delete;

    int SignalsTaken() const noexcept { return m_taken.load(); }

private:
    void WaitLoop();

    std::function<void()> m_onStop;
    std::atomic<bool> m_done{false};
    std::atomic<int> m_taken{0};
    std::thread m_thread;
};
