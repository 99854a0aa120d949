// The header a mail client gets for a received message: the sender's From field and the
// message id field, whatever the original header holds.

#include "pop3/CHeaderRewrite.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const CZelString kNoName;
const CZelString kTeName("T\0e\0", 4);

struct RewriteCase {
    const char* name;
    std::string text;
    CZelString email;
    CZelString unicodeName;
    CZelString messageId;
    std::string expected;
};

class HeaderRewriteTest : public ::testing::TestWithParam<RewriteCase> {};

TEST_P(HeaderRewriteTest, GivesTheExpectedText)
{
    const RewriteCase& c = GetParam();
    EXPECT_EQ(RewriteHeader(c.text, c.email, c.unicodeName, c.messageId), c.expected);
    // The download rewrites the text where it lies, to the same bytes.
    std::string inPlace = c.text;
    RewriteHeaderInPlace(inPlace, c.email, c.unicodeName, c.messageId);
    EXPECT_EQ(inPlace, c.expected);
}

const std::string kId = "Velmo-Message-ID: 3.14\r\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, HeaderRewriteTest,
    ::testing::Values(
        RewriteCase{"FromFirstLine", "From: fake@x.example\r\nSubject: s\r\n\r\nbody\r\n", "a@b.example", kNoName,
                    "3.14", "From: a@b.example\r\nSubject: s\r\n" + kId + "\r\nbody\r\n"},
        RewriteCase{"NoFromInsertedBeforeTheBlankLine", "Subject: s\r\nTo: t@x\r\n\r\nbody", "a@b.example", kNoName,
                    "3.14", "Subject: s\r\nTo: t@x\r\nFrom: a@b.example\r\n" + kId + "\r\nbody"},
        RewriteCase{"FoldedFromReplacedWhole", "Subject: s\r\nFROM: \"Long\r\n Name\"\r\n\t<fake@x>\r\nTo: t\r\n\r\nb",
                    "a@b.example", kNoName, "3.14", "Subject: s\r\nFrom: a@b.example\r\nTo: t\r\n" + kId + "\r\nb"},
        RewriteCase{"SecondFromDropped", "From: one@x\r\nTo: t\r\nfrom: two@x\r\n three\r\nX: y\r\n\r\nb",
                    "a@b.example", kNoName, "3.14", "From: a@b.example\r\nTo: t\r\nX: y\r\n" + kId + "\r\nb"},
        RewriteCase{"ForgedIdFieldDropped", "Velmo-Message-ID: 9.9\r\nSubject: s\r\n\r\nb", "a@b.example", kNoName,
                    "3.14", "Subject: s\r\nFrom: a@b.example\r\n" + kId + "\r\nb"},
        RewriteCase{"BodyUntouched", "Subject: s\r\n\r\nFrom: body line\r\nVelmo-Message-ID: 1\r\n", "a@b.example",
                    kNoName, "3.14",
                    "Subject: s\r\nFrom: a@b.example\r\n" + kId + "\r\nFrom: body line\r\nVelmo-Message-ID: 1\r\n"},
        RewriteCase{"FieldNamesOnlyMatchWhole", "Fromage: cheese\r\nX-From: z\r\n\r\nb", "a@b.example", kNoName,
                    "3.14", "Fromage: cheese\r\nX-From: z\r\nFrom: a@b.example\r\n" + kId + "\r\nb"},
        RewriteCase{"BlankInEmailLeavesTextAlone", "From: x\r\n\r\nb", "a b@c.example", kNoName, "3.14",
                    "From: x\r\n\r\nb"},
        RewriteCase{"AngleInEmailLeavesTextAlone", "Subject: s\r\n\r\nb", "a<b@c", kTeName, "3.14",
                    "Subject: s\r\n\r\nb"},
        RewriteCase{"QuestionMarkInEmailLeavesTextAlone", "Subject: s\r\n\r\nb", "a?b@c", kNoName, "3.14",
                    "Subject: s\r\n\r\nb"},
        RewriteCase{"EightBitEmailLeavesTextAlone", "Subject: s\r\n\r\nb", "\xD0\xB0@b.example", kNoName, "3.14",
                    "Subject: s\r\n\r\nb"},
        RewriteCase{"EmptyEmailLeavesTextAlone", "Subject: s\r\n\r\nb", "", kTeName, "3.14", "Subject: s\r\n\r\nb"},
        RewriteCase{"AsciiNameBecomesAQuotedString", "From: x\r\n\r\nb", "a@b.example", kTeName, "3.14",
                    "From: \"Te\" <a@b.example>\r\n" + kId + "\r\nb"},
        RewriteCase{"QuotesAndBackslashesInANameAreEscaped", "From: x\r\n\r\nb", "a@b.example",
                    CZelString("\"\0A\0\\\0 \0B\0", 10), "3.14",
                    "From: \"\\\"A\\\\ B\" <a@b.example>\r\n" + kId + "\r\nb"},
        RewriteCase{"ControlCharacterInANameKeepsTheEncodedWord", "From: x\r\n\r\nb", "a@b.example",
                    CZelString("T\0\t\0", 4), "3.14", "From: =?utf-8?B?VAk=?= <a@b.example>\r\n" + kId + "\r\nb"},
        RewriteCase{"CyrillicName", "Subject: s\r\n\r\nb", "a@b.example", CZelString("\x18\x04\x32\x04", 4), "3.14",
                    "Subject: s\r\nFrom: =?utf-8?B?0JjQsg==?= <a@b.example>\r\n" + kId + "\r\nb"},
        RewriteCase{"NoBlankLineIsAllHeader", "Subject: s\r\nFrom: x", "a@b.example", kNoName, "3.14",
                    "Subject: s\r\nFrom: a@b.example\r\n" + kId},
        RewriteCase{"NoBlankLineNoFrom", "Subject: s", "a@b.example", kNoName, "3.14",
                    "Subject: s\r\nFrom: a@b.example\r\n" + kId},
        RewriteCase{"EmptyHeader", "\r\nbody", "a@b.example", kNoName, "3.14", "From: a@b.example\r\n" + kId + "\r\nbody"},
        RewriteCase{"BareLineEnds", "Subject: s\nFrom: x\n\nbody\n", "a@b.example", kNoName, "3.14",
                    "Subject: s\nFrom: a@b.example\r\n" + kId + "\nbody\n"},
        RewriteCase{"UnsafeIdAddsNoIdField", "From: x\r\n\r\nb", "a@b.example", kNoName, "3.x",
                    "From: a@b.example\r\n\r\nb"},
        RewriteCase{"EmptyIdAddsNoIdField", "Subject: s\r\n\r\nb", "a@b.example", kNoName, "",
                    "Subject: s\r\nFrom: a@b.example\r\n\r\nb"}),
    [](const ::testing::TestParamInfo<RewriteCase>& info) { return std::string(info.param.name); });

TEST(HeaderRewriteUtf16Test, PairsAreJoinedAndLoneHalvesReplaced)
{
    // U+1F600 as a surrogate pair, then a lone high surrogate, then 'A', then an odd last byte.
    const std::string wide("\x3D\xD8\x00\xDE" "\x3D\xD8" "A\0" "\x01", 9);
    EXPECT_EQ(Utf16LeToUtf8(wide), "\xF0\x9F\x98\x80" "\xEF\xBF\xBD" "A");
}

TEST(HeaderRewriteUtf16Test, SenderTextIsTheBareEmailWithoutAName)
{
    EXPECT_EQ(SenderText("a@b.example", kNoName), "a@b.example");
    EXPECT_EQ(SenderText("a@b.example", CZelString("\x01", 1)), "a@b.example");
    EXPECT_EQ(SenderText("a=b@c", kTeName), "");
}

} // namespace
