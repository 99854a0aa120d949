// The account workers against a stand-in central server on 127.0.0.1: key generation,
// registration, account update, contact list commands, and the one-thread-per-slot rule.

#include "accounts/CAccountData.h"
#include "accounts/CAccountFile.h"
#include "accounts/CAccountStore.h"
#include "accounts/CZelWorkerSlot.h"
#include "accounts/ZelConfiguredServer.h"
#include "accounts/tests/FakeCentral.h"
#include "core/CConfig.h"
#include "crypto/RsaBlockTransform.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/testing/Eventually.h"
#include "foundation/testing/TempDir.h"
#include "testing/SocketsEnvironment.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

using namespace AccountAttr;
using accountstest::FakeCentral;
using accountstest::TestKeys;
using TestHome = velmo_testing::TempHomeTest;
using velmo_testing::Eventually;

// Runs a worker to its end and keeps every status text it set.
template<class T>
std::vector<std::string> RunToEnd(T& thread)
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

class WorkersTest : public TestHome {
protected:
    void SetUp() override
    {
        TestHome::SetUp();
        m_central = std::make_unique<FakeCentral>();
        m_central->accountKey = TestKeys(1);
        m_server = {Format("127.0.0.1:%d", m_central->Port()), "/velmo"};
    }
    void TearDown() override
    {
        m_central.reset();
        TestHome::TearDown();
    }

    // A keyed account saved the way the page saves it.
    CAccountData SaveKeyedAccount(const char* id)
    {
        CAccountData account = CAccountData::New();
        account.login = "ann";
        account.password = "pw";
        account.name = "Ann";
        account.email = "ann@x";
        account.id = id;
        account.n = TestKeys(1).n;
        account.d = TestKeys(1).d;
        account.e = TestKeys(1).e;
        EXPECT_TRUE(CAccountStore::Save(account));
        return account;
    }
    std::unique_ptr<CZelRegisterThread> Prepared(const CAccountData& account, CZelRegisterThread::Mode mode)
    {
        std::unique_ptr<CZelRegisterThread> thread;
        EXPECT_EQ(CZelRegisterThread::Prepare(account.fileName, mode, m_server, thread),
                  CZelRegisterThread::Refusal::None);
        return thread;
    }
    static CZelXmlNode Root(const char* file)
    {
        CZelXmlDocument document;
        EXPECT_TRUE(CAccountFile::Load(file, document));
        return document.RootElement();
    }

    std::unique_ptr<FakeCentral> m_central;
    CZelServerAddress m_server;
};

TEST(KeysGen, MakesAWorkingKeyPairAndReportsItsProgress)
{
    CZelKeysGenThread thread;
    const std::vector<std::string> texts = RunToEnd(thread);
    EXPECT_EQ(thread.Result(), 1);
    ASSERT_GE(texts.size(), 5u);
    EXPECT_EQ(texts.front(), "Generating prime p:");
    EXPECT_EQ(texts.back(), "RSA keys are generated succsessfully");
    EXPECT_EQ(texts[1].rfind("Generating prime p: pass=", 0), 0u) << texts[1];
    EXPECT_NE(texts[1].find("%"), std::string::npos);
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Generating prime q:"), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Generating e: pass 1.1"), texts.end());

    ASSERT_EQ(thread.N().Length(), 128);
    ASSERT_EQ(thread.D().Length(), 128);
    ASSERT_EQ(thread.E().Length(), 128);
    const LongInt2 n(thread.N().Ptr(), 128), d(thread.D().Ptr(), 128), e(thread.E().Ptr(), 128);
    CZelString sealed, opened;
    uint32_t time = 0;
    ASSERT_GT(RsaBlockTransform::Apply(n, d, "hello", 5, 77, sealed), 0);
    ASSERT_EQ(RsaBlockTransform::Invert(n, e, sealed.Ptr(), sealed.Length(), opened, time), 5);
    EXPECT_EQ(opened.ToStd(), "hello");
}

