#include "foundation/ZelWildcard.h"

#include "foundation/testing/MutationFuzzer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(WildcardMatch, Table)
{
    struct Case { const char* pattern; const char* text; bool match; };
    const Case cases[] = {
        {"*", "", true},
        {"*", "anything", true},
        {"", "", true},
        {"", "a", false},
        {"*.msg", "12.msg", true},
        {"*.msg", "12.msg.bak", false},
        {"*.msg", ".msg", true},
        {"?.id", "7.id", true},
        {"?.id", "17.id", false},
        {"??.id", "17.id", true},
        {"a*b*c", "aXXbYYc", true},
        {"a*b*c", "aXXbYY", false},
        {"a*a*a", "aaaa", true},
        {"*ab", "aab", true},
        {"Inbox", "inbox", false},       // exact: case counts
        {"key.bin", "key.bin", true},
        {"?", "\xD0\x9F", true},         // one UTF-8 character
        {"??", "\xD0\x9F", false},
        {"?", "\xFF", true},             // a stray byte counts as one
        {"*\xD0\x9F", "x\xD0\x9F", true},
        {"*?", "", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(WildcardMatch(c.pattern, c.text), c.match) << c.pattern << " ~ " << c.text;
}

TEST(WildcardMatch, ManyStarsOnLongTextStillAnswers)
{
    const std::string text(20000, 'a');
    EXPECT_FALSE(WildcardMatch("*a*a*a*a*a*a*a*a*a*a*b", text));
    EXPECT_TRUE(WildcardMatch("*a*a*a*a*a*a*a*a*a*a", text));
}

// A plain dynamic-programming matcher over ASCII, to check the fast one against.
bool ReferenceMatch(const std::string& pattern, const std::string& text)
{
    std::vector<std::vector<bool>> m(pattern.size() + 1, std::vector<bool>(text.size() + 1, false));
    m[0][0] = true;
    for (size_t p = 1; p <= pattern.size(); ++p) {
        for (size_t t = 0; t <= text.size(); ++t) {
            const char c = pattern[p - 1];
            if (c == '*')
                m[p][t] = m[p - 1][t] || (t > 0 && m[p][t - 1]);
            else if (t > 0)
                m[p][t] = m[p - 1][t - 1] && (c == '?' || c == text[t - 1]);
        }
    }
    return m[pattern.size()][text.size()];
}

TEST(WildcardMatch, AgreesWithAReferenceMatcher)
{
    // Fuzzed bytes are folded onto a small alphabet so that matches are frequent.
    const auto fold = [](const std::string& input, const char* alphabet, size_t size) {
        std::string out;
        for (char c : input.substr(0, 24))
            out += alphabet[static_cast<unsigned char>(c) % size];
        return out;
    };
    const std::vector<std::string> seeds = {"a*b?a", "ab*ab*", "??*?", "*a*a*a*", "abba"};
    velmo_testing::RunMutationFuzzer(seeds, 4000, [&](const std::string& input) {
        const std::string pattern = fold(input, "ab*?", 4);
        const std::string text = fold(std::string(input.rbegin(), input.rend()), "ab", 2);
        ASSERT_EQ(WildcardMatch(pattern, text), ReferenceMatch(pattern, text)) << pattern << " ~ " << text;
        WildcardMatch(input, input);  // raw bytes on both sides
    });
}

} // namespace
