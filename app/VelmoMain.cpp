// velmo: the secure-mail gateway, or one of its subcommands.

#include "app/AccountCommand.h"
#include "app/CCommandLine.h"
#include "app/CCommandTable.h"
#include "app/ConfigCommand.h"
#include "app/GatewayCommand.h"

#include <csignal>
#include <iostream>

int main(int argc, char** argv)
{
    // A client that hangs up must not end the gateway; writes report EPIPE instead.
    std::signal(SIGPIPE, SIG_IGN);

    CCommandTable commands;
    AddConfigCommand(commands);
    AddAccountCommands(commands);

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