TEST_F(WorkersTest, RegistrationSendsTheIdentityAndLearnsTheId)
{
    const CAccountData account = SaveKeyedAccount("");
    auto thread = Prepared(account, CZelRegisterThread::Mode::Register);
    const std::vector<std::string> texts = RunToEnd(*thread);
    EXPECT_EQ(texts, (std::vector<std::string>{"Requesting sever keys...", "Sever keys are received.",
                                               "Encrypting request for e-mail account ann@x...",
                                               "Sending request...",
                                               "User with id = 42 is registered successfully."}));
    EXPECT_EQ(thread->Result(), 42);
    EXPECT_EQ(thread->AccountId(), 42);

    ASSERT_EQ(m_central->registrations.size(), 1u);
    CZelXmlDocument sent;
    ASSERT_TRUE(sent.Parse(CZelString(m_central->registrations[0])));
    EXPECT_EQ(sent.DocTypeName().ToStd(), "Reg");
    const std::vector<std::string> order = {kName, kTranslitName, kUnicodeName, kBirthday, kIssuedBy, kN,
                                            kE, kEmail, kSecureCode, kAutoReply, kAutoReplyEng};
    ASSERT_EQ(sent.RootElement().AttrCount(), 11);
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(sent.RootElement().AttrName(i).ToStd(), order[static_cast<size_t>(i)]);
    EXPECT_EQ(sent.RootElement().GetAttr(kN).ToStd(), TestKeys(1).n.ToStd());

    // The page's save after the run moves the account to its id.
    CAccountData registered = account;
    registered.id = Format("%D", thread->AccountId());
    ASSERT_TRUE(CAccountStore::Save(registered));
    EXPECT_TRUE(Exists("00000042.xml"));
    EXPECT_FALSE(Exists("--1--.xml"));
}

TEST_F(WorkersTest, RefusedRegistrationShowsTheServersStatus)
{
    m_central->registerStatus = "E-mail is already registered";
    auto thread = Prepared(SaveKeyedAccount(""), CZelRegisterThread::Mode::Register);
    const std::vector<std::string> texts = RunToEnd(*thread);
    EXPECT_EQ(texts.back(), "E-mail is already registered");
    EXPECT_EQ(thread->Result(), -1);
    EXPECT_EQ(thread->AccountId(), -1);
}

TEST_F(WorkersTest, UpdateLogsInAndStoresTheStanding)
{
    auto thread = Prepared(SaveKeyedAccount("42"), CZelRegisterThread::Mode::Update);
    const std::vector<std::string> texts = RunToEnd(*thread);
    EXPECT_EQ(texts, (std::vector<std::string>{"Requesting sever keys...", "Sever keys are received.",
                                               "Sending updating account request...",
                                               "Account is updated successfully."}));
    EXPECT_EQ(thread->Result(), 42);
    EXPECT_EQ(Root("00000042.xml").GetAttr(kUserLevel).ToStd(), "Authorized");
    EXPECT_EQ(Root("00000042.xml").GetAttr(kOperatedStatus).ToStd(), "Normal");
    ASSERT_EQ(m_central->logins.size(), 1u);
    EXPECT_NE(m_central->logins[0].find("LastUpdatesTimeStamp=\"9223372036854775807\""), std::string::npos);
    EXPECT_NE(m_central->logins[0].find("SessionKeyNum=\"6\""), std::string::npos);
    EXPECT_EQ(m_central->sessionKeyNumbers, (std::vector<uint32_t>{6}));
    ASSERT_EQ(m_central->updates.size(), 1u);
    EXPECT_EQ(m_central->updates[0].find("Password"), std::string::npos);
}

struct UpdateFailure {
    const char* title;
    bool answerLogin;
    bool answerUpdate;
    const char* status;
    const char* lastText;
};

class UpdateFailureTest : public WorkersTest, public ::testing::WithParamInterface<UpdateFailure> {};

