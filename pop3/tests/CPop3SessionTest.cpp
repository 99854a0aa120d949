// The POP3 dialogue as a mail client meets it, over a memory channel, with real account and
// message files in a temporary home and a scripted central-server desk.

#include "pop3/CPop3Session.h"

#include "core/CAccountChangeFlags.h"
#include "core/CProtocolListData.h"
#include "core/testing/LogLines.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/XTOOError.h"
#include "foundation/ZelBase64.h"
#include "foundation/testing/TempDir.h"
#include "history/CMessageHistory.h"
#include "net/CMemoryLineChannel.h"
#include "pop3/CPop3BusyAccounts.h"
#include "pop3/CMailboxFolder.h"
#include "pop3/tests/ScriptedPop3Desk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

using pop3_testing::ScriptedPop3Desk;

namespace {

const std::string kGreeting = "+OK Tandrill POP3 secure mail server at mx.test is ready\r\n";
const std::string kNeedPassword = "+OK user name is valid, need password\r\n";
const std::string kLocked = "+OK mailbox locked and ready\r\n";
const std::string kBye = "+OK Goodbye\r\n";
const std::string kOk = "+OK\r\n";
const std::string kCapabilities =
    "+OK Capability list follows\r\nTOP\r\nUSER\r\nUIDL\r\nRESP-CODES\r\nPIPELINING\r\nIMPLEMENTATION Velmo\r\n.\r\n";
const std::string kAuthRefused = "-ERR authenticated mechanism is not supported\r\n";
const std::string kUnknown = "-ERR unknown command\r\n";
const std::string kNoSuchInMailbox = "-ERR no such message in mailbox\r\n";
const std::string kNoSuch = "-ERR no such message\r\n";
const std::string kLogin = "USER ann\r\nPASS secret\r\n";
const std::string kLoggedIn = kGreeting + kNeedPassword + kLocked;
const std::string kLoginCall = "login 1 ann";

// A message file N.msg with its id file N.id (none when the id is empty).
struct Message {
    int64_t number;
    std::string text;
    std::string id;
};

// The message id header in lower case, its value between blanks and angle brackets.
const std::string kOne = "Subject: one\r\nmessage-id:  <One@Example> \r\n\r\nHello\r\n";
// No message id header; a line that starts with a dot, a line that is one, no last line end.
const std::string kTwo = "Subject: two\r\n\r\n.hidden\r\n.\r\nlast";
const std::vector<Message> kMailbox = {{1, kOne, "1.1"}, {2, kTwo, "1.2"}};
const std::string kOneSize = std::to_string(kOne.size());
const std::string kTwoSize = std::to_string(kTwo.size());
const std::string kBothSize = std::to_string(kOne.size() + kTwo.size());

struct Case {
    const char* name;
    std::vector<Message> mailbox;
    std::string script;
    std::string transcript;              // every reply, in order
    std::vector<std::string> calls;      // the desk's
    std::vector<int64_t> filesAfter;     // the message files left
    const char* status = "Normal";
    std::vector<int64_t> refusedRemovals = {};
    CMemoryLineChannel::EAtEnd atEnd = CMemoryLineChannel::EAtEnd::Close;
};

std::vector<Case> Cases()
{
    const std::string overlong(70000, 'X');
    return {
        {"AuthAndApopAreRefusedBeforeUserAndTheSessionGoesOn", kMailbox,
         "AUTH\r\nauth plain\r\nAPOP ann 0123\r\nCAPA\r\n" + kLogin + "QUIT\r\n",
         kGreeting + kAuthRefused + kAuthRefused + kAuthRefused + kCapabilities + kNeedPassword + kLocked + kBye,
         {kLoginCall}, {1, 2}},
        {"QuitBeforeUser", kMailbox, "quit\r\n", kGreeting + kBye, {}, {1, 2}},
        {"AnotherCommandBeforeUserEnds", kMailbox, "STAT\r\nQUIT\r\n", kGreeting + "-ERR USER command is required\r\n",
         {}, {1, 2}},
        {"OverlongLineBeforeUserEnds", kMailbox, overlong + "\r\nUSER ann\r\n",
         kGreeting + "-ERR USER command is required\r\n", {}, {1, 2}},
        {"LoginIsComparedExactly", kMailbox, "USER Ann\r\n", kGreeting + "-ERR [AUTH] Bad Login\r\n", {}, {1, 2}},
        {"WrongPassword", kMailbox, "USER ann\r\nPASS Secret\r\n",
         kGreeting + kNeedPassword + "-ERR [AUTH] Authentification error\r\n", {}, {1, 2}},
        {"AuthAfterUserIsNoPassword", kMailbox, "USER ann\r\nAUTH PLAIN\r\n",
         kGreeting + kNeedPassword + "-ERR PASS command is required\r\n", {}, {1, 2}},
        {"CapaAndQuitWhileWaitingForThePassword", kMailbox, "USER ann\r\nCAPA\r\nQUIT\r\n",
         kGreeting + kNeedPassword + kCapabilities + kBye, {}, {1, 2}},
        {"RestrictedStandingCannotLogIn", kMailbox, kLogin + "STAT\r\n",
         kGreeting + kNeedPassword + "-ERR [AUTH] Authentification successfull, but opetated status is Restricted\r\n",
         {kLoginCall}, {1, 2}, "Restricted"},
        {"UnknownStandingCannotLogIn", kMailbox, kLogin,
         kGreeting + kNeedPassword + "-ERR [SYS/TEMP] Authentification successfull, but opetated status is unknown\r\n",
         {kLoginCall}, {1, 2}, ""},
        {"StatInAnyCaseButWithoutArgument", kMailbox, kLogin + "stat\r\nSTAT 1\r\nQUIT\r\n",
         kLoggedIn + "+OK 2 " + kBothSize + "\r\n" + kUnknown + kBye, {kLoginCall}, {1, 2}},
        {"ListAllAndListOneOnOneLine", kMailbox, kLogin + "LIST\r\nLIST 2\r\nLIST 3\r\nlist x\r\nQUIT\r\n",
         kLoggedIn + "+OK 2 " + kBothSize + "\r\n1 " + kOneSize + "\r\n2 " + kTwoSize + "\r\n.\r\n" + "+OK 2 " +
             kTwoSize + "\r\n" + "-ERR no such message, only 2 messages in mailbox\r\n" +
             "-ERR no such message, only 2 messages in mailbox\r\n" + kBye,
         {kLoginCall}, {1, 2}},
        {"EmptyMailbox", {}, kLogin + "STAT\r\nLIST\r\nUIDL\r\nRETR 1\r\nTOP 1 0\r\nDELE 1\r\nQUIT\r\n",
         kLoggedIn + "+OK 0 0\r\n" + "+OK 0 0\r\n.\r\n" + "+OK\r\n.\r\n" + kNoSuchInMailbox + "-ERR\r\n" + kNoSuch + kBye,
         {kLoginCall}, {}},
        {"RetrieveStuffsLoneDotsAndEndsTheLastLine", {{1, "a\r\n.\r\n.\r\nb", "1.1"}}, kLogin + "RETR 1\r\nQUIT\r\n",
         kLoggedIn + "+OK 14 bytes\r\na\r\n..\r\n..\r\nb\r\n.\r\n" + kBye, {kLoginCall, "received 1.1"}, {1}},
        {"RetrieveStuffsEveryLeadingDotAndGivesBareLineFeedsTheirReturn",
         {{1, ".first\n..two\r\nbare\nend\r\n", "1.1"}}, kLogin + "RETR 1\r\nQUIT\r\n",
         kLoggedIn + "+OK 28 bytes\r\n..first\r\n...two\r\nbare\r\nend\r\n.\r\n" + kBye,
         {kLoginCall, "received 1.1"}, {1}},
        {"EmptyMessageIsOneEmptyLine", {{1, "", "1.1"}}, kLogin + "RETR 1\r\nQUIT\r\n",
         kLoggedIn + "+OK 2 bytes\r\n\r\n.\r\n" + kBye, {kLoginCall, "received 1.1"}, {1}},
        {"MessageWithoutIdIsServedButNotReported", {{1, "x\r\n", ""}}, kLogin + "RETR 1\r\nQUIT\r\n",
         kLoggedIn + "+OK 3 bytes\r\nx\r\n.\r\n" + kBye, {kLoginCall}, {1}},
        {"RetrieveOutsideTheListOrMarked", kMailbox, kLogin + "RETR 0\r\nRETR 3\r\nRETR\r\nDELE 1\r\nRETR 1\r\nQUIT\r\n",
         kLoggedIn + kNoSuchInMailbox + kNoSuchInMailbox + kNoSuchInMailbox + "+OK message 1 is marked for deleting\r\n" +
             kNoSuchInMailbox + kBye,
         {kLoginCall, "remove 1"}, {2}},
        {"MarkedMessagesAreHiddenUntilRset", kMailbox,
         kLogin + "DELE 1\r\nDELE 1\r\nSTAT\r\nLIST\r\nLIST 1\r\nUIDL\r\nUIDL 1\r\nTOP 1 0\r\nRSET\r\nSTAT\r\nQUIT\r\n",
         kLoggedIn + "+OK message 1 is marked for deleting\r\n" + "-ERR message 1 is already deleted\r\n" + "+OK 1 " +
             kTwoSize + "\r\n" + "+OK 1 " + kTwoSize + "\r\n2 " + kTwoSize + "\r\n.\r\n" +
             "-ERR no such message, only 1 messages in mailbox\r\n" + "+OK\r\n2 1.2\r\n.\r\n" + kNoSuch + "-ERR\r\n" +
             kOk + "+OK 2 " + kBothSize + "\r\n" + kBye,
         {kLoginCall}, {1, 2}},
        {"QuitCarriesOutTheMarks", kMailbox, kLogin + "DELE 2\r\nQUIT\r\n",
         kLoggedIn + "+OK message 2 is marked for deleting\r\n" + kBye, {kLoginCall, "remove 2"}, {1}},
        {"RemovalRefusedByTheServerIsReportedAtQuit", kMailbox, kLogin + "DELE 1\r\nDELE 2\r\nQUIT\r\n",
         kLoggedIn + "+OK message 1 is marked for deleting\r\n" + "+OK message 2 is marked for deleting\r\n" +
             "-ERR some deleted messages not removed\r\n",
         {kLoginCall, "remove 1", "remove 2"}, {1}, "Normal", {1}},
        {"PipelinedCommandsAreAnsweredWholeAndInOrder", kMailbox,
         kLogin + "LIST\r\nUIDL\r\nRETR 1\r\nRETR 2\r\nTOP 1 0\r\nRETR 1\r\nQUIT\r\n",
         kLoggedIn + "+OK 2 " + kBothSize + "\r\n1 " + kOneSize + "\r\n2 " + kTwoSize + "\r\n.\r\n" +
             "+OK\r\n1 One@Example\r\n2 1.2\r\n.\r\n" + "+OK " + kOneSize + " bytes\r\n" + kOne + ".\r\n" +
             "+OK 36 bytes\r\nSubject: two\r\n\r\n..hidden\r\n..\r\nlast\r\n.\r\n" +
             "+OK\r\nSubject: one\r\nmessage-id:  <One@Example> \r\n\r\n.\r\n" + "+OK " + kOneSize + " bytes\r\n" +
             kOne + ".\r\n" + kBye,
         {kLoginCall, "received 1.1", "received 1.2", "received 1.1"}, {1, 2}},
        {"RsetWithoutMarks", kMailbox, kLogin + "RSET\r\nQUIT\r\n", kLoggedIn + kOk + kBye, {kLoginCall}, {1, 2}},
        {"DeleteOutsideTheList", kMailbox, kLogin + "DELE 0\r\nDELE 3\r\nDELE x\r\nDELE\r\nDELE -1\r\nQUIT\r\n",
         kLoggedIn + kNoSuch + kNoSuch + kNoSuch + kNoSuch + kNoSuch + kBye, {kLoginCall}, {1, 2}},
        {"UniqueIdsFromTheHeaderOrTheServersId",
         {{1, kOne, "1.1"},
          {2, kTwo, "1.2"},
          {3, "Message-ID: <One@Example>\r\n\r\nsame header id\r\n", "1.3"},
          {4, "Message-Id: a b\r\n\r\nblank inside\r\n", "1.4"},
          {5, "no header id, no server id\r\n", ""}},
         kLogin + "UIDL\r\nUIDL 1\r\nuidl 2\r\nUIDL 5\r\nUIDL 6\r\nUIDL 0\r\nQUIT\r\n",
         kLoggedIn + "+OK\r\n1 One@Example\r\n2 1.2\r\n3 1.3\r\n4 1.4\r\n.\r\n" + "+OK 1 One@Example\r\n" +
             "+OK 2 1.2\r\n" + kNoSuch + kNoSuch + kNoSuch + kBye,
         {kLoginCall}, {1, 2, 3, 4, 5}},
        {"TopSendsTheHeaderAndSomeBodyLines", {{1, "Subject: t\r\n.dot: h\r\n\r\nb1\r\n.b2\r\nb3", "1.1"}},
         kLogin + "TOP 1 0\r\nTOP 1 2\r\ntop 1 99\r\nTOP 1\r\nTOP 0 1\r\nTOP 1 x\r\nTOP 2 1\r\nQUIT\r\n",
         kLoggedIn + "+OK\r\nSubject: t\r\n..dot: h\r\n\r\n.\r\n" + "+OK\r\nSubject: t\r\n..dot: h\r\n\r\nb1\r\n..b2\r\n.\r\n" +
             "+OK\r\nSubject: t\r\n..dot: h\r\n\r\nb1\r\n..b2\r\nb3\r\n.\r\n" + "-ERR\r\n-ERR\r\n-ERR\r\n-ERR\r\n" + kBye,
         {kLoginCall}, {1}},
        {"TopOfAMessageWithoutBlankLineIsAllHeader", {{1, "A: 1\r\nB: 2", "1.1"}}, kLogin + "TOP 1 0\r\nQUIT\r\n",
         kLoggedIn + "+OK\r\nA: 1\r\nB: 2\r\n.\r\n" + kBye, {kLoginCall}, {1}},
        {"OtherCommandsAndUnknownOnes", kMailbox,
         kLogin + "NOOP x\r\nAPOP a b\r\nCAPA\r\nXTND\r\n\r\nUSER ann\r\nAUTH\r\n" + overlong + "\r\nQUIT now\r\n",
         kLoggedIn + kOk + "-ERR not supported\r\n" + kCapabilities + kUnknown + kUnknown + kUnknown + kUnknown +
             kUnknown + kUnknown + kBye,
         {kLoginCall}, {1, 2}},
        {"SilentClientIsLeftWithoutReply", kMailbox, kLogin + "DELE 1\r\n",
         kLoggedIn + "+OK message 1 is marked for deleting\r\n", {kLoginCall}, {1, 2}, "Normal", {},
         CMemoryLineChannel::EAtEnd::Silent},
        {"VanishedClientRemovesNothing", kMailbox, kLogin + "DELE 1\r\n",
         kLoggedIn + "+OK message 1 is marked for deleting\r\n", {kLoginCall}, {1, 2}},
        {"LoginClosesTheGapsInTheNumbers",
         {{3, "three\r\n", "1.3"}, {7, "seven\r\n", "1.7"}, {1000000, "new\r\n", "1.9"}},
         kLogin + "LIST\r\nRETR 3\r\nQUIT\r\n",
         kLoggedIn + "+OK 3 19\r\n1 7\r\n2 7\r\n3 5\r\n.\r\n" + "+OK 5 bytes\r\nnew\r\n.\r\n" + kBye,
         {kLoginCall, "received 1.9"}, {1, 2, 3}},
    };
}

class Pop3SessionTest : public velmo_testing::TempHomeTest {
protected:
    void SetUp() override { WriteText("00000001.xml", "<Root Login=\"ann\" Password=\"secret\" Id=\"1\"/>"); }

