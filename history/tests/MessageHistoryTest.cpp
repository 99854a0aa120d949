// The history writer on real files in a fresh working folder.

#include "history/CMessageHistory.h"

#include "accounts/CAccountFile.h"
#include "core/CAccountChangeFlags.h"
#include "core/CStartSwitches.h"
#include "foundation/CZelFormat.h"
#include "foundation/testing/TempDir.h"
#include "history/CHistoryListing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

class MessageHistoryTest : public velmo_testing::TempHomeTest {
protected:
    void SetUp() override { CAccountChangeFlags::Global().Drain(); }

    static CZelXmlDocument Loaded(int64_t account)
    {
        CZelXmlDocument document;
        EXPECT_TRUE(CMessageHistory::Load(account, document));
        return document;
    }

    static CSentEntry Entry(const char* id, const char* email)
    {
        return {id, email, "17", "Bob", "Bob T", CZelString("B\0o\0", 4)};
    }

    // A delivery report as the Seed answer carries it.
    static CZelXmlNode Report(const std::vector<std::pair<const char*, const char*>>& attributes)
    {
        CZelXmlElement report("Delivered");
        for (const auto& [name, value] : attributes)
            report.SetAttr(name, value);
        return report;
    }

    static CZelXmlNode SentEntry(int64_t account, const char* id)
    {
        return Loaded(account).RootElement().FindChild("Sent").FindChildByAttr("message", "MessageId", id);
    }
    static CZelXmlNode ReceivedEntry(int64_t account, const char* id)
    {
        return Loaded(account).RootElement().FindChild("Received").FindChildByAttr("message", "MessageId", id);
    }

    static uint32_t BitsOf(int64_t account)
    {
        uint32_t found = 0;
        CAccountChangeFlags::Global().Drain([&](int64_t id, uint32_t bits) {
            if (id == account)
                found |= bits;
        });
        return found;
    }

    static CReceivedSender Sender(const char* email)
    {
        return {"Ann", "Ann T", CZelString("A\0n\0n\0", 6), "12", email, "1700000000000000"};
    }
};

TEST_F(MessageHistoryTest, RecordSentWritesOneEntryPerRecipientAndSetsTheChangeBit)
{
    ASSERT_TRUE(CMessageHistory::RecordSent(7, {Entry("5.1", "bob@example.org"), Entry("5.2", "eve@example.org")},
                                            "1700000000000001", 1700000000000999));
    const CZelXmlNode sent = Loaded(7).RootElement().FindChild(CMessageHistory::kSectionSent);
    CZelXmlNode first = sent.FindChild(CMessageHistory::kElementMessage);
    ASSERT_FALSE(first.IsNull());
    EXPECT_EQ(first.GetAttr("MessageId"), "5.1");
    EXPECT_EQ(first.GetAttr("Sent"), "true");
    EXPECT_EQ(first.GetAttr("email"), "bob@example.org");
    EXPECT_EQ(first.GetAttr("SentTimeStamp"), "1700000000000001");
    EXPECT_EQ(first.GetAttr("LocalSentTimeStamp"), "1700000000000999");
    EXPECT_EQ(first.GetAttr("UserId"), "17");
    EXPECT_EQ(first.GetAttr("Name"), "Bob");
    EXPECT_EQ(first.GetAttr("TranslitName"), "Bob T");
    EXPECT_EQ(first.GetAttr("UnicodeName"), CZelString("B\0o\0", 4));
    EXPECT_EQ(first.NextSameName().GetAttr("MessageId"), "5.2");
    EXPECT_TRUE(first.NextSameName().NextSameName().IsNull());

    int64_t account = 0;
    uint32_t bits = 0;
    ASSERT_TRUE(CAccountChangeFlags::Global().TakeOne(account, bits));
    EXPECT_EQ(account, 7);
    EXPECT_EQ(bits, CAccountChangeFlags::kSentRecorded);

    // The file's own profile: CR LF line ends and a one-space indent.
    const std::string text = ReadText("Accounts/00000007/MessageHistory.xml");
    EXPECT_NE(text.find("\r\n <Sent"), std::string::npos) << text;
    EXPECT_EQ(text.find("\n<Sent"), std::string::npos);
}

