#include "smtp/CSmtpSession.h"

#include "core/CActivityTexts.h"
#include "core/CProtocolListData.h"
#include "core/testing/LogLines.h"
#include "foundation/XTOOError.h"
#include "foundation/ZelBase64.h"
#include "foundation/testing/TempDir.h"
#include "net/CMemoryLineChannel.h"
#include "smtp/tests/ScriptedDesk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

using smtp_testing::ScriptedDesk;

namespace {

const std::string kGreeting = "220 mx.test ESMTP Tandrill secure mail server\r\n";
const std::string kExtensions =
    "250-mx.test\r\n250-PIPELINING\r\n250-SIZE 104857600\r\n250-ETRN\r\n250-STARTTLS\r\n250-AUTH PLAIN LOGIN\r\n"
    "250-AUTH=PLAIN LOGIN\r\n250-ENHANCEDSTATUSCODES\r\n250-8BITMIME\r\n250 DSN\r\n";
const std::string kOk = "250 OK\r\n";
const std::string kRcptOk = "250 Ok\r\n";
const std::string kAuthOk = "235 Authentication successful\r\n";
const std::string kBadSequence = "503 bad sequence of commands\r\n";
const std::string kNotImplemented = "502 Command not implemented\r\n";
const std::string kChallenge = "334 \r\n";
const std::string kLoginChallenge = "334 VXNlcm5hbWU6\r\n";
const std::string kPasswordChallenge = "334 UGFzc3dvcmQ6\r\n";
const std::string kBye = "221 Bye\r\n";
const std::string kStartData = "354 End data with <CR><LF>.<CR><LF>\r\n";
// Stands for "250 OK: queued as " and a random identifier.
const std::string kQueued = "<queued>";
const std::regex kQueuedReply("250 OK: queued as [0-9A-E][0-9A-F]{8}\r\n");

std::string B64(const std::string& bytes)
{
    return Base64Encode(std::string_view(bytes)).ToStd();
}

const std::string kPlain = B64(std::string("\0ann\0secret", 11));
const std::string kLogin = "EHLO me\r\nAUTH PLAIN " + kPlain + "\r\n";
const std::vector<std::string> kLoggedIn = {kGreeting, kExtensions, kAuthOk};
const std::string kLoginTail = "AUTH PLAIN " + kPlain + "\r\nQUIT\r\n";
const std::string kExtensionsUnderTls =
    "250-mx.test\r\n250-PIPELINING\r\n250-SIZE 104857600\r\n250-ETRN\r\n250-AUTH PLAIN LOGIN\r\n"
    "250-AUTH=PLAIN LOGIN\r\n250-ENHANCEDSTATUSCODES\r\n250-8BITMIME\r\n250 DSN\r\n";
const std::string kReadyForTls = "220 Ready to start TLS\r\n";
const std::string kTlsUnavailable = "454 4.7.0 TLS not available due to temporary reason\r\n";
const std::string kTlsRequired = "530 5.7.0 Must issue a STARTTLS command first\r\n";
const std::string kCredentialsInvalid = "535 5.7.8 Authentication credentials invalid\r\n";

std::vector<std::string> Then(std::vector<std::string> first, const std::vector<std::string>& more)
{
    first.insert(first.end(), more.begin(), more.end());
    return first;
}

struct DeskSetup {
    ESmtpHandshake handshake = ESmtpHandshake::Done;
    const char* status = "Normal";
    std::vector<std::pair<std::string, CSmtpLookup>> lookups;
    ESmtpQueue queue = ESmtpQueue::Queued;
};

CSmtpLookup Lookup(CSmtpLookup::Kind kind, const std::string& errorText = {})
{
    CSmtpLookup lookup;
    lookup.kind = kind;
    lookup.errorText = CZelString(errorText);
    return lookup;
}

struct Case {
    const char* name;
    std::string script;
    std::vector<std::string> replies;
    std::vector<std::string> calls;          // the desk's calls before the final "release"
    std::vector<std::string> messages = {};  // what was queued
    DeskSetup desk = {};
    CMemoryLineChannel::EAtEnd atEnd = CMemoryLineChannel::EAtEnd::Close;
};

const std::string kHandshake = "handshake 1 ann secret";

std::vector<Case> Cases()
{
    const std::string longError(300, 'e');
    CSmtpLookup incomplete = Lookup(CSmtpLookup::Kind::Accepted);
    incomplete.recipient = smtp_testing::Recipient("half@x", "7");
    incomplete.recipient.e = CZelString();
    return {
        {"NoopBeforeEhloThenQuit", "NOOP\r\nEHLO me\r\nAUTH PLAIN " + kPlain + "\r\nQUIT\r\n",
         {kGreeting, kOk, kExtensions, kAuthOk, kBye}, {kHandshake}},
        {"HeloIsAnsweredLikeEhlo", "helo me\r\nQUIT\r\n", {kGreeting, kExtensions, kBadSequence}, {}},
        {"StarttlsWithoutACertificateIsRefusedAndTheStageGoesOn", "EHLO me\r\nSTARTTLS\r\nNOOP\r\n" + kLoginTail,
         {kGreeting, kExtensions, kTlsUnavailable, kOk, kAuthOk, kBye}, {kHandshake}},
        {"MailBeforeEhloEnds", "MAIL FROM:<a@b>\r\n", {kGreeting, kBadSequence}, {}},
        {"BinaryGarbageBeforeEhloEnds", std::string("\x00\xff\x01\x80garbage\r\n", 12), {kGreeting, kBadSequence}, {}},
        {"OverlongLineBeforeEhloEnds", std::string(70000, 'E') + "\r\n", {kGreeting, kBadSequence}, {}},
        {"AuthorisationIdentityOfSomeoneElseIsRefused",
         "EHLO me\r\nAUTH PLAIN " + B64(std::string("bob\0ann\0secret", 14)) + "\r\n",
         {kGreeting, kExtensions, kCredentialsInvalid}, {}},
        {"AuthorisationIdentityEqualToTheLoginIsAccepted",
         "EHLO me\r\nAUTH PLAIN " + B64(std::string("ann\0ann\0secret", 14)) + "\r\nQUIT\r\n",
         {kGreeting, kExtensions, kAuthOk, kBye}, {kHandshake}},
        {"AuthorisationIdentityIsComparedAsLoginsAre",
         "EHLO me\r\nAUTH PLAIN " + B64(std::string("Ann\0ann\0secret", 14)) + "\r\n",
         {kGreeting, kExtensions, kCredentialsInvalid}, {}},
        {"PlainResponseWithoutTwoNulsIsRefused", "EHLO me\r\nAUTH PLAIN " + B64("ann") + "\r\n",
         {kGreeting, kExtensions, kCredentialsInvalid}, {}},
        {"UnknownLoginIsRefused", "EHLO me\r\nAUTH PLAIN " + B64(std::string("\0Ann\0secret", 11)) + "\r\n",
         {kGreeting, kExtensions, kCredentialsInvalid}, {}},
        {"PlainWithoutInitialResponseAndNoopWhileWaiting",
         "EHLO me\r\nAUTH PLAIN\r\nNOOP\r\n" + kPlain + "\r\nQUIT\r\n",
         {kGreeting, kExtensions, kChallenge, kOk, kAuthOk, kBye}, {kHandshake}},
        {"AuthLoginAsksForLoginThenPassword",
         "EHLO me\r\nauth login\r\n" + B64("ann") + "\r\n" + B64("secret") + "\r\nQUIT\r\n",
         {kGreeting, kExtensions, kLoginChallenge, kPasswordChallenge, kAuthOk, kBye}, {kHandshake}},
        {"EmptyInitialResponseIsAnEmptyLogin", "EHLO me\r\nAUTH PLAIN \r\n", {kGreeting, kExtensions, kCredentialsInvalid},
         {}},
        {"AuthWithAnUnknownMechanismEnds", "EHLO me\r\nAUTH CRAM-MD5\r\n", {kGreeting, kExtensions, kBadSequence}, {}},
        {"HandshakeRefusesTheCredentials", kLogin, {kGreeting, kExtensions, kCredentialsInvalid},
         {kHandshake}, {}, {ESmtpHandshake::BadCredentials}},
        {"HandshakeEndsTheSessionSilently", kLogin + "QUIT\r\n", {kGreeting, kExtensions}, {kHandshake}, {},
         {ESmtpHandshake::EndSession}},
        {"UnknownStandingEnds", kLogin,
         {kGreeting, kExtensions, "500 Authentification successfull, but opetated status is unknown\r\n"},
         {kHandshake}, {}, {ESmtpHandshake::Done, ""}},
        {"RestrictedStandingEnds", kLogin,
         {kGreeting, kExtensions, "500 Authentification successfull, but opetated status is Restricted\r\n"},
         {kHandshake}, {}, {ESmtpHandshake::Done, "Restricted"}},
        {"OneMessageWithParametersAndDotStuffing",
         kLogin + "MAIL FROM:<ann@x> SIZE=120 BODY=8BITMIME\r\nRCPT TO:<Bob@Y> NOTIFY=NEVER\r\nDATA\r\n"
                  "Subject: hi\r\n\r\n..hidden\r\nline. with .\r\n.\r\nQUIT\r\n",
         Then(kLoggedIn, {kOk, kRcptOk, kStartData, kQueued, kBye}),
         {kHandshake, "lookup Bob@Y", "queue Bob@Y"}, {"Subject: hi\r\n\r\n.hidden\r\nline. with .\r\n"}},
        {"EmptyRecipientIsRefusedWithoutALookup", kLogin + "MAIL FROM:<>\r\nRCPT TO:<>\r\nQUIT\r\n",
         Then(kLoggedIn, {kOk, "550 No such user\r\n", kBye}), {kHandshake}},
        {"DataWithoutRecipientsKeepsTheStage",
         kLogin + "MAIL FROM:<a@b>\r\nDATA\r\nRCPT TO:bob@y\r\nDATA\r\nText\r\n.\r\nQUIT\r\n",
         Then(kLoggedIn, {kOk, kBadSequence, kRcptOk, kStartData, kQueued, kBye}),
         {kHandshake, "lookup bob@y", "queue bob@y"}, {"Text\r\n"}},
        {"RefusedRecipientIsLeftOut",
         kLogin + "MAIL FROM:<a@b>\r\nRCPT TO:<no@y>\r\nRCPT TO:<gone@y>\r\nRCPT TO:<bad@y>\r\nRCPT TO:<long@y>\r\n"
                  "RCPT TO:<half@x>\r\nRCPT TO:<ok@y>\r\nDATA\r\nx\r\n.\r\nQUIT\r\n",
         Then(kLoggedIn, {kOk, "550 error: Recipient refuses your mail\r\n", "550 No such user\r\n",
                          "550 Server reply error\r\n", "550 error: " + std::string(128, 'e') + "\r\n",
                          "550 Server reply error\r\n", kRcptOk, kStartData, kQueued, kBye}),
         {kHandshake, "lookup no@y", "lookup gone@y", "lookup bad@y", "lookup long@y", "lookup half@x", "lookup ok@y",
          "queue ok@y"},
         {"x\r\n"},
         {ESmtpHandshake::Done,
          "Normal",
          {{"no@y", Lookup(CSmtpLookup::Kind::Refused, "Recipient\r\n refuses your mail")},
           {"gone@y", Lookup(CSmtpLookup::Kind::NoSuchUser)},
           {"bad@y", Lookup(CSmtpLookup::Kind::ServerReplyError)},
           {"long@y", Lookup(CSmtpLookup::Kind::Refused, longError)},
           {"half@x", incomplete}}}},
        {"LookupThatEndsTheSession", kLogin + "MAIL FROM:<a@b>\r\nRCPT TO:<x@y>\r\nQUIT\r\n",
         Then(kLoggedIn, {kOk}), {kHandshake, "lookup x@y"}, {},
         {ESmtpHandshake::Done, "Normal", {{"x@y", Lookup(CSmtpLookup::Kind::EndSession)}}}},
        {"CommonCommandsInTheRecipientStage",
         kLogin + "MAIL FROM:<a@b>\r\nNOOP\r\nHELP me\r\nEXPN list\r\nVRFY bob\r\nQUIT\r\n",
         Then(kLoggedIn, {kOk, kOk, kOk, kNotImplemented, kNotImplemented, kBye}), {kHandshake}},
        {"RsetEmptiesTheRecipients",
         kLogin + "MAIL FROM:<a@b>\r\nRCPT TO:<b@c>\r\nRSET\r\nMAIL FROM:<a@b>\r\nDATA\r\nQUIT\r\n",
         Then(kLoggedIn, {kOk, kRcptOk, kOk, kOk, kBadSequence, kBye}), {kHandshake, "lookup b@c"}},
        {"SecondMailFromBeforeDataEnds", kLogin + "MAIL FROM:<a@b>\r\nMAIL FROM:<a@b>\r\n",
         Then(kLoggedIn, {kOk, kNotImplemented}), {kHandshake}},
        {"QuitWithATrailingBlankIsNotQuit", kLogin + "QUIT \r\nNOOP\r\n", kLoggedIn, {kHandshake}},
        {"AnotherMessageAfterTheQueuedReply",
         kLogin + "MAIL FROM:<a@b>\r\nRCPT TO:<b@c>\r\nDATA\r\none\r\n.\r\nMAIL FROM:<a@b>\r\nRCPT TO:<d@e>\r\n"
                  "DATA\r\ntwo\r\n.\r\nRSET\r\nMAIL FROM:<a@b>\r\nQUIT\r\n",
         Then(kLoggedIn, {kOk, kRcptOk, kStartData, kQueued, kOk, kRcptOk, kStartData, kQueued, kOk, kOk, kBye}),
         {kHandshake, "lookup b@c", "queue b@c", "lookup d@e", "queue d@e"}, {"one\r\n", "two\r\n"}},
        {"NoopAfterTheQueuedReplyEnds",
         kLogin + "MAIL FROM:<a@b>\r\nRCPT TO:<b@c>\r\nDATA\r\none\r\n.\r\nNOOP\r\nQUIT\r\n",
         Then(kLoggedIn, {kOk, kRcptOk, kStartData, kQueued, kBadSequence}),
         {kHandshake, "lookup b@c", "queue b@c"}, {"one\r\n"}},
        {"FailedQueueingIsReported",
         kLogin + "MAIL FROM:<a@b>\r\nRCPT TO:<b@c>\r\nDATA\r\none\r\n.\r\nQUIT\r\n",
         Then(kLoggedIn, {kOk, kRcptOk, kStartData, "500 Failure\r\n", kBye}),
         {kHandshake, "lookup b@c", "queue b@c"}, {"one\r\n"}, {ESmtpHandshake::Done, "Normal", {}, ESmtpQueue::Failed}},
        {"DotEndsTheDataOnlyAtALineStart",
         kLogin + "MAIL FROM:<a@b>\r\nRCPT TO:<b@c>\r\nDATA\r\n" + std::string(65536, 'a') + ".\r\n" +
             std::string(65535, 'b') + "\r\n.\r\nQUIT\r\n",
         Then(kLoggedIn, {kOk, kRcptOk, kStartData, kQueued, kBye}), {kHandshake, "lookup b@c", "queue b@c"},
         {std::string(65536, 'a') + ".\r\n" + std::string(65535, 'b') + "\r\n"}},
        {"PeerGoneInTheDataLeavesNothingQueued",
         kLogin + "MAIL FROM:<a@b>\r\nRCPT TO:<b@c>\r\nDATA\r\nSubject: x\r\n\r\nhalf a li",
         Then(kLoggedIn, {kOk, kRcptOk, kStartData}), {kHandshake, "lookup b@c"}},
        {"SilentClientAfterTheGreeting", "", {kGreeting, kBadSequence}, {}, {}, {},
         CMemoryLineChannel::EAtEnd::Silent},
        {"SilentClientInTheMailStageIsLeftWithoutReply", kLogin, kLoggedIn, {kHandshake}, {}, {},
         CMemoryLineChannel::EAtEnd::Silent},
    };
}

class SmtpSessionTest : public velmo_testing::TempHomeTest {
protected:
    void SetUp() override
    {
        WriteText("00000001.xml", "<Root Login=\"ann\" Password=\"secret\" Id=\"1\"/>");
    }

