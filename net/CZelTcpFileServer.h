#pragma once
// CZelTcpFileServer: the socket side of a blocking listening socket. It lives on its own
// file-socket thread and serves one accept request at a time for its facade.

#include "net/CZelSocketTimer.h"
#include "net/CZelTcpFileLink.h"
#include "net/CZelTcpSocket.h"

#include <memory>

class CZelTcpFileServer : public CZelTcpSocket {
public:
    static constexpr const char* kDefaultName = "CZelTcpFileServer";
    // Timer types.
    static constexpr int kStartAccept = 1;
    static constexpr int kListening = 2;
    static constexpr int kAcceptTimeout = 3;
    // Accept time-outs that mean "wait without limit".
    static constexpr int kNoLimit = -1;
    static constexpr int kNoLimitToo = -2;

    // Creates the socket, binds it to `address` (0 = all local addresses) and `port` (0 = any)
    // and listens; failures throw XTOOSockErr.
    CZelTcpFileServer(CZelSockThread* thread, std::shared_ptr<CZelTcpFileLink> link, const CZelString& name,
                      uint32_t address, int port);
    ~CZelTcpFileServer() override;

    // Tells the facade, from the server's own thread, that listening has started.
    void AnnounceListening();
    // From the facade, under the data lock: start serving the accept request in the link.
    void PostAccept();

    int OnRead() override;
    void Notify_Error(int code) override;
    int OnTimer(int type) override;
    CZelString Name() const override;

private:
    int StartAccept();
    int AcceptTimedOut();
    void Detach();

    std::shared_ptr<CZelTcpFileLink> m_link;
    CZelString m_givenName;
    CZelSockTimerT<CZelTcpFileServer> m_startAccept;
    CZelSockTimerT<CZelTcpFileServer> m_listening;
    CZelSockTimerT<CZelTcpFileServer> m_acceptTimeout;
};
