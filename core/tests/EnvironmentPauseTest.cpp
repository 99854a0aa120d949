// A pause that an environment variable may shorten: only a whole number from 1 to the default
// counts; anything else leaves the default.

#include "core/ZelEnvironmentPause.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

namespace {

constexpr char kVariable[] = "VELMO_TEST_PAUSE_MS";
constexpr int kDefaultMs = 5000;

struct PauseCase {
    const char* name;
    const char* text;   // null: the variable is not set
    int expected;
};

class EnvironmentPauseTest : public ::testing::TestWithParam<PauseCase> {
protected:
    void TearDown() override { unsetenv(kVariable); }
};

TEST_P(EnvironmentPauseTest, GivesTheShorterPauseOrTheDefault)
{
    if (GetParam().text)
        setenv(kVariable, GetParam().text, 1);
    else
        unsetenv(kVariable);
    EXPECT_EQ(EnvironmentPauseMs(kVariable, kDefaultMs), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, EnvironmentPauseTest,
                         ::testing::Values(PauseCase{"Unset", nullptr, kDefaultMs},
                                           PauseCase{"Empty", "", kDefaultMs},
                                           PauseCase{"Shorter", "50", 50},
                                           PauseCase{"One", "1", 1},
                                           PauseCase{"TheDefault", "5000", kDefaultMs},
                                           PauseCase{"Longer", "5001", kDefaultMs},
                                           PauseCase{"Zero", "0", kDefaultMs},
                                           PauseCase{"Negative", "-5", kDefaultMs},
                                           PauseCase{"TrailingText", "50ms", kDefaultMs},
                                           PauseCase{"NotANumber", "soon", kDefaultMs},
                                           PauseCase{"Huge", "99999999999999999999", kDefaultMs}),
                         [](const ::testing::TestParamInfo<PauseCase>& info) { return std::string(info.param.name); });

} // namespace
