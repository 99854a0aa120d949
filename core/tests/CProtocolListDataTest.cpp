#include "core/CProtocolListData.h"
#include "core/LogColours.h"

#include "foundation/CZelWin32Locker.h"
#include "foundation/XTOOError.h"
#include "foundation/ZelGlobalLocks.h"
#include "foundation/testing/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Texts(const CProtocolListData& log)
{
    std::vector<std::string> texts;
    CProtocolLine line;
    for (int i = 0; log.LineAt(i, &line); ++i)
        texts.push_back(line.text.ToStd());
    return texts;
}

CProtocolLine LastLine(const CProtocolListData& log)
{
    CProtocolLine line;
    log.LineAt(log.Count() - 1, &line);
    return line;
}

} // namespace

TEST(CProtocolListData, LineRules)
{
    struct Case {
        const char* name;
        std::vector<std::string> writes;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"open line continued", {"abc", "def\n"}, {"abcdef"}},
        {"carriage return clears the open line", {"a", "\rb", "\n"}, {"b"}},
        {"progress count in place", {"Sent ", "\r1,000", "\r2,000", "\n", "done\n"}, {"2,000", "done"}},
        {"line feed alone makes an empty line", {"x\n", "\n"}, {"x", ""}},
        {"carriage return after a complete line does nothing", {"x\n", "\r", "\ry\n"}, {"x", "y"}},
        {"several lines in one write", {"one\ntwo\nthree"}, {"one", "two", "three"}},
        {"CR LF ends a line and keeps its text", {"HELO x\r\n", "250 ok\r\n"}, {"HELO x", "250 ok"}},
        {"text before a lone CR on an open line is dropped", {"a", "bc\rd\n"}, {"d"}},
        {"empty write changes nothing", {""}, {}},
        {"bytes other than CR and LF are kept", {std::string("a\0b\tc\n", 6)}, {std::string("a\0b\tc", 5)}},
    };
    for (const Case& c : cases) {
        CProtocolListData log;
        for (const std::string& write : c.writes)
            log.AddStringEx(CZelString(write));
        EXPECT_EQ(Texts(log), c.lines) << c.name;
    }
}

TEST(CProtocolListData, AddStringExReturnsTheLastLineTouched)
{
    CProtocolListData log;
    EXPECT_EQ(log.AddStringEx(""), -1);
    EXPECT_EQ(log.AddStringEx("\r"), -1);       // no open line to clear
    EXPECT_EQ(log.AddStringEx("a\nb\n"), 1);
    EXPECT_EQ(log.AddStringEx("open"), 2);
    EXPECT_EQ(log.AddStringEx(" more\n"), 2);
    EXPECT_EQ(log.Write("%s=%d\n", "n", 5), 3);
    EXPECT_EQ(Texts(log).back(), "n=5");
}

TEST(CProtocolListData, TwoThousandLinesLeaveTheLast1999)
{
    CProtocolListData log;
    for (int i = 0; i < 2000; ++i)
        log.Write("line %d\n", i);
    EXPECT_EQ(log.Count(), 1999);
    EXPECT_EQ(log.FirstLineNumber(), 1);
    const std::vector<std::string> texts = Texts(log);
    EXPECT_EQ(texts.front(), "line 1");
    EXPECT_EQ(texts.back(), "line 1999");
    EXPECT_FALSE(log.LineByNumber(0, nullptr));
    CProtocolLine line;
    ASSERT_TRUE(log.LineByNumber(1999, &line));
    EXPECT_EQ(line.text, "line 1999");

    log.Write("one more\n");
    EXPECT_EQ(log.Count(), 1999);
    EXPECT_EQ(log.FirstLineNumber(), 2);
}

TEST(CProtocolListData, CarriageReturnRestampsTheOpenLine)
{
    CProtocolListData log;
    log.AddStringEx("progress");
    CProtocolLine before = LastLine(log);
    log.AddStringEx("\r", LogKind::Progress);
    CProtocolLine after = LastLine(log);
    EXPECT_EQ(after.text, "");
    EXPECT_GE(after.time, before.time);
    EXPECT_EQ(after.kind, LogKind::Progress);
}