TEST_P(UpdateFailureTest, EndsWithoutTheId)
{
    m_central->answerLogin = GetParam().answerLogin;
    m_central->answerUpdate = GetParam().answerUpdate;
    m_central->updateStatus = GetParam().status;
    auto thread = Prepared(SaveKeyedAccount("42"), CZelRegisterThread::Mode::Update);
    const std::vector<std::string> texts = RunToEnd(*thread);
    EXPECT_EQ(thread->Result(), -1);
    EXPECT_EQ(texts.back(), GetParam().lastText);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UpdateFailureTest,
    ::testing::Values(UpdateFailure{"NoLoginAnswer", false, true, "OK", "Sever keys are received."},
                      UpdateFailure{"NoUpdateAnswer", true, false, "OK", "Error: no responce"},
                      UpdateFailure{"Refused", true, true, "Failed", "Error: Bad data"}),
    [](const auto& info) { return std::string(info.param.title); });

TEST_F(WorkersTest, UnreachableServerShowsTheSocketError)
{
    m_server.server = "127.0.0.1:1";
    auto thread = Prepared(SaveKeyedAccount("42"), CZelRegisterThread::Mode::Update);
    const std::vector<std::string> texts = RunToEnd(*thread);
    EXPECT_EQ(thread->Result(), -1);
    EXPECT_EQ(texts.back().rfind("error: ", 0), 0u) << texts.back();
}

// The gateway's callers read the configuration; a worker talks to the server it was given,
// whatever the configuration says by the time it runs.
TEST_F(WorkersTest, RunTalksToTheServerItWasGivenNotTheConfiguredOne)
{
    CConfig::Global().Set(CConfig::kServer, "127.0.0.1:1");
    CConfig::Global().Set(CConfig::kUrl, "/configured");
    const CZelServerAddress configured = ConfiguredServerAddress();
    EXPECT_EQ(configured.server.ToStd(), "127.0.0.1:1");
    EXPECT_EQ(configured.url.ToStd(), "/configured");

    SaveKeyedAccount("42");
    CZelContactListModifyThread thread(42, CZelContactListModifyThread::AddToBlackList("eve@x"), m_server);
    RunToEnd(thread);
    EXPECT_EQ(thread.Result(), 1);
    EXPECT_EQ(m_central->commands.size(), 1u);
}

TEST_F(WorkersTest, ABrokenAccountKeyEndsTheUpdateWithUnknownError)
{
    CAccountData account = SaveKeyedAccount("42");
    account.n = "\x05";
    account.d = "\x03";
    ASSERT_TRUE(CAccountStore::Save(account));
    auto thread = Prepared(account, CZelRegisterThread::Mode::Update);
    const std::vector<std::string> texts = RunToEnd(*thread);
    EXPECT_EQ(thread->Result(), -1);
    EXPECT_EQ(texts.back(), "unknown error");
    EXPECT_TRUE(m_central->logins.empty());
}

// A peer on 127.0.0.1 that takes connections and never says a word.
class SilentPeer {
public:
    SilentPeer()
    {
        m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(m_listener, 8) != 0 ||
            getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] {
            for (;;) {
                const int accepted = accept(m_listener, nullptr, nullptr);
                if (accepted < 0)
                    return;
                std::lock_guard<std::mutex> hold(m_lock);
                m_accepted.push_back(accepted);
                m_changed.notify_all();
            }
        });
    }
    ~SilentPeer()
    {
        shutdown(m_listener, SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
        close(m_listener);
        for (int accepted : m_accepted)
            close(accepted);
    }
    int Port() const { return m_port; }
    bool WaitForConnection()
    {
        std::unique_lock<std::mutex> hold(m_lock);
        return m_changed.wait_for(hold, std::chrono::seconds(30), [this] { return !m_accepted.empty(); });
    }

private:
    int m_listener = -1;
    int m_port = 0;
    std::thread m_thread;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<int> m_accepted;
};

struct StoppedWorker {
    const char* title;
    std::function<std::unique_ptr<CZelAccountWorker>(const CAccountData& account)> make;
    bool talksToThePeer;
};

