// The administrative worker: against the real central server in this process (users registered
// over HTTP, their account files written as the gateway keeps them), and against a scripted
// HTTP peer for the answers the real server never gives.

#include "accounts/CZelAdministrativeThread.h"

#include "accounts/CAccountFile.h"
#include "accounts/tests/CentralMailSupport.h"
#include "foundation/testing/Eventually.h"
#include "foundation/testing/TempDir.h"
#include "history/CMessageHistory.h"
#include "server/CCentralHttpServer.h"
#include "server/CCentralMessages.h"
#include "server/CCentralServer.h"
#include "server/CCentralStore.h"
#include "testing/CentralServerFixture.h"
#include "testing/MailTestSupport.h"
#include "testing/ScriptedHttpPeer.h"
#include "testing/SocketsEnvironment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace mailtest;

namespace {

using accountstest::AllowSender;
using accountstest::SendDeliveredMessage;
using accountstest::WriteAccountFile;
using EKind = CZelAdministrativeThread::EKind;
using ERefusal = CZelAdministrativeThread::ERefusal;
using protocoltest::HttpAnswer;
using protocoltest::PeerConnection;
using protocoltest::ScriptedHttpPeer;

const std::vector<std::string> kSuccessTexts = {"Requesting sever keys...", "Sever keys are received.",
                                                "Setting session key", "Sending administrate request...", "Success"};

// Runs the worker to its end and keeps every status text it set.
std::vector<std::string> RunToEnd(CZelAdministrativeThread& thread)
{
    auto texts = std::make_shared<std::vector<std::string>>();
    auto lock = std::make_shared<std::mutex>();
    thread.SetStatusListener([texts, lock](const CZelString& text) {
        std::lock_guard<std::mutex> hold(*lock);
        texts->push_back(text.ToStd());
    });
    EXPECT_TRUE(thread.Start());
    EXPECT_TRUE(thread.Join(120000));
    std::lock_guard<std::mutex> hold(*lock);
    return *texts;
}

// --- Against the real central server ---

class AdministrativeThreadTest : public CentralServerFixture {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(StartServer());
        for (User* user : {&m_alice, &m_bob, &m_carol})
            ASSERT_TRUE(m_client->Register(*user));
        AllowSender(*m_client, m_bob, m_alice);
        WriteAccountFile(m_alice, "Administrator");
        WriteAccountFile(m_bob, "Authorized");
    }

    std::string LevelOf(const User& user) { return m_store->FindAccount(user.id)->userLevel.ToStd(); }

    // Alice's Seed answer (every delivery report), as her login exchange gets it.
    CZelXmlDocument SeedOfAlice()
    {
        const CZelString session = MakeSessionKey();
        const auto prelogin =
            m_client->Login(kRequestPreLogin, m_alice, {{kKeyNumSession, session}, {kKeyNumInbox, MakeSessionKey()}});
        EXPECT_EQ(prelogin.size(), 1u);
        CZelXmlDocument seed;
        seed.Create("doc", "Root");
        seed.RootElement().SetAttr("Seed", prelogin.empty() ? CZelString() : prelogin.front().RootElement().GetAttr("Seed"));
        seed.RootElement().SetAttr("LastDeliveredTimeStamp", "0");
        const auto answers = SealedRequest(kRequestSeed, seed, m_alice.id, kKeyNumSession, session, m_client->Server(),
                                           m_client->Connection(), kHttpWriteTimeoutMs);
        EXPECT_EQ(answers.size(), 1u);
        return answers.empty() ? CZelXmlDocument() : answers.front();
    }
};

TEST_F(AdministrativeThreadTest, AnAdministratorRestrictsAndAuthorizesAUser)
{
    ASSERT_EQ(LevelOf(m_carol), "Authorized");
    for (const auto& [kind, level] : {std::pair{EKind::Restrict, "Restricted"}, std::pair{EKind::Authorize, "Authorized"}}) {
        CZelAdministrativeThread thread(m_alice.id, 3, kind, m_carol.email.c_str(), m_client->Server());
        EXPECT_EQ(RunToEnd(thread), kSuccessTexts);
        EXPECT_EQ(thread.Result(), 1);
        EXPECT_EQ(LevelOf(m_carol), level);
    }
    // The login's answer reached the account file through the update writer.
    CZelXmlDocument account;
    ASSERT_TRUE(CAccountFile::Load(CAccountFile::FileNameFor(m_alice.id), account));
    EXPECT_EQ(account.RootElement().GetAttr(AccountAttr::kUserLevel), "Administrator");
    EXPECT_EQ(account.RootElement().GetAttr(AccountAttr::kOperatedStatus), "Normal");
}