    struct Outcome {
        std::vector<std::string> replies;
        std::vector<std::string> calls;
        std::vector<std::string> messages;
    };

    Outcome Play(CMemoryLineChannel& channel, ScriptedDesk& desk)
    {
        CSmtpSession session(channel, desk, m_log, CSmtpSessionOptions{"mx.test", [this] { return m_now; }});
        session.Run();
        return {channel.Writes(), desk.Record().Calls(), desk.Record().messages};
    }

    // One message of a header line and ten body lines, the clock moving 400 ms per body line
    // after the first.
    void PlaySlowBody(ScriptedDesk& desk)
    {
        std::vector<std::string> pieces = {kLogin + "MAIL FROM:<a@b>\r\nRCPT TO:<b@c>\r\nDATA\r\nS: 1\r\n\r\n"};
        for (int i = 0; i < 10; ++i)
            pieces.push_back("0123456789\r\n");
        pieces.push_back(".\r\nQUIT\r\n");
        size_t next = 0;
        CMemoryLineChannel channel(CMemoryLineChannel::Source([&](std::string& out) {
            if (next >= pieces.size())
                return false;
            if (next > 1)
                m_now += 400;
            out += pieces[next++];
            return true;
        }));
        Play(channel, desk);
    }

    std::vector<std::string> LogLines() const { return velmo_testing::LogLines(m_log); }