class StoppedWorkerTest : public WorkersTest, public ::testing::WithParamInterface<StoppedWorker> {};

TEST_P(StoppedWorkerTest, AStopEndsTheRunWithinTheBound)
{
    SilentPeer peer;
    ASSERT_GT(peer.Port(), 0);
    CConfig::Global().Set(CConfig::kServer, Format("127.0.0.1:%d", peer.Port()));
    std::unique_ptr<CZelAccountWorker> worker = GetParam().make(SaveKeyedAccount("42"));
    ASSERT_TRUE(worker->Start());
    if (GetParam().talksToThePeer)
        ASSERT_TRUE(peer.WaitForConnection());

    // The contract of a stop; the connection is closed at once, far inside it.
    EXPECT_TRUE(worker->StopAndWait(CZelAccountWorker::kStopWaitMs));
    EXPECT_TRUE(worker->HasEnded());
    EXPECT_LT(worker->Result(), 1) << worker->Status().View();
}

INSTANTIATE_TEST_SUITE_P(
    Workers, StoppedWorkerTest,
    ::testing::Values(
        StoppedWorker{"Update",
                      [](const CAccountData& account) -> std::unique_ptr<CZelAccountWorker> {
                          std::unique_ptr<CZelRegisterThread> thread;
                          CZelRegisterThread::Prepare(account.fileName, CZelRegisterThread::Mode::Update,
                                                      ConfiguredServerAddress(), thread);
                          return thread;
                      },
                      true},
        StoppedWorker{"ContactList",
                      [](const CAccountData&) -> std::unique_ptr<CZelAccountWorker> {
                          return std::make_unique<CZelContactListModifyThread>(
                              42, CZelContactListModifyThread::AddToBlackList("eve@x"), ConfiguredServerAddress());
                      },
                      true},
        StoppedWorker{"KeyGeneration",
                      [](const CAccountData&) -> std::unique_ptr<CZelAccountWorker> {
                          return std::make_unique<CZelKeysGenThread>(CAccountFile::kKeyBytes);
                      },
                      false}),
    [](const auto& info) { return std::string(info.param.title); });

TEST_F(WorkersTest, PrepareRefusesWhatTheModeDoesNotFit)
{
    std::unique_ptr<CZelRegisterThread> thread;
    using R = CZelRegisterThread::Refusal;
    using M = CZelRegisterThread::Mode;
    EXPECT_EQ(CZelRegisterThread::Prepare("--9--.xml", M::Register, m_server, thread), R::Unreadable);
    CAccountData bare = CAccountData::New();
    bare.login = "bare";
    ASSERT_TRUE(CAccountStore::Save(bare));
    EXPECT_EQ(CZelRegisterThread::Prepare(bare.fileName, M::Register, m_server, thread), R::NoKeys);
    const CAccountData unregistered = SaveKeyedAccount("");
    EXPECT_EQ(CZelRegisterThread::Prepare(unregistered.fileName, M::Update, m_server, thread), R::NotRegistered);
    const CAccountData registered = SaveKeyedAccount("5");
    EXPECT_EQ(CZelRegisterThread::Prepare(registered.fileName, M::Register, m_server, thread), R::Registered);
    EXPECT_EQ(thread, nullptr);
}

TEST(ContactListCommands, DocumentsOfTheMenuEntries)
{
    const CZelXmlDocument move = CZelContactListModifyThread::MoveToBlackList("a@x");
    CZelXmlNode first = move.RootElement().FindChild("Command");
    ASSERT_FALSE(first.IsNull());
    const CZelXmlNode second = first.NextSameName();
    EXPECT_EQ(first.GetAttr("action").ToStd(), "-cl");
    EXPECT_EQ(second.GetAttr("action").ToStd(), "+bl");
    bool hasCode = true;
    second.GetAttr("SecureCode", &hasCode);
    EXPECT_FALSE(hasCode);
    EXPECT_FALSE(move.RootElement().GetAttr("TimeStamp").IsEmpty());

    const CZelXmlDocument white = CZelContactListModifyThread::MoveToContactList("a@x", "");
    const CZelXmlNode add = white.RootElement().FindChild("Command").NextSameName();
    EXPECT_EQ(add.GetAttr("action").ToStd(), "+cl");
    add.GetAttr("SecureCode", &hasCode);
    EXPECT_TRUE(hasCode);
}

