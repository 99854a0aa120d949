// Runs the built `velmo` program as a user would: a headless gateway in an empty home folder,
// stopped by signals, and the `config` subcommand.

#include "foundation/testing/ChildProcess.h"
#include "foundation/testing/FreePort.h"
#include "foundation/testing/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* const kVelmo = VELMO_BINARY_DIR "/bin/velmo";
constexpr int kStopBoundMs = 11000;

// The built program with its standard output and error on pipes.
class Program : public velmo_testing::ChildProcess {
public:
    explicit Program(const std::vector<std::string>& args) : ChildProcess(kVelmo, args) {}
};

struct Result {
    int status;
    std::string out;
    std::string err;
};

Result RunToEnd(const std::vector<std::string>& args)
{
    Program program(args);
    const int status = program.Wait(30000);
    return {status, program.RestOfOutput(), program.Errors()};
}

class VelmoProgramTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(fs::exists(kVelmo)) << kVelmo; }

    std::set<std::string> HomeEntries() const
    {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(home))
            names.insert(entry.path().filename().string());
        return names;
    }
    std::string ReadHomeFile(const std::string& name) const
    {
        return velmo_testing::ReadFileText(home / name);
    }

    // The gateway's two local servers on ports of their own, so that programs started side by
    // side never compete for the default ones.
    void UseFreeServerPorts() const
    {
        std::ofstream(home / "config.xml") << "<?xml?>\r\n<!DOCTYPE Config>\r\n<Config SmtpServerPort=\""
                                           << velmo_testing::FreePort() << "\" Pop3ServerPort=\""
                                           << velmo_testing::FreePort() << "\" >\r\n</Config>\r\n";
    }

    velmo_testing::TempDir m_temp{"velmo-program"};
    const fs::path home = m_temp.Path();
};

TEST_F(VelmoProgramTest, HeadlessGatewayStartsAndStopsOnSigterm)
{
    UseFreeServerPorts();
    Program velmo({"--home", home.string(), "--headless"});
    ASSERT_TRUE(velmo.Started());
    // The start line; the servers' own lines may come before or after it.
    std::string line;
    while (velmo.ReadLine(line, 10000) && line != "Velmo is started")
        EXPECT_EQ(line.rfind("[", 0), 0u) << line;
    ASSERT_EQ(line, "Velmo is started") << velmo.Errors();

    velmo.Signal(SIGTERM);
    const int status = velmo.Wait(kStopBoundMs);
    ASSERT_NE(status, -1) << "no orderly stop within 11 s";
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(velmo.Errors(), "");
    // A run that changed no setting leaves nothing in the home but its settings, the lock it
    // shares and the local servers' TLS pair made on this first start.
    EXPECT_EQ(HomeEntries(),
              (std::set<std::string>{"config.xml", "velmo.lock", "local-tls.crt", "local-tls.key"}));
}