TEST_F(MessageHistoryTest, AnIdOccursOncePerSectionAndEntriesKeepTheirOrder)
{
    ASSERT_TRUE(CMessageHistory::RecordSent(3, {Entry("1", "a@x"), Entry("2", "b@x")}, "10", 11));
    ASSERT_TRUE(CMessageHistory::Update(3, CMessageHistory::kSectionSent, "3",
                                        [](CZelXmlNode& entry) { entry.SetAttr("Delivered", "12"); }));
    ASSERT_TRUE(CMessageHistory::RecordSent(3, {Entry("1", "again@x")}, "20", 21));
    // The same id in the other section is another entry.
    ASSERT_TRUE(CMessageHistory::Update(3, CMessageHistory::kSectionReceived, "1",
                                        [](CZelXmlNode& entry) { entry.SetAttr("email", "in@x"); }));

    const CZelXmlNode root = Loaded(3).RootElement();
    std::vector<std::string> ids;
    const CZelXmlNode sent = root.FindChild(CMessageHistory::kSectionSent);
    for (CZelXmlNode entry = sent.FindChild("message"); !entry.IsNull(); entry = entry.NextSameName())
        ids.push_back(entry.GetAttr("MessageId").ToStd());
    EXPECT_EQ(ids, (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(sent.FindChild("message").GetAttr("email"), "again@x");
    EXPECT_EQ(sent.FindChild("message").GetAttr("SentTimeStamp"), "20");
    EXPECT_EQ(root.FindChild(CMessageHistory::kSectionReceived).FindChild("message").GetAttr("email"), "in@x");
}

TEST_F(MessageHistoryTest, AFileThatDoesNotParseIsSetAsideBeforeANewOneStarts)
{
    std::filesystem::create_directories("Accounts/00000004");
    const std::string broken = "<?xml version=\"1.0\"?><Root><Sent><message MessageId=\"9\"";
    WriteText("Accounts/00000004/MessageHistory.xml", broken);
    CZelXmlDocument unused;
    EXPECT_FALSE(CMessageHistory::Load(4, unused));

    ASSERT_TRUE(CMessageHistory::RecordSent(4, {Entry("1", "a@x")}, "10", 11));
    std::vector<std::string> kept;
    for (const auto& item : std::filesystem::directory_iterator("Accounts/00000004"))
        if (item.path().filename().string().rfind("MessageHistory.xml.broken-", 0) == 0)
            kept.push_back(item.path().string());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(ReadText(kept.front()), broken);
    EXPECT_EQ(Loaded(4).RootElement().FindChild("Sent").FindChild("message").GetAttr("MessageId"), "1");
}

TEST_F(MessageHistoryTest, LoadOfAMissingFileGivesAnEmptyHistory)
{
    const CZelXmlDocument document = Loaded(99);
    EXPECT_EQ(document.RootElement().Name(), "Root");
    EXPECT_EQ(document.RootElement().ChildCount(), 0);
    EXPECT_FALSE(Exists("Accounts/00000099/MessageHistory.xml"));
}

// --- Delivery reports ---

TEST_F(MessageHistoryTest, AReportForAnUnknownIdCreatesAnEntryFromTheReport)
{
    const std::vector<CZelString> log = CMessageHistory::RecordDeliveries(
        5, {Report({{"MessageId", "9.1"}, {"TimeStamp", "1700000000123000"}, {"email", "bob@x"}, {"UserId", "4"}})});
    const CZelXmlNode entry = SentEntry(5, "9.1");
    ASSERT_FALSE(entry.IsNull());
    bool hasSent = false, hasTimeStamp = true;
    EXPECT_EQ(entry.GetAttr("Sent", &hasSent), "");
    EXPECT_TRUE(hasSent);
    entry.GetAttr("TimeStamp", &hasTimeStamp);
    EXPECT_FALSE(hasTimeStamp);
    EXPECT_EQ(entry.GetAttr("email"), "bob@x");
    EXPECT_EQ(entry.GetAttr("UserId"), "4");
    EXPECT_EQ(entry.GetAttr("Delivered"), "1700000000123000");
    EXPECT_EQ(BitsOf(5), CAccountChangeFlags::kDeliveryReports);

    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(std::regex_match(log[0].ToStd(),
                                 std::regex("Message 9\\.1 is delivered at \\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d\\.123\n")))
        << log[0].ToStd();
}

TEST_F(MessageHistoryTest, AReportOnARecordedMessageKeepsTheSendRecordAndAddsTheAbuseReport)
{
    ASSERT_TRUE(CMessageHistory::RecordSent(5, {Entry("5.1", "bob@x")}, "100", 101));
    CMessageHistory::RecordDeliveries(5, {Report({{"MessageId", "5.1"}, {"TimeStamp", "200"},
                                                  {"AbuseReportTimeStamp", "300"}, {"AbuseReport", "AbuseReportSpam"}})});
    const CZelXmlNode entry = SentEntry(5, "5.1");
    EXPECT_EQ(entry.GetAttr("Sent"), "true");
    EXPECT_EQ(entry.GetAttr("SentTimeStamp"), "100");
    EXPECT_EQ(entry.GetAttr("Delivered"), "200");
    EXPECT_EQ(entry.GetAttr("AbuseReportTimeStamp"), "300");
    EXPECT_EQ(entry.GetAttr("AbuseReport"), "AbuseReportSpam");
    EXPECT_EQ(Loaded(5).RootElement().FindChild("Sent").ChildCount(), 1);
}

TEST_F(MessageHistoryTest, AnAbuseOnlyReportKeepsTheDeliveryTimeLearntBefore)
{
    CMessageHistory::RecordDeliveries(5, {Report({{"MessageId", "5.1"}, {"TimeStamp", "200"}})});
    const std::vector<CZelString> log = CMessageHistory::RecordDeliveries(
        5, {Report({{"MessageId", "5.1"}, {"AbuseReportTimeStamp", "300"}, {"AbuseReport", "AbuseReportVirus"}})});
    EXPECT_TRUE(log.empty());
    const CZelXmlNode entry = SentEntry(5, "5.1");
    EXPECT_EQ(entry.GetAttr("Delivered"), "200");
    EXPECT_EQ(entry.GetAttr("AbuseReport"), "AbuseReportVirus");
    EXPECT_EQ(CMessageHistory::LastDeliveredTimeStamp(5), "300");
}

TEST_F(MessageHistoryTest, TheReportsOfASeedAnswerAreRecordedInOrder)
{
    CZelXmlDocument answer;
    ASSERT_TRUE(answer.Parse("<Root><Delivered MessageId=\"1\" TimeStamp=\"10\"/><Message MessageId=\"7\"/>"
                             "<Delivered MessageId=\"2\" TimeStamp=\"20\"/></Root>"));
    EXPECT_EQ(CMessageHistory::RecordDeliveries(6, answer).size(), 2u);
    const CZelXmlNode sent = Loaded(6).RootElement().FindChild("Sent");
    EXPECT_EQ(sent.FindChild("message").GetAttr("MessageId"), "1");
    EXPECT_EQ(sent.FindChild("message").NextSameName().GetAttr("MessageId"), "2");
    EXPECT_TRUE(sent.FindChildByAttr("message", "MessageId", "7").IsNull());
    EXPECT_EQ(sent.GetAttr("TimeStamp"), "20");
}

struct TimeStampCase {
    const char* title;
    const char* stored;     // nullptr: no `Sent` yet
    std::vector<std::pair<const char*, const char*>> times;   // (TimeStamp, AbuseReportTimeStamp) per report
    const char* expected;
    friend void PrintTo(const TimeStampCase& c, std::ostream* out) { *out << c.title; }
};

class DeliveredTimeStampTest : public MessageHistoryTest, public ::testing::WithParamInterface<TimeStampCase> {};

TEST_P(DeliveredTimeStampTest, NeverDecreases)
{
    const TimeStampCase& c = GetParam();
    if (c.stored) {
        ASSERT_TRUE(CMessageHistory::Update(8, "Sent", "0", [](CZelXmlNode&) {}));
        CZelXmlDocument document = Loaded(8);
        document.RootElement().FindChild("Sent").SetAttr("TimeStamp", c.stored);
        ASSERT_TRUE(document.SaveFile(CMessageHistory::PathFor(8)));
    }
    std::vector<CZelXmlNode> reports;
    int id = 1;
    for (const auto& [delivered, abuse] : c.times) {
        const std::string messageId = std::to_string(id++);
        reports.push_back(Report({{"MessageId", messageId.c_str()}, {"TimeStamp", delivered},
                                  {"AbuseReportTimeStamp", abuse}, {"AbuseReport", *abuse ? "AbuseReportSpam" : ""}}));
    }
    CMessageHistory::RecordDeliveries(8, reports);
    EXPECT_EQ(CMessageHistory::LastDeliveredTimeStamp(8), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeliveredTimeStampTest,
    ::testing::Values(TimeStampCase{"TheLargestOfTheReportsWins", nullptr, {{"100", ""}, {"300", ""}, {"200", ""}}, "300"},
                      TimeStampCase{"AnOlderReportLeavesItUnchanged", "500", {{"100", ""}}, "500"},
                      TimeStampCase{"AnAbuseReportTimeCounts", "500", {{"100", "900"}}, "900"},
                      TimeStampCase{"AnAbuseOnlyReportCounts", "500", {{"", "700"}}, "700"},
                      TimeStampCase{"NoReportsKeepsIt", "700", {}, "700"},
                      TimeStampCase{"ForeignTextsCountAsNothing", "junk", {{"x1", ""}, {"12", ""}}, "12"}),
    [](const ::testing::TestParamInfo<TimeStampCase>& info) { return std::string(info.param.title); });

// --- Received messages ---

TEST_F(MessageHistoryTest, ADownloadRecordsTheSenderAndRetrievalsMoveTheDeliveryTime)
{
    ASSERT_TRUE(CMessageHistory::RecordReceived(9, "3.7", Sender("ann@x"), 1000));
    EXPECT_EQ(BitsOf(9), CAccountChangeFlags::kMessageDownloaded);
    CZelXmlNode entry = ReceivedEntry(9, "3.7");
    EXPECT_EQ(entry.GetAttr("Name"), "Ann");
    EXPECT_EQ(entry.GetAttr("TranslitName"), "Ann T");
    EXPECT_EQ(entry.GetAttr("UnicodeName"), CZelString("A\0n\0n\0", 6));
    EXPECT_EQ(entry.GetAttr("Id"), "12");
    EXPECT_EQ(entry.GetAttr("email"), "ann@x");
    EXPECT_EQ(entry.GetAttr("SentMessageTimeStamp"), "1700000000000000");
    EXPECT_EQ(entry.GetAttr("LocalDownloadedMessageTimeStamp"), "1000");

    ASSERT_TRUE(CMessageHistory::RecordRetrieved(9, "3.7", 2000));
    EXPECT_EQ(ReceivedEntry(9, "3.7").GetAttr("LocalDeliveredTimeStamp"), "2000");
    ASSERT_TRUE(CMessageHistory::RecordRetrieved(9, "3.7", 3000));
    EXPECT_EQ(ReceivedEntry(9, "3.7").GetAttr("LocalDeliveredTimeStamp"), "3000");
    EXPECT_EQ(BitsOf(9), CAccountChangeFlags::kMessageRetrieved);
    EXPECT_EQ(Loaded(9).RootElement().FindChild("Received").ChildCount(), 1);
}

TEST_F(MessageHistoryTest, TheDisplayShowsTheLastHundredEntriesOfASection)
{
    for (int i = 1; i <= 150; ++i)
        ASSERT_TRUE(CMessageHistory::RecordReceived(10, Format("%d", i), Sender("ann@x"), i));
    const CZelXmlDocument document = Loaded(10);
    const std::vector<CZelXmlNode> shown = CMessageHistory::LastEntries(document, "Received");
    ASSERT_EQ(shown.size(), 100u);
    EXPECT_EQ(shown.front().GetAttr("MessageId"), "51");
    EXPECT_EQ(shown.back().GetAttr("MessageId"), "150");
    EXPECT_TRUE(CMessageHistory::LastEntries(document, "Sent").empty());

    const std::vector<CHistoryLine> lines = HistoryLines(document);
    ASSERT_EQ(lines.size(), 100u);
    EXPECT_EQ(lines.front().messageId, "150");
    EXPECT_EQ(lines.back().messageId, "51");
}

struct AbuseRecordCase {
    const char* title;
    const char* section;     // where the message's entry is; nullptr: no file at all
    const char* messageId;   // the id the report names
    bool recorded;
    friend void PrintTo(const AbuseRecordCase& c, std::ostream* out) { *out << c.title; }
};

class AbuseRecordTest : public MessageHistoryTest, public ::testing::WithParamInterface<AbuseRecordCase> {};

TEST_P(AbuseRecordTest, OnlyAReceivedEntryTakesTheReport)
{
    const AbuseRecordCase& c = GetParam();
    if (c.section)
        ASSERT_TRUE(CMessageHistory::Update(11, c.section, "4.4", [](CZelXmlNode&) {}));
    const std::string before = ReadText(CMessageHistory::PathFor(11).ToStd());
    EXPECT_EQ(CMessageHistory::RecordAbuseReport(11, c.messageId, "AbuseReportSpam", 5000), c.recorded);
    if (c.recorded) {
        const CZelXmlNode entry = ReceivedEntry(11, c.messageId);
        EXPECT_EQ(entry.GetAttr("AbuseReport"), "AbuseReportSpam");
        EXPECT_EQ(entry.GetAttr("LocalAbuseReportTimeStamp"), "5000");
    } else {
        EXPECT_EQ(ReadText(CMessageHistory::PathFor(11).ToStd()), before);
        EXPECT_EQ(Exists(CMessageHistory::PathFor(11).ToStd()), c.section != nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AbuseRecordTest,
    ::testing::Values(AbuseRecordCase{"AReceivedMessage", "Received", "4.4", true},
                      AbuseRecordCase{"AnUnknownId", "Received", "4.5", false},
                      AbuseRecordCase{"ASentMessageOnly", "Sent", "4.4", false},
                      AbuseRecordCase{"AnEmptyId", "Received", "", false},
                      AbuseRecordCase{"NoHistoryYet", nullptr, "4.4", false}),
    [](const ::testing::TestParamInfo<AbuseRecordCase>& info) { return std::string(info.param.title); });

TEST_F(MessageHistoryTest, AFileThatCannotBeReadIsKeptAndNotReplacedUnseen)
{
    std::filesystem::create_directories("Accounts/00000012");
    const std::string path = CMessageHistory::PathFor(12).ToStd();
    const std::string broken = "<Root><Received><message MessageId=\"1\"";
    WriteText(path, broken);
    EXPECT_EQ(CMessageHistory::LastDeliveredTimeStamp(12), "");
    EXPECT_FALSE(CMessageHistory::RecordAbuseReport(12, "1", "AbuseReportSpam", 1));
    EXPECT_EQ(ReadText(path), broken);    // readers and the report leave it where it is

    CMessageHistory::RecordDeliveries(12, {Report({{"MessageId", "2"}, {"TimeStamp", "5"}})});
    int setAside = 0;
    for (const auto& item : std::filesystem::directory_iterator("Accounts/00000012"))
        if (item.path().filename().string().rfind("MessageHistory.xml.broken-", 0) == 0) {
            ++setAside;
            EXPECT_EQ(ReadText(item.path()), broken);
        }
    EXPECT_EQ(setAside, 1);
    EXPECT_EQ(CMessageHistory::LastDeliveredTimeStamp(12), "5");
}

// --- Reading ---

TEST_F(MessageHistoryTest, LinesShowDirectionPeerIdAndWhatHappenedNewestFirst)
{
    CZelXmlDocument history;
    ASSERT_TRUE(history.Parse(
        "<Root><Sent TimeStamp=\"9\">"
        "<message MessageId=\"1.1\" Sent=\"true\" email=\"bob@x\" LocalSentTimeStamp=\"1700000000000000\"/>"
        "<message MessageId=\"1.2\" Sent=\"true\" email=\"eve@x\" LocalSentTimeStamp=\"1700000300000000\""
        " Delivered=\"1700000400000000\" AbuseReport=\"AbuseReportSpam\" AbuseReportTimeStamp=\"1\"/>"
        "<message MessageId=\"1.3\" Sent=\"\" email=\"zed@x\" Delivered=\"1700000100000000\"/></Sent>"
        "<Received><message MessageId=\"2.1\" email=\"ann@x\" LocalDownloadedMessageTimeStamp=\"1700000200000000\""
        " LocalDeliveredTimeStamp=\"1700000250000000\" AbuseReport=\"AbuseReportVirus\"/>"
        "<message MessageId=\"2.2\"/></Received></Root>"));
    std::vector<std::string> order;
    std::map<std::string, CHistoryLine> byId;
    for (const CHistoryLine& line : HistoryLines(history)) {
        order.push_back(line.messageId.ToStd());
        byId[line.messageId.ToStd()] = line;
    }
    EXPECT_EQ(order, (std::vector<std::string>{"1.2", "2.1", "1.3", "1.1", "2.2"}));
    EXPECT_EQ(byId["1.2"].words, (std::vector<std::string>{"sent", "delivered", "spam"}));
    EXPECT_EQ(byId["1.3"].words, (std::vector<std::string>{"delivered"}));
    EXPECT_EQ(byId["2.1"].words, (std::vector<std::string>{"downloaded", "retrieved", "virus"}));
    EXPECT_TRUE(byId["1.1"].outgoing);
    EXPECT_FALSE(byId["2.1"].outgoing);

    const std::string text = byId["2.1"].Text();
    EXPECT_TRUE(std::regex_match(text, std::regex("in  \\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d\\.000  ann@x  2\\.1  "
                                                  "downloaded retrieved virus")))
        << text;
    EXPECT_EQ(byId["2.2"].Text(), "in  -  -  2.2  -");
}

// --- Conversion of old 8-bit names ---

TEST_F(MessageHistoryTest, ConversionRebuildsNamesOnceForEveryRegisteredAccount)
{
    CZelXmlDocument account = CAccountFile::NewDocument();
    account.RootElement().SetAttr("Login", "ivan");
    account.RootElement().SetAttr("Id", "3");
    ASSERT_TRUE(CAccountFile::Save("00000003.xml", account));
    // An unregistered account has no history to convert.
    account.RootElement().SetAttr("Id", "");
    ASSERT_TRUE(CAccountFile::Save("--1--.xml", account));

    const std::string ivan1251 = "\xC8\xE2\xE0\xED";
    const std::string ivanUtf8 = "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD";
    const CZelString petrWide("\x1F\x04\x51\x04\x42\x04\x40\x04\x00\x00", 10);   // "Пётр" and a zero unit
    ASSERT_TRUE(CMessageHistory::Update(3, "Sent", "1", [&](CZelXmlNode& entry) {
        entry.SetAttr("Name", CZelString(std::string_view(ivan1251)));
    }));
    ASSERT_TRUE(CMessageHistory::Update(3, "Received", "2", [&](CZelXmlNode& entry) {
        entry.SetAttr("Name", "??");
        entry.SetAttr("UnicodeName", petrWide);
    }));
    ASSERT_TRUE(CMessageHistory::Update(3, "Received", "3", [&](CZelXmlNode& entry) {
        entry.SetAttr("Name", CZelString(std::string_view(ivanUtf8)));
    }));

    EXPECT_EQ(CMessageHistory::ConvertAll(), 1);
    EXPECT_EQ(SentEntry(3, "1").GetAttr("Name").ToStd(), ivanUtf8);
    EXPECT_EQ(ReceivedEntry(3, "2").GetAttr("Name").ToStd(), "\xD0\x9F\xD1\x91\xD1\x82\xD1\x80");
    EXPECT_EQ(ReceivedEntry(3, "3").GetAttr("Name").ToStd(), ivanUtf8);

    // A second run finds nothing left to change and leaves the file alone.
    const std::string converted = ReadText(CMessageHistory::PathFor(3).ToStd());
    EXPECT_EQ(CMessageHistory::ConvertAll(), 0);
    EXPECT_EQ(ReadText(CMessageHistory::PathFor(3).ToStd()), converted);
}

TEST_F(MessageHistoryTest, ConversionIsAStartUpStepOfConvert)
{
    CZelXmlDocument account = CAccountFile::NewDocument();
    account.RootElement().SetAttr("Login", "ivan");
    account.RootElement().SetAttr("Id", "4");
    ASSERT_TRUE(CAccountFile::Save("00000004.xml", account));
    ASSERT_TRUE(CMessageHistory::Update(4, "Received", "1", [](CZelXmlNode& entry) {
        entry.SetAttr("Name", CZelString(std::string_view("\xC8\xE2\xE0\xED")));
    }));

    CStartSwitches::ClearConvertSteps();
    CMessageHistory::RegisterConvertStep();
    CMessageHistory::RegisterConvertStep();     // once per process, however often asked
    EXPECT_EQ(CStartSwitches::RunConvertSteps(), 1);
    EXPECT_EQ(ReceivedEntry(4, "1").GetAttr("Name").ToStd(), "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD");
    CStartSwitches::ClearConvertSteps();
}

} // namespace
