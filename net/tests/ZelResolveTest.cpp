// Host texts, dotted addresses and the resolver.
#include "net/ZelResolve.h"

#include "foundation/XTOOError.h"
#include "foundation/testing/MutationFuzzer.h"
#include "net/CZelConnectionInTimeCharacteristics.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

struct SplitCase {
    const char* text;
    bool split;
    const char* host;
    int port;
};

TEST(ZelResolve, SplitsATrailingDecimalPort)
{
    const SplitCase cases[] = {
        {"mail.example.org:8080", true, "mail.example.org", 8080},
        {"10.0.0.1:25", true, "10.0.0.1", 25},
        {"host:0", true, "host", 0},
        {"host:65535", true, "host", 65535},
        {"host", false, "host", 80},
        {"host:", false, "host:", 80},
        {"host:65536", false, "host:65536", 80},
        {"host:12x", false, "host:12x", 80},
        {"host:123456", false, "host:123456", 80},
        {"a:b:25", true, "a:b", 25},
        {"", false, "", 80},
    };
    for (const auto& c : cases) {
        CZelString host;
        int port = 80;
        EXPECT_EQ(ZelSplitHostPort(c.text, host, port), c.split) << c.text;
        EXPECT_EQ(host, c.host) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
    }
}

// Whatever the text, a split gives back exactly the host, ':' and the port's digits.
TEST(ZelResolve, SplittingAnyTextLosesNothing)
{
    const std::vector<std::string> seeds = {"mail.example.org:8080", "127.0.0.1:25", "host:", ":80",
                                            "a:b:c:65535", "|+0.0.0.0:110", "10.20.30.40", "1.2.3.4", std::string("x\0y:1", 5)};
    velmo_testing::RunMutationFuzzer(seeds, 20000, [](const std::string& input) {
        const CZelString text(input);
        CZelString host;
        int port = -7;
        if (ZelSplitHostPort(text, host, port)) {
            ASSERT_GE(port, 0);
            ASSERT_LE(port, 65535);
            ASSERT_EQ(text.Left(host.Length()), host);
            ASSERT_EQ(text[host.Length()], ':');
            ASSERT_EQ(std::stoi(text.Mid(host.Length() + 1).ToStd()), port);
        } else {
            ASSERT_EQ(host, text);
            ASSERT_EQ(port, -7);
        }
        uint32_t address = 0;
        if (ZelParseDottedIPv4(text, address)) {
            ASSERT_EQ(ZelDottedIPv4(address), text) << "only the one canonical spelling is taken";
        }
    });
}

TEST(ZelResolve, DottedAddressesAreStrict)
{
    uint32_t address = 0;
    EXPECT_TRUE(ZelParseDottedIPv4("127.0.0.1", address));
    EXPECT_EQ(address, 0x7F000001u);
    EXPECT_TRUE(ZelParseDottedIPv4("255.255.255.255", address));
    EXPECT_EQ(address, 0xFFFFFFFFu);
    for (const char* bad : {"", "127.1", "256.0.0.1", "1.2.3.4.5", "1.2.3.x", " 1.2.3.4", "localhost"})
        EXPECT_FALSE(ZelParseDottedIPv4(bad, address)) << bad;
    EXPECT_FALSE(ZelParseDottedIPv4(CZelString("1.2.3.4\0junk", 12), address));
    EXPECT_EQ(ZelDottedIPv4(0xC0A80001u), "192.168.0.1");
}

TEST(ZelResolve, ADottedTextIsUsedWithoutALookup)
{
    EXPECT_EQ(ZelResolveHost("10.1.2.3", CZelString()), std::vector<uint32_t>{0x0A010203u});
}

TEST(ZelResolve, LocalhostResolvesToLoopback)
{
    const auto addresses = ZelResolveHost("localhost", CZelString());
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), 0x7F000001u), addresses.end());
}

TEST(ZelResolve, AFailedLookupNamesTheCallAndTheSocket)
{
    try {
        ZelResolveFirst("nothing-here.invalid", "Connection to nothing-here.invalid");
        FAIL() << "resolved";
    } catch (const XTOOSockDnsErr& error) {
        const std::string text = error.GetText().ToStd();
        EXPECT_EQ(text.rfind("Connection to nothing-here.invalid:gethostbyname(\"nothing-here.invalid\") ", 0), 0u)
            << text;
    }
    EXPECT_THROW(ZelResolveFirst("", CZelString()), XTOOSockDnsErr);
    EXPECT_THROW(ZelResolveFirst(CZelString("local\0host", 10), CZelString()), XTOOSockDnsErr);
}

TEST(TrafficStatistics, RatesOverEachWindow)
{
    CZelConnectionInTimeCharacteristics stats;
    stats.Reset(0);
    stats.Add(1000, 0);
    stats.Add(1000, 400);
    EXPECT_DOUBLE_EQ(stats.Rate(0, 500), 4000.0) << "2000 bytes in the first half second";
    EXPECT_EQ(stats.Total(), 2000);

    // A second later the one-second window has forgotten them; the minute has not.
    EXPECT_DOUBLE_EQ(stats.Rate(0, 1600), 0.0);
    EXPECT_DOUBLE_EQ(stats.Rate(1, 2000), 1000.0);
    EXPECT_DOUBLE_EQ(stats.Rate(1, 59000), 2000.0 / 59.0) << "over the 59 s since the reset";
    EXPECT_DOUBLE_EQ(stats.Rate(1, 61000), 0.0);
    EXPECT_GT(stats.Rate(3, 61000), 0.0) << "the day still counts them";
    // Long gaps and unknown windows are harmless.
    EXPECT_DOUBLE_EQ(stats.Rate(2, 10LL * 86400 * 1000), 0.0);
    EXPECT_DOUBLE_EQ(stats.Rate(7, 0), 0.0);
    stats.Add(-5, 0);
    EXPECT_EQ(stats.Total(), 2000);
}

} // namespace
