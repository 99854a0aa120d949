// Two users of the real central server: accounts made and registered with the real `velmo`
// commands against a real `velmo-central` on a free loopback port with its own SQLite file,
// then putting each other on their contact lists, moving one to the black list and back, and
// a wrong secure code refused.

#include "accounts/tests/CentralMailSupport.h"
#include "foundation/testing/ChildProcess.h"
#include "foundation/testing/TempDir.h"
#include "server/CCentralCommand.h"
#include "testing/VelmoRunner.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using accountstest::Lines;
using accountstest::RunResult;

const std::string kVelmo = VELMO_BINARY_DIR "/bin/velmo";
const std::string kCentral = VELMO_BINARY_DIR "/bin/velmo-central";

using accountstest::CentralProcess;

class CentralEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fs::exists(kCentral)) << kCentral;
        m_home = m_root / "home";
        fs::create_directory(m_home);
        m_central = std::make_unique<CentralProcess>(kCentral, (m_root / "central.sqlite3").string());
        ASSERT_GT(m_central->Port(), 0);
        std::ofstream(m_home / "config.xml")
            << "<!DOCTYPE Config>\r\n<Config Server=\"127.0.0.1:" << m_central->Port() << "\"/>\r\n";
    }
    void TearDown() override
    {
        m_central.reset();
    }

    RunResult Velmo(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--home", m_home.string()});
        return accountstest::RunProgram(kVelmo, args, m_root.string());
    }
    void Ok(const std::vector<std::string>& args)
    {
        const RunResult run = Velmo(args);
        ASSERT_EQ(run.code, 0) << args[0] << " " << args[1] << "\n" << run.out << run.err;
    }
    // `account list` as a map from "Id" to that account's block of "key: value" lines.
    std::map<std::string, std::map<std::string, std::string>> List()
    {
        const RunResult run = Velmo({"account", "list"});
        EXPECT_EQ(run.code, 0) << run.err;
        std::map<std::string, std::map<std::string, std::string>> accounts;
        std::map<std::string, std::string> block;
        auto flush = [&] {
            if (!block.empty())
                accounts[block["Id"]] = block;
            block.clear();
        };
        for (const std::string& line : Lines(run.out)) {
            if (line.empty()) {
                flush();
                continue;
            }
            const size_t colon = line.find(':');
            const std::string value = colon + 1 < line.size() ? line.substr(colon + 2) : "";
            block[line.substr(0, colon)] = value;
        }
        flush();
        return accounts;
    }

    velmo_testing::TempDir m_temp{"velmo-e2e"};
    const fs::path m_root = m_temp.Path();
    std::unique_ptr<CentralProcess> m_central;
    fs::path m_home;
};

TEST_F(CentralEndToEndTest, TwoUsersRegisterAndManageTheirLists)
{
    for (const char* login : {"ann", "bob"})
        Ok({"account", "new", "--login", login, "--password", "pw", "--name", std::string("User ") + login, "--email",
            std::string(login) + "@velmo.test"});
    const RunResult registered = Velmo({"account", "register"});
    ASSERT_EQ(registered.code, 0) << registered.out << registered.err;
    EXPECT_NE(registered.out.find("User with id = 1 is registered successfully."), std::string::npos);
    EXPECT_TRUE(fs::exists(m_home / "00000001.xml"));
    EXPECT_TRUE(fs::exists(m_home / "00000002.xml"));
    EXPECT_FALSE(fs::exists(m_home / "--1--.xml"));
    EXPECT_FALSE(fs::exists(m_home / "--2--.xml"));

    Ok({"account", "update", "1"});
    Ok({"account", "update", "2"});
    auto accounts = List();
    ASSERT_EQ(accounts.size(), 2u);
    EXPECT_EQ(accounts["1"]["UserLevel"], "Administrator");
    EXPECT_EQ(accounts["2"]["UserLevel"], "Authorized");
    EXPECT_EQ(accounts["1"]["OperatedStatus"], "Normal");
    EXPECT_EQ(accounts["2"]["OperatedStatus"], "Normal");
    const std::string annCode = accounts["1"]["SecureCode"];
    const std::string bobCode = accounts["2"]["SecureCode"];

    // A wrong code is refused and changes nothing.
    const RunResult wrong = Velmo({"contacts", "add", "1", "bob@velmo.test", "WRONG" + bobCode});
    EXPECT_EQ(wrong.code, 1);
    EXPECT_EQ(wrong.err.rfind("velmo: contacts add failed: ", 0), 0u) << wrong.err;
    EXPECT_EQ(List()["1"]["ContactList"], "");

    Ok({"contacts", "add", "1", "bob@velmo.test", bobCode});
    Ok({"contacts", "add", "2", "ann@velmo.test", annCode});
    accounts = List();
    EXPECT_EQ(accounts["1"]["ContactList"], "bob@velmo.test");
    EXPECT_EQ(accounts["2"]["ContactList"], "ann@velmo.test");

    Ok({"contacts", "to-black", "1", "bob@velmo.test"});
    accounts = List();
    EXPECT_EQ(accounts["1"]["ContactList"], "");
    EXPECT_EQ(accounts["1"]["BlackList"], "bob@velmo.test");

    Ok({"blacklist", "to-white", "1", "bob@velmo.test", bobCode});
    accounts = List();
    EXPECT_EQ(accounts["1"]["ContactList"], "bob@velmo.test");
    EXPECT_EQ(accounts["1"]["BlackList"], "");
}

} // namespace
