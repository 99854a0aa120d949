// A POP3-style login of the sending account (PreLogin, new keys under numbers 1 and 4) made
// while that account's SMTP session is between two RCPT TO commands: the session's own key
// under number 1 stays good, so the second recipient lookup is answered and the message goes.

#include "e2e/MailClients.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

TEST(PopLoginInSmtpSessionTest, RecipientLookupsAfterTheLoginStillWork)
{
    MailWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.StartGateway()) << world.GatewayOutput();

    const fs::path message = world.Root() / "message.eml";
    const fs::path go = world.Root() / "go";
    velmo_testing::WriteFileText(message, MessageText("two lookups around a login", true));
    velmo_testing::ChildProcess client("/usr/bin/env",
                                       {"python3", kPythonClient, "--step", go.string(), std::to_string(world.SmtpPort()),
                                        world.ann.login, kPassword, message.string(), world.bob.email, world.bob.email});
    std::string line;
    ASSERT_TRUE(client.ReadLine(line, 120000)) << client.Errors() << world.GatewayOutput();
    ASSERT_EQ(line, "RCPT 250 Ok");

    RecipientView ann = world.ViewOf(world.ann);
    ASSERT_TRUE(ann.PreLogin());
    velmo_testing::WriteFileText(go, "");

    ASSERT_TRUE(client.ReadLine(line, 120000)) << client.Errors() << world.GatewayOutput();
    EXPECT_EQ(line, "RCPT 250 Ok") << world.GatewayOutput();
    ASSERT_TRUE(client.ReadLine(line, 120000)) << client.Errors() << world.GatewayOutput();
    EXPECT_NE(QueuedReply(line), "") << line;
    EXPECT_EQ(velmo_testing::ChildProcess::ExitCode(client.Wait(120000)), 0) << client.Errors();

    ASSERT_TRUE(Eventually([&] { return world.QueuedFiles(world.ann).empty() && world.SentEntries(world.ann).size() == 2; }))
        << world.GatewayOutput();
    EXPECT_EQ(world.ViewOf(world.bob).WaitingMessages().size(), 2u);
}

} // namespace
} // namespace e2e
