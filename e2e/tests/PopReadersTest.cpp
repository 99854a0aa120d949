// Other mail readers against the gateway's POP3 server, each getting ann's message to bob as
// the gateway stored it: curl lists the mailbox and retrieves the message; fetchmail keeping
// the mail remembers it by its unique id, so a second poll fetches nothing, and fetchmail
// deleting the mail removes it here and at the central server.

#include "e2e/PopClients.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

class PopReadersTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(world.Ready());
        ASSERT_TRUE(world.StartGateway()) << world.GatewayOutput();
        id = SendAndUpload(world, world.ann, world.bob, text);
        ASSERT_NE(id, "");
        ASSERT_TRUE(LoginAndWaitStored(world, world.bob, 1)) << world.GatewayOutput();
    }

    MailWorld world;
    const std::string text = MessageText("read by another client", true);
    std::string id;
};

TEST_F(PopReadersTest, CurlListsAndRetrievesTheMessage)
{
    const ClientRun list = CurlPop(world, world.bob, "");
    EXPECT_EQ(list.code, 0) << list.transcript;
    const auto size = fs::file_size(world.StoredMessages(world.bob)[0]);
    EXPECT_EQ(Trimmed(list.transcript), "1 " + std::to_string(size)) << world.GatewayOutput();

    const ClientRun retrieve = CurlPop(world, world.bob, "1");
    EXPECT_EQ(retrieve.code, 0) << retrieve.transcript;
    EXPECT_EQ(Trimmed(retrieve.transcript), Trimmed(AsReceived(text, world.ann, id)));
    // Reading leaves the message where it is.
    EXPECT_EQ(world.StoredIds(world.bob), std::vector<std::string>{id});
}

TEST_F(PopReadersTest, FetchmailKeepingTheMailFetchesItOnceByItsUniqueId)
{
    Fetchmail fetchmail(world, world.bob, world.Root() / "fetchmail", true);
    const ClientRun first = fetchmail.Run();
    EXPECT_EQ(first.code, 0) << first.transcript << world.GatewayOutput();
    ASSERT_EQ(fetchmail.Messages().size(), 1u) << first.transcript;
    EXPECT_EQ(Trimmed(fetchmail.Messages()[0]), Trimmed(UnixLines(AsReceived(text, world.ann, id))));

    const ClientRun second = fetchmail.Run();
    EXPECT_EQ(second.code, 1) << "fetchmail's code for no new mail\n" << second.transcript;
    EXPECT_EQ(fetchmail.Messages().size(), 1u) << second.transcript;
    EXPECT_EQ(world.StoredIds(world.bob), std::vector<std::string>{id});
}

TEST_F(PopReadersTest, FetchmailDeletingTheMailRemovesItHereAndAtTheServer)
{
    Fetchmail fetchmail(world, world.bob, world.Root() / "fetchmail", false);
    const ClientRun first = fetchmail.Run();
    EXPECT_EQ(first.code, 0) << first.transcript << world.GatewayOutput();
    ASSERT_EQ(fetchmail.Messages().size(), 1u) << first.transcript;
    EXPECT_EQ(Trimmed(fetchmail.Messages()[0]), Trimmed(UnixLines(AsReceived(text, world.ann, id))));
    EXPECT_TRUE(world.StoredMessages(world.bob).empty()) << first.transcript;
    EXPECT_TRUE(world.ViewOf(world.bob).WaitingMessages().empty());

    const ClientRun second = fetchmail.Run();
    EXPECT_EQ(second.code, 1) << second.transcript;
    EXPECT_EQ(fetchmail.Messages().size(), 1u);
}

} // namespace
} // namespace e2e