    static void ExpectReplies(const std::vector<std::string>& expected, const std::vector<std::string>& actual)
    {
        ASSERT_EQ(actual.size(), expected.size()) << ::testing::PrintToString(actual);
        for (size_t i = 0; i < expected.size(); ++i) {
            if (expected[i] == kQueued)
                EXPECT_TRUE(std::regex_match(actual[i], kQueuedReply)) << actual[i];
            else
                EXPECT_EQ(actual[i], expected[i]) << "reply " << i;
        }
    }

    CProtocolListData m_log;
    int64_t m_now = 1000;
};

TEST_F(SmtpSessionTest, DialogueCasesWholeAndTrickled)
{
    for (const Case& c : Cases()) {
        for (const bool trickle : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (trickle ? " trickled" : " whole"));
            CMemoryLineChannel channel(c.script, trickle, c.atEnd);
            ScriptedDesk desk;
            desk.handshake = c.desk.handshake;
            desk.operatedStatus = c.desk.status;
            desk.queueResult = c.desk.queue;
            for (const auto& [address, lookup] : c.desk.lookups)
                desk.lookups[address] = lookup;
            const Outcome outcome = Play(channel, desk);
            ExpectReplies(c.replies, outcome.replies);
            // The Outbox key is released once, at the very end, whatever the way out.
            EXPECT_EQ(outcome.calls, Then(c.calls, {"release"}));
            EXPECT_EQ(outcome.messages, c.messages);
        }
    }
}

