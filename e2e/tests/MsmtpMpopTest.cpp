// msmtp and mpop, set up as the README tells a user, against two gateways and one central
// server: ann sends through the first gateway with msmtp (AUTH PLAIN under STARTTLS, trusting
// only the gateway's certificate), bob fetches at the second with mpop (STLS, pipelining).
// Each message arrives with its subject and its body byte for byte: 8-bit UTF-8, lines that
// are or begin with dots, 990-byte lines. mpop keeping the mail remembers it by UIDL and
// fetches nothing on its second run; mpop deleting it leaves the mailbox empty. And msmtp's
// own rule the README warns of: in the clear it sends a password only when told
// `auth plain`.

#include "e2e/TerminalMailClients.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace e2e {
namespace {

// Whether `lines` holds `run`, one line after the other.
bool Contains(const std::vector<std::string>& lines, const std::vector<std::string>& run)
{
    return std::search(lines.begin(), lines.end(), run.begin(), run.end()) != lines.end();
}

class MsmtpMpopTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(world.Ready()) << world.Output(); }

    struct Sent {
        std::string subject;
        std::string body;
    };

    // Three messages from ann to bob with msmtp under STARTTLS: enough for mpop to pipeline.
    std::vector<Sent> SendThree()
    {
        const Msmtp msmtp(world.Root() / "ann-msmtp", world.first, world.ann, MsmtpSecurity::Starttls);
        const std::vector<Sent> messages = {{"msmtp one", DemandingBody()},
                                            {"msmtp two", "short\n.\n" + DemandingBody()},
                                            {"msmtp three", DemandingBody() + "..\n"}};
        for (const Sent& message : messages) {
            const Transcript sent =
                msmtp.Send(EightBitMessage(world.ann, world.bob, message.subject, message.body), world.bob.email);
            EXPECT_EQ(sent.code, 0) << sent.text << world.Output();
            EXPECT_FALSE(QueuedReply(sent.text).empty()) << sent.text;
        }
        return messages;
    }

    // Each message sent fetched once, with its subject and its body as written (the order of
    // the mailbox is the order of the downloads, so each is found by its subject).
    void ExpectIntact(const std::vector<std::string>& fetched, const std::vector<Sent>& sent, const std::string& how)
    {
        ASSERT_EQ(fetched.size(), sent.size()) << how;
        std::map<std::string, MessageParts> bySubject;
        for (const std::string& text : fetched) {
            MessageParts parts = SplitMessage(text);
            const std::string subject = FieldOf(parts.header, "Subject");
            bySubject[subject] = std::move(parts);
        }
        for (const Sent& message : sent) {
            const auto found = bySubject.find(message.subject);
            ASSERT_NE(found, bySubject.end()) << message.subject << " not fetched\n" << how;
            const MessageParts& parts = found->second;
            EXPECT_EQ(parts.body, message.body) << how << " " << message.subject;
            EXPECT_NE(FieldOf(parts.header, "Velmo-Message-ID"), "") << parts.header;
            // The gateway wrote the verified sender's address.
            const std::string from = FieldOf(parts.header, "From");
            const std::string address = "<" + world.ann.email + ">";
            EXPECT_TRUE(from.size() > address.size() && from.compare(from.size() - address.size(), address.size(), address) == 0)
                << parts.header;
        }
    }

    TwoGateways world;
};

