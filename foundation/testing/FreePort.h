#pragma once
// A port for a program under test to listen on, given back at once. Programs started by a test
// take their ports from here, so tests running side by side never meet on a fixed port.
//
// The port comes from below the kernel's ephemeral range: a port from inside it may be handed
// to any outgoing connection on the machine (the program's own connection to its central
// server among them) between this pick and the program's listen, and the listen then fails.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <random>

namespace velmo_testing {

// The first port the kernel gives to outgoing connections (32768 unless configured).
inline int EphemeralPortsStart()
{
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    int low = 32768;
    int high = 60999;
    if (!(range >> low >> high))
        low = 32768;
    return low;
}

// Whether `port` can be listened on, on every address, right now.
inline bool PortIsFree(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return free;
}

// A port nobody listens on right now; -1 when none could be had.
inline int FreePort()
{
    constexpr int kLowest = 10000;
    const int below = EphemeralPortsStart();
    if (below - kLowest > 1000) {
        thread_local std::mt19937 random(std::random_device{}());
        std::uniform_int_distribution<int> pick(kLowest, below - 1);
        for (int attempt = 0; attempt < 200; ++attempt) {
            const int port = pick(random);
            if (PortIsFree(port))
                return port;
        }
    }
    // The kernel's own pick, as a last resort.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

} // namespace velmo_testing