// STARTTLS and the refusal of a login in the clear, on a channel that pretends the handshake.
struct TlsCase {
    const char* name;
    bool offered;              // a server pair is there
    std::string failure;       // the handshake fails with this, when not empty
    bool remote;               // the client is on another machine
    std::string script;
    std::vector<std::string> replies;
    std::vector<std::string> calls;
    bool secureAtEnd;
};

std::vector<TlsCase> TlsCases()
{
    const std::string restart = "EHLO me\r\nSTARTTLS\r\nEHLO again\r\n";
    return {
        {"StarttlsStartsOverAtEhloAndIsNoLongerOffered", true, "", false, restart + kLoginTail,
         {kGreeting, kExtensions, kReadyForTls, kExtensionsUnderTls, kAuthOk, kBye}, {kHandshake}, true},
        {"AfterTheUpgradeOnlyEhloOrHeloMayFollow", true, "", false, "EHLO me\r\nSTARTTLS\r\n" + kLoginTail,
         {kGreeting, kExtensions, kReadyForTls, kBadSequence}, {}, true},
        {"ASecondStarttlsEnds", true, "", false, restart + "STARTTLS\r\n",
         {kGreeting, kExtensions, kReadyForTls, kExtensionsUnderTls, kBadSequence}, {}, true},
        {"AFailedHandshakeEndsWithoutAnotherWord", true, "wrong version number", false, restart + kLoginTail,
         {kGreeting, kExtensions, kReadyForTls}, {}, false},
        {"ARemoteClientLogsInOnlyUnderTls", true, "", true,
         "EHLO me\r\nAUTH PLAIN " + kPlain + "\r\nAUTH LOGIN\r\nSTARTTLS\r\nEHLO me\r\n" + kLoginTail,
         {kGreeting, kExtensions, kTlsRequired, kTlsRequired, kReadyForTls, kExtensionsUnderTls, kAuthOk, kBye},
         {kHandshake}, true},
        {"ARemoteClientWithoutTlsOnOfferNeverLogsIn", false, "", true,
         "EHLO me\r\nSTARTTLS\r\nAUTH PLAIN " + kPlain + "\r\nQUIT\r\n",
         {kGreeting, kExtensions, kTlsUnavailable, kTlsRequired, kBadSequence}, {}, false},
    };
}

