// The block download against a scripted peer: what each kind of answer makes of the message
// (complete, dropped, or tried again later), what the requests ask for, and how a download
// file that already holds a part is resumed.

#include "pop3/CInboxDownload.h"

#include "core/CConfig.h"
#include "core/CProtocolListData.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/testing/TempDir.h"
#include "net/CZelTcpFile.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "protocol/ZelRecords.h"
#include "protocol/ZelSealing.h"
#include "testing/ScriptedHttpPeer.h"
#include "testing/SocketsEnvironment.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

using protocoltest::HttpAnswer;
using protocoltest::PeerConnection;
using protocoltest::ScriptedHttpPeer;

namespace {

constexpr int64_t kAccount = 42;
constexpr int64_t kDataBytes = 3000;
const char kMessageId[] = "5.6";
const char kPath[] = "Accounts/00000042/Inbox/5.6";

// What the peer saw of one block request.
struct SeenRequest {
    bool opened = false;
    CZelString messageId;
    CZelString length;
    int64_t pos = -1;
    int64_t blockSize = -1;
};

// The answer to one request: the HTTP bytes, or nothing to close the connection.
using Responder = std::function<std::optional<std::string>(const SeenRequest& request, int index)>;

std::string Data()
{
    std::string data;
    for (int64_t i = 0; i < kDataBytes; ++i)
        data += static_cast<char>('a' + i % 26);
    return data;
}

class BlockAnswersFixture : public velmo_testing::TempHomeTest {
protected:
    void SetUp() override
    {
        CConfig::Global().Set(CConfig::kBlockSize, "1");
        std::filesystem::create_directories("Accounts/00000042/Inbox");
    }
    void TearDown() override { CConfig::Global().ResetToDefaults(); }

    int Receive(const Responder& respond)
    {
        ScriptedHttpPeer peer({[&](PeerConnection& connection) {
            for (int index = 0;; ++index) {
                const auto request = connection.ReadRequest();
                if (!request)
                    return;
                m_seen.push_back(Open(request->body));
                const std::optional<std::string> answer = respond(m_seen.back(), index);
                if (!answer)
                    return;
                connection.Send(*answer);
            }
        }});
        const CZelServerAddress server{CZelString(peer.Address().c_str()), "/velmo"};
        CZelTcpFile connection(EErrorMode::Throw);
        return ReceiveBlocks({kAccount, m_key, kKeyNumInbox, kMessageId, kPath, {}}, server, connection, m_log);
    }

    SeenRequest Open(const std::string& body) const
    {
        CZelRecord record;
        int64_t account = 0;
        uint32_t keyNumber = 0;
        CZelString sealed, plain;
        CZelXmlDocument document;
        SeenRequest seen;
        if (ParseRequestRecord(CZelString(std::string_view(body)), record) && record.type == kRequestFetchBlock &&
            SplitSealedRequest(record.payload, account, keyNumber, sealed) && Unseal(m_key, sealed, plain) &&
            account == kAccount && keyNumber == kKeyNumInbox && document.Parse(plain)) {
            const CZelXmlNode root = document.RootElement();
            seen.opened = true;
            seen.messageId = root.GetAttr(kAttrMessageId);
            seen.length = root.GetAttr(kAttrLength);
            seen.pos = std::stoll(root.GetAttr(kAttrPos).ToStd());
            seen.blockSize = std::stoll(root.GetAttr(kAttrBlockSize).ToStd());
        }
        return seen;
    }

    // A block record of the message data from `pos`, with the total and offset given.
    std::string Block(int64_t total, int64_t offset, int64_t pos, int64_t count) const
    {
        const std::string data = Data();
        const std::string part = pos < kDataBytes ? data.substr(static_cast<size_t>(pos), static_cast<size_t>(count)) : "";
        const CZelString plain = Int64BE(total) + Int64BE(offset) + CZelString(std::string_view(part));
        return Frame(AnswerType(kRequestFetchBlock), SealAnswer(m_key, plain)).ToStd();
    }

