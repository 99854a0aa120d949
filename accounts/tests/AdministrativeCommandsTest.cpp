// `velmo history`, `velmo report` and `velmo admin` run as programs against the real
// `velmo-central` program on a free loopback port: three users registered over HTTP with their
// account files in the gateway's home, a real message from Alice to Bob that Bob reports.

#include "accounts/tests/CentralMailSupport.h"
#include "foundation/testing/TempDir.h"
#include "history/CMessageHistory.h"
#include "testing/SocketsEnvironment.h"
#include "testing/VelmoRunner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using accountstest::CentralProcess;
using accountstest::Lines;
using accountstest::RunResult;
using mailtest::Alice;
using mailtest::Bob;
using mailtest::Carol;
using mailtest::Client;
using mailtest::User;

const std::string kVelmo = VELMO_BINARY_DIR "/bin/velmo";
const std::string kCentral = VELMO_BINARY_DIR "/bin/velmo-central";

const std::vector<std::string> kSuccessTexts = {"Requesting sever keys...", "Sever keys are received.",
                                                "Setting session key", "Sending administrate request...", "Success"};

// A gateway home of its own and the `velmo` program run in it.
class VelmoHomeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fs::exists(kVelmo)) << kVelmo;
        m_home = m_root / "home";
        fs::create_directory(m_home);
    }

    RunResult Velmo(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--home", m_home.string()});
        return accountstest::RunProgram(kVelmo, args, m_root.string());
    }

    velmo_testing::TempDir m_temp{"velmo-admin"};
    const fs::path m_root = m_temp.Path();
    fs::path m_home;
};

class AdministrativeCommandsTest : public VelmoHomeTest {
protected:
    void SetUp() override
    {
        VelmoHomeTest::SetUp();
        ASSERT_TRUE(fs::exists(kCentral)) << kCentral;
        m_central = std::make_unique<CentralProcess>(kCentral, (m_root / "central.sqlite3").string());
        ASSERT_GT(m_central->Port(), 0);
        std::ofstream(m_home / "config.xml")
            << "<!DOCTYPE Config>\r\n<Config Server=\"127.0.0.1:" << m_central->Port() << "\"/>\r\n";
        m_client = std::make_unique<Client>(m_central->Port());
        for (User* user : {&m_alice, &m_bob, &m_carol})
            ASSERT_TRUE(m_client->Register(*user));
        accountstest::WriteAccountFile(m_alice, "Administrator", true, m_home.string());
        accountstest::WriteAccountFile(m_bob, "Authorized", true, m_home.string());
    }
    void TearDown() override
    {
        m_client.reset();
        m_central.reset();
    }

    // Bob's gateway downloaded the message: its entry in his history.
    void RecordDownloadForBob(const CZelString& messageId)
    {
        velmo_testing::ScopedWorkingDirectory inHome(m_home);
        ASSERT_TRUE(CMessageHistory::RecordReceived(m_bob.id, messageId,
                                                    {"Alice", "Alice", {}, "1", m_alice.email.c_str(), "1"},
                                                    1700000000000000));
    }

    std::unique_ptr<CentralProcess> m_central;
    std::unique_ptr<Client> m_client;
    User m_alice = Alice();
    User m_bob = Bob();
    User m_carol = Carol();
};

TEST_F(AdministrativeCommandsTest, ASpamReportIsSentRecordedAndShownInTheHistory)
{
    accountstest::AllowSender(*m_client, m_bob, m_alice);
    const CZelString messageId = accountstest::SendDeliveredMessage(*m_client, m_alice, m_bob);
    ASSERT_FALSE(messageId.IsEmpty());
    RecordDownloadForBob(messageId);

    const RunResult report = Velmo({"report", "spam", "2", messageId.ToStd()});
    ASSERT_EQ(report.code, 0) << report.out << report.err;
    EXPECT_EQ(Lines(report.out), kSuccessTexts);

    const RunResult history = Velmo({"history", "2"});
    ASSERT_EQ(history.code, 0) << history.err;
    const std::vector<std::string> lines = Lines(history.out);
    ASSERT_EQ(lines.size(), 1u) << history.out;
    EXPECT_EQ(lines[0].rfind("in  ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("  alice@example.org  " + messageId.ToStd() + "  downloaded spam"), std::string::npos)
        << lines[0];

    // A message the server does not hold for Bob: refused, nothing recorded.
    const RunResult unknown = Velmo({"report", "virus", "2", "999.1"});
    EXPECT_EQ(unknown.code, 1);
    EXPECT_NE(unknown.err.find("failed: 0 positive and 1 negative responses, first error messsage: No such message"),
              std::string::npos)
        << unknown.err;
    EXPECT_EQ(Velmo({"history", "2"}).out, history.out);
}

TEST_F(AdministrativeCommandsTest, OnlyAnAdministratorChangesAUsersLevel)
{
    const RunResult refused = Velmo({"admin", "restrict", "2", m_carol.email});
    EXPECT_EQ(refused.code, 1);
    EXPECT_TRUE(refused.out.empty()) << refused.out;
    EXPECT_NE(refused.err.find("account 2 is not an administrator; nothing was sent"), std::string::npos) << refused.err;
    EXPECT_EQ(accountstest::LevelAtLogin(*m_client, m_carol), "Authorized");

    const RunResult restricted = Velmo({"admin", "restrict", "1", m_carol.email});
    ASSERT_EQ(restricted.code, 0) << restricted.out << restricted.err;
    EXPECT_EQ(Lines(restricted.out), kSuccessTexts);
    EXPECT_EQ(accountstest::LevelAtLogin(*m_client, m_carol), "Restricted");

    const RunResult authorized = Velmo({"admin", "authorize", "1", m_carol.email});
    ASSERT_EQ(authorized.code, 0) << authorized.out << authorized.err;
    EXPECT_EQ(accountstest::LevelAtLogin(*m_client, m_carol), "Authorized");

    // The server's refusal is the command's failure.
    const RunResult unknown = Velmo({"admin", "authorize", "1", "nobody@example.org"});
    EXPECT_EQ(unknown.code, 1);
    EXPECT_NE(unknown.err.find("No such user"), std::string::npos) << unknown.err;
}

struct UsageCase {
    const char* title;
    std::vector<std::string> args;
    int code;
    const char* error;
    friend void PrintTo(const UsageCase& c, std::ostream* out) { *out << c.title; }
};

class AdministrativeUsageTest : public VelmoHomeTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(AdministrativeUsageTest, IsRefusedWithAReason)
{
    const RunResult run = Velmo(GetParam().args);
    EXPECT_EQ(run.code, GetParam().code);
    EXPECT_NE(run.err.find(GetParam().error), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AdministrativeUsageTest,
    ::testing::Values(UsageCase{"ReportWithoutMessageId", {"report", "spam", "2"}, 2, "usage: velmo report"},
                      UsageCase{"ReportOfAnUnknownKind", {"report", "phishing", "2", "1.1"}, 2, "usage: velmo report"},
                      UsageCase{"AdminOfAnUnknownKind", {"admin", "delete", "1", "x@y"}, 2, "usage: velmo admin"},
                      UsageCase{"HistoryWithoutId", {"history"}, 2, "usage: velmo history"},
                      UsageCase{"HistoryOfAnUnknownAccount", {"history", "99"}, 1, "no account with id 99"},
                      UsageCase{"ReportForAnUnknownAccount", {"report", "spam", "99", "1.1"}, 1, "no account with id 99"}),
    [](const ::testing::TestParamInfo<UsageCase>& info) { return std::string(info.param.title); });

} // namespace
