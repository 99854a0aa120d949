#include "app/TlsCommand.h"

#include "app/CCommandTable.h"
#include "core/CConfig.h"
#include "core/CLocalTls.h"
#include "core/CVelmoApp.h"
#include "foundation/XTOOError.h"
#include "foundation/ZelGlobalLocks.h"
#include "tls/CTlsCertificate.h"

#include <ostream>
#include <string>

namespace {

int Fingerprint(CCommandContext& context)
{
    CZelString entered;
    if (!CVelmoApp::EnterHome(CVelmoApp::ResolveHome(context.line.home), &entered)) {
        context.err << "velmo: " << entered.View() << "\n";
        return kExitFailed;
    }
    CConfig& config = CConfig::Global();
    config.Load();
    std::string problem;
    const CLocalTls::CPair pair = CLocalTls::PairInUse(config, problem);
    try {
        CZelLockGuard hold(ZelDataLock(), "TlsCommand Fingerprint()", __LINE__);
        if (problem.empty() && CLocalTls::EnsurePair(pair, problem)) {
            context.out << CTlsCertificate::FileFingerprint(pair.certificateFile) << "\n";
            return kExitOk;
        }
    } catch (const XTOOBaseError& error) {
        problem = pair.certificateFile + ": " + error.GetText().ToStd();
    }
    context.err << "velmo: " << problem << "\n";
    return kExitFailed;
}

int TlsCommand(CCommandContext& context)
{
    if (context.args.size() == 1 && context.args[0] == "fingerprint")
        return Fingerprint(context);
    context.err << "velmo: tls needs 'fingerprint'\n";
    return kExitUsage;
}

} // namespace

void AddTlsCommand(CCommandTable& table)
{
    table.Add("tls", "tls fingerprint", TlsCommand);
}