TEST_F(MsmtpMpopTest, MpopKeepingTheMailFetchesEachMessageOnceByItsUidl)
{
    const std::vector<Sent> sent = SendThree();
    ASSERT_TRUE(MailboxHolds(world, world.second, world.bob, sent.size())) << world.Output();

    const Mpop mpop(world.Root() / "bob-mpop", world.second, world.bob, true);
    const Transcript first = mpop.Fetch();
    ASSERT_EQ(first.code, 0) << first.text << world.Output();
    ExpectIntact(mpop.Messages(), sent, first.text);
    EXPECT_NE(first.text.find("STLS"), std::string::npos) << first.text;
    // mpop sent its three RETR in one go, and every answer came whole and in order.
    EXPECT_TRUE(Contains(TranscriptLines(first.text), {"--> RETR 1", "--> RETR 2", "--> RETR 3"})) << first.text;

    const Transcript second = mpop.Fetch();
    EXPECT_EQ(second.code, 0) << second.text;
    EXPECT_EQ(mpop.Messages().size(), sent.size()) << second.text;
    EXPECT_EQ(second.text.find("RETR"), std::string::npos) << "nothing new to retrieve\n" << second.text;
    // Kept on the gateway.
    const Transcript listed = CurlPop(world.second, world.bob, "", world.Root());
    EXPECT_EQ(TranscriptLines(listed.text).size(), sent.size()) << listed.text;
    EXPECT_TRUE(NoPasswordLogged(world));
}

TEST_F(MsmtpMpopTest, MpopDeletingTheMailEmptiesTheMailbox)
{
    const std::vector<Sent> sent = SendThree();
    ASSERT_TRUE(MailboxHolds(world, world.second, world.bob, sent.size())) << world.Output();

    const Mpop mpop(world.Root() / "bob-mpop", world.second, world.bob, false);
    const Transcript first = mpop.Fetch();
    ASSERT_EQ(first.code, 0) << first.text << world.Output();
    ExpectIntact(mpop.Messages(), sent, first.text);

    const Transcript stat = PoplibSession(world.second, world.bob, {"stat", "list", "quit"}, world.Root());
    EXPECT_TRUE(HasLine(stat.text, "stat 0 0")) << stat.text;
    EXPECT_TRUE(LinesStarting(stat.text, "list| ").empty()) << stat.text;

    const Transcript second = mpop.Fetch();
    EXPECT_EQ(second.code, 0) << second.text;
    EXPECT_EQ(mpop.Messages().size(), sent.size()) << second.text;
}

// How msmtp is set up, and whether it sends: under STARTTLS it logs in as it likes; in the
// clear (allowed on the loopback address) it refuses to send a password unless `auth plain`
// says so.
struct MsmtpSetup {
    const char* name;
    MsmtpSecurity security;
    const char* auth;
    bool sends;
};

void PrintTo(const MsmtpSetup& setup, std::ostream* out) { *out << setup.name; }

class MsmtpSetupTest : public ::testing::TestWithParam<MsmtpSetup> {
protected:
    TwoGateways world;
};

TEST_P(MsmtpSetupTest, SendsOnlyWhereItMayUseThePassword)
{
    ASSERT_TRUE(world.Ready()) << world.Output();
    const MsmtpSetup& setup = GetParam();
    const Msmtp msmtp(world.Root() / "ann-msmtp", world.first, world.ann, setup.security, setup.auth);
    const Transcript sent =
        msmtp.Send(EightBitMessage(world.ann, world.bob, setup.name, DemandingBody()), world.bob.email);
    if (setup.sends) {
        EXPECT_EQ(sent.code, 0) << sent.text << world.Output();
        EXPECT_FALSE(QueuedReply(sent.text).empty()) << sent.text;
        EXPECT_TRUE(NoPasswordLogged(world));
        return;
    }
    EXPECT_TRUE(NoPasswordLogged(world));
    EXPECT_NE(sent.code, 0) << sent.text;
    EXPECT_NE(sent.text.find("msmtp: cannot use a secure authentication method"), std::string::npos) << sent.text;
    EXPECT_EQ(sent.text.find("--> AUTH"), std::string::npos) << "no password sent\n" << sent.text;
}

INSTANTIATE_TEST_SUITE_P(Setups, MsmtpSetupTest,
                         ::testing::Values(MsmtpSetup{"StarttlsAuthOn", MsmtpSecurity::Starttls, "on", true},
                                           MsmtpSetup{"ClearTextAuthOn", MsmtpSecurity::ClearText, "on", false},
                                           MsmtpSetup{"ClearTextAuthPlain", MsmtpSecurity::ClearText, "plain", true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace e2e
