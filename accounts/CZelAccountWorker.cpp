#include "accounts/CZelAccountWorker.h"

#include "core/CTranslations.h"
#include "foundation/CZelFormat.h"
#include "foundation/XTOOError.h"
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

int64_t CZelAccountWorker::RunGuarded(const std::function<int64_t()>& run, const char* sourceFile)
{
    int64_t result = -1;
    try {
        result = run();
    } catch (const XTOOSockErr& error) {
        SetStatus(FormatTr("%S", Translate(kSocketError, sourceFile), error.GetText()));
    } catch (...) {
        SetStatusTr(kUnknownError, sourceFile);
    }
    SetResult(result);
    return result;
}

std::function<void(const char* text)> CZelAccountWorker::StatusSinkTr(const char* sourceFile)
{
    return [this, sourceFile](const char* text) { SetStatusTr(text, sourceFile); };
}