TEST(CProtocolListData, RewriteReplacesTextAndKindAndKeepsTheTime)
{
    CProtocolListData log;
    log.AddStringEx("first\n");
    const int64_t progress = log.AddStringEx("0 bytes\n");
    log.AddStringEx("after\n");
    const int64_t time = LastLine(log).time;

    EXPECT_EQ(log.RewriteLineText(progress, Format("%,D bytes\r\ntail", int64_t(1234567)), LogKind::Progress),
              progress);

    CProtocolLine line;
    ASSERT_TRUE(log.LineByNumber(progress, &line));
    EXPECT_EQ(line.text, "1,234,567 bytes");
    EXPECT_EQ(line.kind, LogKind::Progress);
    EXPECT_LE(line.time, time);
    EXPECT_EQ(Texts(log), (std::vector<std::string>{"first", "1,234,567 bytes", "after"}));
}

TEST(CProtocolListData, RewriteOfADroppedLineChangesNothing)
{
    CProtocolListData log;
    for (int i = 0; i < 2001; ++i)
        log.Write("%d\n", i);
    const std::vector<std::string> before = Texts(log);
    EXPECT_EQ(log.RewriteLine(0, LogKind::Progress, "changed"), 0);
    EXPECT_EQ(log.RewriteLine(1, LogKind::Progress, "changed"), 1);
    EXPECT_EQ(log.RewriteLine(5000, LogKind::Progress, "changed"), 5000);
    EXPECT_EQ(Texts(log), before);
}

TEST(CProtocolListData, KindsComeWithEachWrite)
{
    CProtocolListData log;
    log.AddStringEx("plain\n");
    log.AddStringEx("error\n", LogKind::Error);
    log.WriteAs(LogKind::Reply, "%s\n", "sent");
    log.AddStringEx("plain again\n");
    // Nothing stays held between writes.
    EXPECT_EQ(ZelDataLock().Depth(), 0);

    const LogKind kinds[] = {LogKind::Plain, LogKind::Error, LogKind::Reply, LogKind::Plain};
    for (int i = 0; i < 4; ++i) {
        CProtocolLine line;
        ASSERT_TRUE(log.LineAt(i, &line));
        EXPECT_EQ(line.kind, kinds[i]) << i;
    }
}

// The colours of the log pages and the saved files: the SMTP log's kinds keep the colours its
// lines always had, and the POP3 log tells the client's lines from the server's in its own.
TEST(LogColours, EachLogHasItsTable)
{
    struct Row {
        LogName log;
        LogKind kind;
        int32_t background;
    };
    for (const Row& row : std::vector<Row>{
             {LogName::Smtp, LogKind::Plain, -1},          {LogName::Smtp, LogKind::Error, 0x00AAAAFF},
             {LogName::Smtp, LogKind::Command, 0x00AAFFAA}, {LogName::Smtp, LogKind::Reply, 0x00AAFF00},
             {LogName::Smtp, LogKind::Progress, -1},       {LogName::Pop3, LogKind::Plain, -1},
             {LogName::Pop3, LogKind::Error, 0x00AAAAFF},  {LogName::Pop3, LogKind::Command, 0x00AAFFFF},
             {LogName::Pop3, LogKind::Reply, 0x007DFFC8},  {LogName::Pop3, LogKind::Progress, -1}}) {
        const LogColours colours = ColoursOf(row.log, row.kind);
        EXPECT_EQ(colours.background, row.background) << static_cast<int>(row.log) << " " << static_cast<int>(row.kind);
        EXPECT_EQ(colours.text, kLogDefaultColour);
    }
}

TEST(CProtocolListData, AppendingToAnOpenLineGivesItTheWritesKind)
{
    CProtocolListData log;
    log.AddStringEx("start ");
    log.AddStringEx("end\n", LogKind::Reply);
    EXPECT_EQ(LastLine(log).kind, LogKind::Reply);
}

TEST(CProtocolListData, WritersOfDifferentKindsAtOnceKeepTheirOwnKinds)
{
    CProtocolListData log;
    const LogKind kinds[] = {LogKind::Plain, LogKind::Error, LogKind::Command, LogKind::Reply, LogKind::Progress};
    std::vector<std::thread> writers;
    for (int kind = 1; kind <= 4; ++kind)
        writers.emplace_back([&log, &kinds, kind] {
            for (int i = 0; i < 200; ++i)
                log.WriteAs(kinds[kind], "kind %d\n", kind);
        });
    for (std::thread& writer : writers)
        writer.join();
    CProtocolLine line;
    for (int i = 0; log.LineAt(i, &line); ++i) {
        const int kind = line.text.View().back() - '0';
        EXPECT_EQ(line.kind, kinds[kind]) << line.text.View();
    }
}

