// The `velmo account`, `contacts` and `blacklist` commands as a user runs them, against the
// stand-in central server on 127.0.0.1.

#include "accounts/tests/FakeCentral.h"
#include "foundation/testing/TempDir.h"
#include "testing/VelmoRunner.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using accountstest::FakeCentral;
using accountstest::Lines;
using accountstest::RunResult;

const std::string kVelmo = VELMO_BINARY_DIR "/bin/velmo";

class AccountCommandsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_home = m_root / "home";
        fs::create_directory(m_home);
        std::ofstream(m_home / "config.xml")
            << "<!DOCTYPE Config>\r\n<Config Server=\"127.0.0.1:" << m_central.Port() << "\"/>\r\n";
    }

    RunResult Velmo(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--home", m_home.string()});
        return accountstest::RunProgram(kVelmo, args, m_root.string());
    }
    std::string NewAccount(const std::string& login)
    {
        const RunResult made = Velmo({"account", "new", "--login", login, "--password", "pw", "--name", "Ёж " + login,
                                      "--email", login + "@x"});
        EXPECT_EQ(made.code, 0) << made.err;
        return made.out;
    }
    std::string Read(const std::string& file)
    {
        std::ifstream in(m_home / file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    FakeCentral m_central;
    velmo_testing::TempDir m_temp{"velmo-commands"};
    const fs::path m_root = m_temp.Path();
    fs::path m_home;
};

TEST_F(AccountCommandsTest, NewMakesAKeyedAccountInItsTemporaryFile)
{
    const RunResult made =
        Velmo({"account", "new", "--login", "ann", "--password", "pw", "--name", "Щукин Ёж", "--email", "ann@x",
               "--birthday", "1990", "--issued-by", "Office 5"});
    ASSERT_EQ(made.code, 0) << made.err;
    EXPECT_EQ(made.out, "--1--.xml\n");
    EXPECT_NE(made.err.find("RSA keys are generated succsessfully"), std::string::npos);
    const std::string text = Read("--1--.xml");
    EXPECT_NE(text.find("TranslitName=\"Schukin Ezh\""), std::string::npos) << text;
    EXPECT_NE(text.find("IssuedBy=\"Office 5\""), std::string::npos);
    struct stat info {};
    ASSERT_EQ(stat((m_home / "--1--.xml").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    EXPECT_EQ(NewAccount("bob"), "--2--.xml\n");
    const RunResult again = Velmo({"account", "new", "--login", "ann", "--password", "x", "--name", "n", "--email", "e"});
    EXPECT_EQ(again.code, 1);
    EXPECT_NE(again.err.find("already used"), std::string::npos);
}

struct UsageCase {
    std::vector<std::string> args;
    int code;
    const char* message;
};

class CommandErrorsTest : public AccountCommandsTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(CommandErrorsTest, GiveOneClearLine)
{
    const RunResult run = Velmo(GetParam().args);
    EXPECT_EQ(run.code, GetParam().code);
    EXPECT_NE(run.err.find(GetParam().message), std::string::npos) << run.err;
    EXPECT_EQ(run.err.rfind("velmo: ", 0), 0u) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandErrorsTest,
    ::testing::Values(UsageCase{{"account", "new", "--login", "a"}, 2, "needs --password"},
                      UsageCase{{"account", "new", "--colour", "red"}, 2, "unknown option --colour"},
                      UsageCase{{"account", "update", "7"}, 1, "no account with id 7"},
                      UsageCase{{"account", "update", "x"}, 1, "'x' is not an account id"},
                      UsageCase{{"account", "frob"}, 2, "account needs"},
                      UsageCase{{"contacts", "add", "7", "a@x"}, 2, "contacts add ID EMAIL CODE"},
                      UsageCase{{"contacts", "add", "7", "a@x", "C"}, 1, "no account with id 7"},
                      UsageCase{{"blacklist", "frob"}, 2, "blacklist add ID EMAIL"}));

TEST_F(AccountCommandsTest, RegisterUpdateAndListCommands)
{
    NewAccount("ann");
    NewAccount("bob");
    const RunResult registered = Velmo({"account", "register"});
    ASSERT_EQ(registered.code, 0) << registered.err;
    const std::vector<std::string> lines = Lines(registered.out);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "User with id = 42 is registered successfully."), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "42"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "43"), lines.end());
    EXPECT_TRUE(fs::exists(m_home / "00000042.xml"));
    EXPECT_TRUE(fs::exists(m_home / "00000043.xml"));
    EXPECT_FALSE(fs::exists(m_home / "--1--.xml"));
    EXPECT_FALSE(fs::exists(m_home / "--2--.xml"));

    const RunResult updated = Velmo({"account", "update", "42"});
    ASSERT_EQ(updated.code, 0) << updated.err;
    EXPECT_NE(updated.out.find("Account is updated successfully."), std::string::npos);

    const RunResult added = Velmo({"contacts", "add", "42", "carl@x", "C0DE"});
    ASSERT_EQ(added.code, 0) << added.err;
    EXPECT_EQ(Lines(added.out).back(), "Request is completed");
    const RunResult refused = Velmo({"blacklist", "to-white", "42", "dan@x", "WRONG"});
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("Wrong secure code"), std::string::npos) << refused.err;
    ASSERT_EQ(Velmo({"contacts", "to-black", "42", "eve@x"}).code, 0);

    const RunResult listed = Velmo({"account", "list"});
    ASSERT_EQ(listed.code, 0);
    EXPECT_NE(listed.out.find("file: 00000042.xml\nId: 42\nLogin: ann\nemail: ann@x\nUserLevel: Authorized\n"
                              "OperatedStatus: Normal\n"),
              std::string::npos)
        << listed.out;
    EXPECT_NE(listed.out.find("ContactList: carl@x\nBlackList: eve@x\n"), std::string::npos) << listed.out;

    const RunResult nothing = Velmo({"account", "register"});
    EXPECT_EQ(nothing.code, 0);
    EXPECT_NE(nothing.err.find("no keyed, unregistered account"), std::string::npos);
}

TEST_F(AccountCommandsTest, RefusedRegistrationKeepsTheTemporaryFile)
{
    m_central.SetRegisterStatus("E-mail is already registered");
    NewAccount("ann");
    const RunResult run = Velmo({"account", "register"});
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("E-mail is already registered"), std::string::npos) << run.err;
    EXPECT_TRUE(fs::exists(m_home / "--1--.xml"));
}

TEST_F(AccountCommandsTest, UnreachableServerAndUnkeyedAccount)
{
    std::ofstream(m_home / "00000009.xml") << "<!DOCTYPE Reg>\r\n<Root Login=\"x\" Id=\"9\"/>\r\n";
    const RunResult unkeyed = Velmo({"contacts", "remove", "9", "a@x"});
    EXPECT_EQ(unkeyed.code, 1);
    EXPECT_NE(unkeyed.err.find("has no RSA keys"), std::string::npos) << unkeyed.err;

    NewAccount("ann");
    std::ofstream(m_home / "config.xml") << "<!DOCTYPE Config>\r\n<Config Server=\"127.0.0.1:1\"/>\r\n";
    const RunResult run = Velmo({"account", "register"});
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("ECONNREFUSED"), std::string::npos) << run.err;
}

} // namespace