TEST_F(SmtpSessionTest, TlsCasesWholeAndTrickled)
{
    for (const TlsCase& c : TlsCases()) {
        for (const bool trickle : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (trickle ? " trickled" : " whole"));
            CMemoryLineChannel channel(c.script, trickle);
            if (c.offered)
                channel.OfferTls(c.failure);
            ScriptedDesk desk;
            CSmtpSession session(channel, desk, m_log, CSmtpSessionOptions{"mx.test", [this] { return m_now; }, c.remote});
            session.Run();
            ExpectReplies(c.replies, channel.Writes());
            EXPECT_EQ(desk.Record().Calls(), Then(c.calls, {"release"}));
            EXPECT_EQ(channel.IsSecure(), c.secureAtEnd);
        }
    }
}

TEST_F(SmtpSessionTest, AFailedHandshakeIsLoggedWithItsReason)
{
    CMemoryLineChannel channel("EHLO me\r\nSTARTTLS\r\n");
    channel.OfferTls("wrong version number");
    ScriptedDesk desk;
    CSmtpSession(channel, desk, m_log, CSmtpSessionOptions{"mx.test", {}}).Run();
    const std::vector<std::string> lines = LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "TLS handshake failed: wrong version number"), lines.end())
        << ::testing::PrintToString(lines);
}

TEST_F(SmtpSessionTest, LogShowsTheDialogueWithSecretsMasked)
{
    const std::string script = "EHLO me\r\nAUTH LOGIN\r\n" + B64("ann") + "\r\n" + B64("secret") +
                               "\r\nMAIL FROM:<a@b>\r\nRCPT TO:<b@c>\r\nDATA\r\nSubject: s\r\n\r\nbody line\r\n.\r\n"
                               "QUIT\r\n";
    CMemoryLineChannel channel(script);
    ScriptedDesk desk;
    const Outcome outcome = Play(channel, desk);
    ASSERT_EQ(outcome.replies.size(), 10u);
    std::vector<std::string> expected = {
        "Allowed user Id=00000001, login: ann",
        "220 mx.test ESMTP Tandrill secure mail server",
        "EHLO me",
    };
    for (const char* line : {"250-mx.test", "250-PIPELINING", "250-SIZE 104857600", "250-ETRN", "250-STARTTLS",
                             "250-AUTH PLAIN LOGIN", "250-AUTH=PLAIN LOGIN", "250-ENHANCEDSTATUSCODES", "250-8BITMIME", "250 DSN"})
        expected.push_back(line);
    const std::string queued = outcome.replies[8].substr(0, outcome.replies[8].size() - 2);
    for (const std::string& line : std::vector<std::string>{
             "AUTH LOGIN", "334 VXNlcm5hbWU6", "********", "Login decode: ann", "334 UGFzc3dvcmQ6", "********", "Password decode: ********",
             "235 Authentication successful", "MAIL FROM:<a@b>", "250 OK", "RCPT TO:<b@c>", "250 Ok", "DATA",
             "354 End data with <CR><LF>.<CR><LF>", "Subject: s", "", "25", queued, "QUIT", "221 Bye"})
        expected.push_back(line);
    EXPECT_EQ(LogLines(), expected);
    EXPECT_EQ(LogLines().size(), expected.size());

    // What the client sent and what was answered carry their kinds' colours.
    CProtocolLine line;
    ASSERT_TRUE(m_log.LineAt(2, &line));
    EXPECT_EQ(line.background, CProtocolListData::KindColour(2));
    ASSERT_TRUE(m_log.LineAt(1, &line));
    EXPECT_EQ(line.background, CProtocolListData::KindColour(6));
}

TEST_F(SmtpSessionTest, PlainResponseNeverReachesTheLog)
{
    for (const std::string& script : {kLogin + "QUIT\r\n", "EHLO me\r\nAUTH PLAIN\r\n" + kPlain + "\r\nQUIT\r\n"}) {
        m_log.Clear();
        CMemoryLineChannel channel(script);
        ScriptedDesk desk;
        Play(channel, desk);
        const std::string text = m_log.SaveText().ToStd();
        EXPECT_EQ(text.find(kPlain), std::string::npos) << text;
        EXPECT_EQ(text.find("secret"), std::string::npos) << text;
        EXPECT_NE(text.find("********"), std::string::npos) << text;
        EXPECT_NE(text.find("Login decode: ann"), std::string::npos) << text;
    }
}

