#include "foundation/CZelFormat.h"

#include "foundation/testing/MutationFuzzer.h"
#include "foundation/testing/TempDir.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

std::string S(const CZelString& s)
{
    return s.ToStd();
}

template<class T>
std::string Printf(const char* format, T value)
{
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

// Every standard conversion must come out as the C library prints it.
TEST(FormatPrintf, StandardConversionsMatchPrintfByteForByte)
{
    int anInt = 0;
    EXPECT_EQ(S(Format("%d", -5)), Printf("%d", -5));
    EXPECT_EQ(S(Format("%i", 7)), Printf("%i", 7));
    EXPECT_EQ(S(Format("%u", 3000000000u)), Printf("%u", 3000000000u));
    EXPECT_EQ(S(Format("%x", 255)), Printf("%x", 255));
    EXPECT_EQ(S(Format("%08X", 0xBEEFu)), Printf("%08X", 0xBEEFu));
    EXPECT_EQ(S(Format("%02x", 5)), Printf("%02x", 5));
    EXPECT_EQ(S(Format("%03d", 7)), Printf("%03d", 7));
    EXPECT_EQ(S(Format("%.03d", 7)), Printf("%.03d", 7));
    EXPECT_EQ(S(Format("%2d", 123)), Printf("%2d", 123));
    EXPECT_EQ(S(Format("%-5d|", 3)), Printf("%-5d|", 3));
    EXPECT_EQ(S(Format("%+d", 4)), Printf("%+d", 4));
    EXPECT_EQ(S(Format("% d", 4)), Printf("% d", 4));
    EXPECT_EQ(S(Format("%#x", 255)), Printf("%#x", 255));
    EXPECT_EQ(S(Format("%o", 8)), Printf("%o", 8));
    EXPECT_EQ(S(Format("%x", -1)), Printf("%x", -1));               // an int stays 32 bits wide
    EXPECT_EQ(S(Format("%d", 0xFFFFFFFFu)), Printf("%d", -1));
    EXPECT_EQ(S(Format("%lld", LLONG_MIN)), Printf("%lld", LLONG_MIN));
    EXPECT_EQ(S(Format("%llx", ULLONG_MAX)), Printf("%llx", ULLONG_MAX));
    EXPECT_EQ(S(Format("%lu", 1ul << 40)), Printf("%lu", 1ul << 40));
    EXPECT_EQ(S(Format("%hd", 70000)), Printf("%hd", static_cast<short>(70000)));
    EXPECT_EQ(S(Format("%hhu", 300)), Printf("%hhu", static_cast<unsigned char>(300)));
    EXPECT_EQ(S(Format("%c", 'A')), Printf("%c", 'A'));
    EXPECT_EQ(S(Format("%5c|%-3c|", 'z', 'y')), std::string("    z|y  |"));
    EXPECT_EQ(S(Format("%p", static_cast<void*>(&anInt))), Printf("%p", static_cast<void*>(&anInt)));
    EXPECT_EQ(S(Format("%p", nullptr)), Printf("%p", static_cast<void*>(nullptr)));
    EXPECT_EQ(S(Format("%.1lf", 2.25)), Printf("%.1lf", 2.25));
    EXPECT_EQ(S(Format("%.4lf", 3.14159265)), Printf("%.4lf", 3.14159265));
    EXPECT_EQ(S(Format("%10.3lf|", -1.5)), Printf("%10.3lf|", -1.5));
    EXPECT_EQ(S(Format("%-12.2le|", 12345.678)), Printf("%-12.2le|", 12345.678));
    EXPECT_EQ(S(Format("%lg %lG %lE", 1e-5, 2e20, 3.5)), std::string(Printf("%g", 1e-5)) + " " +
                                                           Printf("%G", 2e20) + " " + Printf("%E", 3.5));
    EXPECT_EQ(S(Format("%s", "abc")), "abc");
    EXPECT_EQ(S(Format("%.2s|%5s|%-5s|", "abc", "ab", "cd")), Printf("%.2s|", "abc") + "   ab|cd   |");
    EXPECT_EQ(S(Format("%*d|%-*d|%.*f", 5, 42, 4, 1, 2, 1.0)), std::string("   42|1   |1.00"));
    EXPECT_EQ(S(Format("%*d|", -5, 42)), Printf("%-5d|", 42));
}

// Every combination of flags, width and precision for the integer conversions, against the
// C library.
TEST(FormatPrintf, IntegerConversionsAgreeWithPrintfForAllFlagCombinations)
{
    const char* flagSet = "-+ #0";
    const char* widths[] = {"", "1", "5", "12", "*"};
    const char* precisions[] = {"", ".", ".0", ".1", ".3", ".10"};
    const long long values[] = {0, 1, -1, 7, 255, -4096, LLONG_MIN, LLONG_MAX};
    int compared = 0;
    for (char letter : std::string("diuoxX")) {
        for (int flags = 0; flags < 32; ++flags) {
            std::string flagText;
            for (int f = 0; f < 5; ++f)
                if (flags & (1 << f))
                    flagText += flagSet[f];
            if (flagText.find('#') != std::string::npos && (letter == 'd' || letter == 'i' || letter == 'u'))
                continue;  // '#' is undefined for these
            for (const char* width : widths) {
                for (const char* precision : precisions) {
                    const std::string spec = "[%" + flagText + width + precision + "ll" + letter + "]";
                    for (long long value : values) {
                        char expected[128];
                        if (width[0] == '*')
                            std::snprintf(expected, sizeof expected, spec.c_str(), 9, value);
                        else
                            std::snprintf(expected, sizeof expected, spec.c_str(), value);
                        const CZelString ours = width[0] == '*' ? Format(spec.c_str(), 9, value)
                                                                : Format(spec.c_str(), value);
                        ASSERT_EQ(S(ours), std::string(expected)) << spec << " of " << value;
                        ++compared;
                    }
                }
            }
        }
    }
    EXPECT_GT(compared, 10000);
}

TEST(FormatPrintf, FloatWithoutLongIsRoundedToSinglePrecision)
{
    EXPECT_EQ(S(Format("%.10f", 0.1)), Printf("%.10f", static_cast<double>(0.1f)));
    EXPECT_EQ(S(Format("%.10lf", 0.1)), "0.1000000000");
    EXPECT_EQ(S(Format("%.10Lf", 0.1)), "0.1000000000");
    EXPECT_EQ(S(Format("%.1f", 7)), "7.0");  // an integer handed to %f is its value
}

TEST(FormatD, ThousandsSeparators)
{
    EXPECT_EQ(S(Format("%,D", int64_t{0})), "0");
    EXPECT_EQ(S(Format("%,D", int64_t{999})), "999");
    EXPECT_EQ(S(Format("%,D", int64_t{1000})), "1,000");
    EXPECT_EQ(S(Format("%,D", int64_t{1234567})), "1,234,567");
    EXPECT_EQ(S(Format("%,D", int64_t{-1234567})), "-1,234,567");
    EXPECT_EQ(S(Format("%,D", INT64_MIN)), "-9,223,372,036,854,775,808");
}

TEST(FormatD, SignsWidthAndZeroPadding)
{
    EXPECT_EQ(S(Format("%08D", int64_t{7})), "00000007");
    EXPECT_EQ(S(Format("%08D.xml", int64_t{123})), "00000123.xml");
    EXPECT_EQ(S(Format("%08D", int64_t{-7})), "-0000007");
    EXPECT_EQ(S(Format("%D", INT64_MAX)), "9223372036854775807");
    EXPECT_EQ(S(Format("%D", INT64_MIN)), "-9223372036854775808");
    EXPECT_EQ(S(Format("%+D|%+D|%+D", int64_t{5}, int64_t{0}, int64_t{-5})), "+5|0|-5");
    EXPECT_EQ(S(Format("%5D|%-5D|", 42, 42)), "   42|42   |");
    EXPECT_EQ(S(Format("%-08D|", 42)), "42      |");
    EXPECT_EQ(S(Format("%D", 4294967295u)), "4294967295");  // an unsigned int keeps its value
}

TEST(FormatS, PrecisionKeepsFirstOrLastBytes)
{
    const CZelString abc("abc");
    EXPECT_EQ(S(Format("%5.2S", &abc)), "   bc");
    EXPECT_EQ(S(Format("%-5.2S", &abc)), "ab   ");
    EXPECT_EQ(S(Format("%.2S", abc)), "ab");
    EXPECT_EQ(S(Format("%5S|%-5S|", abc, abc)), "  abc|abc  |");
    EXPECT_EQ(S(Format("%1.2S", abc)), "bc");
    EXPECT_EQ(S(Format("[%S]", static_cast<const CZelString*>(nullptr))), "[(null)]");
}

TEST(FormatS, KeepsEmbeddedNulBytes)
{
    const CZelString bytes("a\0b", 3);
    const CZelString out = Format("<%S>", bytes);
    EXPECT_EQ(out.Length(), 5);
    EXPECT_EQ(out.View(), std::string_view("<a\0b>", 5));
    // %s stops at the NUL, as printf does.
    EXPECT_EQ(S(Format("<%s>", bytes)), "<a>");
}

TEST(FormatS, WideTextIsWrittenAsUtf8)
{
    EXPECT_EQ(S(Format("%lS", u"\u041F\u0440\u0438")), "\xD0\x9F\xD1\x80\xD0\xB8");
    EXPECT_EQ(S(Format("%ls", u"\U0001F600")), "\xF0\x9F\x98\x80");
    EXPECT_EQ(S(Format("%5.2lS", u"abc")), "   bc");
    EXPECT_EQ(S(Format("%lS", static_cast<const char16_t*>(nullptr))), "(null)");
}

TEST(FormatS, TextsOfEveryCharSignedness)
{
    const unsigned char bytes[] = "ok";
    std::string owned = "owned";
    char* mutableText = owned.data();
    EXPECT_EQ(S(Format("%s %s %s %S", bytes, mutableText, owned, std::string_view("view"))), "ok owned owned view");
}

TEST(FormatS, NullTextGivesNullMarker)
{
    EXPECT_EQ(S(Format("%s", static_cast<const char*>(nullptr))), "(null)");
    EXPECT_EQ(S(Format("%s|%d", nullptr)), "(null)|0");  // a missing argument reads as 0
}

TEST(FormatI, Ipv4Address)
{
    EXPECT_EQ(S(Format("%I", 0x7F000001u)), "127.0.0.1");
    EXPECT_EQ(S(Format("connect (%I, %d)", 0xC0A80164u, 25)), "connect (192.168.1.100, 25)");
    EXPECT_EQ(S(Format("%I", 0xFFFFFFFFu)), "255.255.255.255");
}

TEST(FormatMisc, PercentUnknownLettersAndEnd)
{
    EXPECT_EQ(S(Format("100%%")), "100%");
    EXPECT_EQ(S(Format("50%")), "50%");
    EXPECT_EQ(S(Format("%y%d", 3)), "%y3");  // an unknown letter is copied and takes no argument
    EXPECT_EQ(S(Format("")), "");
    EXPECT_EQ(S(Format("plain text")), "plain text");
}

using InTemporaryDirectory = velmo_testing::TempHomeTest;

TEST_F(InTemporaryDirectory, NullFormatIsLoggedAsUnreadable)
{
    EXPECT_EQ(S(Format(nullptr)), "");
    EXPECT_EQ(S(FormatTr(nullptr, CZelString("[%1]"), 5)), "[]");
    std::ifstream log("logs/memory_access.txt");
    std::string line;
    int lines = 0;
    while (std::getline(log, line)) {
        ++lines;
        EXPECT_NE(line.find(": __is_bad_string_ptr(): memory access error at ptr="), std::string::npos) << line;
        EXPECT_NE(line.find(", len=-1, SrcFile=unknown, SrcLine=-1"), std::string::npos) << line;
    }
    EXPECT_EQ(lines, 2);
}

TEST(FormatMisc, WidthIsCapped)
{
    EXPECT_EQ(Format("%*d", 100000000, 1).Length(), 655360);
    EXPECT_EQ(Format("%999999999s", "x").Length(), 655360);
}

TEST(FormatMisc, PercentNStoresOnlyIntoAnInt)
{
    int count = -1;
    EXPECT_EQ(S(Format("abc%ndef", &count)), "abcdef");
    EXPECT_EQ(count, 3);
}

TEST(FormatTr, PiecesInTemplateOrder)
{
    const CZelString name("Ann");
    EXPECT_EQ(S(FormatTr("%S%d", CZelString("%2 messages for %1"), name, 5)), "5 messages for Ann");
    EXPECT_EQ(S(FormatTr("%S%d", CZelString("[%3]"), name, 5)), "[]");
    EXPECT_EQ(S(FormatTr("%S%d", CZelString("100%% %1"), name, 5)), "100% Ann");
    EXPECT_EQ(S(FormatTr("%S%d", CZelString("%0|%12|%1"), name, 5)), "||Ann");
    EXPECT_EQ(S(FormatTr("%S", CZelString("a%x %"), name)), "a%x %");
    EXPECT_EQ(S(FormatTr("%.1lf%08D", CZelString("%2 at %1"), 2.25, int64_t{42})), "00000042 at 2.2");
}

TEST(FormatTr, TextOutsideConversionsIsIgnored)
{
    EXPECT_EQ(S(FormatTr("x%dy%%z%s", CZelString("%1/%2"), 1, "two")), "1/two");
}

TEST(FormatTr, TwoDigitReferences)
{
    std::string argFormat;
    for (int i = 0; i < 12; ++i)
        argFormat += "%d";
    EXPECT_EQ(S(FormatTr(argFormat.c_str(), CZelString("%12,%1,%10"), 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12)),
              "12,1,10");
    // '%1' followed by the digit 2 always reads as piece 12.
    EXPECT_EQ(S(FormatTr("%d", CZelString("%12"), 7)), "");
}

TEST(FormatFuzz, ArbitraryFormatsAndTemplates)
{
    const CZelString str("string");
    const std::vector<std::string> seeds = {"%d %s %S %D %,D %I %c %x %.3f %p", "%-*.*S|%08D", "%lS %ls %hhd %lld",
                                            "%1 %2 %%3 %99 %", "%*.*f %n %y %"};
    int sink = 0;
    velmo_testing::RunMutationFuzzer(seeds, 3000, [&](const std::string& input) {
        const CZelString out = Format(input.c_str(), 42, "text", str, int64_t{-7}, 1.5, u"wide", &sink, 7u);
        EXPECT_GE(out.Length(), 0);
        FormatTr(input.c_str(), CZelString(std::string_view(input)), str, 3, "x");
    });
}

} // namespace
