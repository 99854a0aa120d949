// The world the end-to-end tests stand on, before any mail: three accounts registered by the
// real commands, ann and bob on each other's contact lists and carol on nobody's, and the
// central server answering a recipient's login made with the key the gateway generated.

#include "e2e/MailWorld.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

TEST(MailWorldTest, AccountsAreRegisteredListedAndKnownToTheServer)
{
    MailWorld world;
    ASSERT_TRUE(world.Ready());
    const RunResult list = world.Velmo({"account", "list"});
    ASSERT_EQ(list.code, 0) << list.err;
    EXPECT_NE(list.out.find("ContactList: " + world.bob.email), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("ContactList: " + world.ann.email), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("ContactList: " + world.carol.email), std::string::npos) << list.out;
    EXPECT_FALSE(world.carol.autoReplyEng.empty());

    for (const MailUser* user : {&world.ann, &world.bob, &world.carol}) {
        RecipientView view = world.ViewOf(*user);
        EXPECT_TRUE(view.PreLogin()) << user->login;
        EXPECT_TRUE(view.WaitingMessages().empty()) << user->login;
    }
}

} // namespace
} // namespace e2e
