#pragma once
// The four service slots: SMTP server, POP3 server, SMTP transfers, POP3 transfers, always
// handled in this order. Start fills every slot whose thread is not running; Stop signals all
// four at once and then gives each up to 10,000 ms to end, counted from that signal, so the
// whole stop is bounded by one wait. A thread that has not ended by then is left to itself:
// its object is kept (never freed under a running body) and the slot is emptied.

#include "core/CZelStartServerThread.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

class CServiceSlots {
public:
    static constexpr int kSlotCount = 4;
    static constexpr int kStopWaitMs = 10000;

    using Factory = std::function<std::unique_ptr<CZelStartServerThread>(int32_t mode, int32_t port)>;

    static CServiceSlots& Global();

    CServiceSlots();
    ~CServiceSlots();  // stops whatever still runs
    CServiceSlots(const CServiceSlots&) = delete;
    CServiceSlots& operator=(const CServiceSlots&) = delete;

    // How a slot's thread object is made (tests put in their own threads).
    void SetFactory(Factory factory);
    void SetStopWaitMs(int ms);

    // Fills the slots in order with modes 1 to 4; the two servers get their ports.
    void Start(int32_t smtpPort, int32_t pop3Port);
    // Signals every thread, runs `afterSignal` (the socket thread's stop), then waits for
    // each in order and empties the slots.
    void Stop(const std::function<void()>& afterSignal = {});

    // The thread in a slot (0..3), or null.
    CZelStartServerThread* Slot(int index) const;
    // Threads given up on because they did not end in time (kept alive, never freed).
    static int AbandonedCount();

private:
    void FillSlot(int index, int32_t mode, int32_t port);
    static void Abandon(std::unique_ptr<CZelStartServerThread> thread);

    mutable std::mutex m_lock;  // the slots; held only by Start and Stop, never by a body
    std::array<std::unique_ptr<CZelStartServerThread>, kSlotCount> m_slots;
    Factory m_factory;
    int m_stopWaitMs = kStopWaitMs;
};
