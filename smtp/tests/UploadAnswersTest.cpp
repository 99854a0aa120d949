// eMessageIsSent against a scripted HTTP peer, for the answers that must be exact: where the
// server tells the upload to resume, a status out of place, acknowledgements that do not fit.

#include "smtp/COutboxUpload.h"

#include "core/CConfig.h"
#include "core/CProtocolListData.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/testing/TempDir.h"
#include "history/CMessageHistory.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "protocol/ZelRecords.h"
#include "protocol/ZelSealing.h"
#include "testing/ScriptedHttpPeer.h"
#include "testing/SocketsEnvironment.h"

#include <filesystem>
#include <functional>
#include <mutex>
#include <vector>

using protocoltest::PeerConnection;
using protocoltest::ScriptedHttpPeer;

namespace {

constexpr int64_t kAccount = 42;

// What the peer saw of one upload block.
struct SeenBlock {
    int64_t total = -1;
    int64_t offset = -1;
    int64_t dataBytes = -1;
};

class UploadAnswersTest : public velmo_testing::TempHomeTest {
protected:
    // The answer records to one block.
    using Responder = std::function<CZelString(const SeenBlock& block, int index)>;

    void SetUp() override { CConfig::Global().Set(CConfig::kBlockSize, "64"); }
    void TearDown() override { CConfig::Global().ResetToDefaults(); }

    void WriteQueued(int64_t length)
    {
        std::filesystem::create_directories("Accounts/00000042/Outbox");
        WriteText(m_path, std::string(static_cast<size_t>(length), 'q'));
        WriteText(m_path + ".list", "<!DOCTYPE doc>\r\n<Root>\r\n <rcpt rcpt=\"bob@x.org\" MsgId=\"7.1\" UserId=\"9\" "
                                    "Name=\"Bob\" TranslitName=\"Bob\" UnicodeName=\"\"/>\r\n</Root>\r\n");
    }

    // Runs the upload against a peer that answers each block with `respond`.
    int Upload(const Responder& respond)
    {
        ScriptedHttpPeer peer({[&](PeerConnection& connection) {
            for (int index = 0;; ++index) {
                const auto request = connection.ReadRequest();
                if (!request)
                    return;
                SeenBlock block = Open(CZelString(std::string_view(request->body)));
                m_blocks.push_back(block);
                connection.Send(protocoltest::HttpAnswer(respond(block, index).ToStd()));
            }
        }});
        const CZelServerAddress server{CZelString(peer.Address().c_str()), "/velmo"};
        const CZelString path(m_path.c_str());
        return eMessageIsSent(kAccount, m_key, kKeyNumOutbox, path, path + ".list", server, &m_log);
    }

    SeenBlock Open(const CZelString& body) const
    {
        CZelRecord record;
        int64_t account = 0;
        uint32_t keyNumber = 0;
        CZelString sealed, plain;
        SeenBlock block;
        if (ParseRequestRecord(body, record) && record.type == kRequestUploadBlock &&
            SplitSealedRequest(record.payload, account, keyNumber, sealed) && Unseal(m_key, sealed, plain) &&
            plain.Length() >= kUploadBlockHeadSize && account == kAccount && keyNumber == kKeyNumOutbox) {
            block.total = GetInt64BE(plain.Ptr());
            block.offset = GetInt64BE(plain.Ptr() + 8);
            block.dataBytes = plain.Length() - kUploadBlockHeadSize;
        }
        return block;
    }

    CZelString Ack(int64_t total, int64_t next) const
    {
        return Frame(AnswerType(kRequestUploadBlock), SealAnswer(m_key, Int64BE(total) + Int64BE(next)));
    }

    CZelString Status(const char* status, const char* error = "") const
    {
        CZelXmlDocument document;
        document.Create("doc", "Root");
        document.RootElement().SetAttr("Status", status);
        document.RootElement().SetAttr("ErrorMessage", error);
        document.RootElement().SetAttr("TimeStamp", "1700000000123456");
        return Frame(AnswerType(kRecordQueuedMessage), SealAnswer(m_key, document.ToRequestText()));
    }

    std::vector<int64_t> DataSizes() const
    {
        std::vector<int64_t> sizes;
        for (const SeenBlock& block : m_blocks)
            sizes.push_back(block.dataBytes);
        return sizes;
    }

