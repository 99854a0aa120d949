#pragma once
// A scripted HTTP peer for the protocol tests: a thread with plain POSIX sockets on 127.0.0.1
// that accepts connections one after another and runs one script per connection. Scripts read
// whole requests (header and Content-Length body) and send whatever bytes the test wants.

#include "foundation/testing/Eventually.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace protocoltest {

struct PeerRequest {
    std::string header;     // through the blank line
    std::string body;
    std::string Raw() const { return header + body; }
};

class PeerConnection {
public:
    PeerConnection(int fd, const std::atomic<bool>& stop) : m_fd(fd), m_stop(stop) {}
    ~PeerConnection() { Close(); }

    // The next whole request; nothing when the client closed or 10 s passed.
    std::optional<PeerRequest> ReadRequest()
    {
        for (;;) {
            const size_t end = m_pending.find("\r\n\r\n");
            if (end != std::string::npos) {
                PeerRequest request;
                request.header = m_pending.substr(0, end + 4);
                const size_t length = ContentLength(request.header);
                if (m_pending.size() >= end + 4 + length) {
                    request.body = m_pending.substr(end + 4, length);
                    m_pending.erase(0, end + 4 + length);
                    return request;
                }
            }
            if (!ReadMore())
                return std::nullopt;
        }
    }
    // True when the client closed its end (within 10 s).
    bool WaitForClientClose()
    {
        while (ReadMore()) {
        }
        return m_closedByClient;
    }
    void Send(const std::string& bytes)
    {
        size_t sent = 0;
        while (m_fd >= 0 && sent < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            sent += static_cast<size_t>(n);
        }
    }
    static void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    void Close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    static size_t ContentLength(const std::string& header)
    {
        std::string lower = header;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const size_t at = lower.find("\r\ncontent-length: ");
        return at == std::string::npos ? 0 : std::strtoul(lower.c_str() + at + 18, nullptr, 10);
    }
    bool ReadMore()
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (m_fd >= 0 && !m_stop && std::chrono::steady_clock::now() < deadline) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            char chunk[65536];
            const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                m_closedByClient = true;
                return false;
            }
            m_pending.append(chunk, static_cast<size_t>(n));
            return true;
        }
        return false;
    }

    int m_fd;
    const std::atomic<bool>& m_stop;
    std::string m_pending;
    bool m_closedByClient = false;
};

class ScriptedHttpPeer {
public:
    using Script = std::function<void(PeerConnection&)>;

    // One script per connection, in the order the connections arrive.
    explicit ScriptedHttpPeer(std::vector<Script> scripts) : m_scripts(scripts.begin(), scripts.end())
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&in), sizeof in);
        ::listen(m_listener, 16);
        socklen_t length = sizeof in;
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&in), &length);
        m_port = ntohs(in.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~ScriptedHttpPeer()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
    }
    int Port() const { return m_port; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }
    // Waits until every script has run (or 10 s passed); the number of connections served.
    int WaitDone()
    {
        velmo_testing::Eventually([this] { return m_done.load(); }, std::chrono::seconds(10));
        return m_connections;
    }

private:
    void Serve()
    {
        while (!m_stop && !m_scripts.empty()) {
            pollfd p{m_listener, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            ++m_connections;
            Script script = std::move(m_scripts.front());
            m_scripts.pop_front();
            PeerConnection connection(fd, m_stop);
            script(connection);
        }
        m_done = true;
    }

    std::deque<Script> m_scripts;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
    std::atomic<int> m_connections{0};
    std::thread m_thread;
};

inline std::string HttpAnswer(const std::string& body, const std::string& status = "HTTP/1.1 200 OK",
                              const std::string& lengthField = "Content-Length: ")
{
    return status + "\r\nContent-Type: application/octet-stream\r\n" + lengthField + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

} // namespace protocoltest
