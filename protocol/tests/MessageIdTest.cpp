// Which message ids the gateway lets become part of a file name.

#include "protocol/ZelMessageId.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct IdCase {
    const char* id;
    bool safe;
};

class MessageIdTest : public ::testing::TestWithParam<IdCase> {};

TEST_P(MessageIdTest, OnlyDottedDecimalIdsOfAtMost64BytesAreSafe)
{
    EXPECT_EQ(IsSafeMessageId(CZelString(GetParam().id)), GetParam().safe) << GetParam().id;
}

INSTANTIATE_TEST_SUITE_P(Ids, MessageIdTest,
                         ::testing::Values(IdCase{"1", true}, IdCase{"17.3", true}, IdCase{"1.2.3.4", true},
                                           IdCase{"", false}, IdCase{".", false}, IdCase{"1.", false},
                                           IdCase{".1", false}, IdCase{"1..2", false},
                                           IdCase{"../../00000001.xml", false}, IdCase{"1/2", false},
                                           IdCase{"1 2", false}, IdCase{"-1", false}, IdCase{"1\n", false}));

TEST(MessageIdLengthTest, SixtyFourBytesPassAndSixtyFiveDoNot)
{
    EXPECT_TRUE(IsSafeMessageId(CZelString(std::string(64, '7').c_str())));
    EXPECT_FALSE(IsSafeMessageId(CZelString(std::string(65, '7').c_str())));
}

} // namespace
