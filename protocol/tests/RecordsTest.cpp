// Record framing and splitting.

#include "foundation/testing/MutationFuzzer.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "protocol/ZelRecords.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The answers to the server key request and to the login, as the server frames them.
constexpr uint32_t kServerKeyAnswer = AnswerType(kRequestServerKey);
constexpr uint32_t kLoginAnswer = AnswerType(kRequestReqTimestamp);

std::string Bytes(const CZelString& s) { return s.ToStd(); }

std::string Head(uint32_t type, uint32_t length)
{
    char head[8];
    PutUInt32BE(type, head);
    PutUInt32BE(length, head + 4);
    return std::string(head, 8);
}

TEST(Records, FrameWritesTypeAndLengthBigEndian)
{
    const CZelString payload(std::string(300, 'p'));
    const std::string record = Bytes(Frame(kRequestReqTimestamp, payload));
    ASSERT_EQ(record.size(), 308u);
    EXPECT_EQ(record.substr(0, 8), std::string("\x00\x00\x00\x03\x00\x00\x01\x2C", 8));
    EXPECT_EQ(record.substr(8), std::string(300, 'p'));
}

TEST(Records, ServerKeyRequestIsEightBytes)
{
    EXPECT_EQ(Bytes(Frame(kRequestServerKey, CZelString())), std::string("\x00\x00\x00\x01\x00\x00\x00\x00", 8));
}

TEST(Records, SplitKeepsRecordsBeforeATruncatedOne)
{
    const std::string body = Bytes(Frame(kServerKeyAnswer, "<Root/>")) + Head(kServerKeyAnswer, 100) + "only a few bytes";
    const std::vector<CZelRecord> records = SplitRecords(CZelString(body));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].type, kServerKeyAnswer);
    EXPECT_EQ(Bytes(records[0].payload), "<Root/>");
}

TEST(Records, SplitReadsRecordsBackToBack)
{
    const std::string body =
        Bytes(Frame(kLoginAnswer, "one")) + Bytes(Frame(kRecordMessageText, "")) + Bytes(Frame(kLoginAnswer, "three"));
    const std::vector<CZelRecord> records = SplitRecords(CZelString(body));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].type, kLoginAnswer);
    EXPECT_EQ(Bytes(records[0].payload), "one");
    EXPECT_EQ(records[1].type, kRecordMessageText);
    EXPECT_TRUE(records[1].payload.IsEmpty());
    EXPECT_EQ(Bytes(records[2].payload), "three");
}

TEST(Records, SplitNeedsMoreThanEightBytesForARecord)
{
    // An answer record with an empty payload as the last thing is not taken.
    EXPECT_TRUE(SplitRecords(Frame(kServerKeyAnswer, CZelString())).empty());
    EXPECT_TRUE(SplitRecords(CZelString()).empty());
    EXPECT_TRUE(SplitRecords(CZelString("\x00\x01\x00\x01", 4)).empty());
    EXPECT_EQ(SplitRecords(Frame(kServerKeyAnswer, "x")).size(), 1u);
}

TEST(Records, SplitStopsAtALengthBeyondTheBody)
{
    // The largest stated length must not wrap around into a small one.
    const std::string body = Bytes(Frame(kRequestServerKey, "a")) + Head(kRequestRegister, 0xFFFFFFFFu) + "rest";
    EXPECT_EQ(SplitRecords(CZelString(body)).size(), 1u);
}

TEST(Records, RequestBodyIsExactlyOneRecord)
{
    CZelRecord record;
    EXPECT_TRUE(ParseRequestRecord(Frame(kRequestServerKey, CZelString()), record));
    EXPECT_EQ(record.type, kRequestServerKey);
    EXPECT_TRUE(record.payload.IsEmpty());

    EXPECT_TRUE(ParseRequestRecord(Frame(kRequestUploadBlock, "block"), record));
    EXPECT_EQ(record.type, kRequestUploadBlock);
    EXPECT_EQ(Bytes(record.payload), "block");

    EXPECT_FALSE(ParseRequestRecord(CZelString("\x00\x00\x00\x01\x00\x00\x00", 7), record));
    EXPECT_FALSE(ParseRequestRecord(Frame(kRequestUploadBlock, "block") + "x", record));
    EXPECT_FALSE(ParseRequestRecord(Frame(kRequestUploadBlock, "block").Left(12), record));
}

TEST(Records, Int64BigEndianRoundTrips)
{
    const int64_t values[] = {0, 1, -1, 42, INT64_MAX, INT64_MIN, 0x0102030405060708};
    for (int64_t value : values)
        EXPECT_EQ(GetInt64BE(Int64BE(value).Ptr()), value);
    EXPECT_EQ(Bytes(Int64BE(0x0102030405060708)), std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
    EXPECT_EQ(Bytes(Int64BE(-1)), std::string(8, '\xFF'));
}

TEST(Records, SplitterMeetsAnyInput)
{
    const std::vector<std::string> seeds = {
        Bytes(Frame(kServerKeyAnswer, "<Root n=\"a\" e=\"b\"/>")) +
            Bytes(Frame(kLoginAnswer, CZelString(std::string(40, 's')))),
        Bytes(Frame(AnswerType(kRequestFetchBlock), CZelString(std::string(300, '\0')))),
        Head(kServerKeyAnswer, 0x7FFFFFFF) + "x",
    };
    velmo_testing::RunMutationFuzzer(seeds, 20000, [](const std::string& input) {
        size_t consumed = 0;
        for (const CZelRecord& record : SplitRecords(CZelString(input)))
            consumed += 8 + static_cast<size_t>(record.payload.Length());
        ASSERT_LE(consumed, input.size());
    });
}

} // namespace
