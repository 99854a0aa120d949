// Mail read by the recipient with Python's poplib, through the real gateway and central
// server: ann sends to bob; bob's first POP3 login queues the message and the download stores
// it; the next login serves it. Bob's client receives the text ann sent with the verified
// sender in "From:" and the "Velmo-Message-ID:" line added; the retrieval is recorded in bob's
// history and reaches ann's history as `Delivered` at ann's next login. DELE with QUIT
// removes the message here and at the server; DELE undone by RSET keeps it.

#include "e2e/PopClients.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

class IncomingMailTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(world.Ready());
        ASSERT_TRUE(world.StartGateway()) << world.GatewayOutput();
    }

    // ann's message sent, uploaded, queued by bob's first login and stored.
    std::string DeliverToBob(const std::string& text)
    {
        const std::string id = SendAndUpload(world, world.ann, world.bob, text);
        EXPECT_NE(id, "");
        EXPECT_TRUE(LoginAndWaitStored(world, world.bob, 1)) << world.GatewayOutput();
        return id;
    }

    MailWorld world;
};

TEST_F(IncomingMailTest, RetrievedTextIsTheSentTextWithVerifiedSenderAndDeliveryIsRecorded)
{
    const std::string text = MessageText("incoming through poplib", true);
    const std::string id = DeliverToBob(text);
    ASSERT_EQ(world.StoredIds(world.bob), std::vector<std::string>{id});

    const fs::path received = world.Root() / "received.eml";
    const ClientRun run = Poplib(world, world.bob, {"stat", "uidl", "retr:1:" + received.string(), "quit"});
    const std::string expected = AsReceived(text, world.ann, id);
    EXPECT_TRUE(HasLine(run.transcript, "stat 1 " + std::to_string(fs::file_size(world.StoredMessages(world.bob)[0]))))
        << run.transcript;
    // Without a Message-ID field the client still gets a stable unique id: the message's own.
    EXPECT_TRUE(HasLine(run.transcript, "uidl| 1 " + id)) << run.transcript;
    EXPECT_TRUE(HasLine(run.transcript, "quit +OK Goodbye")) << run.transcript;
    EXPECT_EQ(Trimmed(ReadFileText(received)), Trimmed(expected)) << run.transcript;

    // Bob's history holds the retrieval; the server passes it on to ann's next login.
    EXPECT_NE(world.HistoryAttr(world.bob, "Received", id, "LocalDownloadedMessageTimeStamp"), "");
    EXPECT_NE(world.HistoryAttr(world.bob, "Received", id, "LocalDeliveredTimeStamp"), "");
    EXPECT_EQ(world.HistoryAttr(world.ann, "Sent", id, "Delivered"), "");
    const ClientRun annLogin = Poplib(world, world.ann, {"stat", "quit"});
    EXPECT_TRUE(HasLine(annLogin.transcript, "stat 0 0")) << annLogin.transcript;
    EXPECT_TRUE(Eventually([&] { return world.HistoryAttr(world.ann, "Sent", id, "Delivered") != ""; },
                           std::chrono::minutes(3)))
        << world.GatewayOutput();
}

TEST_F(IncomingMailTest, DeleteUndoneByRsetKeepsTheMessageAndDeleteWithQuitRemovesItEverywhere)
{
    const std::string id = DeliverToBob(MessageText("to be deleted", false));

    const ClientRun undone = Poplib(world, world.bob, {"dele:1", "rset", "stat", "quit"});
    EXPECT_TRUE(HasLine(undone.transcript, "dele:1 +OK message 1 is marked for deleting")) << undone.transcript;
    EXPECT_TRUE(HasLine(undone.transcript, "rset +OK")) << undone.transcript;
    EXPECT_EQ(LinesStarting(undone.transcript, "stat ").size(), 1u) << undone.transcript;
    EXPECT_TRUE(HasLine(undone.transcript, "stat 1 " + std::to_string(fs::file_size(world.StoredMessages(world.bob)[0]))))
        << undone.transcript;
    EXPECT_EQ(world.StoredIds(world.bob), std::vector<std::string>{id});

    const ClientRun deleted = Poplib(world, world.bob, {"dele:1", "quit"});
    EXPECT_TRUE(HasLine(deleted.transcript, "dele:1 +OK message 1 is marked for deleting")) << deleted.transcript;
    EXPECT_TRUE(HasLine(deleted.transcript, "quit +OK Goodbye")) << deleted.transcript;
    EXPECT_TRUE(world.StoredMessages(world.bob).empty()) << world.GatewayOutput();
    EXPECT_TRUE(world.ViewOf(world.bob).WaitingMessages().empty());

    // Nothing comes back at the next login.
    const ClientRun after = Poplib(world, world.bob, {"stat", "quit"});
    EXPECT_TRUE(HasLine(after.transcript, "stat 0 0")) << after.transcript;
}

// A "From:" folded over two lines and a second "From:" field further down: the client sees
// one "From:" line, the verified sender's, and nothing of either forged field.
TEST_F(IncomingMailTest, FoldedAndRepeatedFromFieldsAreReplacedByTheVerifiedSender)
{
    const std::string text = "From: Someone Else\r\n <someone@elsewhere.test>\r\nTo: Bob <bob@velmo.test>\r\n"
                             "From: mallory@elsewhere.test\r\nSubject: two senders\r\n\r\nHello Bob,\r\nBye.\r\n";
    const std::string id = DeliverToBob(text);

    const fs::path received = world.Root() / "received.eml";
    const ClientRun run = Poplib(world, world.bob, {"retr:1:" + received.string(), "quit"});
    const std::string expected = VerifiedFrom(world.ann) + "\r\nTo: Bob <bob@velmo.test>\r\nSubject: two senders\r\n" +
                                 "Velmo-Message-ID: " + id + "\r\n\r\nHello Bob,\r\nBye.\r\n";
    EXPECT_EQ(Trimmed(ReadFileText(received)), Trimmed(expected)) << run.transcript;
}

} // namespace
} // namespace e2e