TEST(CProtocolListData, FindMovesTheSelectionOrKeepsIt)
{
    CProtocolListData log;
    for (const char* text : {"alpha", "beta", "alphabet", "gamma", "Alpha"})
        log.Write("%s\n", text);
    EXPECT_EQ(log.Find(false, 0), 0);   // no search text yet
    log.SetSearchText("alpha");
    log.SetSelectedLine(0);

    EXPECT_EQ(log.Find(false, 0), 1);   // down from the selected line itself
    EXPECT_EQ(log.SelectedLine(), 0);
    EXPECT_EQ(log.Find(false, 1), 1);   // next
    EXPECT_EQ(log.SelectedLine(), 2);
    EXPECT_EQ(log.Find(false, 1), 0);   // "Alpha" does not match: case-sensitive
    EXPECT_EQ(log.SelectedLine(), 2);
    EXPECT_EQ(log.Find(true, -1), 1);   // previous
    EXPECT_EQ(log.SelectedLine(), 0);
    EXPECT_EQ(log.Find(true, -1), 0);   // previous on the first line
    EXPECT_EQ(log.SelectedLine(), 0);

    log.SetSelectedLine(4);
    EXPECT_EQ(log.Find(false, 1), 0);   // next on the last line
    EXPECT_EQ(log.SelectedLine(), 4);
    EXPECT_EQ(log.Find(true, 0), 1);
    EXPECT_EQ(log.SelectedLine(), 2);

    CZelString text;
    ASSERT_TRUE(log.SelectedLineText(&text));
    EXPECT_EQ(text, "alphabet");
}

TEST(CProtocolListData, SelectionFollowsNewLinesOnlyFromTheLastRow)
{
    CProtocolListData log;
    CZelString text;
    EXPECT_FALSE(log.SelectedLineText(&text));
    log.Write("a\nb\n");
    log.SetSelectedLine(1);
    log.Write("c\n");
    EXPECT_EQ(log.SelectedLine(), 2);
    log.SetSelectedLine(0);
    log.Write("d\n");
    EXPECT_EQ(log.SelectedLine(), 0);
    log.SetSelectedLine(99);
    EXPECT_EQ(log.SelectedLine(), -1);
}

TEST(CProtocolListData, SaveTextHasTheFileLineForm)
{
    CProtocolListData log(LogName::Pop3);
    log.AddStringEx("hello world\n");
    log.AddStringEx("red\n", LogKind::Error);
    log.AddStringEx("sent\n", LogKind::Reply);
    log.AddStringEx("open line");

    const std::string date = R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d)";
    const std::regex form(date + R"( #FFFFFFFF #FFFFFFFF hello world\r\n)" + date + R"( #00AAAAFF #FFFFFFFF red\r\n)" +
                          date + R"( #007DFFC8 #FFFFFFFF sent\r\n)" + date + R"( #FFFFFFFF #FFFFFFFF open line\r\n)");
    const std::string text = log.SaveText().ToStd();
    EXPECT_TRUE(std::regex_match(text, form)) << text;
}

TEST(CProtocolListData, SaveToFileWritesTheSameTextAndFailsLoudly)
{
    const velmo_testing::TempDir temp("velmo-log");
    const fs::path dir = temp.Path();
    CProtocolListData log;
    log.Write("one\ntwo\n");
    const fs::path file = dir / "saved.txt";
    {
        std::ofstream old(file, std::ios::binary);
        old << "an older and much longer content that must disappear";
    }
    log.SaveToFile(CZelString(file.string()));
    std::ifstream in(file, std::ios::binary);
    std::stringstream saved;
    saved << in.rdbuf();
    EXPECT_EQ(saved.str(), log.SaveText().ToStd());

    EXPECT_THROW(log.SaveToFile(CZelString((dir / "missing" / "x.txt").string())), XTOOError);
    EXPECT_EQ(ZelDataLock().Depth(), 0);
}

TEST(CProtocolListData, DefaultSaveFileNameHasNoColons)
{
    const std::string name = CProtocolListData::DefaultSaveFileName().ToStd();
    EXPECT_TRUE(std::regex_match(name, std::regex(R"(Protocol \d\d\.\d\d\.\d{4} \d\d_\d\d_\d\d\.txt)"))) << name;
}

