// The blocking connections under stress: leaks over many cycles, stopping with connections
// open, and peers that flood, fall silent or vanish.
#include "net/CZelTcpFile.h"

#include "foundation/XTOOError.h"
#include "net/ZelSockets.h"
#include "foundation/testing/Eventually.h"
#include "foundation/testing/Threads.h"
#include "net/tests/NetTestPeer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <dirent.h>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace nettest;
using Clock = std::chrono::steady_clock;

namespace {

int CountEntries(const char* folder)
{
    DIR* dir = ::opendir(folder);
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    ::closedir(dir);
    return count;
}

struct Resources {
    int fds;
    int threads;
    bool operator==(const Resources& other) const { return fds == other.fds && threads == other.threads; }
};

Resources Count()
{
    // The directory stream itself holds one descriptor while counting; it is the same each time.
    return Resources{CountEntries("/proc/self/fd"), velmo_testing::CountThreads()};
}

// Finished threads are reaped by the main socket thread a moment after they end.
Resources SettleTo(const Resources& expected)
{
    Resources now = Count();
    velmo_testing::Eventually([&] { return (now = Count()) == expected; });
    return now;
}

int64_t MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(TcpFileRobustness, ThousandConnectCloseCyclesLeakNothing)
{
    ASSERT_TRUE(SocketsStart(true));
    {
        CZelTcpFile server(EErrorMode::Throw);
        ASSERT_TRUE(server.Listen(0x7F000001u, 0));
        const int port = server.LocalPort();
        const Resources before = Count();

        for (int cycle = 0; cycle < 1000; ++cycle) {
            CZelTcpFile client(EErrorMode::Throw);
            ASSERT_TRUE(client.Open("127.0.0.1", port)) << cycle;
            const int accepted = server.Accept(10000);
            ASSERT_GE(accepted, 0) << cycle;
            CZelTcpFile connection(accepted, EErrorMode::Throw);
            ASSERT_EQ(client.Write(CZelString("ping"), 5000), 4);
            char buffer[8];
            ASSERT_EQ(connection.Read(buffer, 4, 5000), 4);
            // Alternate who closes first, and sometimes leave the close to the destructor.
            if (cycle % 2)
                connection.Close();
            else
                client.Close();
        }
        const int refusedPort = ClosedPort();
        for (int cycle = 0; cycle < 100; ++cycle) {
            CZelTcpFile client(EErrorMode::ReturnCodes);
            ASSERT_FALSE(client.Open("127.0.0.1", refusedPort));
        }
        const Resources after = SettleTo(before);
        EXPECT_EQ(after.fds, before.fds);
        EXPECT_EQ(after.threads, before.threads);
    }
    SocketsStop();
}

TEST(TcpFileRobustness, StopWithOpenConnectionsEndsEveryWaitInTime)
{
    const Resources idle = Count();
    ASSERT_TRUE(SocketsStart(true));
    Listener listener;
    std::vector<Fd> peers;
    std::vector<std::unique_ptr<CZelTcpFile>> files;
    for (int i = 0; i < 6; ++i) {
        files.push_back(std::make_unique<CZelTcpFile>(EErrorMode::ReturnCodes));
        ASSERT_TRUE(files.back()->Open("127.0.0.1", listener.Port()));
        peers.push_back(listener.Accept());
    }
    CZelTcpFile server(EErrorMode::Throw);
    ASSERT_TRUE(server.Listen(0x7F000001u, 0));

    // Protocol threads blocked in every kind of wait: reads, a line read, an endless accept
    // and a write to a peer that never reads.
    std::vector<std::future<int>> waits;
    for (int i = 0; i < 4; ++i)
        waits.push_back(std::async(std::launch::async, [&, i] {
            char buffer[256];
            return files[i]->Read(buffer, sizeof buffer, CZelTcpFile::kReadAnyData | 600000);
        }));
    waits.push_back(std::async(std::launch::async, [&] {
        char buffer[256];
        return files[4]->ReadUntil(buffer, sizeof buffer, 600000, "\r\n");
    }));
    const CZelString lots(std::string(64 * 1024 * 1024, 'w'));
    waits.push_back(std::async(std::launch::async, [&] { return files[5]->Write(lots, -1, -1); }));
    std::atomic<bool> acceptThrew{false};
    waits.push_back(std::async(std::launch::async, [&] {
        try {
            return server.Accept(-1);
        } catch (const XTOOError&) {
            acceptThrew = true;
            return -1;
        }
    }));
    // The write has begun once its first bytes reach the peer.
    pollfd arrived{peers[5].Get(), POLLIN, 0};
    ASSERT_EQ(::poll(&arrived, 1, 10000), 1);
    velmo_testing::Eventually(velmo_testing::AllOtherThreadsBlocked);

    const auto start = Clock::now();
    SocketsStop();
    EXPECT_LT(MsSince(start), kSocketsStopBoundMs);
    for (auto& wait : waits)
        ASSERT_EQ(wait.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(waits[i].get(), -1) << i;
    EXPECT_GE(waits[5].get(), 0) << "the write tells how much went out";
    waits[6].get();
    EXPECT_TRUE(acceptThrew);
    for (auto& file : files)
        EXPECT_FALSE(file->IsOpen());

    files.clear();
    server.Close();
    peers.clear();
    listener.Close();
    const Resources after = SettleTo(idle);
    EXPECT_EQ(after.threads, idle.threads);
    EXPECT_EQ(after.fds, idle.fds);
}

TEST(TcpFileRobustness, StoppingTheFileThreadsEndsABlockedReadAndTheLibraryGoesOn)
{
    ASSERT_TRUE(SocketsStart(true));
    Listener listener;
    CZelTcpFile file(EErrorMode::ReturnCodes);
    ASSERT_TRUE(file.Open("127.0.0.1", listener.Port()));
    Fd peer = listener.Accept();
    auto read = std::async(std::launch::async, [&] {
        char buffer[16];
        return file.Read(buffer, sizeof buffer, 600000);
    });
    velmo_testing::Eventually(velmo_testing::AllOtherThreadsBlocked);
    StopFileSockThreads();
    ASSERT_EQ(read.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(read.get(), -1);

    CZelTcpFile again(EErrorMode::ReturnCodes);
    EXPECT_TRUE(again.Open("127.0.0.1", listener.Port())) << "new connections still work";
    SocketsStop();
}

TEST(TcpFileRobustness, AFloodingPeerIsReadInBoundedPiecesAndCloseIsPrompt)
{
    ASSERT_TRUE(SocketsStart(true));
    Listener listener;
    CZelTcpFile file(EErrorMode::Throw);
    ASSERT_TRUE(file.Open("127.0.0.1", listener.Port()));
    Fd peer = listener.Accept();
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        const std::string chunk(1 << 16, 'F');
        while (!stop && SendAll(peer.Get(), chunk)) {
        }
    });
    std::vector<char> buffer(65536);
    for (int i = 0; i < 200; ++i) {
        // No delimiter ever comes: each call ends at its maximum, nothing piles up.
        ASSERT_EQ(file.ReadUntil(buffer.data(), static_cast<int>(buffer.size()), 10000, "\r\n"), 65536);
        ASSERT_LE(file.PushedBackBytes(), 102400 + 65536);
    }
    const auto start = Clock::now();
    file.Close();
    EXPECT_LT(MsSince(start), 5000);
    stop = true;
    ::shutdown(peer.Get(), SHUT_RDWR);     // ends the flooder's send, if the close has not
    flood.join();
    SocketsStop();
}

TEST(TcpFileRobustness, ASilentPeerEndsReadUntilAtItsTimeOut)
{
    ASSERT_TRUE(SocketsStart(true));
    Listener listener;
    CZelTcpFile file(EErrorMode::Throw);
    ASSERT_TRUE(file.Open("127.0.0.1", listener.Port()));
    Fd peer = listener.Accept();
    ASSERT_TRUE(SendAll(peer.Get(), "no line end"));
    char buffer[64];
    const auto start = Clock::now();
    const int got = file.ReadUntil(buffer, sizeof buffer, 300, "\r\n");
    EXPECT_GE(MsSince(start), 250);
    EXPECT_EQ(got, 11) << "what came is returned without a delimiter";
    EXPECT_TRUE(file.IsOpen());
    EXPECT_EQ(file.ReadUntil(buffer, sizeof buffer, 100, "\r\n"), 0);
    SocketsStop();
}

// A stop reaches an opening at whatever step it is: the opening call returns at once as
// stopped, and nothing is left of it, neither a thread nor a descriptor nor a connection. The
// peer never takes the connection, so only the stop can end the opening.
struct AbortCase {
    const char* name;
    std::optional<CZelTcpFile::OpenStep> step;     // none: before the opening begins
};

// Where an abort from another thread may land while the opening runs.
const AbortCase kAbortCases[] = {
    {"before the opening", std::nullopt},
    {"while the host is looked up", CZelTcpFile::OpenStep::Resolving},
    {"with the connect started, before the facade has it", CZelTcpFile::OpenStep::SocketSideMade},
    {"with the connect in progress on its own thread", CZelTcpFile::OpenStep::Published},
    // Last: the main socket thread may still be making this one when the opening has ended.
    {"once the main socket thread has the making of it", CZelTcpFile::OpenStep::Queued},
};

// The steps taken on the main socket thread.
bool OnMainSocketThread(CZelTcpFile::OpenStep step)
{
    return step == CZelTcpFile::OpenStep::SocketSideMade || step == CZelTcpFile::OpenStep::Published;
}

// Aborts `file` at the case's step, once. At a step of the main socket thread it then holds
// that thread until the opening call has returned and the file is closed, as a main socket
// thread slowed down by a loaded machine would.
std::function<void(CZelTcpFile::OpenStep)> AbortAt(CZelTcpFile::OpenStep step, CZelTcpFile& file,
                                                   std::shared_future<void> closed)
{
    auto fired = std::make_shared<std::atomic<bool>>(false);
    return [step, file = &file, closed, fired](CZelTcpFile::OpenStep reached) {
        if (reached != step || fired->exchange(true))
            return;
        file->Abort();
        if (OnMainSocketThread(step))
            closed.wait_for(std::chrono::seconds(10));
    };
}

TEST(TcpFileRobustness, AnAbortEndsTheOpeningAtEveryStep)
{
    ASSERT_TRUE(SocketsStart(true));
    FullListener peer;
    const Resources before = Count();
    for (const AbortCase& row : kAbortCases) {
        SCOPED_TRACE(row.name);
        CZelTcpFile file(EErrorMode::ReturnCodes);
        std::promise<void> closing;
        const std::shared_future<void> closed = closing.get_future().share();
        if (row.step)
            CZelTcpFile::SetOpenStepObserver(AbortAt(*row.step, file, closed));
        else
            file.Abort();

        auto opening = std::async(std::launch::async, [&] {
            const bool opened = file.Open("127.0.0.1", peer.Port());
            const std::string error = file.LastError().GetText().ToStd();
            file.Close();
            closing.set_value();
            return std::make_pair(opened, error);
        });
        if (opening.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "the opening did not end at the abort";
            file.Abort();
        }
        const auto [opened, error] = opening.get();
        CZelTcpFile::SetOpenStepObserver({});
        EXPECT_FALSE(opened);
        EXPECT_NE(error.find("the connection was stopped"), std::string::npos) << error;

        // No more than before: a thread counted then may have been on its way out.
        Resources after = Count();
        velmo_testing::Eventually([&] {
            after = Count();
            return after.threads <= before.threads && after.fds <= before.fds;
        });
        EXPECT_LE(after.threads, before.threads) << "a thread of the opening is left";
        EXPECT_LE(after.fds, before.fds) << "a descriptor of the opening is left";
    }
    SocketsStop();
}

TEST(TcpFileRobustness, ManyConnectionsAtOnceEachOnItsOwnThread)
{
    ASSERT_TRUE(SocketsStart(true));
    CZelTcpFile server(EErrorMode::Throw);
    ASSERT_TRUE(server.Listen(0x7F000001u, 0));
    const int port = server.LocalPort();
    constexpr int kClients = 16;
    std::vector<std::future<bool>> clients;
    for (int i = 0; i < kClients; ++i)
        clients.push_back(std::async(std::launch::async, [port, i] {
            CZelTcpFile client(EErrorMode::Throw);
            if (!client.Open("127.0.0.1", port))
                return false;
            const std::string line = "client " + std::to_string(i) + "\r\n";
            if (client.Write(CZelString(line.c_str()), 10000) != static_cast<int>(line.size()))
                return false;
            char buffer[64];
            const int got = client.ReadUntil(buffer, sizeof buffer, 10000, "\r\n");
            return std::string(buffer, got > 0 ? got : 0) == line;
        }));
    std::vector<std::thread> echoes;
    for (int i = 0; i < kClients; ++i) {
        const int accepted = server.Accept(10000);
        ASSERT_GE(accepted, 0);
        echoes.emplace_back([accepted] {
            CZelTcpFile connection(accepted, EErrorMode::Throw);
            char buffer[64];
            const int got = connection.ReadUntil(buffer, sizeof buffer, 10000, "\r\n");
            if (got > 0)
                connection.Write(buffer, got, 10000);
        });
    }
    for (auto& client : clients)
        EXPECT_TRUE(client.get());
    for (auto& echo : echoes)
        echo.join();
    SocketsStop();
}

} // namespace
