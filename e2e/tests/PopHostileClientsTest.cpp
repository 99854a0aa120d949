// Clients that misbehave against the real gateway's POP3 port - one that connects and says
// nothing, one that sends garbage, one that sends a line far past any line limit, one that logs
// in, asks for a message of some MB and vanishes in the middle of the answer - while honest
// poplib sessions are served: another account at once, and the same account, whole, once the
// vanished session has been wound up.

#include "e2e/PopClients.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <random>

namespace e2e {
namespace {

// A bare TCP client on the loopback POP3 port.
class RawClient {
public:
    explicit RawClient(int port)
    {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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

std::string Garbage(size_t bytes)
{
    std::mt19937 random(7);
    std::string text(bytes, '\0');
    for (char& c : text)
        c = static_cast<char>(random());
    return text;
}

TEST(PopHostileClientsTest, HonestClientsAreServedAmongIdleGarbageOversizedAndVanishingOnes)
{
    MailWorld world(1024);
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.StartGateway()) << world.GatewayOutput();
    const std::string text = MessageText("read by an honest client", true, 4 * 1024 * 1024);
    const std::string id = SendAndUpload(world, world.ann, world.bob, text);
    ASSERT_NE(id, "");
    ASSERT_TRUE(LoginAndWaitStored(world, world.bob, 1)) << world.GatewayOutput();

    RawClient idle(world.Pop3Port());
    ASSERT_TRUE(idle.Connected());
    RawClient garbage(world.Pop3Port());
    ASSERT_TRUE(garbage.ReadUntil("\r\n")) << "no greeting";
    garbage.Send(Garbage(256 * 1024));
    RawClient oversized(world.Pop3Port());
    ASSERT_TRUE(oversized.ReadUntil("\r\n")) << "no greeting";
    oversized.Send("USER " + std::string(1024 * 1024, 'a'));

    // Each is told it is wrong.
    EXPECT_TRUE(garbage.ReadUntil("-ERR")) << garbage.Received();
    EXPECT_TRUE(oversized.ReadUntil("-ERR")) << oversized.Received().substr(0, 200);

    // Another account is served while those hang on.
    const ClientRun ann = Poplib(world, world.ann, {"stat", "quit"});
    EXPECT_TRUE(HasLine(ann.transcript, "stat 0 0")) << ann.transcript << world.GatewayOutput();

    // Bob logs in, asks for the message and goes away after the first bytes of the answer.
    {
        RawClient vanishing(world.Pop3Port());
        ASSERT_TRUE(vanishing.ReadUntil("\r\n"));
        vanishing.Send("USER bob\r\n");
        ASSERT_TRUE(vanishing.ReadUntil("need password\r\n")) << vanishing.Received();
        vanishing.Send(std::string("PASS ") + kPassword + "\r\n");
        ASSERT_TRUE(vanishing.ReadUntil("+OK mailbox locked and ready\r\n")) << vanishing.Received();
        const size_t loggedIn = vanishing.Received().size();
        vanishing.Send("RETR 1\r\n");
        ASSERT_TRUE(vanishing.ReadAtLeast(loggedIn + 64 * 1024)) << vanishing.Received().substr(loggedIn, 200);
    }

    // Bob's next session, once the vanished one is wound up, gets the whole message.
    const fs::path received = world.Root() / "received.eml";
    const ClientRun bob = Poplib(world, world.bob, {"retr:1:" + received.string(), "quit"});
    EXPECT_TRUE(HasLine(bob.transcript, "quit +OK Goodbye")) << bob.transcript << world.GatewayOutput();
    EXPECT_TRUE(Trimmed(ReadFileText(received)) == Trimmed(AsReceived(text, world.ann, id)))
        << "the message served differs from the one sent\n"
        << bob.transcript;

    // None of them took the server down: a new honest session is served after all of them.
    const ClientRun last = Poplib(world, world.ann, {"stat", "quit"});
    EXPECT_TRUE(HasLine(last.transcript, "stat 0 0")) << last.transcript;
}

} // namespace
} // namespace e2e
