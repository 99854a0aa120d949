// Reading a stored message for the client: the unique id its header gives, and an answer that
// never ends as if whole when the file changed under it.

#include "pop3/CPop3MessageFile.h"

#include "foundation/testing/TempDir.h"
#include "pop3/CPop3TextFilter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

struct HeaderCase {
    const char* name;
    const char* line;
    const char* id;
};

class HeaderMessageIdTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderMessageIdTest, GivesTheBareId)
{
    EXPECT_EQ(Pop3MessageIdOfHeaderLine(GetParam().line).ToStd(), GetParam().id);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, HeaderMessageIdTest,
    ::testing::Values(HeaderCase{"Plain", "Message-ID: <a@b>", "a@b"},
                      HeaderCase{"LowerCaseWithBlanks", "message-id:  <a@b> ", "a@b"},
                      HeaderCase{"UpperCaseWithTabs", "MESSAGE-ID:\t<a@b>\t", "a@b"},
                      HeaderCase{"WithoutBrackets", "Message-ID: a@b", "a@b"},
                      HeaderCase{"UnclosedBracket", "Message-ID: <a@b", "a@b"},
                      HeaderCase{"CommentAfter", "Message-ID: <a@b> (comment)", "a@b"},
                      HeaderCase{"Empty", "Message-ID:", ""},
                      HeaderCase{"OnlyBlanks", "Message-ID:   ", ""},
                      HeaderCase{"NoColon", "Message-ID", ""},
                      HeaderCase{"LongerName", "Message-IDs: <a@b>", ""},
                      HeaderCase{"NameInside", "X-Message-ID: <a@b>", ""},
                      HeaderCase{"OtherHeader", "In-Reply-To: <a@b>", ""}),
    [](const ::testing::TestParamInfo<HeaderCase>& info) { return std::string(info.param.name); });

class Pop3MessageFileTest : public velmo_testing::TempHomeTest {};

TEST_F(Pop3MessageFileTest, HeaderIdIsSoughtOnlyInTheHeader)
{
    WriteText("body.msg", "Subject: x\r\n\r\nMessage-ID: <in@body>\r\n");
    WriteText("bare.msg", "Subject: x\nMessage-Id: <bare@lf>\n\nbody\n");
    WriteText("end.msg", "Subject: x\r\nMessage-ID: <at@end>");
    WriteText("long.msg", "X-Long: " + std::string(200000, 'l') + "\r\nMessage-ID: <after@long>\r\n\r\n");
    const std::pair<const char*, const char*> expected[] = {
        {"body.msg", ""}, {"bare.msg", "bare@lf"}, {"end.msg", "at@end"}, {"long.msg", "after@long"}};
    for (const auto& [name, id] : expected) {
        CPop3MessageFile file;
        ASSERT_TRUE(file.Open(name));
        EXPECT_EQ(file.HeaderMessageId().ToStd(), id) << name;
    }
    CPop3MessageFile missing;
    EXPECT_FALSE(missing.Open("missing.msg"));
}

TEST_F(Pop3MessageFileTest, TextThatChangedAfterItsLengthWasToldGetsNoEndMark)
{
    WriteText("1.msg", std::string(200000, 'x') + "\r\n");
    CPop3MessageFile file;
    ASSERT_TRUE(file.Open("1.msg"));
    const int64_t length = file.PreparedLength(CPop3TextFilter::kWholeText);
    EXPECT_EQ(length, 200002);
    std::filesystem::resize_file("1.msg", 1000);   // in place: the open file sees it
    std::string sent;
    const auto result = file.Send(CPop3TextFilter::kWholeText, "+OK\r\n", ".\r\n", length, [&](const std::string& piece) {
        sent += piece;
        return true;
    });
    EXPECT_EQ(result, CPop3MessageFile::ESend::Unreadable);
    EXPECT_FALSE(sent.ends_with(".\r\n"));
}

} // namespace
