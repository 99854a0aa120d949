// The shared central server requests against a scripted server that opens and seals like the
// real one.

#include "crypto/CCryptRandom.h"
#include "crypto/LongInt2.h"
#include "crypto/RsaKeyPair.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/XTOOError.h"
#include "net/CZelTcpFile.h"
#include "protocol/CZelHttpClient.h"
#include "protocol/CZelServerRun.h"
#include "protocol/ZelRecords.h"
#include "protocol/ZelSealing.h"
#include "protocol/ZelServerRequests.h"
#include "testing/SocketsEnvironment.h"
#include "testing/TestKeys.h"

#include "testing/ScriptedHttpPeer.h"

#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

using protocoltest::HttpAnswer;
using protocoltest::PeerConnection;
using protocoltest::PeerRequest;
using protocoltest::ScriptedHttpPeer;

namespace {

std::string Bytes(const CZelString& s) { return s.ToStd(); }

// One account key pair for the whole program.
const velmo_testing::TestKeyPair& TestAccountKeys()
{
    return velmo_testing::TestKeys(0);
}

CZelAccountKey TestAccount(const char* id = "42")
{
    return CZelAccountKey{id, TestAccountKeys().n, TestAccountKeys().d};
}

CZelString DocumentText(const char* root, std::initializer_list<std::pair<const char*, CZelString>> attributes)
{
    CZelXmlDocument document;
    document.Create("doc", root);
    for (const auto& [name, value] : attributes)
        document.RootElement().SetAttr(name, value);
    return document.ToRequestText();
}

CZelXmlDocument Parsed(const CZelString& text)
{
    CZelXmlDocument document;
    EXPECT_TRUE(document.Parse(text)) << Bytes(text);
    return document;
}

CZelRecord RecordOf(const std::optional<PeerRequest>& request)
{
    CZelRecord record;
    EXPECT_TRUE(request.has_value());
    if (request) {
        EXPECT_TRUE(ParseRequestRecord(CZelString(request->body), record));
    }
    return record;
}

std::string Answer(const CZelString& records) { return HttpAnswer(records.ToStd()); }

class ServerRequestsTest : public ::testing::Test {
protected:
    void UseServer(const ScriptedHttpPeer& peer) { m_server = {CZelString(peer.Address().c_str()), "/velmo"}; }

