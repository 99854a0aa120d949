// A 40 MB message through the whole incoming road: sent and uploaded, fetched by the
// download in the largest blocks, stored, and retrieved by poplib byte for byte as it must be.

#include "e2e/PopClients.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

TEST(PopBigTest, FortyMegabyteMessageIsServedWhole)
{
    MailWorld world(5000);
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.StartGateway()) << world.GatewayOutput();

    const std::string text = MessageText("forty megabytes", true, 40 * 1024 * 1024);
    const std::string id = SendAndUpload(world, world.ann, world.bob, text);
    ASSERT_NE(id, "");
    ASSERT_TRUE(LoginAndWaitStored(world, world.bob, 1, std::chrono::minutes(10))) << world.GatewayOutput();

    const fs::path received = world.Root() / "received.eml";
    const ClientRun run = Poplib(world, world.bob, {"retr:1:" + received.string(), "quit"});
    EXPECT_TRUE(HasLine(run.transcript, "quit +OK Goodbye")) << run.transcript;
    EXPECT_TRUE(Trimmed(ReadFileText(received)) == Trimmed(AsReceived(text, world.ann, id)))
        << "the 40 MB text differs\n"
        << run.transcript;
}

} // namespace
} // namespace e2e
