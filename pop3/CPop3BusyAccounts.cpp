#include "pop3/CPop3BusyAccounts.h"

#include "foundation/ZelGlobalLocks.h"

#include <set>

namespace {

// Guarded by the data lock; made on first use and never destroyed, so a session thread that
// outlives the static destructors still finds it.
std::set<int64_t>& BusyIds()
{
    static std::set<int64_t>* ids = new std::set<int64_t>();
    return *ids;
}

} // namespace

bool CPop3BusyAccounts::IsBusy(int64_t accountId)
{
    CZelLockGuard hold(ZelDataLock(), "CPop3BusyAccounts::IsBusy()", __LINE__);
    return BusyIds().count(accountId) != 0;
}

CPop3BusyAccounts::CEntry::~CEntry()
{
    Leave();
}

bool CPop3BusyAccounts::CEntry::Enter(int64_t accountId)
{
    if (Holds() || accountId < 0)
        return false;
    CZelLockGuard hold(ZelDataLock(), "CPop3BusyAccounts::CEntry::Enter()", __LINE__);
    if (!BusyIds().insert(accountId).second)
        return false;
    m_accountId = accountId;
    return true;
}

void CPop3BusyAccounts::CEntry::Leave()
{
    if (!Holds())
        return;
    CZelLockGuard hold(ZelDataLock(), "CPop3BusyAccounts::CEntry::Leave()", __LINE__);
    BusyIds().erase(m_accountId);
    m_accountId = -1;
}
