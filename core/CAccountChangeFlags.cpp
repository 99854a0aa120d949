#include "core/CAccountChangeFlags.h"

#include "foundation/ZelGlobalLocks.h"

CAccountChangeFlags& CAccountChangeFlags::Global()
{
    static CAccountChangeFlags flags;
    return flags;
}

void CAccountChangeFlags::Set(int64_t accountId, uint32_t bits)
{
    {
        CZelLockGuard guard(ZelDataLock(), "CAccountChangeFlags::Set()", __LINE__);
        m_flags[accountId] |= bits;
    }
    Notifier notifier;
    {
        std::lock_guard<std::mutex> hold(m_notifierLock);
        notifier = m_notifier;
    }
    if (notifier)
        notifier();
}

bool CAccountChangeFlags::TakeOne(int64_t& accountId, uint32_t& bits)
{
    CZelLockGuard guard(ZelDataLock(), "CAccountChangeFlags::TakeOne()", __LINE__);
    if (m_flags.empty())
        return false;
    const auto first = m_flags.begin();
    accountId = first->first;
    bits = first->second;
    m_flags.erase(first);
    return true;
}

int CAccountChangeFlags::Drain(const Action& act)
{
    int handled = 0;
    int64_t accountId = 0;
    uint32_t bits = 0;
    while (TakeOne(accountId, bits)) {
        ++handled;
        if (act)
            act(accountId, bits);
    }
    return handled;
}

bool CAccountChangeFlags::IsEmpty()
{
    CZelLockGuard guard(ZelDataLock(), "CAccountChangeFlags::IsEmpty()", __LINE__);
    return m_flags.empty();
}

void CAccountChangeFlags::SetNotifier(Notifier notifier)
{
    std::lock_guard<std::mutex> hold(m_notifierLock);
    m_notifier = std::move(notifier);
}