TEST_F(VelmoProgramTest, ASecondSigintDuringTheStopDoesNoHarm)
{
    UseFreeServerPorts();
    Program velmo({"--home", home.string(), "--headless"});
    std::string line;
    while (velmo.ReadLine(line, 10000) && line != "Velmo is started") {
    }
    ASSERT_EQ(line, "Velmo is started") << velmo.Errors();
    velmo.Signal(SIGINT);
    velmo.Signal(SIGINT);
    velmo.Signal(SIGTERM);
    const int status = velmo.Wait(kStopBoundMs);
    ASSERT_NE(status, -1);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(VelmoProgramTest, ConfigSetIsReadBackAndKeepsForeignContent)
{
    std::ofstream(home / "config.xml") << "<?xml?>\r\n<!DOCTYPE Config>\r\n<Config Theme=\"dark\" >\r\n"
                                          " <Window Left=\"10\" />\r\n</Config>\r\n";
    const Result set = RunToEnd({"--home", home.string(), "config", "set", "SmtpServerPort", "2525"});
    ASSERT_TRUE(WIFEXITED(set.status));
    EXPECT_EQ(WEXITSTATUS(set.status), 0) << set.err;

    const Result get = RunToEnd({"--home", home.string(), "config", "get", "SmtpServerPort"});
    EXPECT_EQ(get.out, "2525\n");
    EXPECT_EQ(WEXITSTATUS(get.status), 0);

    const std::string text = ReadHomeFile("config.xml");
    EXPECT_NE(text.find("Theme=\"dark\""), std::string::npos) << text;
    EXPECT_NE(text.find("<Window Left=\"10\" />"), std::string::npos) << text;
    EXPECT_NE(text.find("SmtpServerPort=\"2525\""), std::string::npos) << text;
    EXPECT_NE(text.find("BlockSize=\"100\""), std::string::npos) << text;
}

TEST_F(VelmoProgramTest, ABrokenConfigIsReportedAndKeptWhenASetReplacesIt)
{
    std::ofstream(home / "config.xml") << "<Config SmtpServerPort=\"2600\"";
    const Result get = RunToEnd({"--home", home.string(), "config", "get", "SmtpServerPort"});
    EXPECT_EQ(WEXITSTATUS(get.status), 0);
    EXPECT_EQ(get.out, "25\n");
    EXPECT_NE(get.err.find("config.xml does not parse"), std::string::npos) << get.err;

    const Result set = RunToEnd({"--home", home.string(), "config", "set", "Pop3ServerPort", "1110"});
    EXPECT_EQ(WEXITSTATUS(set.status), 0) << set.err;
    std::string kept;
    for (const std::string& name : HomeEntries())
        if (name.rfind("config.xml.broken-", 0) == 0)
            kept = name;
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(ReadHomeFile(kept), "<Config SmtpServerPort=\"2600\"");
    EXPECT_EQ(RunToEnd({"--home", home.string(), "config", "get", "Pop3ServerPort"}).out, "1110\n");
}

TEST_F(VelmoProgramTest, AServerFingerprintIsKeptInTheFormTheFingerprintCommandPrints)
{
    std::string pin;
    for (int i = 0; i < 32; ++i)
        pin += "a0";
    const Result set = RunToEnd({"--home", home.string(), "config", "set", "ServerFingerprint", pin});
    EXPECT_EQ(WEXITSTATUS(set.status), 0) << set.err;
    std::string normal;
    for (int i = 0; i < 32; ++i)
        normal += (i ? ":" : "") + std::string("A0");
    EXPECT_EQ(RunToEnd({"--home", home.string(), "config", "get", "ServerFingerprint"}).out, normal + "\n");
}

TEST_F(VelmoProgramTest, ConfigHomeMayComeFromTheEnvironment)
{
    setenv("VELMO_HOME", home.c_str(), 1);
    const Result set = RunToEnd({"config", "set", "Server", "central.example:8080"});
    const Result get = RunToEnd({"config", "get", "Server"});
    unsetenv("VELMO_HOME");
    EXPECT_EQ(WEXITSTATUS(set.status), 0) << set.err;
    EXPECT_EQ(get.out, "central.example:8080\n");
}

TEST_F(VelmoProgramTest, BadConfigCommandsGiveAOneLineErrorAndChangeNothing)
{
    const std::vector<std::vector<std::string>> cases = {
        {"config", "get", "NoSuchKey"},
        {"config", "set", "NoSuchKey", "1"},
        {"config", "set", "SmtpServerPort", "abc"},
        {"config", "set", "Pop3ServerPort", "70000"},
        {"config", "set", "SmtpServerPort"},
        {"config", "set", "ServerFingerprint", "AB:CD"},
        {"config", "set", "ServerFingerprint", std::string(64, 'g')},
        {"config", "frobnicate"},
        {"tls", "print"},
    };
    for (std::vector<std::string> args : cases) {
        args.insert(args.begin(), {"--home", home.string()});
        const Result result = RunToEnd(args);
        ASSERT_TRUE(WIFEXITED(result.status));
        EXPECT_NE(WEXITSTATUS(result.status), 0) << args[2] << " " << args[3];
        EXPECT_EQ(result.out, "");
        ASSERT_FALSE(result.err.empty());
        EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
    }
    std::set<std::string> left = HomeEntries();
    left.erase("velmo.lock");
    EXPECT_EQ(left, std::set<std::string>{});
}

TEST_F(VelmoProgramTest, UnknownCommandsAndOptionsAreRefused)
{
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"confgi"}, {"--bogus"}, {"--home"}}) {
        const Result result = RunToEnd(args);
        ASSERT_TRUE(WIFEXITED(result.status));
        EXPECT_EQ(WEXITSTATUS(result.status), 2) << args[0];
        EXPECT_EQ(result.err.rfind("velmo: ", 0), 0u) << result.err;
    }
}

TEST_F(VelmoProgramTest, AMissingHomeIsCreated)
{
    const fs::path fresh = home / "new" / "home";
    const Result result = RunToEnd({"--home", fresh.string(), "config", "get", "Server"});
    ASSERT_TRUE(WIFEXITED(result.status));
    EXPECT_EQ(WEXITSTATUS(result.status), 0) << result.err;
    ASSERT_TRUE(fs::is_directory(fresh));
    EXPECT_EQ(fs::status(fresh).permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST_F(VelmoProgramTest, AHomeThatCannotBeMadeIsReported)
{
    std::ofstream(home / "plain") << "x";
    const fs::path bad = home / "plain" / "home";
    const Result result = RunToEnd({"--home", bad.string(), "--headless"});
    ASSERT_TRUE(WIFEXITED(result.status));
    EXPECT_NE(WEXITSTATUS(result.status), 0);
    EXPECT_NE(result.err.find(bad.string()), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("Not a directory"), std::string::npos) << result.err;
}

TEST_F(VelmoProgramTest, ACommandWaitsWhileAnotherProgramHoldsTheHomesLock)
{
    std::ofstream(home / "00000001.xml") << "<!DOCTYPE Reg>\r\n<Root Login=\"ann\" Id=\"1\"/>\r\n";
    const int lock = open((home / "velmo.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);

    Program list({"--home", home.string(), "account", "list"});
    // It cannot end while the lock is held: it reads the account file under it.
    EXPECT_EQ(list.Wait(500), -1) << list.Errors();
    flock(lock, LOCK_UN);
    close(lock);
    const int status = list.Wait(30000);
    ASSERT_NE(status, -1);
    EXPECT_EQ(Program::ExitCode(status), 0) << list.Errors();
    EXPECT_NE(list.RestOfOutput().find("Login: ann"), std::string::npos);
}

} // namespace