TEST_F(WorkersTest, ContactListRunSendsTheCommandsAndStoresTheUpdates)
{
    SaveKeyedAccount("42");
    CZelContactListModifyThread thread(42, CZelContactListModifyThread::AddToContactList("bob@x", "C0DE"), m_server);
    const std::vector<std::string> texts = RunToEnd(thread);
    EXPECT_EQ(texts, (std::vector<std::string>{"Requesting sever keys...", "Sever keys are received.",
                                               "Sending contact list modify request...",
                                               "Request is completed"}));
    EXPECT_EQ(thread.Result(), 1);
    EXPECT_EQ(m_central->sessionKeyNumbers, (std::vector<uint32_t>{5}));
    ASSERT_EQ(m_central->commands.size(), 1u);
    EXPECT_NE(m_central->commands[0].find("LastUpdatesTimeStamp=\"0\""), std::string::npos);

    const CZelXmlNode pending = Root("00000042.xml").FindChild(kContactListUpdates);
    EXPECT_EQ(pending.GetAttr(kTimeStamp).ToStd(), "1000");
    EXPECT_EQ(pending.FindChild(kUser).GetAttr(kEmail).ToStd(), "bob@x");

    // The next run asks only for what is newer than the stored time stamp.
    CZelContactListModifyThread again(42, CZelContactListModifyThread::AddToBlackList("eve@x"), m_server);
    RunToEnd(again);
    ASSERT_EQ(m_central->commands.size(), 2u);
    EXPECT_NE(m_central->commands[1].find("LastUpdatesTimeStamp=\"1000\""), std::string::npos);
}

TEST_F(WorkersTest, ARefusedSecondCommandShowsItsStatus)
{
    SaveKeyedAccount("42");
    CZelContactListModifyThread thread(42, CZelContactListModifyThread::MoveToContactList("bob@x", "WRONG"),
                                       m_server);
    const std::vector<std::string> texts = RunToEnd(thread);
    EXPECT_EQ(thread.Result(), -1);
    EXPECT_EQ(texts.back(), "Wrong secure code");
}

TEST_F(WorkersTest, ContactListRunOfAnAccountWithoutFileFails)
{
    CZelContactListModifyThread thread(77, CZelContactListModifyThread::AddToBlackList("eve@x"), m_server);
    const std::vector<std::string> texts = RunToEnd(thread);
    EXPECT_EQ(thread.Result(), -1);
    EXPECT_EQ(texts.back(), "unknown error");
}

TEST_F(WorkersTest, OneThreadPerSlot)
{
    SaveKeyedAccount("42");
    using T = CZelContactListModifyThread;
    auto first = std::make_unique<T>(42, T::AddToBlackList("a@x"), m_server);
    auto second = std::make_unique<T>(42, T::AddToBlackList("b@x"), m_server);
    CZelWorkerSlot<CZelContactListModifyThread>& slot = ContactListSlot();
    ASSERT_TRUE(slot.Start(first));
    EXPECT_EQ(first, nullptr);
    EXPECT_TRUE(slot.IsBusy());
    EXPECT_FALSE(slot.Start(second));
    EXPECT_NE(second, nullptr);
    std::unique_ptr<CZelContactListModifyThread> ended;
    Eventually([&] { return (ended = slot.TakeEnded()) != nullptr; });
    ASSERT_NE(ended, nullptr);
    EXPECT_EQ(ended->Result(), 1);
    EXPECT_FALSE(slot.IsBusy());
    EXPECT_TRUE(slot.Start(second));
    EXPECT_TRUE(Eventually([&] { return (ended = slot.TakeEnded()) != nullptr; }));
}

} // namespace
