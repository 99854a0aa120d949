// The request entry point on its own: whatever bytes come in, the answer is nothing or a
// well-formed answer record, and a request that gets no answer changes nothing stored.

#include "foundation/testing/MutationFuzzer.h"
#include "server/CCentralServer.h"
#include "server/CCentralStore.h"
#include "testing/CentralServerFixture.h"

#include <atomic>
#include <thread>
#include <vector>

using namespace centraltest;

namespace {

class CentralHandleTest : public CentralServerFixture {
protected:
    void SetUp() override
    {
        // The request entry point without the HTTP front or the message requests.
        StartServer({.messageRequests = false, .httpFront = false});
        ASSERT_EQ(RegisterDirect(m_alice), 1);
        ASSERT_EQ(RegisterDirect(m_bob), 2);
        m_bob.sessionKey = MakeSessionKey();
        ASSERT_FALSE(m_server->Handle(LoginBody(m_bob, m_bob.sessionKey)).IsEmpty());
    }

    CZelString RegistrationBody(const User& user)
    {
        const CZelString text = RegistrationDocument(user).ToRequestText();
        const CCentralServerKey& key = m_store->ServerKey();
        const LongInt2 n(key.n.Ptr(), key.n.Length());
        const LongInt2 e(key.e.Ptr(), key.e.Length());
        CZelString blocks;
        EXPECT_GT(RsaBlockTransform::Apply(n, e, text.Ptr(), text.Length(), Now(), blocks), 0);
        return Frame(kRequestRegister, blocks);
    }

    int64_t RegisterDirect(User& user)
    {
        for (const CZelRecord& record : SplitRecords(m_server->Handle(RegistrationBody(user))))
            user.id = std::stoll(Parsed(record.payload).RootElement().GetAttr("Id").ToStd());
        return user.id;
    }

    CZelString LoginBody(const User& user, const CZelString& key, uint32_t type = kRequestReqTimestamp)
    {
        const CZelXmlDocument document =
            MakeLoginDocument(Format("%D", user.id), type == kRequestPreLogin ? kCommandPreLogin : kCommandReqTimestamp,
                              {{kKeyNumAccountRun, key}}, 0);
        return Frame(type, MakeLoginPayload(user.AccountKey(), document, Now()));
    }

    CZelString SealedBody(uint32_t type, const User& user, const CZelString& plain)
    {
        return Frame(type, Seal(user.id, kKeyNumAccountRun, user.sessionKey, plain));
    }

    static uint32_t Now() { return static_cast<uint32_t>(std::time(nullptr)); }

    // Every row of every table, as text.
    std::string Snapshot()
    {
        CCentralStore::Hold hold(*m_store);
        std::string text;
        for (const char* table : {"schema_version", "server_key", "accounts", "session_key_ring", "seeds", "lists",
                                  "updates", "messages", "message_recipients"}) {
            text += table;
            text += ":";
            CStoreStatement all = hold.Db().Prepare((std::string("SELECT * FROM ") + table).c_str());
            while (all.Step())
                for (int column = 0; column < all.ColumnCount(); ++column)
                    text += (all.IsNull(column) ? std::string("NULL") : all.Bytes(column).ToStd()) + "|";
            text += "\n";
        }
        return text;
    }
};

TEST_F(CentralHandleTest, BadRequestsGetNoAnswerAndChangeNothing)
{
    const CZelString login = LoginBody(m_bob, MakeSessionKey());
    const CZelString list = SealedBody(kRequestContactList, m_bob, ListDocument({{"+bl", "alice@example.org"}}).ToRequestText());
    CZelString flippedMac = list;
    {
        std::string bytes = flippedMac.ToStd();
        bytes[8 + 20] ^= 0x01;   // first MAC byte
        flippedMac = CZelString(bytes);
    }
    CZelString garbage64(nullptr, 64);
    struct Case {
        const char* name;
        CZelString body;
    } cases[] = {
        {"empty body", CZelString()},
        {"shorter than a record head", CZelString("\0\0\0\1\0\0\0", 7)},
        {"server key with a payload", Frame(kRequestServerKey, "x")},
        {"truncated record", login.Left(login.Length() - 1)},
        {"length past the end", Frame(kRequestReqTimestamp, login.Mid(8)).Left(40)},
        {"two records", Frame(kRequestServerKey, CZelString()) + Frame(kRequestServerKey, CZelString())},
        {"trailing byte", Frame(kRequestServerKey, CZelString()) + "x"},
        {"unknown type", Frame(kUnknownRequestType, "whatever")},
        {"message type not served here", Frame(kRequestReqMsgId, "whatever")},
        {"registration that does not open", Frame(kRequestRegister, garbage64)},
        {"registration of a wrong length", Frame(kRequestRegister, RegistrationBody(m_alice).Mid(8).Left(63))},
        {"login of only an id", Frame(kRequestReqTimestamp, Int64BE(2))},
        {"login blocks that do not open", Frame(kRequestReqTimestamp, Int64BE(2) + garbage64)},
        {"login for an unknown id", Frame(kRequestReqTimestamp, Int64BE(77) + login.Mid(16))},
        {"sealed with a flipped MAC", flippedMac},
        {"sealed too short", Frame(kRequestContactList, list.Mid(8).Left(27))},
        {"sealed XML that does not parse", SealedBody(kRequestContactList, m_bob, "<Root <<")},
        {"sealed for an unknown account", Frame(kRequestContactList, Int64BE(55) + list.Mid(16))},
        {"sealed under an unknown key number", Frame(kRequestContactList, Seal(m_bob.id, 9, m_bob.sessionKey, "<Root/>"))},
    };
    const std::string before = Snapshot();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(m_server->Handle(c.body).IsEmpty());
        EXPECT_EQ(Snapshot(), before);
    }
}