// Every way a client may hand over a password, and the ways it may get them wrong: the
// password, in the clear or in Base64, reaches no log line, not the saved log, no activity
// text and no file of the home but the account's own.
TEST_F(SmtpSessionTest, NoSecretReachesTheLogWhateverTheClientSends)
{
    const std::string password = "Zq9-pass";
    WriteText("00000002.xml", "<Root Login=\"zed\" Password=\"" + password + "\" Id=\"2\"/>");
    const std::string plain = B64(std::string("\0zed\0", 5) + password);
    const std::vector<std::pair<const char*, std::string>> scripts = {
        {"PlainInitialResponse", "EHLO me\r\nAUTH PLAIN " + plain + "\r\nQUIT\r\n"},
        {"PlainWithTheLoginAsIdentity", "EHLO me\r\nAUTH PLAIN " + B64(std::string("zed\0zed\0", 8) + password) + "\r\n"},
        {"PlainWithAnotherIdentity", "EHLO me\r\nAUTH PLAIN " + B64(std::string("ann\0zed\0", 8) + password) + "\r\n"},
        {"PlainAfterTheChallenge", "EHLO me\r\nAUTH PLAIN\r\n" + plain + "\r\nQUIT\r\n"},
        {"PlainInLowerCase", "EHLO me\r\nauth plain " + plain + "\r\n"},
        {"PlainAfterATab", "EHLO me\r\nAUTH PLAIN\t" + plain + "\r\n"},
        {"PlainAfterTwoBlanks", "EHLO me\r\nAUTH  PLAIN " + plain + "\r\n"},
        {"PlainBeforeEhlo", "AUTH PLAIN " + plain + "\r\n"},
        {"PlainOfThePasswordAlone", "EHLO me\r\nAUTH PLAIN " + B64(password) + "\r\n"},
        {"PlainThatIsNoBase64", "EHLO me\r\nAUTH PLAIN " + password + "\r\n"},
        {"PlainWithAWrongPassword", "EHLO me\r\nAUTH PLAIN " + B64(std::string("\0zed\0", 5) + password + "x") + "\r\n"},
        {"LoginThenPassword", "EHLO me\r\nAUTH LOGIN\r\n" + B64("zed") + "\r\n" + B64(password) + "\r\nQUIT\r\n"},
        {"LoginWithThePasswordWhereTheLoginGoes", "EHLO me\r\nAUTH LOGIN\r\n" + B64(password) + "\r\n"},
        {"LoginWithThePasswordInTheClear", "EHLO me\r\nAUTH LOGIN\r\n" + password + "\r\n"},
        {"LoginWithTheLoginInTheClear", "EHLO me\r\nAUTH LOGIN\r\nzed\r\n" + password + "\r\n"},
        {"LoginWithAnInitialResponse", "EHLO me\r\nAUTH LOGIN " + B64(password) + "\r\n"},
        {"PasswordInsteadOfEhlo", password + "\r\n"},
        {"PasswordInsteadOfAuth", "EHLO me\r\n" + password + "\r\n"},
        {"PasswordAfterBinaryGarbage", std::string("\x00\xff\r\n", 4) + password + "\r\n"},
    };
    for (const auto& [name, script] : scripts) {
        for (const bool trickle : {false, true}) {
            SCOPED_TRACE(std::string(name) + (trickle ? " trickled" : " whole"));
            CProtocolListData log;
            CMemoryLineChannel channel(script, trickle);
            ScriptedDesk desk;
            CSmtpSession(channel, desk, log, CSmtpSessionOptions{"mx.test", [this] { return m_now; }}).Run();
            for (const std::string& secret : {password, B64(password), plain}) {
                EXPECT_EQ(log.SaveText().ToStd().find(secret), std::string::npos) << log.SaveText().ToStd();
                for (const std::string& line : velmo_testing::LogLines(log))
                    EXPECT_EQ(line.find(secret), std::string::npos) << line;
                EXPECT_EQ(CActivityTexts::Sending().ToStd().find(secret), std::string::npos);
                EXPECT_EQ(CActivityTexts::Receiving().ToStd().find(secret), std::string::npos);
            }
        }
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(m_home)) {
        if (entry.is_regular_file() && entry.path().filename() != "00000002.xml") {
            EXPECT_EQ(ReadText(entry.path().string()).find(password), std::string::npos) << entry.path();
        }
    }
}

