#include "net/CZelFileSockThread.h"

namespace {
int g_closeCommandTag;
}

void* const CZelFileSockThread::kCloseCommand = &g_closeCommandTag;

CZelFileSockThread::CZelFileSockThread(CZelSockThread* parent) : CZelSockThread(parent) {}

CZelFileSockThread::~CZelFileSockThread()
{
    SignalStop();
    Wake();
    Join(-1);
}

void CZelFileSockThread::OnCustomCommand(void* data)
{
    // Between rounds no handler runs, so the sockets can go at once; each tells its facade.
    if (data == kCloseCommand)
        Sockets().DeleteAllSockets();
}