    static std::string Folder() { return "Accounts/00000001"; }

    static void MakeMailbox(const std::vector<Message>& messages)
    {
        std::filesystem::remove_all(Folder());
        std::filesystem::create_directories(Folder());
        for (const Message& message : messages) {
            WriteText(Folder() + "/" + std::to_string(message.number) + ".msg", message.text);
            if (!message.id.empty())
                WriteText(Folder() + "/" + std::to_string(message.number) + ".id", message.id);
        }
    }

    static std::vector<int64_t> MessageFiles()
    {
        std::vector<int64_t> numbers;
        for (const CMailboxFolder::CEntry& entry : CMailboxFolder(1).List())
            numbers.push_back(entry.number);
        return numbers;
    }

    void Play(ILineChannel& channel, ScriptedPop3Desk& desk)
    {
        CPop3Session session(channel, desk, m_log, CPop3SessionOptions{"mx.test"});
        session.Run();
    }

    static std::string Joined(const std::vector<std::string>& writes)
    {
        std::string all;
        for (const std::string& write : writes)
            all += write;
        return all;
    }

    std::vector<std::string> LogLines() const { return velmo_testing::LogLines(m_log); }

    bool LogHas(const std::string& text) const { return velmo_testing::LogContains(m_log, text); }

    CProtocolListData m_log;
};

TEST_F(Pop3SessionTest, DialogueCasesWholeAndTrickled)
{
    for (const Case& c : Cases()) {
        for (const bool trickle : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (trickle ? " trickled" : " whole"));
            MakeMailbox(c.mailbox);
            CMemoryLineChannel channel(c.script, trickle, c.atEnd);
            ScriptedPop3Desk desk;
            desk.standing.operatedStatus = c.status;
            desk.refusedRemovals.insert(c.refusedRemovals.begin(), c.refusedRemovals.end());
            Play(channel, desk);
            EXPECT_EQ(Joined(channel.Writes()), c.transcript);
            EXPECT_EQ(desk.Record().Calls(), c.calls);
            EXPECT_EQ(MessageFiles(), c.filesAfter);
            // Whatever way the session ended, the account is free again.
            EXPECT_FALSE(CPop3BusyAccounts::IsBusy(1));
        }
    }
}

