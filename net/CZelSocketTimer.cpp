#include "net/CZelSocketTimer.h"

#include "foundation/ZelGlobalLocks.h"
#include "net/CZelSockThread.h"
#include "net/ZelSockets.h"

CZelSocketTimer::CZelSocketTimer(CZelSockThread* thread) : m_thread(thread)
{
    if (m_thread)
        m_thread->AddTimer(this);
}

CZelSocketTimer::~CZelSocketTimer()
{
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    Unlink();
}

void CZelSocketTimer::Start(int64_t periodUs, int mode)
{
    bool wake = false;
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        if (periodUs != 0)
            m_periodUs = periodUs;
        if (m_periodUs <= 0)
            return;
        const int64_t previousDue = m_dueMs;
        const bool wasActive = m_active;
        m_dueMs = ZelTickMs() + m_periodUs / 1000;
        m_active = true;
        wake = mode >= kWake || (mode == kWakeIfEarlier && (!wasActive || m_dueMs < previousDue));
        if (wake && m_thread)
            m_thread->Wake();
    }
}

void CZelSocketTimer::Stop()
{
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    m_active = false;
}

bool CZelSocketTimer::IsActive() const
{
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    return m_active;
}

int64_t CZelSocketTimer::DueMs() const
{
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    return m_dueMs;
}