TEST_F(CentralHandleTest, RegistrationXmlThatDoesNotParseGetsNoAnswer)
{
    const CZelString text = "<Root email=\"x@y\" <<<";
    const CCentralServerKey& key = m_store->ServerKey();
    const LongInt2 n(key.n.Ptr(), key.n.Length());
    const LongInt2 e(key.e.Ptr(), key.e.Length());
    CZelString blocks;
    ASSERT_GT(RsaBlockTransform::Apply(n, e, text.Ptr(), text.Length(), Now(), blocks), 0);
    const std::string before = Snapshot();
    EXPECT_TRUE(m_server->Handle(Frame(kRequestRegister, blocks)).IsEmpty());
    EXPECT_EQ(Snapshot(), before);
}

TEST_F(CentralHandleTest, LoginsFromSeveralThreadsAllAnswer)
{
    // The RSA of a login runs outside the store lock; concurrent logins must still each land.
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 4; ++i)
                if (!m_server->Handle(LoginBody(t == 0 ? m_alice : m_bob, MakeSessionKey(), i % 2 ? 9 : 3)).IsEmpty())
                    ++answered;
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(answered.load(), 8);
}

TEST_F(CentralHandleTest, FuzzedRequestsNeverBreakTheEntryPoint)
{
    const std::vector<std::string> seeds = {
        Frame(kRequestServerKey, CZelString()).ToStd(),
        RegistrationBody(User{"carol@example.org", "C", 3}).ToStd(),
        LoginBody(m_bob, MakeSessionKey(), 3).ToStd(),
        LoginBody(m_bob, m_bob.sessionKey, kRequestPreLogin).ToStd(),
        SealedBody(kRequestContactList, m_bob, ListDocument({{"+cl", m_alice.email, m_alice.secureCode, true}, {"+bl", "x"}}).ToRequestText()).ToStd(),
        SealedBody(kRequestAccountUpdate, m_bob, RegistrationDocument(m_bob).ToRequestText()).ToStd(),
        SealedBody(kRequestAdministrative, m_bob, AdminDocument("Restrict", "email", "alice@example.org").ToRequestText()).ToStd(),
    };
    uint64_t answered = 0;
    const uint64_t runs = velmo_testing::RunMutationFuzzer(seeds, 4000, [&](const std::string& input) {
        CZelRecord request;
        const bool wellFormed = ParseRequestRecord(CZelString(input), request);
        const CZelString answer = m_server->Handle(CZelString(input));
        if (answer.IsEmpty())
            return;
        ++answered;
        ASSERT_TRUE(wellFormed);
        const std::vector<CZelRecord> records = SplitRecords(answer);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records.front().type, AnswerType(request.type));
    });
    EXPECT_EQ(runs, seeds.size() + 4000);
    EXPECT_GE(answered, seeds.size());
    // The store is still whole and usable.
    EXPECT_TRUE(m_store->FindAccount(1));
    EXPECT_FALSE(m_server->Handle(Frame(kRequestServerKey, CZelString())).IsEmpty());
}

} // namespace