TEST_F(AdministrativeThreadTest, TheServersRefusalIsShownWithItsCounts)
{
    CZelAdministrativeThread thread(m_alice.id, 3, EKind::Restrict, "nobody@example.org", m_client->Server());
    const std::vector<std::string> texts = RunToEnd(thread);
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "0 positive and 1 negative responses, first error messsage: No such user");
    EXPECT_EQ(thread.Result(), -1);
}

TEST_F(AdministrativeThreadTest, ANonAdministratorIsRefusedLocallyWithoutARequest)
{
    std::atomic<bool> contacted{false};
    ScriptedHttpPeer peer({[&](PeerConnection&) { contacted = true; }});
    const CZelServerAddress address{peer.Address().c_str(), "/velmo"};

    for (EKind kind : {EKind::Authorize, EKind::Restrict}) {
        EXPECT_EQ(CZelAdministrativeThread::CheckRefusal(m_bob.id, kind), ERefusal::NotAdministrator);
        EXPECT_FALSE(CZelAdministrativeThread::Start(m_bob.id, 1, kind, m_carol.email.c_str(), address));
        EXPECT_FALSE(AdministrativeSlot().IsBusy());
        // The run asks again: a thread made without the check sends nothing either.
        CZelAdministrativeThread thread(m_bob.id, 1, kind, m_carol.email.c_str(), address);
        EXPECT_TRUE(RunToEnd(thread).empty());
        EXPECT_EQ(thread.Result(), -1);
    }
    EXPECT_FALSE(contacted);
    EXPECT_EQ(LevelOf(m_carol), "Authorized");

    // Reports are every account's; an account without a file has nothing to offer.
    EXPECT_EQ(CZelAdministrativeThread::CheckRefusal(m_bob.id, EKind::ReportSpam), ERefusal::None);
    EXPECT_EQ(CZelAdministrativeThread::CheckRefusal(m_carol.id, EKind::ReportSpam), ERefusal::AccountUnreadable);
}

TEST_F(AdministrativeThreadTest, ASpamReportReachesTheSenderAndIsRecordedForTheRecipient)
{
    const CZelString messageId = SendDeliveredMessage(*m_client, m_alice, m_bob);
    ASSERT_FALSE(messageId.IsEmpty());
    // Bob's gateway stored the message when it downloaded it.
    ASSERT_TRUE(CMessageHistory::RecordReceived(m_bob.id, messageId, {"Alice", "Alice", {}, "1", m_alice.email.c_str(), "1"}, 1));

    ASSERT_TRUE(CZelAdministrativeThread::Start(m_bob.id, 5, EKind::ReportSpam, messageId, m_client->Server()));
    std::unique_ptr<CZelAdministrativeThread> ended;
    ASSERT_TRUE(velmo_testing::Eventually([&] { return (ended = AdministrativeSlot().TakeEnded()) != nullptr; },
                                          std::chrono::seconds(60)));
    EXPECT_EQ(ended->Status(), "Success");
    ASSERT_EQ(ended->Result(), 1);
    EXPECT_EQ(ended->Row(), 5);
    EXPECT_FALSE(AdministrativeSlot().IsBusy());
    // The owner's step after a report that succeeded.
    ASSERT_TRUE(CMessageHistory::RecordAbuseReport(m_bob.id, ended->MessageId(),
                                                   CZelAdministrativeThread::CommandOf(ended->Kind()), 4242));
    CZelXmlDocument bobHistory;
    ASSERT_TRUE(CMessageHistory::Load(m_bob.id, bobHistory));
    const CZelXmlNode received = bobHistory.RootElement().FindChild("Received").FindChild("message");
    EXPECT_EQ(received.GetAttr("AbuseReport"), "AbuseReportSpam");
    EXPECT_EQ(received.GetAttr("LocalAbuseReportTimeStamp"), "4242");

    // Alice's next login exchange learns of it with the delivery.
    const CZelXmlDocument seed = SeedOfAlice();
    const CZelXmlNode report = seed.RootElement().FindChildByAttr("Delivered", "MessageId", messageId);
    ASSERT_FALSE(report.IsNull());
    EXPECT_EQ(report.GetAttr("AbuseReport"), "AbuseReportSpam");
    EXPECT_FALSE(report.GetAttr("TimeStamp").IsEmpty());
    CMessageHistory::RecordDeliveries(m_alice.id, seed);
    CZelXmlDocument aliceHistory;
    ASSERT_TRUE(CMessageHistory::Load(m_alice.id, aliceHistory));
    const CZelXmlNode sent = aliceHistory.RootElement().FindChild("Sent").FindChildByAttr("message", "MessageId", messageId);
    EXPECT_EQ(sent.GetAttr("AbuseReport"), "AbuseReportSpam");
    EXPECT_EQ(sent.GetAttr("Delivered"), report.GetAttr("TimeStamp"));
}