TEST(CProtocolListData, MirrorPrintsEachNewOrChangedLineOnce)
{
    CProtocolListData log;
    std::ostringstream out;
    log.MirrorTo(&out, "[SMTP] ");
    log.AddStringEx("Accepting connection to a port 25...\n");
    log.AddStringEx("Sent ");
    log.AddStringEx("\r1,000");
    log.AddStringEx("\r2,000\nnext\n");
    const int64_t progress = log.AddStringEx("0%\n");
    log.RewriteLine(progress, LogKind::Progress, "%d%%", 50);
    log.MirrorTo(nullptr, "");
    log.AddStringEx("not mirrored\n");
    EXPECT_EQ(out.str(),
              "[SMTP] Accepting connection to a port 25...\n"
              "[SMTP] Sent \n"
              "[SMTP] 1,000\n"
              "[SMTP] 2,000\n"
              "[SMTP] next\n"
              "[SMTP] 0%\n"
              "[SMTP] 50%\n");
}

TEST(CProtocolListData, MirrorKeepsEveryLineOfAWriteLongerThanTheLog)
{
    CProtocolListData log;
    std::vector<std::string> mirrored;
    log.SetLineSink([&](int64_t, const CZelString& text) { mirrored.push_back(text.ToStd()); });
    std::string big;
    for (int i = 0; i < 2500; ++i)
        big += "L" + std::to_string(i) + "\n";
    log.AddStringEx(CZelString(big));
    ASSERT_EQ(mirrored.size(), 2500u);
    EXPECT_EQ(mirrored.front(), "L0");
    EXPECT_EQ(mirrored.back(), "L2499");
    EXPECT_EQ(log.Count(), 1999);
}

TEST(CProtocolListData, ListenerHearsInsertedAndRemovedRows)
{
    CProtocolListData log;
    for (int i = 0; i < 1998; ++i)
        log.Write("%d\n", i);
    std::vector<CProtocolChange> changes;
    log.SetChangeListener([&](const CProtocolChange& change) { changes.push_back(change); });
    log.Write("a\nb\n");
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].appended, 2);
    EXPECT_EQ(changes[0].removedFromFront, 1);   // the second new line brings the count to 2000
    EXPECT_EQ(changes[0].changedLines, (std::vector<int64_t>{1998, 1999}));
}

TEST(CProtocolListData, ConcurrentWritersNeverMixTheirLines)
{
    CProtocolListData log;
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&log, t] {
            for (int i = 0; i < 300; ++i) {
                log.Write("writer %d ", t);
                log.Write("line %d\n", i);   // another writer may complete the open line first
            }
        });
    for (std::thread& writer : writers)
        writer.join();
    int pieces = 0;
    for (const std::string& text : Texts(log)) {
        EXPECT_TRUE(std::regex_match(text, std::regex(R"(((writer \d )|(line \d+))+)"))) << text;
        for (size_t at = text.find("line "); at != std::string::npos; at = text.find("line ", at + 1))
            ++pieces;
    }
    EXPECT_EQ(pieces, 1200);
    EXPECT_EQ(ZelDataLock().Depth(), 0);
}

TEST(CProtocolListData, TheTwoProcessLogsAreDistinct)
{
    EXPECT_NE(&SmtpLog(), &Pop3Log());
    EXPECT_EQ(&SmtpLog(), &SmtpLog());
}

#include "foundation/testing/MutationFuzzer.h"

TEST(CProtocolListData, AnyBytesKeepTheLogSound)
{
    CProtocolListData log;
    std::map<int64_t, std::string> mirrored;
    log.SetLineSink([&](int64_t number, const CZelString& text) { mirrored[number] = text.ToStd(); });
    const std::vector<std::string> seeds = {"abc", "\r12,345", "line\r\n", "\n\n\r\r", std::string(300, '\n'),
                                            std::string("x\0y\rz\n", 6)};
    velmo_testing::RunMutationFuzzer(seeds, 3000, [&](const std::string& input) {
        log.AddStringEx(CZelString(input));
    });
    const int count = log.Count();
    EXPECT_LE(count, CProtocolListData::kCapacity - 1);
    CProtocolLine line;
    for (int i = 0; i < count; ++i) {
        ASSERT_TRUE(log.LineAt(i, &line));
        EXPECT_EQ(line.text.View().find_first_of("\r\n"), std::string_view::npos);
        // The mirror's last word on every held line is the line as it stands.
        const int64_t number = log.FirstLineNumber() + i;
        ASSERT_TRUE(mirrored.count(number)) << number;
        EXPECT_EQ(mirrored[number], line.text.ToStd()) << number;
    }
}
