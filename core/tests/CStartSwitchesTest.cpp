#include "core/CStartSwitches.h"

#include <gtest/gtest.h>

namespace {

struct SwitchCase {
    std::vector<std::string> words;
    int firstStart;
    bool convert;
};

TEST(StartSwitchesTest, WordsAreComparedExactly)
{
    const std::vector<SwitchCase> cases = {
        {{}, 0, false},
        {{"/firststart"}, 1, false},
        {{"/firststart", "/firststart"}, 2, false},
        {{"/FIRSTSTART", "/Convert", "firststart", "/firststart "}, 0, false},
        {{"/convert"}, 0, true},
        {{"other", "/convert", "/firststart"}, 1, true},
    };
    for (const SwitchCase& c : cases) {
        const CStartSwitches switches = CStartSwitches::Parse(c.words);
        EXPECT_EQ(switches.FirstStartCount(), c.firstStart);
        EXPECT_EQ(switches.Convert(), c.convert);
        EXPECT_EQ(CStartSwitches::ConvertRequested(), c.convert);
    }
}

TEST(StartSwitchesTest, ConvertStepsRegisteredByLaterCodeRun)
{
    CStartSwitches::ClearConvertSteps();
    std::vector<int> ran;
    CStartSwitches::AddConvertStep([&ran] { ran.push_back(1); });
    CStartSwitches::AddConvertStep([&ran] { ran.push_back(2); });
    EXPECT_EQ(CStartSwitches::RunConvertSteps(), 2);
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
    CStartSwitches::ClearConvertSteps();
    EXPECT_EQ(CStartSwitches::RunConvertSteps(), 0);
}

} // namespace
