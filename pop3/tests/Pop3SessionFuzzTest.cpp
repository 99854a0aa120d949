// Random dialogues against a real mailbox: the session never crashes or hangs, answers every
// command with a status line first, and touches no file outside the account's folder.

#include "pop3/CPop3Session.h"

#include "core/CAccountChangeFlags.h"
#include "core/CProtocolListData.h"
#include "foundation/testing/MutationFuzzer.h"
#include "foundation/testing/TempDir.h"
#include "net/CMemoryLineChannel.h"
#include "pop3/CPop3BusyAccounts.h"
#include "pop3/tests/ScriptedPop3Desk.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// Each session writes real files (renumbering, history): small enough for the sanitizer
// builds; VELMO_FUZZ_ITERATIONS overrides.
constexpr uint64_t kDefaultIterations = 2000;

uint64_t Iterations()
{
    const char* text = std::getenv("VELMO_FUZZ_ITERATIONS");
    return text && *text ? std::strtoull(text, nullptr, 10) : kDefaultIterations;
}

const std::string kFolder = "Accounts/00000001";
const std::string kLogin = "USER ann\r\nPASS secret\r\n";
const std::map<std::string, std::string> kMailbox = {
    {"1.msg", "Subject: one\r\nMessage-ID: <one@x>\r\n\r\nHello\r\n.\r\n..two\r\n"},
    {"1.id", "1.1"},
    {"2.msg", ".starts with a dot\nbare line feeds\n\nbody"},
    {"2.id", "1.2"},
    {"3.msg", ""},
    {"3.id", "1.3"},
};

std::vector<std::string> Seeds()
{
    const std::string& login = kLogin;
    return {
        login + "STAT\r\nLIST\r\nLIST 2\r\nUIDL\r\nUIDL 1\r\nRETR 1\r\nTOP 2 1\r\nQUIT\r\n",
        "CAPA\r\nAUTH PLAIN\r\nAPOP x y\r\nUSER ann\r\nCAPA\r\nPASS secret\r\nDELE 1\r\nDELE 1\r\nRSET\r\nDELE 3\r\n"
        "LIST 3\r\nRETR 3\r\nQUIT\r\n",
        login + "DELE 2\r\nTOP 2 0\r\nUIDL 2\r\nNOOP\r\nstat\r\nSTAT 1\r\nRETR 2\r\nRETR 3\r\nQUIT\r\n",
        login + "TOP 1 99999999999\r\nTOP -1 0\r\nLIST -5\r\nDELE 0\r\nRETR x\r\n\r\nXTND\r\n",
        "USER bob\r\n",
        "USER ann\r\nPASS wrong\r\n",
        std::string("\x00\r\n\xff\xfe\r\r\n\n.\r\n", 10),
    };
}

bool StartsWithStatus(const std::string& write)
{
    return write.rfind("+OK", 0) == 0 || write.rfind("-ERR", 0) == 0;
}

std::map<std::string, std::string> FilesOutside(const std::filesystem::path& home)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home)) {
        const std::string path = std::filesystem::relative(entry.path(), home).string();
        if (path.rfind(kFolder, 0) == 0)
            continue;
        files[path] = entry.is_regular_file() ? velmo_testing::ReadFileText(entry.path()) : "<folder>";
    }
    return files;
}

class Pop3SessionFuzzTest : public velmo_testing::TempHomeTest {
protected:
    static void RestoreMailbox()
    {
        std::filesystem::remove_all(kFolder);
        std::filesystem::create_directories(kFolder);
        for (const auto& [name, text] : kMailbox)
            WriteText(kFolder + "/" + name, text);
    }
};

TEST_F(Pop3SessionFuzzTest, RandomDialoguesGetStatusLinesAndTouchOnlyTheAccountsFolder)
{
    WriteText("00000001.xml", "<Root Login=\"ann\" Password=\"secret\" Id=\"1\"/>");
    WriteText("00000002.xml", "<Root Login=\"bob\" Password=\"other\" Id=\"2\"/>");
    RestoreMailbox();
    const std::map<std::string, std::string> outside = FilesOutside(m_home);
    std::set<std::string> allowed = {"MessageHistory.xml"};
    for (const auto& [name, text] : kMailbox)
        allowed.insert(name);

    uint64_t sessions = 0;
    uint64_t loggedIn = 0;
    const auto target = [&](const std::string& input) {
        ++sessions;
        // Most sessions log in first, so the mutants reach the mailbox commands; the rest
        // fuzz the login itself.
        const std::string script = sessions % 4 ? kLogin + input : input;
        CMemoryLineChannel channel(script, sessions % 5 == 0,
                                   sessions % 2 ? CMemoryLineChannel::EAtEnd::Close : CMemoryLineChannel::EAtEnd::Silent);
        pop3_testing::ScriptedPop3Desk desk;
        if (sessions % 3 == 0)
            desk.refusedRemovals = {2};
        if (sessions % 7 == 0)
            desk.standing.operatedStatus = "Disabled";
        CProtocolListData log;
        CPop3Session session(channel, desk, log, CPop3SessionOptions{"mx.test"});
        session.Run();

        for (const std::string& write : channel.Writes()) {
            ASSERT_TRUE(StartsWithStatus(write)) << ::testing::PrintToString(write);
            ASSERT_TRUE(write.ends_with("\r\n")) << ::testing::PrintToString(write);
            // A reply of several lines is a list or a text, closed by its end mark.
            if (write.find("\r\n") + 2 < write.size()) {
                ASSERT_TRUE(write.ends_with("\r\n.\r\n")) << ::testing::PrintToString(write);
            }
        }
        ASSERT_FALSE(CPop3BusyAccounts::IsBusy(1));
        loggedIn += desk.Record().Count("login") && desk.standing.operatedStatus == "Normal";
        ASSERT_EQ(FilesOutside(m_home), outside);
        for (const auto& entry : std::filesystem::directory_iterator(kFolder))
            ASSERT_TRUE(allowed.count(entry.path().filename().string())) << entry.path();
        if (desk.Record().Count("remove") || desk.Record().Count("received"))
            RestoreMailbox();
    };
    velmo_testing::RunMutationFuzzer(Seeds(), Iterations(), target);
    // The mutants must reach the mailbox, not only the login.
    EXPECT_GT(loggedIn, sessions / 2);
    CAccountChangeFlags::Global().Drain();
}

} // namespace
