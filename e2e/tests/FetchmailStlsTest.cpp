// fetchmail set up as the README tells a user, against two gateways and one central server:
// ann sends with msmtp under STARTTLS; bob's fetchmail polls `localhost` (the name the
// gateway's certificate holds), insists on STLS and checks the certificate against the file
// it is given. The message arrives with its subject and its body byte for byte - 8-bit UTF-8,
// lines that are or begin with dots, 990-byte lines - and a second poll, by UIDL, fetches
// nothing. Given another gateway's certificate, it refuses the connection before logging in.

#include "e2e/TerminalMailClients.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

class FetchmailStlsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(world.Ready()) << world.Output(); }

    // Bob's mailbox at the second gateway, under STLS, trusting `certificate`.
    FetchmailAccount Account(const fs::path& certificate) const
    {
        return {world.second.Pop3Port(), world.bob.login, world.bob.password, certificate};
    }

    TwoGateways world;
};

TEST_F(FetchmailStlsTest, PollsUnderStlsTrustingTheCertificateFile)
{
    const std::string subject = "for fetchmail";
    const std::string body = DemandingBody();
    const Transcript sent = Msmtp(world.Root() / "ann-msmtp", world.first, world.ann, MsmtpSecurity::Starttls)
                                .Send(EightBitMessage(world.ann, world.bob, subject, body), world.bob.email);
    ASSERT_EQ(sent.code, 0) << sent.text << world.Output();
    ASSERT_TRUE(Eventually(
        [&] {
            const Transcript listed = CurlPop(world.second, world.bob, "", world.Root());
            return listed.code == 0 && !TranscriptLines(listed.text).empty();
        },
        std::chrono::minutes(3)))
        << world.Output();

    // Another gateway's certificate is not the one presented: nothing is fetched, and no
    // password is sent.
    const Fetchmail wrong(Account(GatewayCertificate(world.first)), world.Root() / "bob-wrong", true);
    const ClientRun refused = wrong.Run();
    EXPECT_NE(refused.code, 0) << refused.transcript;
    EXPECT_NE(refused.code, 1) << "not \"no mail\" but a failure\n" << refused.transcript;
    EXPECT_TRUE(wrong.Messages().empty()) << refused.transcript;
    EXPECT_EQ(refused.transcript.find("PASS"), std::string::npos) << refused.transcript;

    const Fetchmail fetchmail(Account(GatewayCertificate(world.second)), world.Root() / "bob-fetchmail", true);
    const ClientRun first = fetchmail.Run();
    EXPECT_EQ(first.code, 0) << first.transcript << world.second.Output();
    ASSERT_EQ(fetchmail.Messages().size(), 1u) << first.transcript;
    const MessageParts parts = SplitMessage(fetchmail.Messages()[0]);
    EXPECT_EQ(FieldOf(parts.header, "Subject"), subject) << parts.header;
    EXPECT_EQ(parts.body, body);
    EXPECT_NE(world.second.Output().find("TLS started: TLSv1."), std::string::npos) << world.second.Output();

    const ClientRun second = fetchmail.Run();
    EXPECT_EQ(second.code, 1) << "fetchmail's code for no new mail\n" << second.transcript;
    EXPECT_EQ(fetchmail.Messages().size(), 1u) << second.transcript;
    EXPECT_TRUE(NoPasswordLogged(world));
}

} // namespace
} // namespace e2e
