#include "core/CLocalTls.h"

#include "core/CConfig.h"
#include "foundation/XTOOError.h"
#include "foundation/ZelGlobalLocks.h"
#include "net/ZelResolve.h"
#include "tls/CTlsCertificate.h"
#include "tls/CTlsContext.h"

#include <mutex>

namespace {

std::mutex& ContextMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<const CTlsContext>& SharedContext()
{
    static std::shared_ptr<const CTlsContext> context;
    return context;
}

std::string Text(const XTOOBaseError& error)
{
    return error.GetText().ToStd();
}

} // namespace

CLocalTls::CPair CLocalTls::PairInUse(const CConfig& config, std::string& problem)
{
    problem.clear();
    const std::string certificate = config.Get(CConfig::kTlsCertificate).ToStd();
    const std::string key = config.Get(CConfig::kTlsKey).ToStd();
    if (certificate.empty() && key.empty())
        return {kCertificateFile, kKeyFile, true};
    if (certificate.empty() || key.empty())
        problem = std::string(CConfig::kTlsCertificate) + " and " + CConfig::kTlsKey + " are set together or not at all";
    return {certificate, key, false};
}

bool CLocalTls::EnsurePair(const CPair& pair, std::string& problem)
{
    if (!pair.own)
        return true;
    try {
        CTlsCertificate::EnsureSelfSigned(pair.certificateFile, pair.keyFile, ZelLocalHostName().ToStd());
        return true;
    } catch (const XTOOBaseError& error) {
        problem = "cannot make " + pair.certificateFile + ": " + Text(error);
        return false;
    }
}

bool CLocalTls::Install(const CConfig& config, std::string& problem)
{
    SetServerContext(nullptr);
    const CPair pair = PairInUse(config, problem);
    if (!problem.empty())
        return false;
    try {
        // The gateway and `velmo tls fingerprint` may both find the pair missing: one makes
        // it, the other reads that one.
        CZelLockGuard hold(ZelDataLock(), "CLocalTls::Install()", __LINE__);
        if (!EnsurePair(pair, problem))
            return false;
        SetServerContext(std::make_shared<const CTlsContext>(CTlsContext::Server(pair.certificateFile, pair.keyFile)));
        return true;
    } catch (const XTOOBaseError& error) {
        problem = Text(error);
        return false;
    }
}

std::shared_ptr<const CTlsContext> CLocalTls::ServerContext()
{
    std::lock_guard<std::mutex> hold(ContextMutex());
    return SharedContext();
}

void CLocalTls::SetServerContext(std::shared_ptr<const CTlsContext> context)
{
    std::lock_guard<std::mutex> hold(ContextMutex());
    SharedContext() = std::move(context);
}
