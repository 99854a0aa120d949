#include "foundation/CZelCodePage.h"

#include "foundation/testing/MutationFuzzer.h"

#include <gtest/gtest.h>

#include <iconv.h>
#include <string>

namespace {

// Wide bytes (little-endian units) from a u16 literal.
std::string W(std::u16string_view units)
{
    std::string bytes;
    for (char16_t u : units) {
        bytes.push_back(static_cast<char>(u & 0xFF));
        bytes.push_back(static_cast<char>(u >> 8));
    }
    return bytes;
}

std::string S(const CZelString& s)
{
    return s.ToStd();
}

TEST(CodePage1251, BuiltInTable)
{
    struct Case { unsigned char byte; char16_t unit; };
    const Case cases[] = {
        {'A', u'A'}, {0x00, 0x0000}, {0x7F, 0x007F}, {0xC0, 0x0410}, {0xDF, 0x042F}, {0xE0, 0x0430},
        {0xFF, 0x044F}, {0xA8, 0x0401}, {0xB8, 0x0451}, {0x98, u'_'}, {0x80, u'_'}, {0xB9, u'_'},
    };
    for (const Case& c : cases) {
        const char byte = static_cast<char>(c.byte);
        EXPECT_EQ(S(ToWide(std::string_view(&byte, 1), kCodePageWin1251)), W(std::u16string(1, c.unit)))
            << "byte " << int(c.byte);
    }
}

TEST(CodePage1251, WideTo1251UsesTheFullCodePage)
{
    EXPECT_EQ(S(FromWide(W(u"\u0410\u044F\u0401\u0451\u2116\u20AC!"), kCodePageWin1251)), "\xC0\xFF\xA8\xB8\xB9\x88!");
    EXPECT_EQ(S(FromWide(W(u"\u4E2D"), kCodePageWin1251)), "?");
}

TEST(CodePageGuess, PicksUtf8Or1251OrAnsi)
{
    EXPECT_EQ(GuessCodePage("\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"), kCodePageUtf8);  // Привет in UTF-8
    EXPECT_EQ(GuessCodePage("\xCF\xF0\xE8\xE2\xE5\xF2"), kCodePageWin1251);                      // Привет in 1251
    EXPECT_EQ(GuessCodePage("plain ascii"), kCodePageAnsi);
    EXPECT_EQ(GuessCodePage(""), kCodePageAnsi);
    // One well-formed pair among many 1251 letters: the letters win.
    EXPECT_EQ(GuessCodePage("\xD0\x9F\xE0\xE1\xE2"), kCodePageWin1251);
    EXPECT_EQ(S(ToWide("\xCF\xF0", kCodePageGuess)), W(u"\u041F\u0440"));
    EXPECT_EQ(S(ToWide("\xD0\x9F\xD1\x80", kCodePageGuess)), W(u"\u041F\u0440"));
}

TEST(CodePageAnsi, IsUtf8WithSurrogatePairsAndReplacement)
{
    EXPECT_EQ(S(ToWide("a\xF0\x9F\x98\x80" "b", kCodePageAnsi)), W(u"a\U0001F600b"));
    EXPECT_EQ(S(ToWide("\xFF", kCodePageUtf8)), W(u"\uFFFD"));
    EXPECT_EQ(S(FromWide(W(u"a\U0001F600\u041F"), kCodePageAnsi)), "a\xF0\x9F\x98\x80\xD0\x9F");
    EXPECT_EQ(S(FromWide(W(u"\xD800x"), kCodePageUtf8)), "\xEF\xBF\xBDx");  // a lone surrogate
}

TEST(CodePageOther, GoesThroughIconv)
{
    iconv_t probe = iconv_open("UTF-16LE", "CP866");
    if (probe == reinterpret_cast<iconv_t>(-1))
        GTEST_SKIP() << "iconv has no CP866 here";
    iconv_close(probe);
    EXPECT_EQ(S(ToWide("\x8F\xE0", 866)), W(u"\u041F\u0440"));
    EXPECT_EQ(S(FromWide(W(u"\u041F\u0440\u4E2D"), 866)), "\x8F\xE0?");
    // An unknown code page falls back to the ANSI code page.
    EXPECT_EQ(S(ToWide("\xD0\x9F", 99999)), W(u"\u041F"));
}

TEST(Utf8ToWide, ExactRules)
{
    struct Case { std::string in; std::u16string out; };
    const Case cases[] = {
        {"abc", u"abc"},
        {"\xD0\x9F", u"\u041F"},                       // 2 bytes
        {"\xE2\x82\xAC", u"\u20AC"},                   // 3 bytes
        {"\xF0\x9F\x98\x80", u"_"},                    // 4 bytes become '_'
        {"\xFF", u"\u00FF"},                           // a stray byte keeps its value
        {"\x80x", u"\u0080x"},
        {"\xD0", u"\u00D0"},                           // cut short
        {"\xC0\xAF", u"\u00C0\u00AF"},                 // overlong '/' is not decoded
        {"\xE0\x80\xAF", u"\u00E0\u0080\u00AF"},       // overlong 3-byte form
        {"\xED\xA0\xBD", std::u16string(1, char16_t(0xD83D))},  // a surrogate half as the wide-to-UTF-8 side writes it
        {"\xF4\x90\x80\x80", u"\u00F4\u0090\u0080\u0080"},      // beyond U+10FFFF
    };
    for (const Case& c : cases)
        EXPECT_EQ(S(Utf8ToWide(c.in)), W(c.out)) << c.in;
}

TEST(Utf8ToWide, Terminator)
{
    EXPECT_EQ(S(Utf8ToWide("ab", true)), W(std::u16string(u"ab\0", 3)));
    EXPECT_EQ(S(Utf8ToWide(std::string_view("ab\0", 3), true)), W(std::u16string(u"ab\0", 3)));
    EXPECT_EQ(S(Utf8ToWide("", true)), W(std::u16string(1, u'\0')));
    EXPECT_EQ(S(Utf8ToWide("ab", false)), W(u"ab"));
}

TEST(WideToUtf8, EachUnitOnItsOwn)
{
    EXPECT_EQ(S(WideToUtf8(W(u"a\u00E9\u20AC"))), "a\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(S(WideToUtf8(W(u"\U0001F600"))), "\xED\xA0\xBD\xED\xB8\x80");  // halves not joined
    EXPECT_EQ(S(WideToUtf8(W(std::u16string(u"ab\0", 3)))), "ab");
    EXPECT_EQ(S(WideToUtf8(std::string("a\0b", 3))), "");  // odd byte count
    EXPECT_EQ(S(WideToUtf8(std::string())), "");
}

TEST(WideToUtf8, UnitLimit)
{
    const std::string atLimit(2 * static_cast<size_t>(kMaxWideUnits), 'a');
    EXPECT_EQ(WideToUtf8(atLimit).Length(), kMaxWideUnits * 3);  // U+6161 takes three bytes
    const std::string over(2 * (static_cast<size_t>(kMaxWideUnits) + 1), 'a');
    EXPECT_TRUE(WideToUtf8(over).IsEmpty());
}

TEST(WideToUtf8, RoundTripOfEveryUnit)
{
    std::u16string all;
    for (uint32_t u = 1; u <= 0xFFFF; ++u)
        all.push_back(static_cast<char16_t>(u));
    EXPECT_EQ(S(Utf8ToWide(S(WideToUtf8(W(all))))), W(all));
}

TEST(WideFromChar16, CopiesUpToTerminator)
{
    EXPECT_EQ(S(WideFromChar16(u"hi")), W(u"hi"));
    EXPECT_TRUE(WideFromChar16(nullptr).IsEmpty());
}

TEST(Upper, Table1251)
{
    const CZelString text("abc xyz \xE0\xFF\xB8\xB3\xBF\xA2\x9A 123");
    EXPECT_EQ(S(text.Upper(1251)), "ABC XYZ \xC0\xDF\xA8\xB2\xAF\xA1\x8A 123");
    EXPECT_EQ(S(text.Upper(-1)), S(text.Upper(1251)));
}

TEST(Upper, Utf8)
{
    // привет ёж ґ ѝ -> ПРИВЕТ ЁЖ Ґ ѝ (ѝ is no windows-1251 letter)
    const CZelString text("\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xD1\x91\xD0\xB6 \xD2\x91 \xD1\x9D ok");
    const std::string upper = "\xD0\x9F\xD0\xA0\xD0\x98\xD0\x92\xD0\x95\xD0\xA2 \xD0\x81\xD0\x96 \xD2\x90 \xD1\x9D OK";
    EXPECT_EQ(S(text.Upper(65001)), upper);
    EXPECT_EQ(S(text.Upper(-2)), upper);
}

TEST(Upper, OtherCodePagesOnlyLatin)
{
    const CZelString text("ab\xE0\xD0\xBF!z");
    EXPECT_EQ(S(text.Upper(0)), "AB\xE0\xD0\xBF!Z");
    EXPECT_EQ(S(CZelString().Upper(1251)), "");
    const CZelString withNul("a\0b", 3);
    EXPECT_EQ(withNul.Upper(0).View(), std::string_view("A\0B", 3));
}

TEST(CodePageFuzz, ArbitraryBytes)
{
    const std::vector<std::string> seeds = {"\xD0\x9F\xD1\x80", "\xCF\xF0\xE8", "\xF0\x9F\x98\x80\xED\xA0\xBD",
                                            std::string("a\0b\xFF\xC2", 5), "plain"};
    velmo_testing::RunMutationFuzzer(seeds, 3000, [](const std::string& input) {
        const CZelString wide = Utf8ToWide(input, true);
        EXPECT_EQ(wide.Length() % 2, 0);
        WideToUtf8(input);
        ToWide(input, kCodePageGuess);
        ToWide(input, kCodePageWin1251);
        FromWide(input, kCodePageAnsi);
        FromWide(input, kCodePageWin1251);
        const CZelString s{std::string_view(input)};
        for (int cp : {1251, -2, 0})
            EXPECT_EQ(s.Upper(cp).Length(), s.Length());
    });
}

} // namespace