// STLS and the refusal of a login in the clear, on a channel that pretends the handshake.
struct TlsCase {
    const char* name;
    bool offered;          // a server pair is there
    std::string failure;   // the handshake fails with this, when not empty
    bool remote;           // the client is on another machine
    std::string script;
    std::string transcript;
    std::vector<std::string> calls;
    bool secureAtEnd;
};

std::vector<TlsCase> TlsCases()
{
    const std::string capaTls = "+OK Capability list follows\r\nTOP\r\nUSER\r\nUIDL\r\nRESP-CODES\r\nPIPELINING\r\n"
                                "IMPLEMENTATION Velmo\r\nSTLS\r\n.\r\n";
    const std::string begin = "+OK Begin TLS negotiation\r\n";
    const std::string unavailable = "-ERR TLS not available\r\n";
    const std::string required = "-ERR TLS required\r\n";
    return {
        {"StlsIsOfferedBeforeUserOnlyAndTheLoginFollowsUnderTls", true, "", false,
         "CAPA\r\nSTLS\r\nCAPA\r\n" + kLogin + "CAPA\r\nQUIT\r\n",
         kGreeting + capaTls + begin + kCapabilities + kNeedPassword + kLocked + kCapabilities + kBye, {kLoginCall},
         true},
        {"StlsAfterUserIsNoPassword", true, "", false, "USER ann\r\nSTLS\r\n",
         kGreeting + kNeedPassword + "-ERR PASS command is required\r\n", {}, false},
        {"ASecondStlsIsRefusedAndTheSessionGoesOn", true, "", false, "STLS\r\nSTLS\r\n" + kLogin + "QUIT\r\n",
         kGreeting + begin + unavailable + kNeedPassword + kLocked + kBye, {kLoginCall}, true},
        {"StlsWithoutACertificateIsRefused", false, "", false, "STLS\r\n" + kLogin + "QUIT\r\n",
         kGreeting + unavailable + kNeedPassword + kLocked + kBye, {kLoginCall}, false},
        {"AFailedHandshakeEndsWithoutAnotherWord", true, "wrong version number", false, "STLS\r\n" + kLogin,
         kGreeting + begin, {}, false},
        {"ARemoteClientLogsInOnlyUnderTls", true, "", true,
         "USER ann\r\nPASS secret\r\nSTLS\r\n" + kLogin + "QUIT\r\n",
         kGreeting + required + required + begin + kNeedPassword + kLocked + kBye, {kLoginCall}, true},
        {"ARemoteClientWithoutTlsOnOfferNeverLogsIn", false, "", true, "STLS\r\n" + kLogin + "QUIT\r\n",
         kGreeting + unavailable + required + required + kBye, {}, false},
    };
}