// --- Against a scripted peer ---

// The account and its keys as the peer knows them.
class ScriptedAdministrativeTest : public velmo_testing::TempHomeTest {
protected:
    void SetUp() override
    {
        m_user.id = 21;
        WriteAccountFile(m_user, "Administrator", m_withKeys);
    }

    // The peer's side of one run over one kept-alive connection: the server key answer, the
    // login answered under the key it hands over (when `answerLogin`), then `adminAnswer`
    // sealed with that key (nothing when null). What it received is kept.
    ScriptedHttpPeer::Script Script(const std::string& keyAnswer, bool answerLogin, const char* adminAnswer)
    {
        return [this, keyAnswer, answerLogin, adminAnswer](PeerConnection& connection) {
            if (!connection.ReadRequest())
                return;
            connection.Send(HttpAnswer(Frame(AnswerType(kRequestServerKey), CZelString(std::string_view(keyAnswer))).ToStd()));
            const auto login = connection.ReadRequest();
            if (!login)
                return;
            const CZelString key = OpenLogin(*login);
            connection.Send(HttpAnswer(answerLogin ? Frame(AnswerType(kRequestReqTimestamp),
                                                           SealAnswer(key, "<Root Status=\"OK\"/>"))
                                                         .ToStd()
                                                   : std::string()));
            const auto request = connection.ReadRequest();
            if (!request)
                return;
            KeepRequest(*request, key);
            const CZelString answer =
                adminAnswer ? Frame(AnswerType(kRequestAdministrative), SealAnswer(key, adminAnswer)) : CZelString();
            connection.Send(HttpAnswer(answer.ToStd()));
        };
    }

    CZelString OpenLogin(const protocoltest::PeerRequest& request)
    {
        const std::vector<CZelRecord> records = SplitRecords(CZelString(std::string_view(request.body)));
        int64_t id = 0;
        uint32_t time = 0;
        CZelString text;
        if (records.size() != 1 || records[0].type != kRequestReqTimestamp ||
            !OpenLoginPayload(records[0].payload, m_user.Keys().n, m_user.Keys().e, id, text, time))
            return CZelString();
        CZelXmlDocument login;
        login.Parse(text);
        std::lock_guard<std::mutex> hold(m_lock);
        m_login = text.ToStd();
        return FirstSessionKey(login);
    }

    void KeepRequest(const protocoltest::PeerRequest& request, const CZelString& key)
    {
        const std::vector<CZelRecord> records = SplitRecords(CZelString(std::string_view(request.body)));
        int64_t id = 0;
        uint32_t keyNumber = 0;
        CZelString sealed, plain;
        if (records.size() == 1 && records[0].type == kRequestAdministrative &&
            SplitSealedRequest(records[0].payload, id, keyNumber, sealed) && Unseal(key, sealed, plain)) {
            std::lock_guard<std::mutex> hold(m_lock);
            m_request = plain.ToStd();
            m_requestKeyNumber = keyNumber;
            m_requestAccount = id;
        }
    }

    std::unique_ptr<CZelAdministrativeThread> Thread(const ScriptedHttpPeer& peer, EKind kind = EKind::ReportSpam,
                                                     const char* parameter = "7.7")
    {
        return std::make_unique<CZelAdministrativeThread>(m_user.id, 1, kind, parameter,
                                                          CZelServerAddress{peer.Address().c_str(), "/velmo"});
    }

    User m_user{"root@example.org", "0000000000000000", 3};
    bool m_withKeys = true;
    std::mutex m_lock;
    std::string m_login;
    std::string m_request;
    uint32_t m_requestKeyNumber = 0;
    int64_t m_requestAccount = 0;
};

constexpr char kKeyAnswer[] = "<Root n=\"AB\" e=\"CD\"/>";

struct AnswerCase {
    const char* title;
    const char* keyAnswer;
    bool answerLogin;
    const char* adminAnswer;
    std::vector<std::string> texts;
    int64_t result;
    friend void PrintTo(const AnswerCase& c, std::ostream* out) { *out << c.title; }
};

class AnswerWalkTest : public ScriptedAdministrativeTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerWalkTest, GivesTheStatusAndTheResult)
{
    const AnswerCase& c = GetParam();
    ScriptedHttpPeer peer({Script(c.keyAnswer, c.answerLogin, c.adminAnswer)});
    auto thread = Thread(peer);
    EXPECT_EQ(RunToEnd(*thread), c.texts);
    EXPECT_EQ(thread->Result(), c.result);
    EXPECT_EQ(peer.WaitDone(), 1);   // one kept-alive connection for the whole run

