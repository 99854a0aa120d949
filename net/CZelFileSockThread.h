#pragma once
// CZelFileSockThread: the socket thread of one blocking connection or server. Its parent is
// the main thread, which reaps it once its socket is gone and the thread has ended.

#include "net/CZelSockThread.h"

class CZelFileSockThread : public CZelSockThread {
public:
    // The custom command that closes the thread's sockets (and so ends the thread).
    static void* const kCloseCommand;

    explicit CZelFileSockThread(CZelSockThread* parent);
    ~CZelFileSockThread() override;

protected:
    void OnCustomCommand(void* data) override;
};
