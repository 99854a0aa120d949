// Mail handed to the real gateway by real clients: ann sends to bob (each on the other's
// contact list) with curl, Python's smtplib and swaks. Each client gets "250 OK: queued as",
// the queued file is uploaded and goes, ann's history gains the `Sent` entry, and the central
// server holds the message for bob, whole and as the client meant it (dot-unstuffed). A
// stranger and an unknown address are refused with the server's reason.

#include "e2e/MailClients.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

}  // namespace

void PrintTo(MailClient client, std::ostream* out) { *out << ClientName(client); }

namespace {

class RealClientsTest : public ::testing::TestWithParam<MailClient> {};

TEST_P(RealClientsTest, MessageIsQueuedUploadedRecordedAndHeldForTheRecipient)
{
    MailWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.StartGateway()) << world.GatewayOutput();

    const std::string text = MessageText(std::string("hello through ") + ClientName(GetParam()), StuffsDots(GetParam()));
    const fs::path file = world.Root() / "message.eml";
    velmo_testing::WriteFileText(file, text);
    const ClientRun run = SendWith(GetParam(), world, world.ann, world.bob.email, file);
    EXPECT_EQ(run.code, 0) << run.transcript;
    EXPECT_NE(QueuedReply(run.transcript), "") << run.transcript << world.GatewayOutput();

    ASSERT_TRUE(Eventually([&] { return world.QueuedFiles(world.ann).empty() && !world.SentEntries(world.ann).empty(); }))
        << world.GatewayOutput();
    const auto sent = world.SentEntries(world.ann);
    ASSERT_EQ(sent.size(), 1u);
    const std::string messageId = sent.begin()->first;
    EXPECT_EQ(sent.begin()->second, world.bob.email);

    RecipientView bob = world.ViewOf(world.bob);
    EXPECT_EQ(bob.WaitingMessages(), std::vector<std::string>{messageId});
    const auto held = bob.MessageText(messageId);
    ASSERT_TRUE(held) << "the message held for bob does not open";
    EXPECT_EQ(Trimmed(*held), Trimmed(text));
}

INSTANTIATE_TEST_SUITE_P(Clients, RealClientsTest,
                         ::testing::Values(MailClient::Curl, MailClient::Python, MailClient::Swaks),
                         [](const auto& info) { return std::string(ClientName(info.param)); });

// Who may not write, and what each is told: the recipient's auto-reply for a stranger, the
// server's "No such user" for an address nobody registered. Nothing is queued.
struct Refusal {
    const char* name;
    MailUser MailWorld::*sender;
    MailUser MailWorld::*recipient;   // null: an unknown address
};

void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

class RefusalTest : public ::testing::TestWithParam<Refusal> {};

TEST_P(RefusalTest, RecipientIsRefusedWithTheServersReasonAndNothingIsQueued)
{
    MailWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.StartGateway()) << world.GatewayOutput();
    const MailUser& sender = world.*GetParam().sender;
    const std::string to = GetParam().recipient ? (world.*GetParam().recipient).email : "nobody@velmo.test";

    std::string expected = "No such user";
    if (GetParam().recipient) {
        expected.clear();
        for (char c : (world.*GetParam().recipient).autoReplyEng)
            if (c != '\r' && c != '\n')
                expected += c;
        expected = expected.substr(0, 128);
    }

    const fs::path file = world.Root() / "message.eml";
    velmo_testing::WriteFileText(file, MessageText("refused", false));
    for (MailClient client : {MailClient::Python, MailClient::Curl}) {
        const ClientRun run = SendWith(client, world, sender, to, file);
        EXPECT_NE(run.code, 0) << ClientName(client);
        EXPECT_NE(run.transcript.find("550 error: " + expected), std::string::npos)
            << ClientName(client) << " expected " << expected << "\n" << run.transcript;
        EXPECT_EQ(QueuedReply(run.transcript), "") << run.transcript;
    }
    EXPECT_TRUE(world.QueuedFiles(sender).empty());
    // The server still serves: ann's mail to bob goes through after the refusals.
    const ClientRun after = SendWith(MailClient::Python, world, world.ann, world.bob.email, file);
    EXPECT_NE(QueuedReply(after.transcript), "") << after.transcript << world.GatewayOutput();
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusalTest,
                         ::testing::Values(Refusal{"Stranger", &MailWorld::carol, &MailWorld::ann},
                                           Refusal{"UnknownAddress", &MailWorld::ann, nullptr}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace e2e
