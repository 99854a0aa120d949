#pragma once
// A raw TCP peer of the central server's HTTP front, for the requests no well-behaved client
// sends: garbage, lies about lengths, idling, trickling. It can connect from any loopback
// address (all of 127/8 is this machine), so that limits per address can be met and avoided.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

namespace centraltest {

// Far beyond what any answer needs, sanitizers and a busy machine included: it only keeps a
// broken server from hanging a test.
inline constexpr int kAnswerPatienceMs = 20000;

class RawPeer {
public:
    RawPeer() = default;
    RawPeer(int port, const char* from = "127.0.0.1") { Connect(port, from); }
    ~RawPeer() { Close(); }
    RawPeer(RawPeer&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    RawPeer& operator=(RawPeer&& other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }

    bool Connect(int port, const char* from = "127.0.0.1")
    {
        Close();
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (m_fd < 0)
            return false;
        sockaddr_in source{};
        source.sin_family = AF_INET;
        inet_pton(AF_INET, from, &source.sin_addr);
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(static_cast<uint16_t>(port));
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0 ||
            ::connect(m_fd, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
            Close();
            return false;
        }
        return true;
    }

    bool IsOpen() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }

    void Close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    // Sends all of `bytes`; false when the server closed the connection first.
    bool Send(const std::string& bytes)
    {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    // Everything until the server closes. `closed` is false when it did not within the bound.
    struct Received {
        std::string bytes;
        bool closed = false;
    };
    Received ReadUntilClosed(int patienceMs = kAnswerPatienceMs)
    {
        Received received;
        char chunk[4096];
        for (;;) {
            pollfd fd{m_fd, POLLIN, 0};
            if (::poll(&fd, 1, patienceMs) != 1)
                return received;
            const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                received.closed = true;
                return received;
            }
            received.bytes.append(chunk, static_cast<size_t>(got));
        }
    }

    // One whole answer: its head and a body of its Content-Length. Empty when the server closed
    // first or nothing came within the bound.
    std::string ReadAnswer(int patienceMs = kAnswerPatienceMs)
    {
        for (;;) {
            const size_t end = m_pending.find("\r\n\r\n");
            if (end != std::string::npos) {
                const size_t length = ContentLength(m_pending.substr(0, end));
                const size_t whole = end + 4 + length;
                if (m_pending.size() >= whole) {
                    std::string answer = m_pending.substr(0, whole);
                    m_pending.erase(0, whole);
                    return answer;
                }
            }
            pollfd fd{m_fd, POLLIN, 0};
            if (::poll(&fd, 1, patienceMs) != 1)
                return {};
            char chunk[4096];
            const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (got <= 0)
                return {};
            m_pending.append(chunk, static_cast<size_t>(got));
        }
    }

private:
    static size_t ContentLength(const std::string& head)
    {
        static const std::string kField = "\r\nContent-Length: ";
        const size_t at = head.find(kField);
        return at == std::string::npos ? 0 : std::stoul(head.substr(at + kField.size()));
    }

    int m_fd = -1;
    std::string m_pending;
};

// "POST" with a body and its length, as the gateway sends it.
inline std::string HonestPost(const std::string& body)
{
    return "POST /cgi-bin/velmo.cgi HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/octet-stream\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\nConnection: keep-alive\r\n\r\n" + body;
}

// The head of a POST that waits for the server's "100 Continue" before it sends its body: once
// that came, the server is reading the request.
inline std::string HeadWaitingToContinue(size_t bodyLength)
{
    return "POST /cgi-bin/velmo.cgi HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(bodyLength) +
           "\r\nExpect: 100-continue\r\n\r\n";
}

inline constexpr char kContinueAnswer[] = "HTTP/1.1 100 Continue\r\n\r\n";

inline std::string StatusLineOf(const std::string& answer)
{
    return answer.substr(0, answer.find("\r\n"));
}

} // namespace centraltest