TEST_F(Pop3SessionTest, TlsCasesWholeAndTrickled)
{
    for (const TlsCase& c : TlsCases()) {
        for (const bool trickle : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (trickle ? " trickled" : " whole"));
            MakeMailbox(kMailbox);
            CMemoryLineChannel channel(c.script, trickle);
            if (c.offered)
                channel.OfferTls(c.failure);
            ScriptedPop3Desk desk;
            CPop3Session(channel, desk, m_log, CPop3SessionOptions{"mx.test", c.remote}).Run();
            EXPECT_EQ(Joined(channel.Writes()), c.transcript);
            EXPECT_EQ(desk.Record().Calls(), c.calls);
            EXPECT_EQ(channel.IsSecure(), c.secureAtEnd);
            EXPECT_FALSE(CPop3BusyAccounts::IsBusy(1));
        }
    }
}

TEST_F(Pop3SessionTest, AFailedHandshakeIsLoggedWithItsReason)
{
    CMemoryLineChannel channel("STLS\r\n");
    channel.OfferTls("wrong version number");
    ScriptedPop3Desk desk;
    Play(channel, desk);
    EXPECT_TRUE(LogHas("TLS handshake failed: wrong version number")) << ::testing::PrintToString(LogLines());
}

TEST_F(Pop3SessionTest, LogShowsTheDialogueInItsColoursWithThePasswordMasked)
{
    MakeMailbox(kMailbox);
    CMemoryLineChannel channel("CAPA\r\nUSER ann\r\npass  secret\r\nRETR 1\r\nQUIT\r\n");
    ScriptedPop3Desk desk;
    Play(channel, desk);
    const std::vector<std::string> expected = {
        "Allowed user Id=00000001, login: ann",
        "+OK Tandrill POP3 secure mail server at mx.test is ready",
        "CAPA",
        "+OK Capability list follows",
        "TOP",
        "USER",
        "UIDL",
        "RESP-CODES",
        "PIPELINING",
        "IMPLEMENTATION Velmo",
        ".",
        "USER ann",
        "+OK user name is valid, need password",
        "pass ********",
        "+OK mailbox locked and ready",
        "RETR 1",   // the answer, the message itself, stays out of the log
        "QUIT",
        "+OK Goodbye",
        "quit",
    };
    EXPECT_EQ(LogLines(), expected);
    EXPECT_FALSE(LogHas("secret"));

    CProtocolLine line;
    ASSERT_TRUE(m_log.LineAt(11, &line));   // "USER ann", from the client
    EXPECT_EQ(line.background, 0x00AAFFFF);
    EXPECT_EQ(line.textColour, kProtocolDefaultColour);
    ASSERT_TRUE(m_log.LineAt(12, &line));   // the reply
    EXPECT_EQ(line.background, 0x007DFFC8);
    EXPECT_EQ(line.textColour, kProtocolDefaultColour);
}

