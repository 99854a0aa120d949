#pragma once
// The hostile load of the central server's own test, for the benchmarks that measure honest
// clients under it, and the process's own figures they need.

#include "testing/HostileHttp.h"
#include "testing/RawHttpPeer.h"

#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace velmo_bench {

// The hostile load of the server's own test, from other loopback addresses than the honest
// clients': idle connections, peers trickling their bodies, the malformed requests' table ten
// times a second and 20 MB uploads over the body limit one after the other, until stopped.
class HostileLoad {
public:
    static constexpr int kIdle = 2000;
    static constexpr int kSlow = 200;

    explicit HostileLoad(int port) : m_port(port)
    {
        for (int i = 0; i < kIdle; ++i)
            m_idle.emplace_back(port, ("127.0.1." + std::to_string(1 + i % 10)).c_str());
        for (int i = 0; i < kSlow; ++i) {
            m_slow.emplace_back(port, "127.0.2.1");
            m_slow.back().Send("POST /cgi-bin/velmo.cgi HTTP/1.1\r\nContent-Length: 100000\r\n\r\nslow");
        }
        m_threads.emplace_back([this] { Trickle(); });
        m_threads.emplace_back([this] { Malformed(); });
        m_threads.emplace_back([this] { Uploads(); });
    }

    ~HostileLoad()
    {
        m_stop = true;
        for (std::thread& thread : m_threads)
            thread.join();
    }

private:
    void Trickle()
    {
        while (!m_stop) {
            for (centraltest::RawPeer& peer : m_slow)
                peer.Send("x");
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }

    void Malformed()
    {
        const std::vector<centraltest::BadRequest> table = centraltest::BadRequests();
        while (!m_stop) {
            for (const centraltest::BadRequest& bad : table) {
                centraltest::RawPeer peer(m_port, "127.0.3.1");
                peer.Send(bad.bytes);
                peer.ReadUntilClosed();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    void Uploads()
    {
        const std::string block(64 * 1024, 'u');
        while (!m_stop) {
            centraltest::RawPeer peer(m_port, "127.0.4.1");
            std::thread reader([&] { peer.ReadUntilClosed(); });
            peer.Send("POST /cgi-bin/velmo.cgi HTTP/1.1\r\nContent-Length: 20971520\r\n\r\n");
            // About 6 MB/s: a fast client on a real network, not the loopback's full speed.
            for (size_t sent = 0; sent < 20971520 && !m_stop && peer.Send(block); sent += block.size())
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ::shutdown(peer.Fd(), SHUT_WR);
            reader.join();
        }
    }

    const int m_port;
    std::atomic<bool> m_stop{false};
    std::vector<centraltest::RawPeer> m_idle, m_slow;
    std::vector<std::thread> m_threads;
};

inline void RaiseOwnFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// This process's resident memory in KB, or -1.
inline long ResidentKilobytes()
{
    FILE* status = std::fopen("/proc/self/status", "r");
    if (!status)
        return -1;
    char line[256];
    long kilobytes = -1;
    while (std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "VmRSS: %ld", &kilobytes) == 1)
            break;
    std::fclose(status);
    return kilobytes;
}

} // namespace velmo_bench
