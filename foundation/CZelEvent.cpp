#include "foundation/CZelEvent.h"

#include <chrono>

CZelEvent::CZelEvent(bool manualReset, bool initiallySignalled)
    : m_manualReset(manualReset), m_signalled(initiallySignalled)
{
}

CZelEvent::~CZelEvent() = default;

void CZelEvent::Signal()
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_signalled = true;
        ++m_generation;
    }
    if (m_manualReset)
        m_changed.notify_all();
    else
        m_changed.notify_one();
}

bool CZelEvent::Released(uint64_t generationAtStart) const
{
    return m_signalled || (m_manualReset && m_generation != generationAtStart);
}

bool CZelEvent::Wait(int ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const uint64_t generationAtStart = m_generation;
    ++m_waiters;
    bool released;
    if (ms < 0) {
        m_changed.wait(lock, [&] { return Released(generationAtStart); });
        released = true;
    } else {
        released = m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return Released(generationAtStart); });
    }
    --m_waiters;
    if (released && !m_manualReset)
        m_signalled = false;    // this waiter took the one wake-up
    return released;
}

bool CZelEvent::Reset()
{
    if (!m_manualReset)
        return false;
    std::lock_guard<std::mutex> guard(m_mutex);
    m_signalled = false;
    return true;
}

bool CZelEvent::IsSignalled() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_signalled;
}

int CZelEvent::Waiters() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_waiters;
}
