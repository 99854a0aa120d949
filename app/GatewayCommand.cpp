#include "app/GatewayCommand.h"

#include "app/CCommandLine.h"
#include "app/CSignalStop.h"
#include "core/CVelmoApp.h"
#include "net/ZelSockets.h"
#include "pop3/CPop3Service.h"
#include "smtp/CSmtpService.h"

#include <iostream>

int RunGateway(const CCommandLine& line)
{
    CVelmoApp::Options options;
    options.home = CVelmoApp::ResolveHome(line.home);
    options.headless = line.headless || CVelmoApp::DisplayMissing();
    options.listenAny = line.listenAny;
    options.words = line.words;

    CVelmoApp::Hooks hooks;
    hooks.socketsStart = [] { SocketsStart(true); };
    // Ends the connections the servers are blocked in, so they see their stop at once.
    hooks.stopSocketThread = StopFileSockThreads;
    hooks.socketsStop = SocketsStop;

    // The mail services, before the service threads start.
    InstallSmtpServices();
    InstallPop3Services();

    CVelmoApp app(options, hooks);
    // Before any other thread exists, so that every thread inherits the blocked signals.
    CSignalStop::BlockStopSignals();
    CSignalStop stop([&app] { app.RequestStop(); });
    return app.Run(std::cout, std::cerr);
}
