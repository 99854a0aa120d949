#include "smtp/CSmtpService.h"

#include "accounts/ZelConfiguredServer.h"
#include "core/CProtocolListData.h"
#include "core/CZelStartServerThread.h"
#include "foundation/CZelFormat.h"
#include "protocol/ZelSmtpTexts.h"
#include "smtp/CSmtpTransfers.h"

// MERGE: the SMTP listener and its desk come from smtp/CSmtpServer.h and
// smtp/CSmtpCentralDesk.h, written alongside this file. Until they are in the tree the mode-1
// body is left out; with them, RunSmtpServer(port, self, DeskFactory) is called below where
// marked, with a DeskFactory that makes a CSmtpCentralDesk for the configured server.
#if __has_include("smtp/CSmtpServer.h")
#include "smtp/CSmtpServer.h"
#define VELMO_HAVE_SMTP_SERVER 1
#endif

bool AcceptSmtpPort(int32_t port)
{
    if (port >= kSmtpMinPort && port <= kSmtpMaxPort)
        return true;
    const CZelString text = Format(kSmtpLogBadPort, port);
    SmtpLog().AddStringEx(text);
    CZelStartServerThread::ReportError(text);
    return false;
}

void InstallSmtpServices()
{
#ifdef VELMO_HAVE_SMTP_SERVER
    CZelStartServerThread::SetBody(CZelStartServerThread::kModeSmtpServer, [](CZelStartServerThread& self) {
        if (!AcceptSmtpPort(self.Port()))
            return;
        // MERGE: expected as `RunSmtpServer(int port, CZelStartServerThread&, DeskFactory)`.
        RunSmtpServer(self.Port(), self, MakeCentralDeskFactory(ConfiguredServerAddress));
    });
#endif
    CZelStartServerThread::SetBody(CZelStartServerThread::kModeSmtpTransfers,
                                   [](CZelStartServerThread& self) { StartSmtpTransfers(self); });
}
