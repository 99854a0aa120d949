// The inbox download meeting faults on the way from the central server:
// - the server stopped while a message of a few MB is half fetched in small blocks: the part
//   already held stays in the download file, and once the server is back the download goes on
//   from there (every progress line after the stop counts at least what was held) and the
//   message is served whole;
// - one block answer damaged on the way (a proxy between the gateway and the server flips a
//   byte): the message is dropped with the download's log line, the mail client never sees a
//   damaged text, and the next login fetches it again, whole.
//
// The gateway runs with VELMO_DOWNLOAD_RETRY_MS shortening the pause after a failed block, so
// the test does not wait two minutes for the retry; with the download's bounded tries, one
// second between them leaves the server half a minute to come back.

#include "e2e/FlippingProxy.h"
#include "e2e/PopClients.h"
#include "e2e/TransferProbes.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

constexpr char kFastRetries[] = "VELMO_DOWNLOAD_RETRY_MS=1000 VELMO_UPLOAD_RETRY_MS=1000";


int64_t SizeOf(const fs::path& path)
{
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return error ? -1 : static_cast<int64_t>(size);
}

TEST(DownloadFaultsTest, DownloadCutByAServerStopResumesFromTheHeldPart)
{
    MailWorld world(1024, kFastRetries);
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.StartGateway()) << world.GatewayOutput();
    const std::string text = MessageText("fetched through an outage", true, 2 * 1024 * 1024);
    const std::string id = SendAndUpload(world, world.ann, world.bob, text);
    ASSERT_NE(id, "");
    // Small blocks for the download, so that it is cut in the middle.
    world.StopGateway();
    world.SetConfig("BlockSize", "4");
    ASSERT_TRUE(world.StartGateway()) << world.GatewayOutput();

    const ClientRun login = Poplib(world, world.bob, {"quit"});
    ASSERT_TRUE(HasLine(login.transcript, "pass +OK mailbox locked and ready")) << login.transcript;
    const fs::path download = world.InboxOf(world.bob) / id;
    ASSERT_TRUE(Eventually([&] { return SizeOf(download) > 8 + 64 * 1024; }, std::chrono::minutes(3)))
        << world.GatewayOutput();
    const int port = world.CentralPort();
    world.StopCentral();
    const int64_t heldAtStop = SizeOf(download) - 8;
    ASSERT_GT(heldAtStop, 0);
    ASSERT_LT(heldAtStop, static_cast<int64_t>(text.size())) << "the download ended before the server was stopped";
    const size_t logAtStop = world.Gateway().Output().size();

    // The gateway meets the missing server and keeps what it has.
    ASSERT_TRUE(Eventually([&] { return world.Gateway().Output().size() > logAtStop; })) << world.GatewayOutput();
    EXPECT_GE(SizeOf(download) - 8, heldAtStop);
    EXPECT_TRUE(world.StoredMessages(world.bob).empty());

    world.StartCentral(port);
    ASSERT_EQ(world.CentralPort(), port);
    ASSERT_TRUE(Eventually([&] { return world.StoredMessages(world.bob).size() == 1 && world.DownloadFiles(world.bob).empty(); },
                           std::chrono::minutes(5)))
        << world.GatewayOutput();
    const std::vector<int64_t> held = HeldInProgressLines(world.Gateway().Output().substr(logAtStop));
    ASSERT_FALSE(held.empty()) << world.GatewayOutput();
    for (int64_t bytes : held)
        EXPECT_GE(bytes, heldAtStop) << "the download started again below what it held";

    const fs::path received = world.Root() / "received.eml";
    const ClientRun run = Poplib(world, world.bob, {"retr:1:" + received.string(), "quit"});
    EXPECT_TRUE(Trimmed(ReadFileText(received)) == Trimmed(AsReceived(text, world.ann, id)))
        << "the message served differs from the one sent\n"
        << run.transcript;
}

TEST(DownloadFaultsTest, DamagedBlockDropsTheMessageAndTheNextLoginFetchesItWhole)
{
    MailWorld world(100, kFastRetries);
    ASSERT_TRUE(world.Ready());
    FlippingProxy proxy(world.CentralPort());
    world.SetConfig("Server", "127.0.0.1:" + std::to_string(proxy.Port()));
    ASSERT_TRUE(world.StartGateway()) << world.GatewayOutput();
    const std::string text = MessageText("one damaged block", true, 64 * 1024);
    const std::string id = SendAndUpload(world, world.ann, world.bob, text);
    ASSERT_NE(id, "");
    ASSERT_FALSE(proxy.Flipped());

    const ClientRun login = Poplib(world, world.bob, {"quit"});
    ASSERT_TRUE(HasLine(login.transcript, "pass +OK mailbox locked and ready")) << login.transcript;
    ASSERT_TRUE(Eventually(
        [&] { return world.Gateway().OutputHas("eReqRecvBlock decrypt error") && world.DownloadFiles(world.bob).empty(); },
        std::chrono::minutes(3)))
        << world.GatewayOutput();
    EXPECT_TRUE(proxy.Flipped());
    EXPECT_TRUE(world.StoredMessages(world.bob).empty()) << world.GatewayOutput();

    // The server still holds it; the next login queues it again, and this time it comes whole.
    const ClientRun again = Poplib(world, world.bob, {"quit"});
    ASSERT_TRUE(HasLine(again.transcript, "pass +OK mailbox locked and ready")) << again.transcript;
    ASSERT_TRUE(Eventually([&] { return world.StoredMessages(world.bob).size() == 1 && world.DownloadFiles(world.bob).empty(); },
                           std::chrono::minutes(3)))
        << world.GatewayOutput();
    const fs::path received = world.Root() / "received.eml";
    const ClientRun run = Poplib(world, world.bob, {"retr:1:" + received.string(), "quit"});
    EXPECT_EQ(Trimmed(ReadFileText(received)), Trimmed(AsReceived(text, world.ann, id))) << run.transcript;
}

} // namespace
} // namespace e2e
