#include "foundation/ZelBase64.h"

#include "foundation/testing/MutationFuzzer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

namespace {

std::string S(const CZelString& s)
{
    return s.ToStd();
}

// RFC 4648 section 10.
const std::pair<const char*, const char*> kRfc4648[] = {
    {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
};

TEST(Base64, Rfc4648Vectors)
{
    for (const auto& [plain, encoded] : kRfc4648) {
        EXPECT_EQ(S(Base64Encode(plain)), encoded);
        const Base64Result decoded = Base64Decode(encoded);
        EXPECT_TRUE(decoded.ok) << encoded;
        EXPECT_EQ(S(decoded.bytes), plain);
        EXPECT_EQ(decoded.stop, static_cast<int32_t>(std::strlen(encoded)));
    }
}

TEST(Base64, LineBreaksNeverAtTheVeryEnd)
{
    EXPECT_EQ(S(Base64Encode("foobar", 4, "\r\n")), "Zm9v\r\nYmFy");
    EXPECT_EQ(S(Base64Encode("foobarx", 4, "\r\n")), "Zm9v\r\nYmFy\r\neA==");
    EXPECT_EQ(S(Base64Encode("foobar", 3, "|")), "Zm9|vYm|Fy");
    EXPECT_EQ(S(Base64Encode("foobar", 0, "|")), "Zm9vYmFy");
    EXPECT_EQ(S(Base64Encode(std::string_view("\0\xFF\xFE", 3))), "AP/+");
}

TEST(Base64, SkipSetAnywhere)
{
    const Base64Result spaced = Base64Decode("Zm 9v Ym Fy", " ");
    EXPECT_TRUE(spaced.ok);
    EXPECT_EQ(S(spaced.bytes), "foobar");

    const Base64Result lines = Base64Decode("Zm9v\r\nYg=\r\n=\r\n");
    EXPECT_TRUE(lines.ok);  // skipped bytes among and after the padding
    EXPECT_EQ(S(lines.bytes), "foob");

    const Base64Result notSkipped = Base64Decode("Zm 9v", "\r\n");
    EXPECT_FALSE(notSkipped.ok);
    EXPECT_EQ(notSkipped.stop, 2);
    EXPECT_EQ(S(notSkipped.bytes), "f");
}

TEST(Base64, IncompleteOrBrokenInput)
{
    struct Case { std::string text; bool ok; std::string bytes; int32_t stop; };
    const Case cases[] = {
        {"Zm9vYg", false, "foob", 6},         // last group incomplete: the bytes so far
        {"Zm9vY", false, "foo", 5},           // a lone 6-bit unit
        {"Zm9vY===", false, "foo", 8},        // padding cannot make a lone unit whole
        {"Zm9v=", false, "foo", 4},           // padding after whole groups stops the decoder
        {"Zg==Zg==", false, "f", 4},          // data after the padding is not read
        {"Zg=", false, "f", 3},
        {"Zm9v!Ym", false, "foo", 4},
        {"Zm9vYmFy", true, "foobar", 8},
    };
    for (const Case& c : cases) {
        const Base64Result r = Base64Decode(c.text);
        EXPECT_EQ(r.ok, c.ok) << c.text;
        EXPECT_EQ(S(r.bytes), c.bytes) << c.text;
        EXPECT_EQ(r.stop, c.stop) << c.text;
    }
}

TEST(Base64, RoundTripOfRandomBytes)
{
    std::mt19937 rng(7);
    for (int size = 0; size < 300; ++size) {
        std::string data(static_cast<size_t>(size), '\0');
        for (char& c : data)
            c = static_cast<char>(rng());
        const CZelString encoded = Base64Encode(data, 76, "\r\n");
        const Base64Result decoded = Base64Decode(encoded);
        ASSERT_TRUE(decoded.ok) << size;
        ASSERT_EQ(S(decoded.bytes), data);
    }
}

TEST(Base64Fuzz, ArbitraryInput)
{
    const std::vector<std::string> seeds = {"Zm9vYmFy", "Zm9v\r\nYg==\r\n", "Zg=", "AP/+ AP/+", "===="};
    velmo_testing::RunMutationFuzzer(seeds, 5000, [](const std::string& input) {
        const Base64Result r = Base64Decode(input, " \r\n");
        EXPECT_GE(r.stop, 0);
        EXPECT_LE(r.stop, static_cast<int32_t>(input.size()));
        EXPECT_LE(r.bytes.Length(), static_cast<int32_t>(input.size() / 4 * 3 + 3));
        if (r.ok) {  // whatever decodes cleanly encodes back to the same bytes
            EXPECT_EQ(S(Base64Decode(Base64Encode(r.bytes)).bytes), S(r.bytes));
        }
    });
}

} // namespace
