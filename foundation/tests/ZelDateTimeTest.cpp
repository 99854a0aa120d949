#include "foundation/ZelDateTime.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

class LocalTimeTexts : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* old = std::getenv("TZ");
        m_hadTz = old != nullptr;
        if (old)
            m_oldTz = old;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override
    {
        if (m_hadTz)
            setenv("TZ", m_oldTz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool m_hadTz = false;
    std::string m_oldTz;
};

constexpr int64_t kSecondOfMarch2024 = 1709347506;  // 2024-03-02 02:45:06 UTC

TEST_F(LocalTimeTexts, DateStyles)
{
    EXPECT_EQ(DateText(kSecondOfMarch2024, 2).ToStd(), "02.03.2024");
    EXPECT_EQ(DateText(kSecondOfMarch2024, 0).ToStd(), " 2.03.2024");
    EXPECT_EQ(DateText(kSecondOfMarch2024, 1).ToStd(), "2.03.2024");
    EXPECT_EQ(DateText(0, 2).ToStd(), "01.01.1970");
}

TEST_F(LocalTimeTexts, TimeAndBoth)
{
    EXPECT_EQ(TimeText(kSecondOfMarch2024).ToStd(), "02:45:06");
    EXPECT_EQ(TimeText(86399).ToStd(), "23:59:59");
    EXPECT_EQ(DateTimeText(kSecondOfMarch2024).ToStd(), "02.03.2024 02:45:06");
    EXPECT_EQ(DateTimeText(kSecondOfMarch2024, 0).ToStd(), " 2.03.2024 02:45:06");
}

TEST_F(LocalTimeTexts, UnconvertibleTimes)
{
    EXPECT_EQ(DateText(INT64_MAX).ToStd(), "error_getting_date");
    EXPECT_EQ(TimeText(INT64_MAX).ToStd(), "error_getting_time");
}

TEST(IpText, PlainAndFixedWidth)
{
    EXPECT_EQ(IpText(0x7F000001u).ToStd(), "127.0.0.1");
    EXPECT_EQ(IpText(0x0A000201u, true).ToStd(), "010.000.002.001");
    EXPECT_EQ(IpText(0xFFFFFFFFu, true).ToStd(), "255.255.255.255");
    char buffer[kIpTextSize];
    EXPECT_STREQ(IpText(0xC0A80001u, false, buffer), "192.168.0.1");
}

} // namespace
