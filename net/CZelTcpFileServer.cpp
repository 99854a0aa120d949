#include "net/CZelTcpFileServer.h"

#include "foundation/CZelFormat.h"
#include "foundation/ZelGlobalLocks.h"
#include "net/CZelFdSockets.h"
#include "net/ZelSockets.h"

#include <algorithm>
#include <sys/socket.h>
#include <unistd.h>

using namespace tcpfile;

CZelTcpFileServer::CZelTcpFileServer(CZelSockThread* thread, std::shared_ptr<CZelTcpFileLink> link,
                                     const CZelString& name, uint32_t address, int port)
    : CZelTcpSocket(thread), m_link(std::move(link)), m_givenName(name),
      m_startAccept(thread, this, kStartAccept), m_listening(thread, this, kListening),
      m_acceptTimeout(thread, this, kAcceptTimeout)
{
    Create();
    // A restarted service gets its port back while old connections linger in TIME_WAIT.
    SetOption(SOL_SOCKET, SO_REUSEADDR, 1);
    Bind(port, address);
    Listen();
}

CZelTcpFileServer::~CZelTcpFileServer()
{
    Detach();
}

CZelString CZelTcpFileServer::Name() const
{
    return Format("%S on port %d", m_givenName.IsEmpty() ? CZelString(kDefaultName) : m_givenName, LocalPort());
}

void CZelTcpFileServer::Detach()
{
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    if (m_link->server != this)
        return;
    m_link->server = nullptr;
    m_link->thread = nullptr;
    m_link->WakeDirectWaiters();
    uint32_t bits = kClosed;
    if (m_link->accept.active) {
        m_link->accept.active = false;
        bits |= kComplete;
    }
    m_link->Signal(bits);
}

void CZelTcpFileServer::AnnounceListening()
{
    m_listening.Start(1, CZelSocketTimer::kNoWake);
}

void CZelTcpFileServer::PostAccept()
{
    m_startAccept.Start(1, CZelSocketTimer::kWake);
}

int CZelTcpFileServer::OnTimer(int type)
{
    switch (type) {
    case kStartAccept:
        m_startAccept.Stop();
        return StartAccept();
    case kListening: {
        m_listening.Stop();
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        m_link->Signal(kConnected);
        return 0;
    }
    case kAcceptTimeout:
        return AcceptTimedOut();
    default:
        throw XTOOSockErr::WithMessage(Format("OnTimer(%d)", type));
    }
}

int CZelTcpFileServer::StartAccept()
{
    int timeout;
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        CZelTcpFileLink::AcceptRequest& accept = m_link->accept;
        if (!accept.active)
            return 0;
        accept.handle = -1;
        timeout = accept.timeoutMs;
    }
    if (timeout == kNoLimit || timeout == kNoLimitToo)
        m_acceptTimeout.Stop();
    else
        m_acceptTimeout.Start(std::max<int64_t>(1, int64_t(std::max(0, timeout)) * 1000), CZelSocketTimer::kNoWake);
    return zelsock::kWantRead;
}

int CZelTcpFileServer::OnRead()
{
    uint32_t peerAddress = 0;
    int peerPort = 0;
    int accepted;
    try {
        accepted = Accept(peerAddress, peerPort);
    } catch (const XTOOSockErr& error) {
        // The listener stays; the request fails with this error.
        m_acceptTimeout.Stop();
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        if (m_link->accept.active) {
            m_link->accept.active = false;
            m_link->StoreError(error);
            m_link->Signal(kComplete);
        }
        return zelsock::kStopReading;
    }
    if (accepted < 0)
        return 0;
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        CZelTcpFileLink::AcceptRequest& accept = m_link->accept;
        if (accept.active) {
            accept.active = false;
            accept.handle = accepted;
            accept.peerAddress = peerAddress;
            accept.peerPort = peerPort;
            m_link->Signal(kComplete);
            accepted = -1;
        }
    }
    // Nobody asked for this connection: it is closed at once.
    if (accepted >= 0)
        ::close(accepted);
    m_acceptTimeout.Stop();
    return zelsock::kStopReading;
}

int CZelTcpFileServer::AcceptTimedOut()
{
    m_acceptTimeout.Stop();
    CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
    CZelTcpFileLink::AcceptRequest& accept = m_link->accept;
    if (!accept.active)
        return 0;
    accept.active = false;
    accept.handle = -1;
    m_link->Signal(kComplete);
    return zelsock::kStopReading;
}

void CZelTcpFileServer::Notify_Error(int code)
{
    {
        CZelLockGuard lock(ZelDataLock(), __FILE__, __LINE__);
        m_link->StoreError(XTOOSockErr("TCPServer:Notify_Error()", this, Name(), code));
    }
    Detach();
    if (CZelFdSockets* set = Set())
        set->DiscardSocket(this);
    throw XTOOSockClose(CZelString("Some error in listened socket...\n"), this);
}
