// velmo: the secure-mail gateway, or one of its subcommands.

#include "app/AccountCommand.h"
#include "app/AdminCommand.h"
#include "app/CCommandLine.h"
#include "app/CCommandTable.h"
#include "app/ConfigCommand.h"
#include "app/GatewayCommand.h"
#include "app/HistoryCommand.h"
#include "app/TlsCommand.h"

#include <csignal>
#include <malloc.h>
#include <iostream>

int main(int argc, char** argv)
{
    // A client that hangs up must not end the gateway; writes report EPIPE instead.
    std::signal(SIGPIPE, SIG_IGN);
    // Message buffers run to 100 MB and live only while one message is queued or uploaded.
    // A fixed threshold keeps every large buffer in its own mapping that goes back to the
    // system when freed; the allocator's sliding threshold would otherwise keep them on the
    // heap, and the gateway would hold the memory of its largest messages for good.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);

    CCommandTable commands;
    AddConfigCommand(commands);
    AddAccountCommands(commands);
    AddHistoryCommand(commands);
    AddAdministrativeCommands(commands);
    AddTlsCommand(commands);

    const CCommandLine line = CCommandLine::Parse(argc, argv);
    if (!line.error.empty()) {
        std::cerr << "velmo: " << line.error << "\n" << commands.Usage();
        return kExitUsage;
    }
    if (line.help) {
        std::cout << commands.Usage();
        return kExitOk;
    }
    if (!line.Command().empty())
        return commands.Dispatch(line, std::cout, std::cerr);
    return RunGateway(line);
}
