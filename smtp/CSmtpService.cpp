#include "smtp/CSmtpService.h"

#include "accounts/ZelConfiguredServer.h"
#include "core/CZelStartServerThread.h"
#include "smtp/CSmtpCentralDesk.h"
#include "smtp/CSmtpServer.h"
#include "smtp/CSmtpTransfers.h"

#include <memory>

void InstallSmtpServices()
{
    CZelStartServerThread::SetBody(CZelStartServerThread::kModeSmtpServer, [](CZelStartServerThread& self) {
        // The central server's address is read for each session, so a changed setting applies
        // from the next mail client connection on.
        RunSmtpServer(self.Port(), self, [] { return std::make_unique<CSmtpCentralDesk>(ConfiguredServerAddress()); });
    });
    CZelStartServerThread::SetBody(CZelStartServerThread::kModeSmtpTransfers,
                                   [](CZelStartServerThread& self) { StartSmtpTransfers(self); });
}
