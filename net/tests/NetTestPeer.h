#pragma once
// Plain blocking sockets on 127.0.0.1 that play the other end in the networking tests.

#include "foundation/testing/Eventually.h"
#include "foundation/testing/FreePort.h"
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace nettest {

inline sockaddr_in Loopback(int port)
{
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    in.sin_port = htons(static_cast<uint16_t>(port));
    return in;
}

// Owns one descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    Fd(Fd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Fd& operator=(Fd&& other) noexcept
    {
        if (this != &other) {
            Reset();
            m_fd = other.m_fd;
            other.m_fd = -1;
        }
        return *this;
    }
    ~Fd() { Reset(); }
    void Reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    int Get() const { return m_fd; }
    int Release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    bool Valid() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// A listening socket on 127.0.0.1 at a port the system chose.
class Listener {
public:
    Listener()
    {
        m_fd = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int one = 1;
        ::setsockopt(m_fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in in = Loopback(0);
        ::bind(m_fd.Get(), reinterpret_cast<sockaddr*>(&in), sizeof in);
        ::listen(m_fd.Get(), 64);
        socklen_t length = sizeof in;
        ::getsockname(m_fd.Get(), reinterpret_cast<sockaddr*>(&in), &length);
        m_port = ntohs(in.sin_port);
    }
    int Port() const { return m_port; }
    // One connection, or an invalid Fd after `timeoutMs`.
    Fd Accept(int timeoutMs = 10000)
    {
        pollfd p{m_fd.Get(), POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return Fd();
        return Fd(::accept4(m_fd.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    }
    void Close() { m_fd.Reset(); }

private:
    Fd m_fd;
    int m_port = 0;
};

inline Fd Connect(int port)
{
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in in = Loopback(port);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&in), sizeof in) != 0)
        return Fd();
    return fd;
}

// A listener on 127.0.0.1 whose accept queue is full and never taken from: the system drops
// the opening packet of every further connection, so a connect to it stays in progress (as to
// a peer that does not answer) until the connecting side gives up.
class FullListener {
public:
    FullListener()
    {
        m_fd = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in in = Loopback(0);
        ::bind(m_fd.Get(), reinterpret_cast<sockaddr*>(&in), sizeof in);
        ::listen(m_fd.Get(), 0);
        socklen_t length = sizeof in;
        ::getsockname(m_fd.Get(), reinterpret_cast<sockaddr*>(&in), &length);
        m_port = ntohs(in.sin_port);
        // Each connect completes only while the queue has room; the queue holds it once the
        // final packet of its handshake has been taken in.
        for (int tries = 0; tries < 8 && !IsFull(); ++tries) {
            m_queued.push_back(Connect(m_port));
            velmo_testing::Eventually([&] { return Queued() >= m_queued.size(); });
        }
    }
    int Port() const { return m_port; }

private:
    // What the system compares before it drops an opening packet: the connections waiting to
    // be accepted against the queue's length.
    bool IsFull() const { return Queued() > QueueLength(); }
    size_t Queued() const { return Info().tcpi_unacked; }
    size_t QueueLength() const { return Info().tcpi_sacked; }
    tcp_info Info() const
    {
        tcp_info info{};
        socklen_t length = sizeof info;
        ::getsockopt(m_fd.Get(), IPPROTO_TCP, TCP_INFO, &info, &length);
        return info;
    }

    Fd m_fd;
    int m_port = 0;
    std::vector<Fd> m_queued;
};

inline bool SendAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// True once the other end has acknowledged every byte sent on `fd`: they are in its receive
// buffer, where a read that takes only what already arrived finds them.
inline bool AllSentAcknowledged(int fd)
{
    int unacknowledged = 0;
    return ::ioctl(fd, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0;
}

// Exactly `count` bytes (fewer when the peer closes or `timeoutMs` passes between pieces).
inline std::string RecvExactly(int fd, size_t count, int timeoutMs = 10000)
{
    std::string got;
    char buffer[65536];
    while (got.size() < count) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            break;
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, count - got.size()), 0);
        if (n <= 0)
            break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

// A port nothing listens on: bound and closed again at once.
// A port nobody listens on, to listen on later or to find refused. It comes from below the
// ephemeral range: a port the kernel just handed out may go to any outgoing connection of a
// test running beside this one before the listen here.
inline int ClosedPort()
{
    return velmo_testing::FreePort();
}

} // namespace nettest