    CZelServerAddress m_server;
};

TEST_F(ServerRequestsTest, ServerKeyRequestReadsBinaryKeyParts)
{
    const CZelString n(std::string("\x01\x00\"<&>\xFF\r\n", 9));
    const CZelString e(std::string("\x03\x00", 2));
    std::string requestBody;
    ScriptedHttpPeer peer({[&](PeerConnection& c) {
        const auto request = c.ReadRequest();
        requestBody = request ? request->body : "";
        c.Send(Answer(Frame(AnswerType(kRequestRegister), "<Root n=\"x\" e=\"y\"/>") +
                      Frame(AnswerType(kRequestServerKey), "not xml <<") +
                      Frame(AnswerType(kRequestServerKey), DocumentText("Root", {{"n", n}, {"e", e}}))));
        c.WaitForClientClose();
    }});
    UseServer(peer);
    CZelTcpFile connection(true);
    const CZelServerKey key = RequestServerKey(m_server, connection, kHttpWriteTimeoutMs);
    EXPECT_EQ(requestBody, std::string("\x00\x00\x00\x01\x00\x00\x00\x00", 8));
    EXPECT_EQ(Bytes(key.n), Bytes(n));
    EXPECT_EQ(Bytes(key.e), Bytes(e));
    EXPECT_TRUE(key.IsComplete());
}

TEST_F(ServerRequestsTest, ServerKeyRequestWithoutUsableAnswerIsIncomplete)
{
    ScriptedHttpPeer peer({[&](PeerConnection& c) {
        c.ReadRequest();
        c.Send(Answer(Frame(AnswerType(kRequestServerKey), DocumentText("Root", {{"n", "abc"}}))));
        c.WaitForClientClose();
    }});
    UseServer(peer);
    CZelTcpFile connection(true);
    const CZelServerKey key = RequestServerKey(m_server, connection, kHttpWriteTimeoutMs);
    EXPECT_EQ(Bytes(key.n), "abc");
    EXPECT_TRUE(key.e.IsEmpty());
    EXPECT_FALSE(key.IsComplete());
}

TEST_F(ServerRequestsTest, LoginHandsOverKeysUnderTheAccountKeyAndOpensAnswersWithTheFirst)
{
    const CZelString inboxKey = MakeSessionKey();
    const CZelString sessionKey = MakeSessionKey();
    const CZelXmlDocument document =
        MakeLoginDocument("42", kCommandPreLogin, {{kKeyNumSession, sessionKey}, {kKeyNumInbox, inboxKey}}, 1234567);

    int64_t id = 0;
    uint32_t sentTime = 0;
    CZelString sentText;
    ScriptedHttpPeer peer({[&](PeerConnection& c) {
        const CZelRecord record = RecordOf(c.ReadRequest());
        EXPECT_EQ(record.type, kRequestPreLogin);
        EXPECT_TRUE(OpenLoginPayload(record.payload, TestAccountKeys().n, TestAccountKeys().e, id, sentText, sentTime));
        c.Send(Answer(Frame(AnswerType(kRequestPreLogin), SealAnswer(sessionKey, DocumentText("Root", {{"Seed", "s1"}}))) +
                      Frame(AnswerType(kRequestPreLogin), SealAnswer(inboxKey, DocumentText("Root", {{"Seed", "wrong key"}}))) +
                      Frame(AnswerType(kRequestPreLogin), SealAnswer(sessionKey, "not xml <<")) +
                      Frame(AnswerType(kRequestReqTimestamp),
                            SealAnswer(sessionKey, DocumentText("Root", {{"Seed", "wrong type"}})))));
        c.WaitForClientClose();
    }});
    UseServer(peer);
    CZelTcpFile connection(true);
    const uint32_t before = static_cast<uint32_t>(std::time(nullptr));
    const CZelLoginResult result =
        LoginRequest(kRequestPreLogin, TestAccount(), document, m_server, connection, kHttpWriteTimeoutMs);
    const uint32_t after = static_cast<uint32_t>(std::time(nullptr));
    connection.Close();
    peer.WaitDone();

    EXPECT_TRUE(result.sent);
    ASSERT_EQ(result.answers.size(), 1u);
    EXPECT_EQ(Bytes(result.answers[0].RootElement().GetAttr("Seed")), "s1");

    EXPECT_EQ(id, 42);
    EXPECT_GE(sentTime, before);
    EXPECT_LE(sentTime, after);
    EXPECT_EQ(Bytes(sentText), Bytes(document.ToRequestText()));
    const CZelXmlDocument sent = Parsed(sentText);
    const CZelXmlNode root = sent.RootElement();
    EXPECT_EQ(Bytes(root.GetAttr(kAttrId)), "42");
    EXPECT_EQ(Bytes(root.GetAttr(kAttrCommand)), "PreLogin");
    EXPECT_EQ(Bytes(root.GetAttr(kAttrLastUpdatesTimeStamp)), "1234567");
    int32_t count = 0;
    const CZelXmlNode first = root.FindChild(kElementSessionKey, &count);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(Bytes(first.GetAttr(kAttrSessionKeyNum)), "1");
    EXPECT_EQ(Bytes(first.GetAttr(kAttrSessionKey)), Bytes(sessionKey));
    EXPECT_EQ(Bytes(first.NextSameName().GetAttr(kAttrSessionKeyNum)), "4");
    EXPECT_EQ(Bytes(first.NextSameName().GetAttr(kAttrSessionKey)), Bytes(inboxKey));
}

TEST_F(ServerRequestsTest, LoginWithoutAUsableAccountKeyPostsNothing)
{
    const CZelXmlDocument document =
        MakeLoginDocument("42", kCommandReqTimestamp, {{kKeyNumAccountRun, MakeSessionKey()}}, kStandingOnlyTimeStamp);
    const CZelAccountKey noKey{"42", CZelString(), CZelString()};
    const CZelAccountKey evenModulus{"42", CZelString(std::string(64, '\x02')), TestAccountKeys().d};
    for (const CZelAccountKey& account : {noKey, evenModulus}) {
        CZelTcpFile connection(true);
        testing::internal::CaptureStderr();
        const CZelLoginResult result =
            LoginRequest(kRequestReqTimestamp, account, document, m_server, connection, 1000);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "point 2(ret)\n");
        EXPECT_FALSE(result.sent);
        EXPECT_TRUE(result.answers.empty());
        EXPECT_FALSE(connection.IsOpen());
    }
}