    // The honest answer to a request.
    std::string Honest(const SeenRequest& request) const
    {
        return HttpAnswer(Block(kDataBytes, request.pos, request.pos, request.blockSize));
    }

    bool Logged(const std::string& part) const
    {
        CProtocolLine line;
        for (int64_t number = m_log.FirstLineNumber(); m_log.LineByNumber(number, &line); ++number)
            if (line.text.ToStd().find(part) != std::string::npos)
                return true;
        return false;
    }

    static std::string Held(int64_t bytes)
    {
        return (Int64BE(kDataBytes) + CZelString(std::string_view(Data().substr(0, static_cast<size_t>(bytes)))))
            .ToStd();
    }

    const CZelString m_key = MakeSessionKey();
    CProtocolListData m_log;
    std::vector<SeenRequest> m_seen;
};

TEST_F(BlockAnswersFixture, AnHonestPeerIsFetchedInBlocksOfTheConfiguredSize)
{
    EXPECT_EQ(Receive([&](const SeenRequest& request, int) { return Honest(request); }), kReceiveComplete);
    EXPECT_EQ(ReadText(kPath), Held(kDataBytes));
    ASSERT_EQ(m_seen.size(), 3u);
    for (size_t i = 0; i < m_seen.size(); ++i) {
        EXPECT_TRUE(m_seen[i].opened);
        EXPECT_EQ(m_seen[i].messageId, kMessageId);
        EXPECT_EQ(m_seen[i].pos, static_cast<int64_t>(i) * 1024);
        EXPECT_EQ(m_seen[i].blockSize, 1024);
        // The length is sent once the file knows it.
        EXPECT_EQ(m_seen[i].length, i == 0 ? "" : "3000");
    }
    EXPECT_TRUE(Logged("Receiving message 5.6 by <=1 KB parts..."));
    EXPECT_TRUE(Logged("Receiving e-mail: 3,000 of 3,000 bytes of data are received..."));
}

TEST_F(BlockAnswersFixture, AHeldPartIsResumedAtItsEnd)
{
    WriteText(kPath, Held(1500));
    EXPECT_EQ(Receive([&](const SeenRequest& request, int) { return Honest(request); }), kReceiveComplete);
    EXPECT_EQ(ReadText(kPath), Held(kDataBytes));
    ASSERT_EQ(m_seen.size(), 2u);
    EXPECT_EQ(m_seen[0].pos, 1500);
    EXPECT_EQ(m_seen[0].length, "3000");
}

TEST_F(BlockAnswersFixture, AFileThatContradictsItselfIsDroppedWithoutAsking)
{
    for (const std::string& file : {Held(kDataBytes) + "x", (Int64BE(5) + CZelString("abc")).ToStd()}) {
        WriteText(kPath, file);
        EXPECT_EQ(Receive([&](const SeenRequest& request, int) { return Honest(request); }), kReceiveDrop);
        EXPECT_TRUE(m_seen.empty());
        EXPECT_TRUE(Logged("eReqRecvBlock data error"));
    }
}

struct AnswerCase {
    const char* name;
    // The answer to the second request (the first is honest).
    std::function<std::optional<std::string>(const BlockAnswersFixture& fixture, const SeenRequest& request)> answer;
    int result;
    const char* logged;
};

class BlockAnswersTest : public BlockAnswersFixture, public ::testing::WithParamInterface<AnswerCase> {
public:
    std::string BlockOf(int64_t total, int64_t offset, int64_t pos, int64_t count) const
    {
        return HttpAnswer(Block(total, offset, pos, count));
    }
    std::string Record(const CZelString& payload) const
    {
        return HttpAnswer(Frame(AnswerType(kRequestFetchBlock), payload).ToStd());
    }
    CZelString Key() const { return m_key; }
};

TEST_P(BlockAnswersTest, DecidesTheMessagesFate)
{
    const AnswerCase& c = GetParam();
    const int result = Receive([&](const SeenRequest& request, int index) -> std::optional<std::string> {
        return index == 0 ? std::optional<std::string>(Honest(request)) : c.answer(*this, request);
    });
    EXPECT_EQ(result, c.result);
    EXPECT_TRUE(Logged(c.logged)) << c.logged;
    // The first block stays held for a later try or goes with the file; it is never damaged.
    EXPECT_EQ(ReadText(kPath), Held(1024));
}

using F = const BlockAnswersFixture&;
using R = const SeenRequest&;

const BlockAnswersTest& Self(F fixture)
{
    return static_cast<const BlockAnswersTest&>(fixture);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, BlockAnswersTest,
    ::testing::Values(
        // As the server refuses: the empty record, and an error record after it that says why.
        AnswerCase{"EmptyRecord",
                   [](F f, R) {
                       return HttpAnswer((Frame(AnswerType(kRequestFetchBlock), CZelString()) +
                                          Frame(kRecordError, SealAnswer(Self(f).Key(), "<Root/>")))
                                             .ToStd());
                   },
                   kReceiveDrop, "eReqRecvBlock data error (zero length)"},
        AnswerCase{"UnderAnotherKey",
                   [](F f, R) { return Self(f).Record(SealAnswer(MakeSessionKey(), Int64BE(3000) + Int64BE(1024))); },
                   kReceiveDrop, "eReqRecvBlock decrypt error"},
        AnswerCase{"ShorterThanItsHead", [](F f, R) { return Self(f).Record(SealAnswer(Self(f).Key(), "0123456789")); },
                   kReceiveDrop, "eReqRecvBlock data error"},
        AnswerCase{"WrongOffset", [](F f, R r) { return Self(f).BlockOf(kDataBytes, r.pos + 1, r.pos, 100); },
                   kReceiveDrop, "eReqRecvBlock data error"},
        AnswerCase{"TotalChanged", [](F f, R r) { return Self(f).BlockOf(kDataBytes + 1, r.pos, r.pos, 100); },
                   kReceiveDrop, "eReqRecvBlock data error"},
        AnswerCase{"TotalTooSmall", [](F f, R r) { return Self(f).BlockOf(31, r.pos, r.pos, 10); }, kReceiveDrop,
                   "eReqRecvBlock data error"},
        AnswerCase{"TotalTooLarge", [](F f, R r) { return Self(f).BlockOf(0x6500001, r.pos, r.pos, 10); },
                   kReceiveDrop, "eReqRecvBlock data error"},
        AnswerCase{"BlockPastTheTotal",
                   [](F f, R r) {
                       const CZelString plain = Int64BE(kDataBytes) + Int64BE(r.pos) + CZelString(std::string(2000, 'x').c_str());
                       return Self(f).Record(SealAnswer(Self(f).Key(), plain));
                   },
                   kReceiveDrop, "eReqRecvBlock data error"},
        AnswerCase{"NoBytes", [](F f, R r) { return Self(f).BlockOf(kDataBytes, r.pos, r.pos, 0); }, kReceiveLater,
                   "eReqRecvBlock: no data at 1024 of 3000 bytes"},
        AnswerCase{"NoBlockRecord", [](F, R) { return HttpAnswer(Frame(AnswerType(kRequestUploadBlock), "abcdefgh").ToStd()); },
                   kReceiveLater, "Receiving e-mail: 1,024 of 3,000"},
        AnswerCase{"ServerError", [](F, R) { return HttpAnswer("", "HTTP/1.1 500 Internal Server Error"); },
                   kReceiveLater, "Server reply error"},
        AnswerCase{"ConnectionClosed", [](F, R) { return std::optional<std::string>(); }, kReceiveLater,
                   "fhttp."}),
    [](const ::testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.name); });

} // namespace
