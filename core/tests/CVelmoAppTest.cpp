#include "core/CVelmoApp.h"

#include "core/CAccountChangeFlags.h"
#include "core/CProtocolListData.h"
#include "core/CTranslations.h"
#include "core/CZelStartServerThread.h"
#include "foundation/XTOOError.h"
#include "foundation/ZelGlobalLocks.h"
#include "foundation/testing/Eventually.h"
#include "foundation/testing/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class VelmoAppTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous = fs::current_path();
        options.home = CZelString(home.string());
    }
    void TearDown() override
    {
        fs::current_path(previous);
        ZelShareDataLockThrough(CZelString());
        for (int32_t mode = 1; mode <= 4; ++mode)
            CZelStartServerThread::SetBody(mode, {});
    }

    CVelmoApp::Hooks RecordingHooks()
    {
        CVelmoApp::Hooks hooks;
        hooks.socketsStart = [this] { Note("sockets start"); };
        hooks.stopSocketThread = [this] { Note("socket thread stop"); };
        hooks.socketsStop = [this] { Note("sockets stop"); };
        return hooks;
    }
    void Note(const std::string& step)
    {
        std::lock_guard<std::mutex> hold(lock);
        journal.push_back(step);
    }

    fs::path previous;
    velmo_testing::TempDir m_temp{"velmo-app"};
    const fs::path home = m_temp.Path();
    CVelmoApp::Options options;
    std::mutex lock;
    std::vector<std::string> journal;
    std::ostringstream out;
    std::ostringstream err;
};

TEST_F(VelmoAppTest, RunsTheStartUpAndTheOrderlyEndInOrder)
{
    std::ofstream(home / "config.xml") << "<Config SmtpServerPort=\"2626\" Pop3ServerPort=\"1110x\" />";
    std::atomic<int32_t> smtpPort{0}, pop3Port{0};
    CZelStartServerThread::SetBody(CZelStartServerThread::kModeSmtpServer, [&](CZelStartServerThread& self) {
        smtpPort = self.Port();
        Note("smtp server");
        self.StopEvent().Wait(-1);
    });
    CZelStartServerThread::SetBody(CZelStartServerThread::kModePop3Server, [&](CZelStartServerThread& self) {
        pop3Port = self.Port();
        self.StopEvent().Wait(-1);
    });
    CVelmoApp app(options, RecordingHooks());
    CZelStartServerThread::SetBody(CZelStartServerThread::kModePop3Transfers, [&](CZelStartServerThread& self) {
        // Ask for the end only once everything is up, as a user's Ctrl+C would.
        velmo_testing::Eventually([&] { return smtpPort != 0; });
        app.RequestStop();
        self.StopEvent().Wait(-1);
    });

    EXPECT_EQ(app.Run(out, err), 0);

    EXPECT_EQ(fs::current_path(), home);
    EXPECT_EQ(out.str(), "Velmo is started\n");
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(smtpPort, 2626);
    EXPECT_EQ(pop3Port, 1110);
    const std::vector<std::string> expected = {"sockets start", "smtp server", "socket thread stop", "sockets stop"};
    EXPECT_EQ(journal, expected);
    EXPECT_FALSE(fs::exists(home / "config.xml.tmp"));
}

TEST_F(VelmoAppTest, ASocketLibraryFailureEndsTheProgramWithItsText)
{
    std::atomic<bool> served{false};
    CZelStartServerThread::SetBody(CZelStartServerThread::kModeSmtpServer,
                                   [&](CZelStartServerThread&) { served = true; });
    CVelmoApp::Hooks hooks = RecordingHooks();
    hooks.socketsStart = [] { throw XTOOErrMsg("WSAStartup failed"); };
    CVelmoApp app(options, hooks);
    app.RequestStop();

    EXPECT_EQ(app.Run(out, err), 1);
    EXPECT_EQ(err.str(), "Error: WSAStartup failed\n");
    EXPECT_EQ(out.str(), "");
    EXPECT_FALSE(served);
    EXPECT_TRUE(journal.empty());
}

