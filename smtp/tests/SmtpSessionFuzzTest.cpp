#include "smtp/CSmtpSession.h"

#include "core/CProtocolListData.h"
#include "foundation/ZelBase64.h"
#include "foundation/testing/MutationFuzzer.h"
#include "foundation/testing/TempDir.h"
#include "net/CMemoryLineChannel.h"
#include "smtp/tests/ScriptedDesk.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

namespace {

// Small enough for the sanitizer builds; VELMO_FUZZ_ITERATIONS overrides.
constexpr uint64_t kDefaultIterations = 20000;

uint64_t Iterations()
{
    const char* text = std::getenv("VELMO_FUZZ_ITERATIONS");
    return text && *text ? std::strtoull(text, nullptr, 10) : kDefaultIterations;
}

std::string B64(const std::string& bytes)
{
    return Base64Encode(std::string_view(bytes)).ToStd();
}

std::vector<std::string> Seeds()
{
    const std::string plain = B64(std::string("\0ann\0secret", 11));
    const std::string login = "EHLO me\r\nAUTH PLAIN " + plain + "\r\n";
    return {
        login + "MAIL FROM:<a@b>\r\nRCPT TO:<b@c>\r\nDATA\r\nSubject: x\r\n\r\n..dots\r\n.\r\nQUIT\r\n",
        "NOOP\r\nHELO x\r\nAUTH LOGIN\r\n" + B64("ann") + "\r\nNOOP\r\n" + B64("secret") + "\r\nMAIL FROM:<>\r\n"
        "RCPT TO:<>\r\nRCPT TO:<refused@x>\r\nVRFY x\r\nRSET\r\nMAIL FROM:<a@b>\r\nQUIT\r\n",
        login + "MAIL FROM:<a@b>\r\nRCPT TO:<b@c> NOTIFY=NEVER\r\nDATA\r\none\r\n.\r\nMAIL FROM:<a@b>\r\n"
                "RCPT TO:<d@e>\r\nDATA\r\n.x\r\n\r\n.\r\nRSET\r\nQUIT\r\n",
        "EHLO me\r\nAUTH PLAIN\r\n" + plain + "\r\nMAIL FROM:<a@b>\r\nDATA\r\nEXPN\r\nHELP\r\nRCPT TO:<broken@x>\r\n",
        "EHLO\r\nAUTH PLAIN " + B64(std::string("x\0ann\0secret", 12)) + "\r\nQUIT\r\n",
        std::string("\x00\r\n\xff\xfe\r\r\n\n.\r\n", 10),
    };
}

bool IsKnownReply(const std::string& reply)
{
    static const std::vector<std::regex> known = [] {
        std::vector<std::regex> patterns;
        for (const char* text : {
                 "220 mx\\.test ESMTP Tandrill secure mail server\r\n",
                 "250-mx\\.test\r\n250-PIPELINING\r\n250-SIZE 104857600\r\n250-ETRN\r\n250-STARTTLS\r\n"
                 "250-AUTH PLAIN LOGIN\r\n250-AUTH=PLAIN LOGIN\r\n250-ENHANCEDSTATUSCODES\r\n250-8BITMIME\r\n250 DSN\r\n",
                 "250 OK\r\n", "250 Ok\r\n", "502 Command not implemented\r\n", "503 bad sequence of commands\r\n",
                 "334 \r\n", "334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n",
                 "535 5\\.7\\.8 Authentication credentials invalid\r\n", "235 Authentication successful\r\n",
                 "500 Authentification successfull, but opetated status is [^\r\n]+\r\n",
                 "500 Authentification successfull, but opetated status is unknown\r\n", "550 No such user\r\n",
                 "550 error: [^\r\n]{1,128}\r\n", "550 Server reply error\r\n",
                 "354 End data with <CR><LF>\\.<CR><LF>\r\n",
                 "500 Failure: too long message size \\(limit is 100 MB\\)\r\n",
                 "250 OK: queued as [0-9A-E][0-9A-F]{8}\r\n", "500 Failure\r\n", "221 Bye\r\n",
                 "421 Session time limit reached, closing connection\r\n"})
            patterns.emplace_back(text);
        return patterns;
    }();
    for (const auto& pattern : known) {
        if (std::regex_match(reply, pattern))
            return true;
    }
    return false;
}

class SmtpSessionFuzzTest : public velmo_testing::TempHomeTest {};

TEST_F(SmtpSessionFuzzTest, RandomDialoguesGetOnlyKnownReplies)
{
    WriteText("00000001.xml", "<Root Login=\"ann\" Password=\"secret\" Id=\"1\"/>");
    uint64_t sessions = 0;
    const auto target = [&](const std::string& input) {
        ++sessions;
        CMemoryLineChannel channel(input, sessions % 5 == 0,
                                   sessions % 2 ? CMemoryLineChannel::EAtEnd::Close : CMemoryLineChannel::EAtEnd::Silent);
        smtp_testing::ScriptedDesk desk;
        CSmtpLookup refused;
        refused.kind = CSmtpLookup::Kind::Refused;
        refused.errorText = "no\r\nthanks";
        desk.lookups["refused@x"] = refused;
        desk.lookups["broken@x"] = CSmtpLookup{};
        desk.queueResult = sessions % 3 ? ESmtpQueue::Queued : ESmtpQueue::Failed;
        CProtocolListData log;
        CSmtpSession session(channel, desk, log, CSmtpSessionOptions{"mx.test", [] { return int64_t{0}; }});
        session.Run();
        for (const std::string& reply : channel.Writes())
            ASSERT_TRUE(IsKnownReply(reply)) << ::testing::PrintToString(reply);
        const auto calls = desk.Record().Calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back(), "release");
        EXPECT_EQ(desk.Record().Count("release"), 1u);
    };
    velmo_testing::RunMutationFuzzer(Seeds(), Iterations(), target);
}

} // namespace