// Every way a client may put a password where the log could see it: the password, in the
// clear or in Base64, reaches no log line, not the saved log, and no file of the home but the
// account's own.
TEST_F(Pop3SessionTest, NoSecretReachesTheLogWhateverTheClientSends)
{
    const std::string password = "Zq9-pass";
    WriteText("00000002.xml", "<Root Login=\"zed\" Password=\"" + password + "\" Id=\"2\"/>");
    const std::string plain = Base64Encode(std::string_view(std::string("\0zed\0", 5) + password)).ToStd();
    const std::vector<std::pair<const char*, std::string>> scripts = {
        {"UserAndPass", "USER zed\r\nPASS " + password + "\r\nQUIT\r\n"},
        {"PassInLowerCaseAfterBlanks", "USER zed\r\npass   " + password + "\r\nQUIT\r\n"},
        {"PassWithLeadingBlanks", "USER zed\r\n  PASS " + password + "\r\n"},
        {"PassBeforeUser", "PASS " + password + "\r\n"},
        {"PassWithLeadingBlanksBeforeUser", " PASS " + password + "\r\n"},
        {"WrongPassword", "USER zed\r\nPASS x" + password + "\r\n"},
        {"AuthPlainWithAnInitialResponse", "AUTH PLAIN " + plain + "\r\nQUIT\r\n"},
        {"AuthPlainAfterATab", "auth\tplain " + plain + "\r\nQUIT\r\n"},
        {"AuthPlainAfterTwoBlanks", "AUTH  PLAIN  " + plain + "\r\nQUIT\r\n"},
        {"AuthPlainAfterTheLogin", "USER zed\r\nPASS " + password + "\r\nAUTH PLAIN " + plain + "\r\nQUIT\r\n"},
        {"ApopWithAnything", "APOP zed " + password + "\r\nQUIT\r\n"},
        {"PasswordWhereTheLoginGoes", "USER " + password + "\r\n"},
        {"PasswordInsteadOfUser", password + "\r\n"},
        {"PasswordInsteadOfPass", "USER zed\r\n" + password + "\r\n"},
        {"Base64PasswordInsteadOfUser", plain + "\r\n"},
    };
    for (const auto& [name, script] : scripts) {
        for (const bool trickle : {false, true}) {
            SCOPED_TRACE(std::string(name) + (trickle ? " trickled" : " whole"));
            CProtocolListData log;
            CMemoryLineChannel channel(script, trickle);
            ScriptedPop3Desk desk;
            CPop3Session(channel, desk, log, CPop3SessionOptions{"mx.test"}).Run();
            for (const std::string& secret : {password, plain}) {
                EXPECT_EQ(log.SaveText().ToStd().find(secret), std::string::npos) << log.SaveText().ToStd();
                for (const std::string& line : velmo_testing::LogLines(log))
                    EXPECT_EQ(line.find(secret), std::string::npos) << line;
            }
        }
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(m_home)) {
        if (entry.is_regular_file() && entry.path().filename() != "00000002.xml") {
            EXPECT_EQ(ReadText(entry.path().string()).find(password), std::string::npos) << entry.path();
        }
    }
}

