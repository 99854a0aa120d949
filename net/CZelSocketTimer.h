#pragma once
// Timers of a socket thread. A timer belongs to one socket thread and sits in its timer list;
// the thread runs it when it is due and it repeats with its period until stopped. Start and
// Stop may be called from any thread (they take the data lock and wake the owner as needed);
// OnTimer runs on the owning thread only.

#include "foundation/CZelDList.h"
#include "net/CZelSocket.h"

#include <cstdint>
#include <type_traits>

class CZelSockThread;

class CZelSocketTimer : public CZelDLink {
public:
    // Start modes: 0 never wakes the owner (for its own handlers), 1 wakes it when the timer
    // becomes due earlier than before, 2 always wakes it.
    static constexpr int kNoWake = 0;
    static constexpr int kWakeIfEarlier = 1;
    static constexpr int kWake = 2;

    explicit CZelSocketTimer(CZelSockThread* thread);
    ~CZelSocketTimer() override;

    // Period in microseconds; 0 keeps the previous period, and a timer whose period is not
    // positive stays stopped. Due next at now + period / 1000 ms.
    void Start(int64_t periodUs, int mode = kWakeIfEarlier);
    void Stop();
    bool IsActive() const;
    int64_t DueMs() const;
    CZelSockThread* Thread() const { return m_thread; }

    virtual void OnTimer(int64_t dueMs) = 0;

private:
    friend class CZelSockThread;
    CZelSockThread* m_thread;
    bool m_active = false;
    int64_t m_periodUs = 0;
    int64_t m_dueMs = 0;
    bool m_visited = false;
};

// A timer that hands its type number to an owner's OnTimer(type). When the owner is a socket,
// the owner's answer is applied to its interest as a change word.
template<class OwnerT>
class CZelSockTimerT : public CZelSocketTimer {
public:
    CZelSockTimerT(CZelSockThread* thread, OwnerT* owner, int type)
        : CZelSocketTimer(thread), m_owner(owner), m_type(type) {}

    int Type() const { return m_type; }

    void OnTimer(int64_t) override
    {
        const int change = m_owner->OnTimer(m_type);
        if constexpr (std::is_base_of_v<CZelSocket, OwnerT>)
            static_cast<CZelSocket*>(m_owner)->ChangeInterest(static_cast<uint32_t>(change));
    }

private:
    OwnerT* m_owner;
    int m_type;
};
