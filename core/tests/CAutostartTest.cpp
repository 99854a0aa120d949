#include "core/CAutostart.h"

#include "foundation/testing/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name)
    {
        if (const char* old = std::getenv(name))
            m_old = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (m_old)
            setenv(m_name, m_old->c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

class AutostartTest : public ::testing::Test {
protected:
    static std::string Read(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    velmo_testing::TempDir m_temp{"velmo-autostart"};
    const fs::path folder = m_temp.Path();
};

TEST_F(AutostartTest, EntryGoesUnderXdgConfigHomeOrTheHomeFolder)
{
    const std::string config = (folder / "cfg").string();
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", config.c_str());
        EXPECT_EQ(CAutostart::DefaultEntryPath().ToStd(), config + "/autostart/velmo.desktop");
    }
    ScopedEnv home("HOME", folder.c_str());
    for (const char* ignored : {"", "relative/cfg"}) {
        ScopedEnv xdg("XDG_CONFIG_HOME", ignored);
        EXPECT_EQ(CAutostart::DefaultEntryPath().ToStd(), folder.string() + "/.config/autostart/velmo.desktop");
    }
    ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(CAutostart::DefaultEntryPath().ToStd(), folder.string() + "/.config/autostart/velmo.desktop");
}

TEST_F(AutostartTest, AddWritesTheEntryAndRemoveDeletesIt)
{
    ScopedEnv xdg("XDG_CONFIG_HOME", (folder / "cfg").c_str());
    const CAutostart autostart;
    const fs::path entry = folder / "cfg" / "autostart" / "velmo.desktop";

    const CAutostart::Outcome added = autostart.Add("/opt/velmo/bin/velmo");
    EXPECT_TRUE(added.ok);
    EXPECT_EQ(CAutostart::AddMessage(added), "Successfull");
    const std::string text = Read(entry);
    EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
    EXPECT_NE(text.find("\nName=Velmo\n"), std::string::npos);
    EXPECT_NE(text.find("\nExec=/opt/velmo/bin/velmo\n"), std::string::npos);

    // A second add (two "/firststart" words) writes the same entry again.
    EXPECT_TRUE(autostart.Add("/opt/velmo/bin/velmo").ok);
    EXPECT_EQ(Read(entry), text);
    EXPECT_FALSE(fs::exists(entry.string() + ".tmp"));

    const CAutostart::Outcome removed = autostart.Remove();
    EXPECT_TRUE(removed.ok);
    EXPECT_EQ(CAutostart::RemoveMessage(removed), "Sad, but completed");
    EXPECT_FALSE(fs::exists(entry));
    // Removing an entry that is not there is no failure.
    EXPECT_EQ(CAutostart::RemoveMessage(autostart.Remove()), "Sad, but completed");
}

TEST_F(AutostartTest, AFolderThatCannotBeMadeIsReportedWithItsPath)
{
    std::ofstream(folder / "file") << "x";
    const CAutostart autostart(CZelString((folder / "file" / "autostart" / "velmo.desktop").string()));
    const CAutostart::Outcome outcome = autostart.Add("/usr/bin/velmo");
    EXPECT_FALSE(outcome.ok);
    const std::string message = CAutostart::AddMessage(outcome).ToStd();
    EXPECT_EQ(message.rfind("Error: CreateRegError " + (folder / "file" / "autostart").string() + " 20 ", 0), 0u)
        << message;
    EXPECT_NE(message.find("Error code=20"), std::string::npos) << message;
}

TEST_F(AutostartTest, AnEntryThatCannotBeWrittenIsReported)
{
    // A folder in the entry's place cannot be replaced by the new file.
    fs::create_directories(folder / "autostart" / "velmo.desktop" / "inside");
    const CAutostart autostart(CZelString((folder / "autostart" / "velmo.desktop").string()));
    const std::string message = CAutostart::AddMessage(autostart.Add("/usr/bin/velmo")).ToStd();
    EXPECT_EQ(message.rfind("Error: WriteRegError " + (folder / "autostart" / "velmo.desktop").string() + " ", 0), 0u)
        << message;
    EXPECT_FALSE(fs::exists(folder / "autostart" / "velmo.desktop.tmp"));
}

TEST(AutostartExecTest, ArgumentsAreQuotedAsDesktopEntriesRequire)
{
    const struct {
        const char* path;
        const char* exec;
    } cases[] = {
        {"/usr/bin/velmo", "/usr/bin/velmo"},
        {"/home/a b/velmo", "\"/home/a b/velmo\""},
        {"/opt/100%/velmo", "/opt/100%%/velmo"},
        {"/opt/$x/velmo", "\"/opt/\\\\$x/velmo\""},
        {"/opt/back\\slash", "\"/opt/back\\\\\\\\slash\""},
        {"/opt/say\"hi\"", "\"/opt/say\\\\\"hi\\\\\"\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CAutostart::QuoteExecArgument(c.path), c.exec) << c.path;
}

} // namespace
