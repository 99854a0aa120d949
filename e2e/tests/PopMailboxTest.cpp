// The mailbox as a POP3 client sees it, with Python's poplib against the real gateway:
// LIST n and UIDL n, two messages read, deleted and restored in one session as RFC 1939
// says; a message stored while a session is open waits for the next session; and a second
// session of an account that has one open is refused.

#include "e2e/PopClients.h"

#include <gtest/gtest.h>

#include <map>

namespace e2e {
namespace {

class PopMailboxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(world.Ready());
        ASSERT_TRUE(world.StartGateway()) << world.GatewayOutput();
    }

    static std::string Expect(const std::string& line, const std::string& transcript)
    {
        return HasLine(transcript, line) ? "" : "missing \"" + line + "\"";
    }

    MailWorld world;
};

TEST_F(PopMailboxTest, TwoMessagesAreListedReadDeletedAndRestoredInOneSession)
{
    std::map<std::string, std::string> texts;
    for (const char* subject : {"first of two", "second of two"}) {
        const std::string text = MessageText(subject, true);
        texts[SendAndUpload(world, world.ann, world.bob, text)] = text;
    }
    ASSERT_TRUE(LoginAndWaitStored(world, world.bob, 2)) << world.GatewayOutput();
    const std::vector<std::string> ids = world.StoredIds(world.bob);
    ASSERT_EQ(ids.size(), 2u);
    std::vector<std::string> sizes;
    for (const fs::path& file : world.StoredMessages(world.bob))
        sizes.push_back(std::to_string(fs::file_size(file)));
    const std::string total = std::to_string(std::stoll(sizes[0]) + std::stoll(sizes[1]));

    const fs::path one = world.Root() / "one.eml", two = world.Root() / "two.eml";
    const ClientRun run = Poplib(world, world.bob,
                                 {"list:1", "list:2", "list:3", "uidl:1", "uidl:2", "retr:1:" + one.string(),
                                  "retr:2:" + two.string(), "dele:1", "dele:2", "dele:1", "list:1", "retr:2", "stat",
                                  "rset", "stat", "list", "quit"});
    const std::string& t = run.transcript;
    for (const std::string& line :
         {"list:1 +OK 1 " + sizes[0], "list:2 +OK 2 " + sizes[1], "uidl:1 +OK 1 " + ids[0], "uidl:2 +OK 2 " + ids[1],
          std::string("dele:1 +OK message 1 is marked for deleting"),
          std::string("dele:2 +OK message 2 is marked for deleting"),
          std::string("dele:1 ERR -ERR message 1 is already deleted"),
          std::string("retr:2 ERR -ERR no such message in mailbox"), std::string("rset +OK"), "stat 2 " + total,
          "list +OK 2 " + total, "list| 1 " + sizes[0], "list| 2 " + sizes[1], std::string("quit +OK Goodbye")})
        EXPECT_EQ(Expect(line, t), "") << t;
    // Marked messages are out of every view until RSET.
    EXPECT_EQ(LinesStarting(t, "list:3 ERR -ERR").size(), 1u) << t;
    EXPECT_EQ(LinesStarting(t, "list:1 ERR -ERR").size(), 1u) << t;
    EXPECT_EQ(LinesStarting(t, "stat ").size(), 2u) << t;
    EXPECT_EQ(Expect("stat 0 0", t), "") << t;

    EXPECT_EQ(Trimmed(ReadFileText(one)), Trimmed(AsReceived(texts[ids[0]], world.ann, ids[0])));
    EXPECT_EQ(Trimmed(ReadFileText(two)), Trimmed(AsReceived(texts[ids[1]], world.ann, ids[1])));
    EXPECT_EQ(world.StoredIds(world.bob), ids);
}

TEST_F(PopMailboxTest, MessageStoredDuringASessionAppearsInTheNextOne)
{
    ASSERT_NE(SendAndUpload(world, world.ann, world.bob, MessageText("there before", false)), "");
    ASSERT_TRUE(LoginAndWaitStored(world, world.bob, 1)) << world.GatewayOutput();
    const std::string firstSize = std::to_string(fs::file_size(world.StoredMessages(world.bob)[0]));
    ASSERT_NE(SendAndUpload(world, world.ann, world.bob, MessageText("arrives meanwhile", false)), "");

    // This session's login queues the second message; the download stores it while the
    // session is open.
    const fs::path go = world.Root() / "go";
    auto session = StartPoplib(world, world.bob, {"stat", "wait:" + go.string(), "stat", "list", "quit"});
    std::string seen;
    ASSERT_TRUE(ReadUntil(*session, "stat ", seen)) << seen << session->Errors() << world.GatewayOutput();
    EXPECT_TRUE(HasLine(seen, "stat 1 " + firstSize)) << seen;
    ASSERT_TRUE(Eventually([&] { return world.StoredMessages(world.bob).size() == 2 && world.DownloadFiles(world.bob).empty(); },
                           std::chrono::minutes(3)))
        << world.GatewayOutput();
    velmo_testing::WriteFileText(go, "");
    ASSERT_TRUE(ReadUntil(*session, "quit ", seen)) << seen << session->Errors();
    EXPECT_EQ(LinesStarting(seen, "stat 1 " + firstSize).size(), 2u) << seen;
    EXPECT_EQ(LinesStarting(seen, "list| ").size(), 1u) << seen;

    const ClientRun next = Poplib(world, world.bob, {"stat", "list", "quit"});
    EXPECT_EQ(LinesStarting(next.transcript, "stat 2 ").size(), 1u) << next.transcript;
    EXPECT_EQ(LinesStarting(next.transcript, "list| ").size(), 2u) << next.transcript;
}

TEST_F(PopMailboxTest, SecondSessionOfAnAccountIsRefusedWhileTheFirstIsOpen)
{
    const fs::path go = world.Root() / "go";
    auto first = StartPoplib(world, world.bob, {"stat", "wait:" + go.string(), "quit"});
    std::string seen;
    ASSERT_TRUE(ReadUntil(*first, "stat ", seen)) << seen << first->Errors() << world.GatewayOutput();

    const ClientRun second = PoplibOnce(world, world.bob, {"stat", "quit"});
    // Refused at USER, and the session is over.
    EXPECT_TRUE(HasLine(second.transcript, "user ERR -ERR [IN-USE] Account is busy")) << second.transcript;
    EXPECT_FALSE(HasLine(second.transcript, "stat 0 0")) << second.transcript;
    // Another account is not held up by bob's session.
    const ClientRun ann = Poplib(world, world.ann, {"stat", "quit"});
    EXPECT_TRUE(HasLine(ann.transcript, "stat 0 0")) << ann.transcript;

    velmo_testing::WriteFileText(go, "");
    ASSERT_TRUE(ReadUntil(*first, "quit ", seen)) << seen;
    EXPECT_TRUE(HasLine(seen, "quit +OK Goodbye")) << seen;
    // Once the first session has ended, the account is free again.
    const ClientRun after = Poplib(world, world.bob, {"stat", "quit"});
    EXPECT_TRUE(HasLine(after.transcript, "stat 0 0")) << after.transcript;
}

} // namespace
} // namespace e2e
