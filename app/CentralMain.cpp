// velmo-central: the reference central server, or its offline administration.

#include "server/CCentralCommand.h"

#include <csignal>
#include <iostream>
#include <pthread.h>

int main(int argc, char** argv)
{
    // A client that hangs up mid-answer must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    // SIGINT and SIGTERM are the stop request: blocked here, before any thread starts, so every
    // thread inherits the mask and only the wait below takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const CCentralCommandLine line = ParseCentralCommandLine(argc, argv);
    return RunCentralCommand(line, std::cout, std::cerr, [&] {
        int taken = 0;
        sigwait(&stopSignals, &taken);
    });
}
