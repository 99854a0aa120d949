#include "accounts/CZelAccountWorker.h"

#include "core/CTranslations.h"
#include "foundation/ZelGlobalLocks.h"

CZelString CZelAccountWorker::Status() const
{
    CZelLockGuard hold(ZelStringGlobalLock(), "CZelAccountWorker::Status()", __LINE__);
    return m_status;
}

void CZelAccountWorker::SetStatus(const CZelString& text)
{
    {
        CZelLockGuard hold(ZelStringGlobalLock(), "CZelAccountWorker::SetStatus()", __LINE__);
        m_status = text;
    }
    if (m_listener)
        m_listener(text);
}

void CZelAccountWorker::SetStatusTr(const char* text, const char* sourceFile)
{
    SetStatus(Translate(text, sourceFile));
}
