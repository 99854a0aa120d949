// A 20 MB message through the whole road: queued by the gateway, uploaded in blocks, held by
// the central server and opened by the recipient byte for byte as sent.

#include "e2e/MailClients.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

TEST(MailBigTest, TwentyMegabyteMessageArrivesWhole)
{
    MailWorld world(1024);
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.StartGateway()) << world.GatewayOutput();

    const std::string text = MessageText("twenty megabytes", true, 20 * 1024 * 1024);
    const fs::path file = world.Root() / "message.eml";
    velmo_testing::WriteFileText(file, text);
    const ClientRun run = SendWith(MailClient::Curl, world, world.ann, world.bob.email, file);
    EXPECT_EQ(run.code, 0) << run.transcript;
    ASSERT_NE(QueuedReply(run.transcript), "") << run.transcript << world.GatewayOutput();

    ASSERT_TRUE(Eventually([&] { return world.QueuedFiles(world.ann).empty() && !world.SentEntries(world.ann).empty(); },
                           std::chrono::minutes(5)))
        << world.GatewayOutput();
    const auto sent = world.SentEntries(world.ann);
    ASSERT_EQ(sent.size(), 1u);
    const auto held = world.ViewOf(world.bob).MessageText(sent.begin()->first);
    ASSERT_TRUE(held);
    EXPECT_TRUE(Trimmed(*held) == Trimmed(text)) << "the 20 MB text differs";
}

} // namespace
} // namespace e2e