TEST_F(Pop3SessionTest, UserIsLoggedOnlyWithALoginOfThisMachine)
{
    CMemoryLineChannel channel("USER ann\r\nQUIT\r\n");
    ScriptedPop3Desk desk;
    Play(channel, desk);
    CMemoryLineChannel unknown("USER nobody\r\n");
    Play(unknown, desk);
    EXPECT_TRUE(LogHas("USER ann"));
    EXPECT_TRUE(LogHas("USER ********"));
    EXPECT_FALSE(LogHas("nobody"));
}

TEST_F(Pop3SessionTest, TimedOutReadEndsTheSessionWithItsLogLine)
{
    MakeMailbox(kMailbox);
    CMemoryLineChannel channel(kLogin, false, CMemoryLineChannel::EAtEnd::Silent);
    ScriptedPop3Desk desk;
    Play(channel, desk);
    EXPECT_EQ(LogLines().back(), "time out");
}

TEST_F(Pop3SessionTest, VanishedClientIsLoggedWithTheSocketError)
{
    MakeMailbox(kMailbox);
    CMemoryLineChannel channel(kLogin);
    ScriptedPop3Desk desk;
    Play(channel, desk);
    EXPECT_EQ(LogLines().back(), "Connection is closed by remote host");
}

TEST_F(Pop3SessionTest, LoginAndRetrievalAreFlaggedAndTheRetrievalRecordedAndReported)
{
    CAccountChangeFlags::Global().Drain();
    MakeMailbox(kMailbox);
    CMemoryLineChannel channel(kLogin + "RETR 1\r\nRETR 1\r\nQUIT\r\n");
    ScriptedPop3Desk desk;
    Play(channel, desk);
    EXPECT_EQ(desk.Record().Calls(), (std::vector<std::string>{kLoginCall, "received 1.1", "received 1.1"}));

    CZelXmlDocument history;
    ASSERT_TRUE(CMessageHistory::Load(1, history));
    const CZelXmlNode received = history.RootElement().FindChild(CMessageHistory::kSectionReceived);
    ASSERT_FALSE(received.IsNull());
    int entries = 0;
    for (CZelXmlNode entry = received.FirstChild(); !entry.IsNull(); entry = entry.NextSibling())
        ++entries;
    EXPECT_EQ(entries, 1);   // the second retrieval updates the same entry
    const CZelXmlNode entry = received.FindChildByAttr(CMessageHistory::kElementMessage, "MessageId", "1.1");
    ASSERT_FALSE(entry.IsNull());
    const std::string stamp = entry.GetAttr("LocalDeliveredTimeStamp").ToStd();
    ASSERT_GE(stamp.size(), 16u) << stamp;   // microseconds since 1970
    EXPECT_TRUE(std::all_of(stamp.begin(), stamp.end(), [](char c) { return c >= '0' && c <= '9'; })) << stamp;

    int64_t account = 0;
    uint32_t bits = 0;
    ASSERT_TRUE(CAccountChangeFlags::Global().TakeOne(account, bits));
    EXPECT_EQ(account, 1);
    EXPECT_EQ(bits, CAccountChangeFlags::kDeliveryReports | CAccountChangeFlags::kMessageRetrieved);
}