TEST_F(ServerRequestsTest, SealedRequestCarriesIdKeyNumberAndOpensItsAnswers)
{
    const CZelString key = MakeSessionKey();
    CZelXmlDocument document;
    document.Create("doc", "Root");
    document.RootElement().SetAttr("Command", "+cl friend@example.org 1234");

    int64_t id = 0;
    uint32_t keyNumber = 0;
    CZelString opened;
    ScriptedHttpPeer peer({[&](PeerConnection& c) {
        const CZelRecord record = RecordOf(c.ReadRequest());
        EXPECT_EQ(record.type, kRequestContactList);
        CZelString sealed;
        EXPECT_TRUE(SplitSealedRequest(record.payload, id, keyNumber, sealed));
        EXPECT_TRUE(Unseal(key, sealed, opened));
        c.Send(Answer(Frame(AnswerType(kRequestContactList), SealAnswer(key, DocumentText("Root", {{"Status", "OK"}}))) +
                      Frame(AnswerType(kRequestContactList),
                            SealAnswer(MakeSessionKey(), DocumentText("Root", {{"Status", "forged"}})))));
        c.WaitForClientClose();
    }});
    UseServer(peer);
    CZelTcpFile connection(true);
    const std::vector<CZelXmlDocument> answers =
        SealedRequest(kRequestContactList, document, 42, kKeyNumContactList, key, m_server, connection, kHttpWriteTimeoutMs);
    connection.Close();
    peer.WaitDone();
    EXPECT_EQ(id, 42);
    EXPECT_EQ(keyNumber, kKeyNumContactList);
    EXPECT_EQ(Bytes(opened), Bytes(document.ToRequestText()));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(Bytes(answers[0].RootElement().GetAttr("Status")), "OK");
}

TEST_F(ServerRequestsTest, SealedRequestWithoutA32ByteKeyPostsNothing)
{
    CZelTcpFile connection(true);
    EXPECT_TRUE(SealedRequestRaw(kRequestAccountUpdate, "text", 42, 6, CZelString("short"), m_server, connection, 1000).empty());
    EXPECT_FALSE(connection.IsOpen());
}