TEST_F(SmtpSessionTest, LoginDecodeShowsOnlyALoginOfThisMachine)
{
    for (const auto& [script, shown] : std::vector<std::pair<std::string, std::string>>{
             {"EHLO me\r\nAUTH PLAIN " + kPlain + "\r\nQUIT\r\n", "Login decode: ann"},
             {"EHLO me\r\nAUTH PLAIN " + B64(std::string("ann\0ann\0secret", 14)) + "\r\nQUIT\r\n", "Login decode: ann"},
             {"EHLO me\r\nAUTH LOGIN\r\n" + B64("ann") + "\r\n" + B64("secret") + "\r\nQUIT\r\n", "Login decode: ann"},
             {"EHLO me\r\nAUTH LOGIN\r\n" + B64("nobody") + "\r\n", "Login decode: ********"},
             {"EHLO me\r\nAUTH PLAIN " + B64("secret") + "\r\n", "Login decode: ********"}}) {
        SCOPED_TRACE(script);
        CProtocolListData log;
        CMemoryLineChannel channel(script);
        ScriptedDesk desk;
        CSmtpSession(channel, desk, log, CSmtpSessionOptions{"mx.test", [this] { return m_now; }}).Run();
        const std::vector<std::string> lines = velmo_testing::LogLines(log);
        EXPECT_NE(std::find(lines.begin(), lines.end(), shown), lines.end()) << ::testing::PrintToString(lines);
    }
}

TEST_F(SmtpSessionTest, SocketErrorTextIsLogged)
{
    CMemoryLineChannel channel(kLogin + "MAIL FROM:<a@b>\r\n");
    ScriptedDesk desk;
    Play(channel, desk);
    const std::vector<std::string> lines = LogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Connection is closed by remote host");
}

TEST_F(SmtpSessionTest, ProgressIsCountedAtMostOncePerSecond)
{
    // Ten body lines, the clock moving 400 ms per line: a count after the headers, then one
    // per full second, then the final length.
    ScriptedDesk desk;
    PlaySlowBody(desk);
    // Each "\r" rewrites the open line: the log keeps the final length only.
    EXPECT_EQ(desk.Record().messageSizes, std::vector<size_t>{8 + 120});
    const std::vector<std::string> lines = LogLines();
    const auto bodyStart = std::find(lines.begin(), lines.end(), "S: 1");
    ASSERT_NE(bodyStart, lines.end());
    EXPECT_EQ(*(bodyStart + 1), "");
    EXPECT_EQ(*(bodyStart + 2), "128");
}

TEST_F(SmtpSessionTest, ProgressRewritesFollowTheClock)
{
    std::vector<std::string> counts;
    m_log.SetLineSink([&](int64_t, const CZelString& text) { counts.push_back(text.ToStd()); });
    ScriptedDesk desk;
    PlaySlowBody(desk);
    const auto first = std::find(counts.begin(), counts.end(), "");
    ASSERT_NE(first, counts.end());
    // Right after the blank line (8 bytes in), then whenever a full second has passed since
    // the last count (the clock moves 400 ms per body line after the first), then the end.
    std::vector<std::string> after;
    for (auto it = first + 1; it != counts.end(); ++it) {
        if (!it->empty() && std::all_of(it->begin(), it->end(), [](char ch) { return std::isdigit(ch) || ch == ','; }))
            after.push_back(*it);
    }
    EXPECT_EQ(after, (std::vector<std::string>{"8", "56", "92", "128", "128"}));
}

TEST_F(SmtpSessionTest, IdleClientMeetsTheCommandTimeLimit)
{
    // The client greets and then says nothing for more than five minutes.
    bool greeted = false;
    CMemoryLineChannel channel(CMemoryLineChannel::Source([&](std::string& out) {
        if (!greeted) {
            greeted = true;
            out += "EHLO me\r\n";
            return true;
        }
        m_now += 6 * 60 * 1000;
        return false;
    }), false, CMemoryLineChannel::EAtEnd::Silent);
    ScriptedDesk desk;
    const Outcome outcome = Play(channel, desk);
    ExpectReplies({kGreeting, kExtensions, "421 Session time limit reached, closing connection\r\n"}, outcome.replies);
    EXPECT_EQ(outcome.calls, std::vector<std::string>{"release"});
}

TEST_F(SmtpSessionTest, TimeTheCentralServerTakesIsNotTheClients)
{
    // Three lookups of four minutes each: twelve minutes, none of them the client's.
    struct SlowDesk : ScriptedDesk {
        explicit SlowDesk(int64_t& now) : now(now) {}
        CSmtpLookup LookupRecipient(const CZelString& address) override
        {
            now += 4 * 60 * 1000;
            return ScriptedDesk::LookupRecipient(address);
        }
        int64_t& now;
    };
    CMemoryLineChannel channel(kLogin + "MAIL FROM:<a@b>\r\nRCPT TO:<b@c>\r\nRCPT TO:<d@e>\r\nRCPT TO:<f@g>\r\nQUIT\r\n");
    SlowDesk desk(m_now);
    const Outcome outcome = Play(channel, desk);
    ExpectReplies(Then(kLoggedIn, {kOk, kRcptOk, kRcptOk, kRcptOk, kBye}), outcome.replies);
}

TEST_F(SmtpSessionTest, DeskFailureEndsTheSessionAfterTheKeyRelease)
{
    struct BrokenDesk : ScriptedDesk {
        ESmtpQueue QueueMessage(const CSmtpRecipients&, std::string&) override
        {
            throw XTOOErrMsg("outbox file could not be written");
        }
    };
    CMemoryLineChannel channel(kLogin + "MAIL FROM:<a@b>\r\nRCPT TO:<b@c>\r\nDATA\r\nx\r\n.\r\nQUIT\r\n");
    BrokenDesk desk;
    EXPECT_THROW(Play(channel, desk), XTOOErrMsg);
    EXPECT_EQ(desk.Record().Calls(), (std::vector<std::string>{kHandshake, "lookup b@c", "release"}));
    ExpectReplies(Then(kLoggedIn, {kOk, kRcptOk, kStartData}), channel.Writes());
}

