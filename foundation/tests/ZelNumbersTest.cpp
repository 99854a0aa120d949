#include "foundation/ZelNumbers.h"

#include "foundation/testing/MutationFuzzer.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct DecimalCase {
    std::string text;
    int32_t length;           // -1: up to the NUL
    std::string terminators;
    bool ok;
    int64_t value;            // when ok
    int32_t stop;
};

TEST(ParseDecimal, Table)
{
    const DecimalCase cases[] = {
        {"0", -1, "", true, 0, 1},
        {"12345", -1, "", true, 12345, 5},
        {"+42", -1, "", true, 42, 3},
        {"-42", -1, "", true, -42, 3},
        {"007", -1, "", true, 7, 3},
        {"123abc", -1, "", false, 0, 3},           // a letter that is no terminator
        {"123abc", -1, "a", true, 123, 3},         // ... unless it is one
        {"123 456", -1, " ,", true, 123, 3},
        {"12345", 3, "", true, 123, 3},            // stops after the given length
        {std::string("12\0" "9", 4), 4, "", true, 12, 2},  // a NUL byte ends the number
        {"-", -1, "", false, 0, 1},                // a sign alone
        {"+", -1, "", false, 0, 1},
        {"-x", -1, "x", false, 0, 1},
        {"", -1, "", false, 0, 0},
        {"x1", -1, "", false, 0, 0},
        {" 1", -1, "", false, 0, 0},
        {"9223372036854775807", -1, "", true, INT64_MAX, 19},
        {"9223372036854775808", -1, "", false, 0, 18},   // INT64_MAX + 1
        {"-9223372036854775808", -1, "", true, INT64_MIN, 20},
        {"-9223372036854775809", -1, "", false, 0, 19},
        {"99999999999999999999999", -1, "", false, 0, 18},
    };
    for (const DecimalCase& c : cases) {
        int64_t value = -777;
        int32_t stop = -1;
        const bool ok = ParseDecimal(c.text.data(), c.length, value, c.terminators, &stop);
        EXPECT_EQ(ok, c.ok) << c.text;
        EXPECT_EQ(stop, c.stop) << c.text;
        EXPECT_EQ(value, c.ok ? c.value : -777) << c.text;  // untouched on failure
    }
}

TEST(ParseDecimal, CZelStringOverloadUsesItsLength)
{
    int64_t value = 0;
    EXPECT_TRUE(ParseDecimal(CZelString("20261210"), value));
    EXPECT_EQ(value, 20261210);
    EXPECT_FALSE(ParseDecimal(CZelString(), value));
    EXPECT_FALSE(ParseDecimal(nullptr, -1, value));
}

struct HexCase {
    std::string text;
    int32_t length;
    std::string terminators;
    bool ok;
    uint64_t value;
    int32_t stop;
};

TEST(ParseHex, Table)
{
    const HexCase cases[] = {
        {"0", -1, "", true, 0, 1},
        {"ff", -1, "", true, 0xFF, 2},
        {"DeadBeef", -1, "", true, 0xDEADBEEF, 8},
        {"FFFFFFFFFFFFFFFF", -1, "", true, UINT64_MAX, 16},
        {"10000000000000000", -1, "", false, 0, 16},   // more than 64 bits
        {"12g", -1, "", false, 0, 2},
        {"12;rest", -1, ";", true, 0x12, 2},
        {"abcd", 2, "", true, 0xAB, 2},
        {std::string("a\0b", 3), 3, "", false, 0, 1},  // with a length, a NUL is just a bad byte
        {"", -1, "", false, 0, 0},
        {";", -1, ";", false, 0, 0},
        {"0x10", -1, "", false, 0, 1},
        {"-1", -1, "", false, 0, 0},
    };
    for (const HexCase& c : cases) {
        uint64_t value = 777;
        int32_t stop = -1;
        const bool ok = ParseHex(c.text.data(), c.length, value, c.terminators, &stop);
        EXPECT_EQ(ok, c.ok) << c.text;
        EXPECT_EQ(stop, c.stop) << c.text;
        EXPECT_EQ(value, c.ok ? c.value : 777u) << c.text;
    }
}

// Exact-size heap copies, so that a read past the end trips the sanitizer.
TEST(NumbersFuzz, NeverReadPastTheEnd)
{
    const std::vector<std::string> seeds = {"12345", "-9223372036854775808", "DeadBeef", "+0;", "FFFFFFFFFFFFFFFF0"};
    velmo_testing::RunMutationFuzzer(seeds, 5000, [](const std::string& input) {
        const auto length = static_cast<int32_t>(input.size());
        auto exact = std::make_unique<char[]>(input.size() + 1);
        std::memcpy(exact.get(), input.data(), input.size());
        int64_t decimal = 0;
        uint64_t hex = 0;
        int32_t stop = -1;
        ParseDecimal(exact.get(), length, decimal, ";, ", &stop);
        EXPECT_GE(stop, 0);
        EXPECT_LE(stop, length);
        ParseHex(exact.get(), length, hex, ";", &stop);
        EXPECT_LE(stop, length);
        exact[input.size()] = '\0';  // now as a NUL-terminated text
        ParseDecimal(exact.get(), -1, decimal, {}, &stop);
        EXPECT_LE(stop, length);
        ParseHex(exact.get(), -1, hex, {}, &stop);
        EXPECT_LE(stop, length);
    });
}

} // namespace
