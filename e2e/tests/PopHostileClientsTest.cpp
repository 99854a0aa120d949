// Clients that misbehave against the real gateway's POP3 port - one that connects and says
// nothing, one that sends garbage, one that sends a line far past any line limit, one that logs
// in, asks for a message of some MB and vanishes in the middle of the answer - while honest
// poplib sessions are served: another account at once, and the same account, whole, once the
// vanished session has been wound up.

#include "e2e/PopClients.h"
#include "e2e/RawClient.h"

#include <gtest/gtest.h>

#include <random>

namespace e2e {
namespace {

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