TEST_F(Pop3SessionTest, FailingReceivedReportNeverEndsTheSession)
{
    struct FailingReportDesk : ScriptedPop3Desk {
        void ReportReceived(const CZelString& messageId) override
        {
            ScriptedPop3Desk::ReportReceived(messageId);
            throw XTOOErrMsg("central server unreachable");
        }
    };
    MakeMailbox(kMailbox);
    CMemoryLineChannel channel(kLogin + "RETR 2\r\nNOOP\r\nQUIT\r\n");
    FailingReportDesk desk;
    Play(channel, desk);
    EXPECT_EQ(Joined(channel.Writes()),
              kLoggedIn + "+OK 36 bytes\r\nSubject: two\r\n\r\n..hidden\r\n..\r\nlast\r\n.\r\n" + kOk + kBye);
    EXPECT_TRUE(LogHas("central server unreachable"));
}

TEST_F(Pop3SessionTest, MessagesStoredDuringTheSessionWaitForTheNext)
{
    MakeMailbox(kMailbox);
    int step = 0;
    CMemoryLineChannel channel(CMemoryLineChannel::Source([&](std::string& out) {
        switch (step++) {
        case 0: out += kLogin + "STAT\r\n"; return true;
        case 1:
            // The download stores a message between two commands.
            EXPECT_EQ(CMailboxFolder(1).Store("9.9", "arrived\r\n"), CMailboxFolder::kFirstDownloadNumber);
            out += "STAT\r\nLIST\r\nRETR 3\r\nUIDL\r\nQUIT\r\n";
            return true;
        default: return false;
        }
    }));
    ScriptedPop3Desk first;
    Play(channel, first);
    const std::string stat = "+OK 2 " + kBothSize + "\r\n";
    EXPECT_EQ(Joined(channel.Writes()), kLoggedIn + stat + stat + "+OK 2 " + kBothSize + "\r\n1 " + kOneSize + "\r\n2 " +
                                            kTwoSize + "\r\n.\r\n" + kNoSuchInMailbox +
                                            "+OK\r\n1 One@Example\r\n2 1.2\r\n.\r\n" + kBye);

    CMemoryLineChannel next(kLogin + "LIST 3\r\nUIDL 3\r\nQUIT\r\n");
    ScriptedPop3Desk second;
    Play(next, second);
    EXPECT_EQ(Joined(next.Writes()), kLoggedIn + "+OK 3 9\r\n+OK 3 9.9\r\n" + kBye);
}