TEST_F(SmtpSessionTest, DataSlowerThanTheFloorIsEnded)
{
    int step = 0;
    CMemoryLineChannel channel(CMemoryLineChannel::Source([&](std::string& out) {
        if (step++ == 0) {
            out += kLogin + "MAIL FROM:<a@b>\r\nRCPT TO:<b@c>\r\nDATA\r\nSubject: slow\r\n";
            return true;
        }
        m_now += 3 * 60 * 1000;   // well past the grace for a few bytes
        return false;
    }), false, CMemoryLineChannel::EAtEnd::Silent);
    ScriptedDesk desk;
    const Outcome outcome = Play(channel, desk);
    ExpectReplies(Then(kLoggedIn, {kOk, kRcptOk, kStartData, "421 Session time limit reached, closing connection\r\n"}),
                  outcome.replies);
    EXPECT_EQ(desk.Record().Count("queue"), 0u);
}

// A message stream made on the fly: headers, 1000-byte lines, a last shorter line, the end.
CMemoryLineChannel::Source MessageOfSize(const std::string& before, int64_t messageBytes, int64_t* handedOut)
{
    struct State {
        std::string before;
        int64_t left;
        bool started = false;
        bool ended = false;
    };
    auto state = std::make_shared<State>(State{before, messageBytes});
    return [state, handedOut](std::string& out) {
        const size_t start = out.size();
        if (!state->started) {
            state->started = true;
            out += state->before + "Subject: big\r\n\r\n";
            state->left -= 16;
        } else if (state->left > 0) {
            for (int i = 0; i < 1024 && state->left > 0; ++i) {
                const int64_t line = state->left >= 2000 ? 1000 : state->left;
                out.append(static_cast<size_t>(line - 2), 'x');
                out += "\r\n";
                state->left -= line;
            }
        } else if (!state->ended) {
            state->ended = true;
            out += ".\r\nQUIT\r\n";
        } else {
            return false;
        }
        *handedOut += static_cast<int64_t>(out.size() - start);
        return true;
    };
}

TEST_F(SmtpSessionTest, MessageExactlyAtTheLimitIsAccepted)
{
    const std::string before = kLogin + "MAIL FROM:<a@b>\r\nRCPT TO:<b@c>\r\nDATA\r\n";
    int64_t handedOut = 0;
    CMemoryLineChannel channel(MessageOfSize(before, 104857597, &handedOut));
    ScriptedDesk desk;
    const Outcome outcome = Play(channel, desk);
    ExpectReplies(Then(kLoggedIn, {kOk, kRcptOk, kStartData, kQueued, kBye}), outcome.replies);
    EXPECT_EQ(desk.Record().messageSizes, std::vector<size_t>{104857597});
    EXPECT_EQ(LogLines()[LogLines().size() - 4], "104,857,597");
}

TEST_F(SmtpSessionTest, OneByteOverTheLimitIsRefused)
{
    const std::string before = kLogin + "MAIL FROM:<a@b>\r\nRCPT TO:<b@c>\r\nDATA\r\n";
    int64_t handedOut = 0;
    CMemoryLineChannel channel(MessageOfSize(before, 104857598, &handedOut));
    ScriptedDesk desk;
    const Outcome outcome = Play(channel, desk);
    ExpectReplies(Then(kLoggedIn, {kOk, kRcptOk, kStartData, "500 Failure: too long message size (limit is 100 MB)\r\n"}),
                  outcome.replies);
    EXPECT_EQ(desk.Record().Count("queue"), 0u);
}

TEST_F(SmtpSessionTest, EndlessLineIsCutAtTheLimitWithoutReadingOn)
{
    const std::string before = kLogin + "MAIL FROM:<a@b>\r\nRCPT TO:<b@c>\r\nDATA\r\n";
    int64_t handedOut = 0;
    bool first = true;
    CMemoryLineChannel channel(CMemoryLineChannel::Source([&](std::string& out) {
        const std::string piece = first ? before : std::string(1 << 20, 'z');
        first = false;
        out += piece;
        handedOut += static_cast<int64_t>(piece.size());
        return handedOut < (int64_t{1} << 30);   // a gigabyte, were anybody to read it all
    }));
    ScriptedDesk desk;
    const Outcome outcome = Play(channel, desk);
    ExpectReplies(Then(kLoggedIn, {kOk, kRcptOk, kStartData, "500 Failure: too long message size (limit is 100 MB)\r\n"}),
                  outcome.replies);
    EXPECT_LT(handedOut, 104857600 + 2 * (1 << 20) + static_cast<int64_t>(before.size()));
    // The headers' logging stopped at its own limit: no line in the log is the whole stream.
    EXPECT_LE(m_log.SaveText().Length(), 1 << 20);
}

} // namespace