    std::lock_guard<std::mutex> hold(m_lock);
    EXPECT_NE(m_login.find("Command=\"ReqTimestamp\""), std::string::npos) << m_login;
    EXPECT_NE(m_login.find("LastUpdatesTimeStamp=\"9223372036854775807\""), std::string::npos) << m_login;
    EXPECT_NE(m_login.find("SessionKeyNum=\"6\""), std::string::npos) << m_login;
    if (!c.answerLogin) {
        EXPECT_TRUE(m_request.empty());
        return;
    }
    CZelXmlDocument request;
    ASSERT_TRUE(request.Parse(CZelString(std::string_view(m_request)))) << m_request;
    EXPECT_EQ(request.DocTypeName(), "AdminReq");
    EXPECT_EQ(request.RootElement().Name(), "AdminReq");
    const CZelXmlNode command = request.RootElement().FindChild("Command");
    EXPECT_EQ(command.GetAttr("command"), "AbuseReportSpam");
    EXPECT_EQ(command.GetAttr("MessageId"), "7.7");
    EXPECT_EQ(m_requestKeyNumber, 6u);
    EXPECT_EQ(m_requestAccount, m_user.id);
}

const std::vector<std::string> kUpToSending = {"Requesting sever keys...", "Sever keys are received.",
                                               "Setting session key", "Sending administrate request..."};

std::vector<std::string> Then(std::vector<std::string> texts, const std::string& last)
{
    texts.push_back(last);
    return texts;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AnswerWalkTest,
    ::testing::Values(
        AnswerCase{"OnePositiveOneNegative", kKeyAnswer, true,
                   "<Root Status=\"Error\" ErrorMessage=\"the root's\"><Command Status=\"OK\"/>"
                   "<Command Status=\"No such message\" ErrorMessage=\"No such message\"/>"
                   "<Command Status=\"Unknown command\" ErrorMessage=\"second\"/></Root>",
                   Then(kUpToSending, "1 positive and 2 negative responses, first error messsage: No such message"), -1},
        AnswerCase{"NoCommandAndStatusOk", kKeyAnswer, true, "<Root Status=\"OK\"/>", Then(kUpToSending, "Success"), 1},
        AnswerCase{"NoCommandAndAnotherStatus", kKeyAnswer, true, "<Root Status=\"Error\" ErrorMessage=\"No commands\"/>",
                   Then(kUpToSending, "0 positive and 0 negative responses, first error messsage: No commands"), -1},
        AnswerCase{"CommandsDecideOverTheRoot", kKeyAnswer, true,
                   "<Root Status=\"Error\"><Command Status=\"OK\"/><Command Status=\"OK\"/></Root>",
                   Then(kUpToSending, "Success"), 1},
        AnswerCase{"NoAnswerToTheRequest", kKeyAnswer, true, nullptr, Then(kUpToSending, "Error: no responce"), -1},
        AnswerCase{"AnAnswerThatDoesNotParse", kKeyAnswer, true, "<Root Status=\"OK\"", Then(kUpToSending, "Error: no responce"),
                   -1},
        AnswerCase{"NoAnswerToTheLogin", kKeyAnswer, false, nullptr,
                   {"Requesting sever keys...", "Sever keys are received.", "Setting session key",
                    "Setting session key error"},
                   -1},
        AnswerCase{"AnIncompleteServerKeyDoesNotStopTheRequest", "<Root n=\"AB\"/>", true, "<Root Status=\"OK\"/>",
                   {"Requesting sever keys...", "Server responce error", "Setting session key",
                    "Sending administrate request...", "Success"},
                   1}),
    [](const ::testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.title); });

TEST_F(ScriptedAdministrativeTest, MissingParametersAreRefusedBeforeAnyRequest)
{
    std::atomic<bool> contacted{false};
    ScriptedHttpPeer peer({[&](PeerConnection&) { contacted = true; }});
    for (const auto& [kind, parameter] : {std::pair{EKind::ReportVirus, ""}, std::pair{EKind::Authorize, ""},
                                          std::pair{static_cast<EKind>(5), "7.7"}}) {
        auto thread = Thread(peer, kind, parameter);
        EXPECT_EQ(RunToEnd(*thread), std::vector<std::string>{"Incorrect parameters"});
        EXPECT_EQ(thread->Result(), -1);
    }
    EXPECT_FALSE(contacted);
}

