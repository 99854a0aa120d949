#pragma once
// CZelThread: base of every long-running activity (service starter, connections, workers,
// socket threads). A subclass writes `Run`; the owner calls Start and, before destroying the
// object, StopAndWait. Stopping is cooperative: Run calls CheckStop at its loop points, which
// throws eExitThread once the stop event is signalled, and that ends the thread normally.
//
// The running thread keeps its own reference to the shared state (stop event, exit code), so a
// thread that outlives the bounded wait of the destructor is left running without touching the
// destroyed object from the library's side. Run itself must not use members of a subclass
// after the owner gave up on it: subclasses that hold data call StopAndWait in their own
// destructor (or their owner does), since the subclass part is gone before ~CZelThread runs.

#include "foundation/CZelDList.h"
#include "foundation/CZelEvent.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

class CZelThread : public CZelDLink {
public:
    static constexpr uint32_t kCheckWord = 0xAA5555AA;
    static constexpr int kDestroyWaitMs = 10000;
    static constexpr int kExitCodeThrown = -1;

    CZelThread();
    CZelThread(const CZelThread&) = delete;
    CZelThread& operator=(const CZelThread&) = delete;
    // Signals the stop event and waits up to the destroy bound; a thread still running after
    // it is left to itself.
    ~CZelThread() override;

    // The thread body; its result is the exit code. eExitThread thrown out of it ends the
    // thread with 0, anything else thrown with -1.
    virtual int Run() = 0;
    // Signals the stop event, then waits up to `ms` (-1 = without limit). True when the thread
    // ended (or never started).
    virtual bool StopAndWait(int ms);
    // Inside Run: waits up to `ms` on the stop event; throws eExitThread when it is signalled,
    // else returns kZelWaitTimeout.
    virtual int CheckStop(int ms);

    // Starts the thread; false when it cannot be created or was already started once.
    bool Start();
    // Waits up to `ms` (-1 = without limit) without signalling. True when the thread ended or
    // never started; false when called from the thread itself.
    bool Join(int ms);
    void SignalStop();
    bool IsStopSignalled() const;
    CZelEvent& StopEvent();

    bool HasStarted() const { return m_started.load(); }
    bool HasEnded() const;
    bool IsRunning() const { return HasStarted() && !HasEnded(); }
    std::optional<int> ExitCode() const;       // set once the thread ended
    int64_t ThreadId() const;                  // the kernel's thread id; -1 before the start
    bool IsValid() const { return m_check == kCheckWord; }

    // How long the destructor waits for the thread (tests shorten it).
    void SetDestroyWaitMs(int ms) { m_destroyWaitMs = ms; }

    // Names the calling thread for debuggers (the platform keeps 15 bytes).
    static void SetCurrentThreadName(const char* name);

    struct State;

private:
    static void Body(std::shared_ptr<State> state, CZelThread* self);
    State& CallerState();

    std::shared_ptr<State> m_state;
    std::thread m_thread;
    std::mutex m_threadMutex;                  // guards m_thread between Start, Join and destroy
    std::atomic<bool> m_started{false};
    uint32_t m_check = kCheckWord;
    int m_destroyWaitMs = kDestroyWaitMs;
};