TEST_F(Pop3SessionTest, AccountWithALiveSessionIsBusy)
{
    MakeMailbox(kMailbox);
    {
        CPop3BusyAccounts::CEntry live;
        ASSERT_TRUE(live.Enter(1));
        CMemoryLineChannel channel(kLogin);
        ScriptedPop3Desk desk;
        Play(channel, desk);
        EXPECT_EQ(Joined(channel.Writes()), kGreeting + "-ERR [IN-USE] Account is busy\r\n");
        EXPECT_TRUE(desk.Record().Calls().empty());
        EXPECT_TRUE(CPop3BusyAccounts::IsBusy(1));   // the other session's entry stays
    }
    // Another session takes the account between this one's USER and PASS: only the entry
    // after the password reserves it.
    CPop3BusyAccounts::CEntry rival;
    int step = 0;
    CMemoryLineChannel channel(CMemoryLineChannel::Source([&](std::string& out) {
        switch (step++) {
        case 0: out += "USER ann\r\n"; return true;
        case 1:
            EXPECT_TRUE(rival.Enter(1));
            out += "PASS secret\r\n";
            return true;
        default: return false;
        }
    }));
    ScriptedPop3Desk desk;
    Play(channel, desk);
    EXPECT_EQ(Joined(channel.Writes()), kGreeting + kNeedPassword + "-ERR [IN-USE] Account is busy\r\n");
    EXPECT_TRUE(desk.Record().Calls().empty());
    rival.Leave();
    EXPECT_FALSE(CPop3BusyAccounts::IsBusy(1));
}

TEST_F(Pop3SessionTest, BigMessageIsStreamedInPiecesWithItsPreparedLength)
{
    // 3 MB of lines, every tenth starting with a dot.
    std::string text;
    std::string expected;
    for (int i = 0; text.size() < 3u << 20; ++i) {
        const std::string line = (i % 10 == 0 ? "." : "") + std::string(70, 'a' + i % 26) + "\r\n";
        text += line;
        expected += (i % 10 == 0 ? "." : "") + line;
    }
    MakeMailbox({{1, text, "1.1"}});
    CMemoryLineChannel channel(kLogin + "RETR 1\r\nQUIT\r\n");
    ScriptedPop3Desk desk;
    Play(channel, desk);
    const std::vector<std::string>& writes = channel.Writes();
    const std::string answer = Joined(writes).substr(kLoggedIn.size());
    EXPECT_EQ(answer, "+OK " + std::to_string(expected.size()) + " bytes\r\n" + expected + ".\r\n" + kBye);
    EXPECT_GT(writes.size(), 20u);
    for (const std::string& write : writes)
        EXPECT_LE(write.size(), 3u * 65536u);
}

TEST_F(Pop3SessionTest, ClientThatStopsTakingTheAnswerEndsTheSession)
{
    // A channel whose writes time out once the answer has begun.
    class StalledChannel : public CMemoryLineChannel {
    public:
        using CMemoryLineChannel::CMemoryLineChannel;
        bool Write(const CZelString& bytes, int timeoutMs) override
        {
            CMemoryLineChannel::Write(bytes, timeoutMs);
            return bytes.View().rfind("+OK mailbox", 0) == 0 || Writes().size() < 5;
        }
    };
    MakeMailbox({{1, std::string(1 << 20, 'x'), "1.1"}});
    StalledChannel channel(kLogin + "RETR 1\r\nNOOP\r\n");
    ScriptedPop3Desk desk;
    Play(channel, desk);
    EXPECT_EQ(channel.Writes().size(), 5u);   // greeting, two replies, two pieces; then nothing
    EXPECT_EQ(desk.Record().Calls(), std::vector<std::string>{kLoginCall});   // not retrieved
    EXPECT_EQ(LogLines().back(), "time out");
    EXPECT_FALSE(CPop3BusyAccounts::IsBusy(1));
}

TEST_F(Pop3SessionTest, ListsAreTakenOnceEvenWhenFilesGoMeanwhile)
{
    // A message file that vanishes after the login (nothing in the system does that, but the
    // session must stay sound) is answered as missing.
    MakeMailbox(kMailbox);
    int step = 0;
    CMemoryLineChannel channel(CMemoryLineChannel::Source([&](std::string& out) {
        switch (step++) {
        case 0: out += kLogin; return true;
        case 1:
            std::filesystem::remove(Folder() + "/1.msg");
            out += "RETR 1\r\nTOP 1 1\r\nRETR 2\r\nQUIT\r\n";
            return true;
        default: return false;
        }
    }));
    ScriptedPop3Desk desk;
    Play(channel, desk);
    EXPECT_EQ(Joined(channel.Writes()), kLoggedIn + kNoSuchInMailbox + "-ERR\r\n" +
                                            "+OK 36 bytes\r\nSubject: two\r\n\r\n..hidden\r\n..\r\nlast\r\n.\r\n" + kBye);
}

} // namespace