class KeylessAdministrativeTest : public ScriptedAdministrativeTest {
protected:
    void SetUp() override
    {
        m_withKeys = false;
        ScriptedAdministrativeTest::SetUp();
    }
};

TEST_F(KeylessAdministrativeTest, AnAccountWithoutKeysCannotLogIn)
{
    ScriptedHttpPeer peer({Script(kKeyAnswer, true, "<Root Status=\"OK\"/>")});
    auto thread = Thread(peer);
    EXPECT_EQ(RunToEnd(*thread), (std::vector<std::string>{"Requesting sever keys...", "Sever keys are received.",
                                                           "RSAEncrypt() error", "unknown error"}));
    EXPECT_EQ(thread->Result(), -1);
}

TEST_F(ScriptedAdministrativeTest, OneRunsAtATimeAndAStopEndsItsWait)
{
    // The peer takes the first request and never answers.
    ScriptedHttpPeer peer({[](PeerConnection& connection) {
        connection.ReadRequest();
        connection.WaitForClientClose();
    }});
    const CZelServerAddress address{peer.Address().c_str(), "/velmo"};
    auto thread = CZelAdministrativeThread::Prepare(m_user.id, 1, EKind::ReportSpam, "7.7", address);
    ASSERT_TRUE(thread);
    CZelAdministrativeThread* running = thread.get();
    ASSERT_TRUE(AdministrativeSlot().Start(thread));
    ASSERT_TRUE(velmo_testing::Eventually([&] { return running->Status() == "Requesting sever keys..."; }));

    EXPECT_EQ(CZelAdministrativeThread::CheckRefusal(m_user.id, EKind::ReportVirus), ERefusal::Busy);
    EXPECT_FALSE(CZelAdministrativeThread::Start(m_user.id, 2, EKind::ReportVirus, "7.8", address));
    EXPECT_EQ(AdministrativeSlot().TakeEnded(), nullptr);

    EXPECT_TRUE(running->StopAndWait(CZelAccountWorker::kStopWaitMs));
    std::unique_ptr<CZelAdministrativeThread> ended = AdministrativeSlot().TakeEnded();
    ASSERT_EQ(ended.get(), running);
    EXPECT_EQ(ended->Result(), -1);
    EXPECT_NE(ended->Status(), "Success");
    EXPECT_EQ(CZelAdministrativeThread::CheckRefusal(m_user.id, EKind::ReportVirus), ERefusal::None);
}

// The stop reaches the worker while its connection is at `step` of its opening. On the
// worker's own thread the stop is only given (a worker's wait for its own end returns at
// once); on the main socket thread it is given and waited for there, holding that thread up
// as a loaded machine would. `given` is ready once that stop call has returned.
struct StopAtStep {
    std::function<void(CZelTcpFile::OpenStep)> observer;
    std::shared_future<void> given;
};

StopAtStep StopAt(CZelTcpFile::OpenStep step, CZelAdministrativeThread& worker)
{
    auto fired = std::make_shared<std::atomic<bool>>(false);
    auto given = std::make_shared<std::promise<void>>();
    StopAtStep stop{{}, given->get_future().share()};
    stop.observer = [step, worker = &worker, fired, given](CZelTcpFile::OpenStep reached) {
        if (reached != step || fired->exchange(true))
            return;
        worker->StopAndWait(CZelAccountWorker::kStopWaitMs);
        given->set_value();
    };
    return stop;
}

TEST_F(ScriptedAdministrativeTest, AStopAtEveryStepOfTheOpeningEndsTheWorker)
{
    using OpenStep = CZelTcpFile::OpenStep;
    // The step that leaves the making of the connection to the main socket thread comes last:
    // that thread may still be at it when the worker has ended.
    for (const OpenStep step : {OpenStep::Resolving, OpenStep::SocketSideMade, OpenStep::Published, OpenStep::Queued}) {
        SCOPED_TRACE(static_cast<int>(step));
        ScriptedHttpPeer peer({[](PeerConnection& connection) {
            connection.ReadRequest();
            connection.WaitForClientClose();
        }});
        std::unique_ptr<CZelAdministrativeThread> thread = Thread(peer);
        const StopAtStep stop = StopAt(step, *thread);
        CZelTcpFile::SetOpenStepObserver(stop.observer);
        ASSERT_TRUE(thread->Start());
        // Also keeps the worker alive while the stop given at the step is still returning.
        ASSERT_EQ(stop.given.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        CZelTcpFile::SetOpenStepObserver({});
        EXPECT_TRUE(thread->StopAndWait(CZelAccountWorker::kStopWaitMs));
        EXPECT_EQ(thread->Result(), -1);
        EXPECT_NE(thread->Status(), "Success");
    }
}

} // namespace
