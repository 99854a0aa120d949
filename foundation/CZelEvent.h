#pragma once
// CZelEvent: a wake-up flag threads wait on. A manual-reset event stays signalled until Reset
// and releases every waiter; an automatic-reset event releases one waiter per Signal and is
// cleared by the release. A Signal nobody waits for is kept: the next Wait takes it, so a
// wake-up given while the waiter was busy elsewhere is never lost.

#include <condition_variable>
#include <cstdint>
#include <mutex>

class CZelEvent {
public:
    explicit CZelEvent(bool manualReset = true, bool initiallySignalled = false);
    CZelEvent(const CZelEvent&) = delete;
    CZelEvent& operator=(const CZelEvent&) = delete;
    ~CZelEvent();

    void Signal();
    // Waits up to `ms` (-1 = without limit; 0 = only look). True when released by a signal.
    bool Wait(int ms);
    // Clears a manual-reset event; false (and nothing done) for an automatic one.
    bool Reset();

    bool IsManualReset() const { return m_manualReset; }
    bool IsSignalled() const;
    int Waiters() const;

private:
    bool Released(uint64_t generationAtStart) const;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    const bool m_manualReset;
    bool m_signalled;
    int m_waiters = 0;
    // Counts Signal calls, so that the waiters of a manual-reset event present at a Signal
    // are all released even when Reset follows at once.
    uint64_t m_generation = 0;
};