TEST_F(VelmoAppTest, AMissingHomeIsCreatedPrivate)
{
    const fs::path fresh = home / "new" / "home";
    options.home = CZelString(fresh.string());
    CVelmoApp app(options, RecordingHooks());
    app.RequestStop();
    EXPECT_EQ(app.Run(out, err), 0) << err.str();
    ASSERT_TRUE(fs::is_directory(fresh));
    EXPECT_EQ(fs::status(fresh).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(fs::current_path(), fresh);
    // The lock every velmo on this home shares is there, private too.
    EXPECT_EQ(fs::status(fresh / "velmo.lock").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(VelmoAppTest, AHomeThatCannotBeAFolderIsRefused)
{
    std::ofstream(home / "plain") << "x";
    for (const fs::path& bad : {home / "plain", home / "plain" / "below"}) {
        options.home = CZelString(bad.string());
        CVelmoApp app(options, RecordingHooks());
        app.RequestStop();
        err.str("");
        EXPECT_EQ(app.Run(out, err), 1) << bad;
        EXPECT_NE(err.str().find(bad.string()), std::string::npos) << err.str();
        EXPECT_TRUE(journal.empty());
    }
}

TEST_F(VelmoAppTest, FirstStartWritesTheAutostartEntry)
{
    const std::string xdg = (home / "xdg").string();
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::string oldValue = old ? old : "";
    setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
    options.words = {"/firststart"};
    CVelmoApp app(options, RecordingHooks());
    app.RequestStop();
    EXPECT_EQ(app.Run(out, err), 0);
    if (old)
        setenv("XDG_CONFIG_HOME", oldValue.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");

    std::ifstream entry(xdg + "/autostart/velmo.desktop");
    std::stringstream text;
    text << entry.rdbuf();
    EXPECT_NE(text.str().find("\nExec=" + CVelmoApp::ExecutablePath().ToStd() + "\n"), std::string::npos)
        << text.str();
}

TEST_F(VelmoAppTest, HeadlessRunDrainsTheChangeFlags)
{
    std::atomic<bool> drained{false};
    CVelmoApp app(options, RecordingHooks());
    CZelStartServerThread::SetBody(CZelStartServerThread::kModeSmtpTransfers, [&](CZelStartServerThread& self) {
        CAccountChangeFlags::Global().Set(5, CAccountChangeFlags::kSentRecorded);
        drained = velmo_testing::Eventually([] { return CAccountChangeFlags::Global().IsEmpty(); });
        app.RequestStop();
        self.StopEvent().Wait(-1);
    });
    EXPECT_EQ(app.Run(out, err), 0);
    EXPECT_TRUE(drained);
}

TEST_F(VelmoAppTest, HeadlessRunMirrorsBothLogsAndTranslatesItsStartLine)
{
    std::ofstream(home / "Velmo_lang.xml")
        << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<Lang>\r\n <Files>\r\n"
           "  <File FileName=\"VelmoDlg.cpp\">\r\n   <String Src=\"Velmo is started\" TR=\"Velmo runs\" />\r\n"
           "  </File>\r\n </Files>\r\n</Lang>\r\n";
    CVelmoApp app(options, RecordingHooks());
    CZelStartServerThread::SetBody(CZelStartServerThread::kModeSmtpServer, [&](CZelStartServerThread& self) {
        SmtpLog().AddStringEx("220 ready\n");
        CZelStartServerThread::ReportError("err0 EADDRINUSE - Address already in use");
        Pop3Log().AddStringEx("+OK\n");
        app.RequestStop();
        self.StopEvent().Wait(-1);
    });
    EXPECT_EQ(app.Run(out, err), 0);

    const std::string text = out.str();
    EXPECT_NE(text.find("Velmo runs\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[SMTP] 220 ready\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[POP3] +OK\n"), std::string::npos) << text;
    EXPECT_EQ(err.str(), "velmo: err0 EADDRINUSE - Address already in use\n");
    // After the run the translations are gone and the logs no longer print.
    EXPECT_FALSE(TranslationsEnabled());
    SmtpLog().AddStringEx("late\n");
    CZelStartServerThread::ReportError("late");
    EXPECT_EQ(out.str(), text);
    EXPECT_EQ(err.str(), "velmo: err0 EADDRINUSE - Address already in use\n");
}

TEST(VelmoAppHomeTest, HomeComesFromTheOptionThenTheEnvironmentThenTheProgramFolder)
{
    const char* old = std::getenv("VELMO_HOME");
    const std::string oldValue = old ? old : "";
    setenv("VELMO_HOME", "/from/env", 1);
    EXPECT_EQ(CVelmoApp::ResolveHome("/from/option"), "/from/option");
    EXPECT_EQ(CVelmoApp::ResolveHome(""), "/from/env");
    unsetenv("VELMO_HOME");
    EXPECT_EQ(CVelmoApp::ResolveHome("").ToStd(), fs::path(CVelmoApp::ExecutablePath().ToStd()).parent_path().string());
    if (old)
        setenv("VELMO_HOME", oldValue.c_str(), 1);
}

} // namespace
