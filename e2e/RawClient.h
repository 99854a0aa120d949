#pragma once
// A bare TCP client on a loopback port, for the tests of clients that misbehave: it sends what
// it is told, byte for byte, and reads what the server says back.

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace e2e {

class RawClient {
public:
    // `host` in host byte order.
    explicit RawClient(int port, uint32_t host = INADDR_LOOPBACK)
    {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(host);
        address.sin_port = htons(static_cast<uint16_t>(port));
        m_connected = connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        // A server that neither reads nor closes must fail the test, not hang it.
        const timeval limit{120, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    ~RawClient() { Close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Connected() const { return m_connected; }
    // False once the server no longer takes the bytes.
    bool Send(const std::string& bytes)
    {
        for (size_t sent = 0; sent < bytes.size();) {
            const ssize_t wrote = send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (wrote <= 0)
                return false;
            sent += static_cast<size_t>(wrote);
        }
        return true;
    }
    // Reads until `text` has arrived (true), the server closes or `ms` pass.
    bool ReadUntil(const std::string& text, int ms = 120000)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (m_received.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count())))
                return false;
        }
        return true;
    }
    // Reads until at least `bytes` have arrived in all.
    bool ReadAtLeast(size_t bytes, int ms = 120000)
    {
        while (m_received.size() < bytes)
            if (!ReadSome(ms))
                return false;
        return true;
    }
    const std::string& Received() const { return m_received; }
    void Close()
    {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
    }

private:
    bool ReadSome(int ms)
    {
        pollfd wait{m_fd, POLLIN, 0};
        if (poll(&wait, 1, ms) <= 0)
            return false;
        char chunk[16384];
        const ssize_t got = recv(m_fd, chunk, sizeof chunk, 0);
        if (got <= 0)
            return false;
        m_received.append(chunk, static_cast<size_t>(got));
        return true;
    }

    int m_fd = -1;
    bool m_connected = false;
    std::string m_received;
};

} // namespace e2e
