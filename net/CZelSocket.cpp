#include "net/CZelSocket.h"

#include "foundation/CZelFormat.h"
#include "foundation/XTOOError.h"
#include "net/CZelFdSockets.h"
#include "net/ZelResolve.h"
#include "net/ZelSockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool WouldBlock(int code)
{
    return code == EAGAIN || code == EWOULDBLOCK;
}

sockaddr_in MakeAddress(uint32_t address, int port)
{
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(address);
    in.sin_port = htons(static_cast<uint16_t>(port));
    return in;
}

void MakeNonBlocking(int handle)
{
    const int flags = fcntl(handle, F_GETFL, 0);
    if (flags >= 0 && !(flags & O_NONBLOCK))
        fcntl(handle, F_SETFL, flags | O_NONBLOCK);
    fcntl(handle, F_SETFD, FD_CLOEXEC);
}

} // namespace

CZelSocket::CZelSocket() = default;

CZelSocket::CZelSocket(int handle) : m_handle(handle)
{
    if (m_handle >= 0)
        MakeNonBlocking(m_handle);
}

CZelSocket::~CZelSocket()
{
    CloseHandle();
}

int CZelSocket::OnRead()
{
    return zelsock::kStopReading;
}

int CZelSocket::OnWrite()
{
    return zelsock::kStopWriting;
}

int CZelSocket::OnConnected()
{
    return 0;
}

void CZelSocket::Notify_Error(int code)
{
    throw XTOOSockErr("Some socket error occured", this, Name(), code);
}

int CZelSocket::OnTimer(int)
{
    return 0;
}

CZelString CZelSocket::Name() const
{
    return m_name.IsEmpty() ? CZelString(kUnknownName) : m_name;
}

void CZelSocket::ChangeInterest(uint32_t change)
{
    if (m_set)
        m_set->ChangeInterest(this, change);
}

uint32_t CZelSocket::Interest() const
{
    return m_set ? m_set->Interest(this) : 0;
}

void CZelSocket::Fail(const CZelString& step, int code)
{
    throw XTOOSockErr(step, this, Name(), code);
}

void CZelSocket::Create()
{
    CloseHandle();
    m_handle = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_handle < 0)
        Fail("socket ()", errno);
}

void CZelSocket::Bind(int port, uint32_t address)
{
    if (ZelSockTraceOn(2))
        ZelSockTrace(2, Format("CZelTcpSocket::Bind ( %d )\n", port));
    const sockaddr_in in = MakeAddress(address, port);
    if (::bind(m_handle, reinterpret_cast<const sockaddr*>(&in), sizeof in) != 0)
        Fail("bind ()", errno);
    GetLocalAddress(m_localAddress, m_localPort);
}

void CZelSocket::Listen(int backlog)
{
    if (::listen(m_handle, backlog) != 0)
        Fail("listen ()", errno);
    m_listening = true;
}

int CZelSocket::Accept(uint32_t& peerAddress, int& peerPort)
{
    sockaddr_in in{};
    socklen_t length = sizeof in;
    const int accepted = ::accept4(m_handle, reinterpret_cast<sockaddr*>(&in), &length,
                                   SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted < 0) {
        const int code = errno;
        // A connection that died while waiting in the queue is not a failure of the listener.
        if (WouldBlock(code) || code == EINTR || code == ECONNABORTED)
            return -1;
        Fail("accept ()", code);
    }
    peerAddress = ntohl(in.sin_addr.s_addr);
    peerPort = ntohs(in.sin_port);
    return accepted;
}

bool CZelSocket::Connect(uint32_t address, int port)
{
    if (ZelSockTraceOn(2))
        ZelSockTrace(2, Format("CZelTcpSocket::Connect ( %I, %d )\n", address, port));
    m_connectAddress = address;
    m_connectPort = port;
    const sockaddr_in in = MakeAddress(address, port);
    if (::connect(m_handle, reinterpret_cast<const sockaddr*>(&in), sizeof in) == 0)
        return true;
    const int code = errno;
    if (code == EINPROGRESS || code == EINTR)
        return false;
    Fail(Format("connect (%I, %d)", address, port), code);
}

bool CZelSocket::ConnectAgain()
{
    const int code = PendingError();
    if (code == 0) {
        GetLocalAddress(m_localAddress, m_localPort);
        return true;
    }
    if (code == EINPROGRESS || code == EALREADY)
        return false;
    Fail(Format("connect (%I, %d)", m_connectAddress, m_connectPort), code);
}

int CZelSocket::Send(const char* data, int length)
{
    const ssize_t sent = ::send(m_handle, data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0)
        return static_cast<int>(sent);
    const int code = errno;
    if (WouldBlock(code) || code == EINTR)
        return 0;
    Fail("send ()", code);
}

int CZelSocket::Recv(char* buffer, int length)
{
    const ssize_t got = ::recv(m_handle, buffer, static_cast<size_t>(length), MSG_DONTWAIT);
    if (got >= 0)
        return static_cast<int>(got);
    const int code = errno;
    if (WouldBlock(code) || code == EINTR)
        return -1;
    Fail("recv ()", code);
}

int CZelSocket::PeekOne(int& error)
{
    char byte;
    const ssize_t got = ::recv(m_handle, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (got >= 0)
        return static_cast<int>(got);
    const int code = errno;
    if (WouldBlock(code) || code == EINTR)
        return -1;
    error = code;
    return -2;
}

void CZelSocket::SetOption(int level, int name, int value)
{
    if (::setsockopt(m_handle, level, name, &value, sizeof value) != 0)
        Fail("setsockopt ()", errno);
}

void CZelSocket::GetPeerAddress(uint32_t& address, int& port)
{
    sockaddr_in in{};
    socklen_t length = sizeof in;
    if (::getpeername(m_handle, reinterpret_cast<sockaddr*>(&in), &length) != 0)
        Fail("getpeername()", errno);
    address = ntohl(in.sin_addr.s_addr);
    port = ntohs(in.sin_port);
}

void CZelSocket::GetLocalAddress(uint32_t& address, int& port)
{
    sockaddr_in in{};
    socklen_t length = sizeof in;
    if (::getsockname(m_handle, reinterpret_cast<sockaddr*>(&in), &length) != 0)
        Fail("getsockname()", errno);
    address = ntohl(in.sin_addr.s_addr);
    port = ntohs(in.sin_port);
}

int CZelSocket::PendingError()
{
    int code = 0;
    socklen_t length = sizeof code;
    if (::getsockopt(m_handle, SOL_SOCKET, SO_ERROR, &code, &length) != 0)
        return errno;
    return code;
}

void CZelSocket::CloseHandle()
{
    if (m_handle < 0)
        return;
    ::close(m_handle);
    m_handle = -1;
    m_listening = false;
}
