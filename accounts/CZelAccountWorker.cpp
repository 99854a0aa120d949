#include "accounts/CZelAccountWorker.h"

#include "core/CTranslations.h"
#include "foundation/CZelFormat.h"
#include "foundation/XTOOError.h"
#include "foundation/ZelGlobalLocks.h"
#include "net/CZelTcpFile.h"

CZelAccountWorker::CWatchedConnection::CWatchedConnection(CZelAccountWorker& worker, CZelTcpFile& connection)
    : m_worker(worker)
{
    std::lock_guard<std::mutex> hold(worker.m_watchLock);
    worker.m_watched = &connection;
    // A stop that came before the connection was watched.
    if (worker.IsStopSignalled())
        connection.Abort();
}

CZelAccountWorker::CWatchedConnection::~CWatchedConnection()
{
    std::lock_guard<std::mutex> hold(m_worker.m_watchLock);
    m_worker.m_watched = nullptr;
}

bool CZelAccountWorker::StopAndWait(int ms)
{
    SignalStop();
    {
        std::lock_guard<std::mutex> hold(m_watchLock);
        if (m_watched)
            m_watched->Abort();
    }
    return CZelThread::StopAndWait(ms);
}

void CZelAccountWorker::EndRun()
{
    if (!StopAndWait(kStopWaitMs))
        Join(-1);
}

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
