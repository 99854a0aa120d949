// The central server going away in the middle of an upload: killed outright, or stopped
// cleanly between two blocks. The queued message stays in the outbox while the server is
// gone; started again on the same port and database, the server gets the rest from the
// upload loop's own retry, without the mail client sending anything again, and holds the
// message for the recipient exactly once.
//
// The upload loop pauses after an upload that got no verdict; the gateway here runs with
// VELMO_UPLOAD_RETRY_MS shortening that pause, so the test does not wait two minutes.

#include "e2e/MailClients.h"
#include "e2e/TransferProbes.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

constexpr int kBlockSizeKb = 4;


struct Outage {
    const char* name;
    int signal;   // how the server is stopped
};

void PrintTo(const Outage& outage, std::ostream* out) { *out << outage.name; }

class CentralOutageTest : public ::testing::TestWithParam<Outage> {};

TEST_P(CentralOutageTest, QueuedMessageSurvivesAndIsDeliveredOnceWhenTheServerIsBack)
{
    MailWorld world(kBlockSizeKb, "VELMO_UPLOAD_RETRY_MS=200");
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.StartGateway()) << world.GatewayOutput();

    const std::string text = MessageText("sent through an outage", true, 1536 * 1024);
    const fs::path file = world.Root() / "message.eml";
    velmo_testing::WriteFileText(file, text);
    const ClientRun run = SendWith(MailClient::Python, world, world.ann, world.bob.email, file);
    ASSERT_NE(QueuedReply(run.transcript), "") << run.transcript << world.GatewayOutput();

    // Stopped once some blocks arrived and before the last: hundreds of blocks remain.
    std::string progress;
    ASSERT_TRUE(Eventually([&] {
        progress = UploadProgress(world);
        return !progress.empty() && progress.rfind("0|", 0) != 0;
    })) << world.GatewayOutput();
    const size_t logSeen = world.Gateway().Output().size();
    const int port = world.CentralPort();
    if (GetParam().signal == SIGKILL)
        world.KillCentral();
    else
        world.StopCentral();
    const std::string atStop = UploadProgress(world);
    ASSERT_NE(atStop.find('|'), std::string::npos) << atStop;
    ASSERT_EQ(atStop.substr(atStop.find('|')), "|0") << "the upload ended before the server was stopped: " << atStop;

    // The gateway meets the missing server (and says so) and keeps the message queued.
    ASSERT_TRUE(Eventually([&] { return world.Gateway().Output().size() > logSeen; })) << world.GatewayOutput();
    EXPECT_EQ(world.QueuedFiles(world.ann).size(), 1u) << world.GatewayOutput();
    EXPECT_TRUE(world.SentEntries(world.ann).empty());

    world.StartCentral(port);
    ASSERT_EQ(world.CentralPort(), port);
    ASSERT_TRUE(Eventually([&] { return world.QueuedFiles(world.ann).empty() && !world.SentEntries(world.ann).empty(); },
                           std::chrono::minutes(3)))
        << world.GatewayOutput();

    const auto sent = world.SentEntries(world.ann);
    ASSERT_EQ(sent.size(), 1u);
    RecipientView bob = world.ViewOf(world.bob);
    EXPECT_EQ(bob.WaitingMessages(), std::vector<std::string>{sent.begin()->first});
    const auto held = bob.MessageText(sent.begin()->first);
    ASSERT_TRUE(held);
    EXPECT_EQ(Trimmed(*held), Trimmed(text));
}

INSTANTIATE_TEST_SUITE_P(Ways, CentralOutageTest,
                         ::testing::Values(Outage{"Killed", SIGKILL}, Outage{"StoppedBetweenBlocks", SIGTERM}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace e2e