    bool Recorded()
    {
        CZelXmlDocument history;
        return CMessageHistory::Load(kAccount, history) && !history.RootElement().FindChild("Sent").IsNull();
    }

    const std::string m_path = "Accounts/00000042/Outbox/00000001.blk";
    const CZelString m_key = MakeSessionKey();
    CProtocolListData m_log;
    std::vector<SeenBlock> m_blocks;
};

TEST_F(UploadAnswersTest, BlocksOf64KbFollowAnEmptyFirstBlock)
{
    WriteQueued(153600);
    const int result = Upload([&](const SeenBlock& block, int) {
        const int64_t next = block.offset + block.dataBytes;
        return Ack(block.total, next) + (next == block.total ? Status("OK") : CZelString());
    });
    EXPECT_EQ(result, kUploadSent);
    EXPECT_EQ(DataSizes(), (std::vector<int64_t>{0, 65536, 65536, 22528}));
    for (const SeenBlock& block : m_blocks)
        EXPECT_EQ(block.total, 153600);
    EXPECT_NE(m_log.SaveText().ToStd().find("Sending message 7.1 in 64 KB parts..."), std::string::npos);
    ASSERT_TRUE(Recorded());
}

TEST_F(UploadAnswersTest, AServerThatHoldsTheFileAlreadyCompletesWithoutData)
{
    WriteQueued(3000);
    EXPECT_EQ(Upload([&](const SeenBlock& block, int) { return Ack(block.total, block.total) + Status("OK"); }),
              kUploadSent);
    EXPECT_EQ(DataSizes(), (std::vector<int64_t>{0}));
    EXPECT_TRUE(Recorded());
}

// Answers that bring no verdict keep the file for a later pass and record nothing.
TEST_F(UploadAnswersTest, AnswersWithoutAVerdictAreTriedAgainLater)
{
    struct Case {
        const char* name;
        std::function<CZelString(const SeenBlock&)> answer;
        const char* logged;
    };
    const std::vector<Case> cases = {
        {"status before the last acknowledgement",
         [this](const SeenBlock& b) { return Status("OK") + Ack(b.total, b.total); }, ""},
        {"acknowledgement that does not unseal",
         [](const SeenBlock&) { return Frame(AnswerType(kRequestUploadBlock), CZelString("garbage-garbage-garbage")); },
         "eRepSendBlock decrypt error"},
        {"acknowledgement of another length",
         [this](const SeenBlock& b) { return Ack(b.total + 1, 0); }, "eRepSendBlock data error"},
        {"acknowledgement that goes back",
         [this](const SeenBlock& b) { return Ack(b.total, -5); }, "eRepSendBlock data error"},
        {"status that does not parse",
         [this](const SeenBlock& b) {
             return Ack(b.total, b.total) + Frame(AnswerType(kRecordQueuedMessage), SealAnswer(m_key, "<Root"));
         },
         "eMessageIsSent: error at point 7"},
        {"empty answer", [](const SeenBlock&) { return CZelString(); }, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteQueued(3000);
        m_log.Clear();
        EXPECT_EQ(Upload([&](const SeenBlock& block, int) { return c.answer(block); }), kUploadRetry);
        EXPECT_TRUE(Exists(m_path));
        EXPECT_FALSE(Recorded());
        EXPECT_NE(m_log.SaveText().ToStd().find(c.logged), std::string::npos) << m_log.SaveText().ToStd();
    }
}

TEST_F(UploadAnswersTest, AFinalStatusOtherThanOkIsLoggedWithTheRecipients)
{
    WriteQueued(3000);
    EXPECT_EQ(Upload([&](const SeenBlock& block, int) {
                  return Ack(block.total, block.total) + Status("Error", "The message does not match its hash");
              }),
              kUploadFinished);
    EXPECT_FALSE(Recorded());
    const std::string log = m_log.SaveText().ToStd();
    EXPECT_NE(log.find("Message (3000 bytes) sent failed: The message does not match its hash"), std::string::npos)
        << log;
    EXPECT_NE(log.find("7.1, Bob<bob@x.org>"), std::string::npos) << log;
}

} // namespace
