#pragma once
// A loopback TCP proxy for end-to-end tests that stands between the gateway and the central
// server and damages one answer on the way back: the first HTTP answer whose body begins
// with a block record (type 65560) gets one byte of its sealed payload's MAC flipped. Every
// other byte passes untouched, in both directions, over as many connections as the gateway
// opens (kept alive or not).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

class FlippingProxy {
public:
    // The block answer's record type on the wire, big-endian.
    static constexpr std::array<uint8_t, 4> kBlockAnswerType = {0x00, 0x01, 0x00, 0x18};
    // The byte flipped, counted from the start of the HTTP body: the record's type and length
    // (8), then the sealed payload's initial vector (8); the first byte of its MAC.
    static constexpr size_t kFlippedOffset = 8 + 8;

    explicit FlippingProxy(int targetPort) : m_targetPort(targetPort)
    {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = Loopback(0);
        if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(m_listener, 64) != 0)
            throw std::runtime_error("the proxy cannot listen");
        socklen_t length = sizeof address;
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_acceptor = std::thread([this] { AcceptLoop(); });
    }
    ~FlippingProxy()
    {
        m_stop = true;
        m_acceptor.join();
        std::lock_guard<std::mutex> hold(m_lock);
        for (std::thread& pump : m_pumps)
            pump.join();
        close(m_listener);
    }
    FlippingProxy(const FlippingProxy&) = delete;
    FlippingProxy& operator=(const FlippingProxy&) = delete;

    int Port() const { return m_port; }
    // Whether the block answer was damaged already.
    bool Flipped() const { return m_flipped.load(); }

private:
    // Follows one answer stream byte by byte: the end of each HTTP header, then the first
    // bytes of the body.
    class AnswerScanner {
    public:
        explicit AnswerScanner(std::atomic<bool>& flipped) : m_flipped(flipped) {}

        void Pass(char* bytes, size_t count)
        {
            for (size_t at = 0; at < count; ++at)
                Step(reinterpret_cast<uint8_t&>(bytes[at]));
        }

    private:
        void Step(uint8_t& byte)
        {
            if (m_bodyAt < 0) {
                m_tail = (m_tail << 8) | byte;
                if (m_tail == 0x0D0A0D0A)
                    m_bodyAt = 0;
                return;
            }
            const size_t at = static_cast<size_t>(m_bodyAt++);
            if (at < kBlockAnswerType.size()) {
                if (byte != kBlockAnswerType[at])
                    Reset();
                return;
            }
            if (at == kFlippedOffset) {
                if (!m_flipped.exchange(true))
                    byte ^= 0x01;
                Reset();
            }
        }
        void Reset()
        {
            m_bodyAt = -1;
            m_tail = 0;
        }

        std::atomic<bool>& m_flipped;
        uint32_t m_tail = 0;
        int64_t m_bodyAt = -1;   // -1: in a header
    };

    static sockaddr_in Loopback(int port)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        return address;
    }

    void AcceptLoop()
    {
        while (!m_stop) {
            pollfd wait{m_listener, POLLIN, 0};
            if (poll(&wait, 1, 50) <= 0)
                continue;
            const int client = accept(m_listener, nullptr, nullptr);
            if (client < 0)
                continue;
            const int server = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address = Loopback(m_targetPort);
            if (connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                close(server);
                close(client);
                continue;
            }
            std::lock_guard<std::mutex> hold(m_lock);
            m_pumps.emplace_back([this, client, server] { Pump(client, server); });
        }
    }

    // Both directions of one connection until either side closes.
    void Pump(int client, int server)
    {
        AnswerScanner scanner(m_flipped);
        char buffer[64 * 1024];
        while (!m_stop) {
            pollfd waits[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (poll(waits, 2, 50) <= 0)
                continue;
            if (waits[0].revents != 0 && !Forward(client, server, buffer, sizeof buffer, nullptr))
                break;
            if (waits[1].revents != 0 && !Forward(server, client, buffer, sizeof buffer, &scanner))
                break;
        }
        close(client);
        close(server);
    }

    static bool Forward(int from, int to, char* buffer, size_t size, AnswerScanner* scanner)
    {
        const ssize_t got = read(from, buffer, size);
        if (got <= 0)
            return false;
        if (scanner)
            scanner->Pass(buffer, static_cast<size_t>(got));
        for (ssize_t sent = 0; sent < got;) {
            const ssize_t wrote = send(to, buffer + sent, static_cast<size_t>(got - sent), MSG_NOSIGNAL);
            if (wrote <= 0)
                return false;
            sent += wrote;
        }
        return true;
    }

    const int m_targetPort;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_flipped{false};
    std::thread m_acceptor;
    std::mutex m_lock;
    std::vector<std::thread> m_pumps;
};

} // namespace e2e
