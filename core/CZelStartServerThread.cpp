#include "core/CZelStartServerThread.h"

#include "foundation/CZelWin32Locker.h"
#include "foundation/XTOOError.h"

#include <array>
#include <mutex>

namespace {

constexpr int kModeCount = 4;

std::atomic<bool> g_listenOnAnyAddress{false};

std::mutex& ErrorSinkLock()
{
    static std::mutex lock;
    return lock;
}

CZelStartServerThread::ErrorSink& ErrorSinkSlot()
{
    static CZelStartServerThread::ErrorSink sink;
    return sink;
}

std::mutex& BodiesLock()
{
    static std::mutex lock;
    return lock;
}

std::array<CZelStartServerThread::Body, kModeCount>& Bodies()
{
    static std::array<CZelStartServerThread::Body, kModeCount> bodies;
    return bodies;
}

void WaitForStop(CZelStartServerThread& self)
{
    self.StopEvent().Wait(kZelWaitInfinite);
}

const char* ThreadNameOf(int32_t mode)
{
    switch (mode) {
    case CZelStartServerThread::kModeSmtpServer: return "VelmoSmtpServer";
    case CZelStartServerThread::kModePop3Server: return "VelmoPop3Server";
    case CZelStartServerThread::kModeSmtpTransfers: return "VelmoSmtpUpload";
    case CZelStartServerThread::kModePop3Transfers: return "VelmoPop3Fetch";
    default: return "VelmoService";
    }
}

} // namespace

CZelStartServerThread::CZelStartServerThread(int32_t mode, int32_t port) : m_mode(mode), m_port(port) {}

CZelStartServerThread::~CZelStartServerThread()
{
    // Run reads this object's members, so the thread has to end before they go.
    StopAndWait(kDestroyWaitMs);
}

bool CZelStartServerThread::IsKnownMode(int32_t mode) noexcept
{
    return mode >= kModeSmtpServer && mode <= kModePop3Transfers;
}

void CZelStartServerThread::SetListenOnAnyAddress(bool any) noexcept
{
    g_listenOnAnyAddress.store(any);
}

bool CZelStartServerThread::ListensOnAnyAddress() noexcept
{
    return g_listenOnAnyAddress.load();
}

void CZelStartServerThread::SetErrorSink(ErrorSink sink)
{
    std::lock_guard<std::mutex> hold(ErrorSinkLock());
    ErrorSinkSlot() = std::move(sink);
}

void CZelStartServerThread::ReportError(const CZelString& text)
{
    ErrorSink sink;
    {
        std::lock_guard<std::mutex> hold(ErrorSinkLock());
        sink = ErrorSinkSlot();
    }
    if (sink)
        sink(text);
}

void CZelStartServerThread::SetBody(int32_t mode, Body body)
{
    if (!IsKnownMode(mode))
        return;
    std::lock_guard<std::mutex> hold(BodiesLock());
    Bodies()[mode - 1] = std::move(body);
}

CZelStartServerThread::Body CZelStartServerThread::BodyOf(int32_t mode)
{
    if (!IsKnownMode(mode))
        return {};
    std::lock_guard<std::mutex> hold(BodiesLock());
    const Body& body = Bodies()[mode - 1];
    return body ? body : Body(WaitForStop);
}

int CZelStartServerThread::Run()
{
    SetCurrentThreadName(ThreadNameOf(m_mode));
    m_result.store(kResultRunning);
    const Body body = BodyOf(m_mode);
    int32_t result = kResultFailed;
    if (body) {
        try {
            body(*this);
            result = kResultDone;
        } catch (const eExitThread&) {
            result = kResultDone;
        } catch (...) {
            result = kResultFailed;
        }
    }
    m_result.store(result);
    return result;
}
