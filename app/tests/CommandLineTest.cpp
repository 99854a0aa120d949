#include "app/CCommandLine.h"
#include "app/CCommandTable.h"
#include "app/CSignalStop.h"
#include "foundation/testing/Eventually.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <sstream>
#include <unistd.h>

namespace {

CCommandLine ParseWords(std::vector<const char*> words)
{
    words.insert(words.begin(), "velmo");
    return CCommandLine::Parse(static_cast<int>(words.size()), words.data());
}

TEST(CommandLineTest, SharedOptionsAreTakenOutWhereverTheyStand)
{
    const CCommandLine line = ParseWords({"config", "--home", "/h", "set", "--headless", "Url", "/x"});
    EXPECT_EQ(line.error, "");
    EXPECT_EQ(line.home, "/h");
    EXPECT_TRUE(line.headless);
    EXPECT_EQ(line.words, (std::vector<std::string>{"config", "set", "Url", "/x"}));
    EXPECT_EQ(line.Command(), "config");

    const CCommandLine gateway = ParseWords({"--home=/h2", "/firststart", "/convert", "--listen-any"});
    EXPECT_EQ(gateway.home, "/h2");
    EXPECT_TRUE(gateway.listenAny);
    EXPECT_EQ(gateway.Command(), "");
    EXPECT_EQ(gateway.words, (std::vector<std::string>{"/firststart", "/convert"}));
}

TEST(CommandLineTest, ValuesThatLookLikeOptionsStayWithTheCommand)
{
    EXPECT_EQ(ParseWords({"config", "set", "BlockSize", "-1"}).words.back(), "-1");
    const CCommandLine escaped = ParseWords({"config", "set", "Url", "--", "--odd"});
    EXPECT_EQ(escaped.error, "");
    EXPECT_EQ(escaped.words.back(), "--odd");
}

TEST(CommandLineTest, BadOptionsAreErrors)
{
    EXPECT_NE(ParseWords({"--home"}).error, "");
    EXPECT_NE(ParseWords({"--home="}).error, "");
    EXPECT_NE(ParseWords({"--home", ""}).error, "");
    EXPECT_NE(ParseWords({"--frobnicate"}).error, "");
    EXPECT_TRUE(ParseWords({"-h"}).help);
}

TEST(CommandTableTest, DispatchHandsTheCommandItsOwnArguments)
{
    CCommandTable table;
    std::vector<std::string> seen;
    table.Add("config", "config ...", [&seen](CCommandContext& context) {
        seen = context.args;
        return 7;
    });
    std::ostringstream out, err;
    EXPECT_EQ(table.Dispatch(ParseWords({"/convert", "config", "get", "Url"}), out, err), 7);
    EXPECT_EQ(seen, (std::vector<std::string>{"get", "Url"}));

    EXPECT_EQ(table.Dispatch(ParseWords({"account", "list"}), out, err), kExitUsage);
    EXPECT_EQ(err.str().rfind("velmo: unknown command 'account'\n", 0), 0u);
    EXPECT_NE(table.Usage().find("config ..."), std::string::npos);
}

TEST(SignalStopTest, TheFirstSignalStopsAndLaterOnesAreSwallowed)
{
    std::atomic<int> stops{0};
    {
        CSignalStop stop([&stops] { ++stops; });
        kill(getpid(), SIGINT);
        velmo_testing::Eventually([&] { return stop.SignalsTaken() >= 1; });
        kill(getpid(), SIGINT);
        kill(getpid(), SIGTERM);
        velmo_testing::Eventually([&] { return stop.SignalsTaken() >= 3; });
        EXPECT_EQ(stop.SignalsTaken(), 3);
    }
    EXPECT_EQ(stops, 1);
}

} // namespace
