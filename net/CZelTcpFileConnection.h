#pragma once
// CZelTcpFileConnection: the socket side of one blocking connection. It lives on its own
// file-socket thread and serves the read and write requests its facade posts through the
// shared link; it reports completion, time-outs, a peer close and errors back through it.

#include "net/CZelSocketTimer.h"
#include "net/CZelTcpFileLink.h"
#include "net/CZelTcpSocket.h"

#include <memory>

class CZelTcpFileConnection : public CZelTcpSocket {
public:
    // Timer types.
    static constexpr int kStartRead = 1;
    static constexpr int kStartWrite = 11;
    static constexpr int kReadTimeout = 33;
    static constexpr int kWriteTimeout = 44;

    // An outgoing connection to `hostText` (the name used in error texts).
    CZelTcpFileConnection(CZelSockThread* thread, std::shared_ptr<CZelTcpFileLink> link,
                          const CZelString& hostText);
    // An accepted platform socket taken over.
    CZelTcpFileConnection(CZelSockThread* thread, std::shared_ptr<CZelTcpFileLink> link, int handle);
    // Tells the facade the connection is closed and ends its pending requests.
    ~CZelTcpFileConnection() override;

    // Creates the socket and starts the connect; true when it completed at once.
    bool StartConnect(uint32_t address, int port);
    // The connection is usable: the facade hears of it and the peer-close check starts.
    void MarkConnected();

    // From the facade, under the data lock: start serving the request in the link.
    void PostRead();
    void PostWrite();

    int OnRead() override;
    int OnWrite() override;
    int OnConnected() override;
    void Notify_Error(int code) override;
    int OnTimer(int type) override;
    CZelString Name() const override { return m_name; }

private:
    int StartRead();
    int StartWrite();
    int ReadTimedOut();
    int WriteTimedOut();
    int FailWith(const XTOOSockErr& error);
    void RestartTimeout(CZelSocketTimer& timer, int64_t deadlineMs, int idleMs);
    void Detach();
    [[noreturn]] void CloseConnection(const char* reason);

    std::shared_ptr<CZelTcpFileLink> m_link;
    CZelString m_name;
    CZelString m_writing;       // this side's reference to the bytes being sent
    CZelSockTimerT<CZelTcpFileConnection> m_startRead;
    CZelSockTimerT<CZelTcpFileConnection> m_startWrite;
    CZelSockTimerT<CZelTcpFileConnection> m_readTimeout;
    CZelSockTimerT<CZelTcpFileConnection> m_writeTimeout;
};