TEST_F(ServerRequestsTest, WorkerRunUsesOneConnectionForKeysLoginAndItsRequest)
{
    CZelString runKey;
    std::vector<uint32_t> types;
    CZelString loginText;
    ScriptedHttpPeer peer({[&](PeerConnection& c) {
        types.push_back(RecordOf(c.ReadRequest()).type);
        c.Send(Answer(Frame(AnswerType(kRequestServerKey), DocumentText("Root", {{"n", "N"}, {"e", "E"}}))));

        const CZelRecord login = RecordOf(c.ReadRequest());
        types.push_back(login.type);
        int64_t id = 0;
        uint32_t time = 0;
        EXPECT_TRUE(OpenLoginPayload(login.payload, TestAccountKeys().n, TestAccountKeys().e, id, loginText, time));
        runKey = FirstSessionKey(Parsed(loginText));
        c.Send(Answer(Frame(AnswerType(kRequestReqTimestamp), SealAnswer(runKey, DocumentText("Root", {{"TimeStamp", "99"}})))));

        const CZelRecord request = RecordOf(c.ReadRequest());
        types.push_back(request.type);
        int64_t requestId = 0;
        uint32_t keyNumber = 0;
        CZelString sealed, plain;
        EXPECT_TRUE(SplitSealedRequest(request.payload, requestId, keyNumber, sealed));
        EXPECT_EQ(keyNumber, kKeyNumAccountRun);
        EXPECT_TRUE(Unseal(runKey, sealed, plain));
        c.Send(Answer(Frame(AnswerType(kRequestAccountUpdate), SealAnswer(runKey, DocumentText("Root", {{"Status", "OK"}})))));
        c.WaitForClientClose();
    }});
    UseServer(peer);

    std::vector<std::string> statuses;
    {
        CZelServerRun run(m_server, kKeyNumAccountRun, kHttpWriteTimeoutMs,
                          [&](const char* text) { statuses.push_back(text); });
        EXPECT_TRUE(run.RequestServerKeys().IsComplete());
        const CZelLoginResult login = run.Login(TestAccount());
        ASSERT_EQ(login.answers.size(), 1u);
        EXPECT_EQ(Bytes(login.answers[0].RootElement().GetAttr("TimeStamp")), "99");
        CZelXmlDocument update;
        update.Create("Reg", "Root");
        const std::vector<CZelXmlDocument> answers = run.Request(kRequestAccountUpdate, update, 42);
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(Bytes(answers[0].RootElement().GetAttr("Status")), "OK");
        EXPECT_EQ(Bytes(run.SessionKey()), Bytes(runKey));
    }
    EXPECT_EQ(peer.WaitDone(), 1);
    EXPECT_EQ(types, (std::vector<uint32_t>{1, 3, 27}));
    EXPECT_EQ(statuses, (std::vector<std::string>{"Requesting sever keys...", "Sever keys are received."}));

    const CZelXmlNode root = Parsed(loginText).RootElement();
    EXPECT_EQ(Bytes(root.GetAttr(kAttrCommand)), "ReqTimestamp");
    EXPECT_EQ(Bytes(root.GetAttr(kAttrLastUpdatesTimeStamp)), "9223372036854775807");
    EXPECT_EQ(Bytes(root.FindChild(kElementSessionKey).GetAttr(kAttrSessionKeyNum)), "6");
}

TEST_F(ServerRequestsTest, WorkerRunWithoutServerKeysSaysOnlyThatItAsked)
{
    ScriptedHttpPeer peer({[&](PeerConnection& c) {
        c.ReadRequest();
        c.Send(HttpAnswer("", "HTTP/1.1 500 Internal Server Error"));
        c.WaitForClientClose();
    }});
    UseServer(peer);
    std::vector<std::string> statuses;
    CZelServerRun run(m_server, kKeyNumContactList, kHttpLongWriteTimeoutMs,
                      [&](const char* text) { statuses.push_back(text); });
    EXPECT_FALSE(run.RequestServerKeys().IsComplete());
    EXPECT_EQ(statuses, (std::vector<std::string>{"Requesting sever keys..."}));
}

TEST_F(ServerRequestsTest, WorkerRunPassesSocketErrorsOn)
{
    int port = 0;
    {
        ScriptedHttpPeer closed({});
        port = closed.Port();
    }
    CZelServerRun run({CZelString(("127.0.0.1:" + std::to_string(port)).c_str()), "/velmo"}, kKeyNumAccountRun,
                      kHttpWriteTimeoutMs);
    EXPECT_THROW(run.RequestServerKeys(), XTOOSockErr);
}

} // namespace
