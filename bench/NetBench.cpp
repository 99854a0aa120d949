// CZelTcpFile against plain blocking sockets on 127.0.0.1. Both sides of "ours" go through
// CZelTcpFile (an outgoing connection and an accepted one); both sides of "theirs" are plain
// blocking sockets.
#include "bench/BenchMain.h"
#include "net/CZelTcpFile.h"
#include "net/ZelSockets.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int64_t kStreamBytes = 100LL * 1024 * 1024;
constexpr int kWriteChunk = 1024 * 1024;
constexpr int kReadChunk = 65536;
constexpr int kRoundTrips = 10000;
constexpr int kMessage = 100;
constexpr uint32_t kAnyData60s = CZelTcpFile::kReadAnyData | 60000;

// ---- ours ----

struct OurPair {
    std::unique_ptr<CZelTcpFile> client;
    std::unique_ptr<CZelTcpFile> server;    // the accepted end
};

OurPair ConnectOurs()
{
    CZelTcpFile listener(true);
    listener.Listen(0x7F000001u, 0);
    OurPair pair;
    pair.client = std::make_unique<CZelTcpFile>(true);
    pair.client->Open("127.0.0.1", listener.LocalPort());
    const int accepted = listener.Accept(10000);
    if (accepted < 0)
        throw std::runtime_error("accept failed");
    pair.server = std::make_unique<CZelTcpFile>(accepted, true);
    return pair;
}

void StreamOurs(benchmark::State& state)
{
    SocketsStart(true);
    {
        OurPair pair = ConnectOurs();
        const CZelString chunk(std::string(kWriteChunk, 's'));
        std::vector<char> buffer(kReadChunk);
        for (auto _ : state) {
            std::thread writer([&] {
                for (int64_t sent = 0; sent < kStreamBytes; sent += kWriteChunk)
                    pair.client->Write(chunk, -1, 60000);
            });
            int64_t received = 0;
            while (received < kStreamBytes) {
                const int got = pair.server->Read(buffer.data(), kReadChunk, kAnyData60s);
                if (got <= 0)
                    throw std::runtime_error("stream read failed");
                received += got;
            }
            writer.join();
        }
        state.SetBytesProcessed(state.iterations() * kStreamBytes);
    }
    SocketsStop();
}

void PingPongOurs(benchmark::State& state)
{
    SocketsStart(true);
    {
        OurPair pair = ConnectOurs();
        const CZelString message(std::string(kMessage, 'p'));
        char buffer[kMessage];
        for (auto _ : state) {
            std::thread echo([&] {
                char line[kMessage];
                for (int i = 0; i < kRoundTrips; ++i) {
                    if (pair.server->Read(line, kMessage, 60000) != kMessage)
                        return;
                    pair.server->Write(line, kMessage, 60000);
                }
            });
            for (int i = 0; i < kRoundTrips; ++i) {
                pair.client->Write(message, 60000);
                if (pair.client->Read(buffer, kMessage, 60000) != kMessage)
                    throw std::runtime_error("ping-pong read failed");
            }
            echo.join();
        }
    }
    SocketsStop();
}

// ---- theirs ----

struct PlainPair {
    int client = -1;
    int server = -1;
    ~PlainPair()
    {
        if (client >= 0)
            ::close(client);
        if (server >= 0)
            ::close(server);
    }
};

void ConnectPlain(PlainPair& pair)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&in), sizeof in);
    ::listen(listener, 4);
    socklen_t length = sizeof in;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&in), &length);
    pair.client = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(pair.client, reinterpret_cast<sockaddr*>(&in), sizeof in) != 0)
        throw std::runtime_error("connect failed");
    pair.server = ::accept(listener, nullptr, nullptr);
    ::close(listener);
}

bool SendAll(int fd, const char* data, size_t length)
{
    while (length > 0) {
        const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool RecvAll(int fd, char* data, size_t length)
{
    while (length > 0) {
        const ssize_t n = ::recv(fd, data, length, 0);
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

void StreamTheirs(benchmark::State& state)
{
    PlainPair pair;
    ConnectPlain(pair);
    const std::string chunk(kWriteChunk, 's');
    std::vector<char> buffer(kReadChunk);
    for (auto _ : state) {
        std::thread writer([&] {
            for (int64_t sent = 0; sent < kStreamBytes; sent += kWriteChunk)
                SendAll(pair.client, chunk.data(), chunk.size());
        });
        int64_t received = 0;
        while (received < kStreamBytes) {
            const ssize_t got = ::recv(pair.server, buffer.data(), kReadChunk, 0);
            if (got <= 0)
                throw std::runtime_error("stream read failed");
            received += got;
        }
        writer.join();
    }
    state.SetBytesProcessed(state.iterations() * kStreamBytes);
}

void PingPongTheirs(benchmark::State& state)
{
    PlainPair pair;
    ConnectPlain(pair);
    const std::string message(kMessage, 'p');
    char buffer[kMessage];
    for (auto _ : state) {
        std::thread echo([&] {
            char line[kMessage];
            for (int i = 0; i < kRoundTrips; ++i) {
                if (!RecvAll(pair.server, line, kMessage))
                    return;
                SendAll(pair.server, line, kMessage);
            }
        });
        for (int i = 0; i < kRoundTrips; ++i) {
            SendAll(pair.client, message.data(), message.size());
            if (!RecvAll(pair.client, buffer, kMessage))
                throw std::runtime_error("ping-pong read failed");
        }
        echo.join();
    }
}

} // namespace

BENCHMARK(StreamOurs)->Name("tcpfile_stream_100MB/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(StreamTheirs)->Name("tcpfile_stream_100MB/theirs")->Unit(benchmark::kMillisecond);
BENCHMARK(PingPongOurs)->Name("tcpfile_pingpong/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(PingPongTheirs)->Name("tcpfile_pingpong/theirs")->Unit(benchmark::kMillisecond);
