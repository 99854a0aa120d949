// The README's "Two people mail each other" walkthrough, run as written: one central server,
// two gateway homes on their own ports, two accounts made, registered and put on each other's
// contact lists with the velmo commands, then mail sent with curl's smtp:// and read with
// curl's pop3:// and with Python's poplib, in both directions.

#include "e2e/PopClients.h"
#include "e2e/TwoGateways.h"

#include <gtest/gtest.h>

namespace {

using namespace e2e;

class ReadmeWalkthroughTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(world.Ready()) << world.Output(); }

    fs::path Written(const std::string& name, const std::string& text) const
    {
        const fs::path file = world.Root() / name;
        velmo_testing::WriteFileText(file, text);
        return file;
    }

    // The message sent through `gateway` by `from` to `to`, accepted for delivery.
    void Send(const GatewayHome& gateway, const Person& from, const Person& to, const std::string& text)
    {
        const Transcript sent = CurlSend(gateway, from, to.email, Written(from.login + ".eml", text), world.Root());
        EXPECT_EQ(sent.code, 0) << sent.text;
        EXPECT_FALSE(QueuedReply(sent.text).empty()) << sent.text << world.Output();
    }

    // curl lists `user`'s mailbox until it holds `count` messages: the first login asks the
    // central server what waits, the gateway downloads it, a later login finds it stored.
    bool CurlListsMessages(const GatewayHome& gateway, const Person& user, size_t count)
    {
        return Eventually(
            [&] {
                const Transcript listed = CurlPop(gateway, user, "", world.Root());
                return listed.code == 0 && TranscriptLines(listed.text).size() >= count;
            },
            std::chrono::minutes(3));
    }

    // Likewise with poplib, until STAT counts `count` messages.
    bool PoplibCountsMessages(const GatewayHome& gateway, const Person& user, size_t count)
    {
        return Eventually(
            [&] {
                const Transcript stat = PoplibSession(gateway, user, {"stat", "quit"}, world.Root());
                return !LinesStarting(stat.text, "stat " + std::to_string(count) + " ").empty();
            },
            std::chrono::minutes(3));
    }

    // What a sender's text becomes at the reader: the verified "From:" of the account, the
    // rest of the header as written, a "Velmo-Message-ID:" at the header's end, the body.
    static void ExpectDelivered(const std::string& received, const Person& from, const std::string& subject,
                                const std::string& body)
    {
        EXPECT_NE(received.find("From: \"" + from.name + "\" <" + from.email + ">\r\n"),
                  std::string::npos)
            << received;
        EXPECT_NE(received.find("Subject: " + subject + "\r\n"), std::string::npos) << received;
        const size_t idField = received.find("\r\nVelmo-Message-ID: ");
        const size_t headerEnd = received.find("\r\n\r\n");
        ASSERT_NE(idField, std::string::npos) << received;
        EXPECT_LT(idField, headerEnd) << received;
        EXPECT_EQ(received.substr(headerEnd + 4, body.size()), body) << received;
    }

    TwoGateways world;
};

TEST_F(ReadmeWalkthroughTest, EachAccountListsTheOtherAsContact)
{
    EXPECT_EQ(world.first.Listed("ann", "ContactList"), world.bob.email);
    EXPECT_EQ(world.second.Listed("bob", "ContactList"), world.ann.email);
    EXPECT_NE(world.ann.id, world.bob.id);
}

TEST_F(ReadmeWalkthroughTest, AnnSendsWithCurlAndBobReadsWithCurl)
{
    const std::string body = "Hello Bob,\r\nlunch at noon?\r\n";
    Send(world.first, world.ann, world.bob,
         "From: Ann <ann@example.org>\r\nTo: Bob <bob@example.org>\r\nSubject: Lunch\r\n\r\n" + body);

    ASSERT_TRUE(CurlListsMessages(world.second, world.bob, 1)) << world.Output();
    const Transcript listed = CurlPop(world.second, world.bob, "", world.Root());
    ASSERT_EQ(TranscriptLines(listed.text).size(), 1u) << listed.text;
    EXPECT_EQ(TranscriptLines(listed.text).front().rfind("1 ", 0), 0u) << listed.text;

    const Transcript read = CurlPop(world.second, world.bob, "1", world.Root());
    ASSERT_EQ(read.code, 0) << read.text;
    ExpectDelivered(read.text, world.ann, "Lunch", body);
}

TEST_F(ReadmeWalkthroughTest, BobAnswersWithCurlAndAnnReadsWithPoplibThenCurl)
{
    const std::string body = "Hi Ann,\r\nnoon is fine.\r\n";
    Send(world.second, world.bob, world.ann,
         "From: Bob <bob@example.org>\r\nTo: Ann <ann@example.org>\r\nSubject: Re: Lunch\r\n\r\n" + body);

    ASSERT_TRUE(PoplibCountsMessages(world.first, world.ann, 1)) << world.Output();
    const fs::path saved = world.Root() / "ann-got.eml";
    const std::string retrieve = "retr:1:" + saved.string();
    const Transcript session = PoplibSession(world.first, world.ann, {retrieve, "quit"}, world.Root());
    ASSERT_FALSE(LinesStarting(session.text, retrieve + " +OK").empty()) << session.text;
    const std::string received = ReadFileText(saved);
    ExpectDelivered(received, world.bob, "Re: Lunch", body);

    // The same message, kept on the gateway, as curl reads it.
    const Transcript read = CurlPop(world.first, world.ann, "1", world.Root());
    ASSERT_EQ(read.code, 0) << read.text;
    EXPECT_EQ(Trimmed(read.text), Trimmed(received));
}

TEST_F(ReadmeWalkthroughTest, MailGoesBothWaysAndEachReaderSeesOnlyItsOwn)
{
    Send(world.first, world.ann, world.bob, "From: ann@example.org\r\nSubject: One\r\n\r\nfrom ann\r\n");
    Send(world.second, world.bob, world.ann, "From: bob@example.org\r\nSubject: Two\r\n\r\nfrom bob\r\n");

    ASSERT_TRUE(CurlListsMessages(world.second, world.bob, 1)) << world.Output();
    ASSERT_TRUE(PoplibCountsMessages(world.first, world.ann, 1)) << world.Output();
    const Transcript bobReads = CurlPop(world.second, world.bob, "1", world.Root());
    const Transcript annReads = CurlPop(world.first, world.ann, "1", world.Root());
    ExpectDelivered(bobReads.text, world.ann, "One", "from ann\r\n");
    ExpectDelivered(annReads.text, world.bob, "Two", "from bob\r\n");
    // Neither account is known to the other's gateway: a login there is refused.
    const Transcript stranger = CurlPop(world.first, world.bob, "", world.Root());
    EXPECT_NE(stranger.code, 0) << stranger.text;
}

} // namespace
