// Abuse reports and administration through the real programs: the recipient reports a received
// message as spam with `velmo report`; its own history marks the message, and the sender's
// history learns of the report at the sender's next POP3 login, where `velmo history` shows it.
// The administrator (the first account the server registered) restricts a sender with
// `velmo admin`, whose next message is refused with the server's reason, and authorizes it
// again, after which mail goes through.

#include "e2e/PopClients.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace e2e {
namespace {

class AbuseAndAdministrationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(world.Ready());
        ASSERT_TRUE(world.StartGateway()) << world.GatewayOutput();
    }

    RunResult Velmo(const std::vector<std::string>& args) { return world.Velmo(args); }

    MailWorld world;
};

TEST_F(AbuseAndAdministrationTest, ASpamReportIsRecordedByTheRecipientAndReachesTheSendersHistory)
{
    const std::string id = SendAndUpload(world, world.ann, world.bob, MessageText("unwanted", false));
    ASSERT_NE(id, "");
    ASSERT_TRUE(LoginAndWaitStored(world, world.bob, 1)) << world.GatewayOutput();

    const RunResult report = Velmo({"report", "spam", std::to_string(world.bob.id), id});
    ASSERT_EQ(report.code, 0) << report.out << report.err;
    EXPECT_NE(report.out.find("Success"), std::string::npos) << report.out;
    EXPECT_EQ(world.HistoryAttr(world.bob, "Received", id, "AbuseReport"), "AbuseReportSpam");
    EXPECT_NE(world.HistoryAttr(world.bob, "Received", id, "LocalAbuseReportTimeStamp"), "");

    EXPECT_EQ(world.HistoryAttr(world.ann, "Sent", id, "AbuseReport"), "");
    const ClientRun annLogin = Poplib(world, world.ann, {"quit"});
    EXPECT_TRUE(HasLine(annLogin.transcript, "pass +OK mailbox locked and ready")) << annLogin.transcript;
    ASSERT_TRUE(Eventually([&] { return world.HistoryAttr(world.ann, "Sent", id, "AbuseReport") == "AbuseReportSpam"; },
                           std::chrono::minutes(2)))
        << world.GatewayOutput();
    EXPECT_NE(world.HistoryAttr(world.ann, "Sent", id, "AbuseReportTimeStamp"), "");

    const RunResult history = Velmo({"history", std::to_string(world.ann.id)});
    ASSERT_EQ(history.code, 0) << history.err;
    bool shown = false;
    for (const std::string& line : TranscriptLines(history.out))
        shown = shown || (line.find(id) != std::string::npos && line.find("spam") != std::string::npos);
    EXPECT_TRUE(shown) << history.out;
}

TEST_F(AbuseAndAdministrationTest, TheAdministratorRestrictsASenderWhoseMailIsRefusedAndAuthorizesItAgain)
{
    // The server makes its first registered account the administrator.
    std::vector<MailUser*> users{&world.ann, &world.bob, &world.carol};
    std::sort(users.begin(), users.end(), [](const MailUser* a, const MailUser* b) { return a->id < b->id; });
    const MailUser& admin = *users.front();
    // A sender and a recipient on each other's contact lists (ann and bob), the sender not the
    // administrator.
    const MailUser& sender = &admin == &world.ann ? world.bob : world.ann;
    const MailUser& recipient = &sender == &world.ann ? world.bob : world.ann;

    // Anyone else is refused on this machine, before any request.
    const RunResult nonAdmin = Velmo({"admin", "restrict", std::to_string(sender.id), recipient.email});
    EXPECT_NE(nonAdmin.code, 0) << nonAdmin.out;

    const RunResult restrict = Velmo({"admin", "restrict", std::to_string(admin.id), sender.email});
    ASSERT_EQ(restrict.code, 0) << restrict.out << restrict.err;

    const fs::path file = world.Root() / "restricted.eml";
    velmo_testing::WriteFileText(file, MessageText("while restricted", false));
    const ClientRun refused = SendWith(MailClient::Python, world, sender, recipient.email, file);
    EXPECT_EQ(QueuedReply(refused.transcript), "") << refused.transcript;
    EXPECT_NE(refused.transcript.find("Sending is not allowed"), std::string::npos) << refused.transcript;

    const RunResult authorize = Velmo({"admin", "authorize", std::to_string(admin.id), sender.email});
    ASSERT_EQ(authorize.code, 0) << authorize.out << authorize.err;
    const ClientRun accepted = SendWith(MailClient::Python, world, sender, recipient.email, file);
    EXPECT_NE(QueuedReply(accepted.transcript), "") << accepted.transcript << world.GatewayOutput();
}

} // namespace
} // namespace e2e
