#include "pop3/CPop3Service.h"

#include "accounts/ZelConfiguredServer.h"
#include "core/CZelStartServerThread.h"
#include "pop3/CPop3CentralDesk.h"
#include "pop3/CPop3Server.h"
#include "pop3/CPop3Transfers.h"

#include <memory>

void InstallPop3Services()
{
    CZelStartServerThread::SetBody(CZelStartServerThread::kModePop3Server, [](CZelStartServerThread& self) {
        // Each session gets its own desk with the address read at its start, so a changed
        // setting applies from the next mail client connection on.
        RunPop3Server(self.Port(), self, [] { return std::make_unique<CPop3CentralDesk>(ConfiguredServerAddress()); });
    });
    CZelStartServerThread::SetBody(CZelStartServerThread::kModePop3Transfers,
                                   [](CZelStartServerThread& self) { StartPop3Transfers(self); });
}
