// The desk of an SMTP session against the real central server, in-process on a free loopback
// port with its own SQLite file: the sending handshake, the Outbox key reservation and
// release, the recipient lookup and the queueing of a message the server then accepts.

#include "smtp/CSmtpCentralDesk.h"

#include "accounts/CAccountFile.h"
#include "core/CProtocolListData.h"
#include "foundation/CZelFile.h"
#include "foundation/testing/TempDir.h"
#include "protocol/CSessionKeyFile.h"
#include "protocol/ZelSmtpTexts.h"
#include "server/CCentralHttpServer.h"
#include "server/CCentralMessages.h"
#include "server/CCentralServer.h"
#include "server/CCentralStore.h"
#include "smtp/SmtpRecipientChecks.h"

#include "testing/GatewayCentralFixture.h"
#include "testing/MailTestSupport.h"
#include "testing/SocketsEnvironment.h"

#include <memory>
#include <string>

using namespace mailtest;

namespace {

constexpr char kLogin[] = "alice";
constexpr char kPassword[] = "secret";

class SmtpCentralDeskTest : public InProcessCentralThreeUsersFixture {
protected:
    void SetUp() override
    {
        InProcessCentralThreeUsersFixture::SetUp();
        if (HasFatalFailure())
            return;
        WriteAccountFile();
    }

    // Alice's account file as the gateway keeps it.
    void WriteAccountFile()
    {
        CZelXmlDocument account = CAccountFile::NewDocument();
        CZelXmlNode root = account.RootElement();
        root.SetAttr(AccountAttr::kId, Format("%D", m_alice.id));
        root.SetAttr(AccountAttr::kLogin, kLogin);
        root.SetAttr(AccountAttr::kPassword, kPassword);
        root.SetAttr(AccountAttr::kEmail, m_alice.email.c_str());
        root.SetAttr(AccountAttr::kN, m_alice.Keys().n);
        root.SetAttr(AccountAttr::kE, m_alice.Keys().e);
        root.SetAttr(AccountAttr::kD, m_alice.Keys().d);
        ASSERT_TRUE(CAccountFile::Save(CAccountFile::FileNameFor(m_alice.id), account));
    }

    CZelString KeyPath() const { return CSessionKeyFile::OutboxPath(m_alice.id); }
    CZelXmlNode KeyFileRoot() const
    {
        CZelXmlDocument document;
        EXPECT_TRUE(CSessionKeyFile::Load(KeyPath(), document));
        return document.RootElement();
    }
    std::string Log() const { return m_log.SaveText().ToStd(); }

    // The desk after a handshake that the server accepted.
    std::unique_ptr<CSmtpCentralDesk> LoggedInDesk()
    {
        auto desk = std::make_unique<CSmtpCentralDesk>(m_client->Server(), m_log);
        CZelString status;
        EXPECT_EQ(desk->Handshake(m_alice.id, kLogin, kPassword, status), ESmtpHandshake::Done) << Log();
        EXPECT_EQ(status, kOperatedNormal) << Log();
        return desk;
    }

    // Replaces the server's ReqMsgId answer by `text`, sealed under the session's key.
    void AnswerReqMsgIdWith(const std::string& text)
    {
        m_server->Register(kRequestReqMsgId, [this, text](const CZelString& payload) {
            CCentralSealedRequest request;
            if (!m_server->OpenSealedRequest(payload, request))
                return CZelString();
            return Frame(AnswerType(kRequestReqMsgId), SealAnswer(request.key, CZelString(std::string_view(text))));
        });
    }

    CProtocolListData m_log;
};

TEST_F(SmtpCentralDeskTest, WrongLoginOrPasswordIsRefusedBeforeTheServerIsAsked)
{
    for (const auto& [login, password] : {std::pair{"alice", "wrong"}, std::pair{"Alice", "secret"}}) {
        CSmtpCentralDesk desk(m_client->Server(), m_log);
        CZelString status;
        EXPECT_EQ(desk.Handshake(m_alice.id, login, password, status), ESmtpHandshake::BadCredentials);
        EXPECT_TRUE(status.IsEmpty());
        EXPECT_FALSE(desk.HoldsOutboxKey());
        EXPECT_FALSE(CZelFile::FileExists(KeyPath()));
    }
}

TEST_F(SmtpCentralDeskTest, AnUnreadableAccountFileEndsTheSession)
{
    CSmtpCentralDesk desk(m_client->Server(), m_log);
    CZelString status;
    EXPECT_EQ(desk.Handshake(m_alice.id + 100, kLogin, kPassword, status), ESmtpHandshake::EndSession);
    EXPECT_NE(Log().find("point 1(ret)"), std::string::npos);
}

TEST_F(SmtpCentralDeskTest, FirstSessionMakesTheOutboxKeyAndItsReleaseDropsItUnused)
{
    auto desk = LoggedInDesk();
    ASSERT_TRUE(desk->HoldsOutboxKey());
    EXPECT_FALSE(desk->ServerTimeStamp().IsEmpty());
    const CZelXmlNode key = KeyFileRoot();
    EXPECT_EQ(key.GetAttr(CSessionKeyFile::kSessionKeyId), "3");
    EXPECT_EQ(key.GetAttr(CSessionKeyFile::kSessionKeyLock), "1");
    EXPECT_EQ(key.GetAttr(CSessionKeyFile::kSessionKeyUseCount), "0");
    EXPECT_EQ(key.GetAttr(CSessionKeyFile::kSessionKey), desk->OutboxKey().key);
    EXPECT_EQ(desk->OutboxKey().key.Length(), 32);

    desk->ReleaseOutboxKey();
    EXPECT_FALSE(CZelFile::FileExists(KeyPath()));
    desk->ReleaseOutboxKey();   // a second end changes nothing
    EXPECT_FALSE(CZelFile::FileExists(KeyPath()));
}

TEST_F(SmtpCentralDeskTest, AKeyOfTheWrongLengthIsRenewedKeepingTheFileNumber)
{
    CZelXmlDocument stored;
    stored.Create("doc", "Root");
    stored.RootElement().SetAttr(CSessionKeyFile::kSessionKey, "short");
    stored.RootElement().SetAttr(CSessionKeyFile::kSessionKeyId, "3");
    stored.RootElement().SetAttr(CSessionKeyFile::kSessionKeyUseCount, "2");
    stored.RootElement().SetAttr("FileId", "5");
    ASSERT_TRUE(CSessionKeyFile::Save(KeyPath(), stored));

    auto desk = LoggedInDesk();
    const CZelXmlNode key = KeyFileRoot();
    EXPECT_EQ(key.GetAttr(CSessionKeyFile::kSessionKey).Length(), 32);
    EXPECT_EQ(key.GetAttr(CSessionKeyFile::kSessionKeyId), "3");
    EXPECT_EQ(key.GetAttr("FileId"), "5");
    EXPECT_EQ(key.GetAttr(CSessionKeyFile::kSessionKeyLock), "1");
}

TEST_F(SmtpCentralDeskTest, RecipientsAreLookedUpAsTheServerSeesThem)
{
    auto desk = LoggedInDesk();

    const CSmtpLookup bob = desk->LookupRecipient("bob@example.org");
    ASSERT_EQ(bob.kind, CSmtpLookup::Kind::Accepted) << Log();
    EXPECT_TRUE(IsUsableMessageId(bob.recipient.msgId)) << bob.recipient.msgId.ToStd();
    EXPECT_EQ(bob.recipient.n, m_bob.Keys().n);
    EXPECT_EQ(bob.recipient.e, m_bob.Keys().e);
    EXPECT_EQ(bob.recipient.userId, Format("%D", m_bob.id));
    EXPECT_EQ(bob.recipient.name, "Test User");
    EXPECT_EQ(bob.recipient.address, "bob@example.org");

    const CSmtpLookup carol = desk->LookupRecipient("carol@example.org");
    EXPECT_EQ(carol.kind, CSmtpLookup::Kind::Refused);
    EXPECT_EQ(carol.errorText, "Call me first");   // her auto-reply to strangers

    const CSmtpLookup nobody = desk->LookupRecipient("nobody@example.org");
    EXPECT_EQ(nobody.kind, CSmtpLookup::Kind::Refused);
    EXPECT_EQ(nobody.errorText, kErrNoSuchUser);
}

TEST_F(SmtpCentralDeskTest, QueuedMessageIsSealedUnderTheKeyTheServerWasGiven)
{
    auto desk = LoggedInDesk();
    const CSmtpLookup bob = desk->LookupRecipient("bob@example.org");
    ASSERT_EQ(bob.kind, CSmtpLookup::Kind::Accepted);
    std::string message = "Subject: hello\r\n\r\nHello Bob.\r\n";
    ASSERT_EQ(desk->QueueMessage({bob.recipient}, message), ESmtpQueue::Queued) << Log();
    desk->ReleaseOutboxKey();
    EXPECT_EQ(KeyFileRoot().GetAttr(CSessionKeyFile::kSessionKeyLock), "0");
    EXPECT_EQ(KeyFileRoot().GetAttr(CSessionKeyFile::kSessionKeyUseCount), "1");

    CZelString file;
    ASSERT_TRUE(CZelFile::LoadWholeFile(COutbox::FilePath(m_alice.id, 1), file));
    const UploadAnswer answer =
        UploadBlock(*m_client, m_alice, desk->OutboxKey().keyNumber, desk->OutboxKey().key, file, 0, file.Length());
    ASSERT_TRUE(answer.status.has_value());
    EXPECT_EQ(answer.status->RootElement().GetAttr(kAttrStatus), kStatusOk)
        << answer.status->RootElement().GetAttr(kAttrErrorMessage).ToStd();
}

TEST_F(SmtpCentralDeskTest, UnusableLookupAnswersEndTheSessionOrAreRefused)
{
    using Kind = CSmtpLookup::Kind;
    std::string evenN = m_bob.Keys().n.ToStd();
    evenN[0] = static_cast<char>(evenN[0] & ~1);
    const auto answer = [](const std::string& msgId, const std::string& n) {
        CZelXmlDocument document;
        document.Create("doc", "Root");
        document.RootElement().SetAttr("MsgId", msgId.c_str());
        document.RootElement().SetAttr("n", CZelString(std::string_view(n)));
        document.RootElement().SetAttr("e", "\x03");
        document.RootElement().SetAttr("UserId", "2");
        return document.ToRequestText().ToStd();
    };
    struct Case {
        const char* what;
        std::string text;
        Kind expected;
        const char* logged;
    };
    const std::vector<Case> cases{
        {"even modulus", answer("1", evenN), Kind::EndSession, "Unusable key of recepient"},
        {"message id as a path", answer("../../1", m_bob.Keys().n.ToStd()), Kind::ServerReplyError,
         "message id ../../1 is refused"},
        {"not a document", "<Root MsgId=", Kind::EndSession, "point 4(ret)"},
    };
    auto desk = LoggedInDesk();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AnswerReqMsgIdWith(c.text);
        EXPECT_EQ(desk->LookupRecipient("bob@example.org").kind, c.expected);
        EXPECT_NE(Log().find(c.logged), std::string::npos) << Log();
    }
    // The server's own answers serve the next session as before.
    RegisterMessageRequests(*m_server);
    EXPECT_EQ(LoggedInDesk()->LookupRecipient("bob@example.org").kind, Kind::Accepted);
}

TEST_F(SmtpCentralDeskTest, AServerThatCannotBeReachedEndsTheSessionWithItsError)
{
    const CZelServerAddress address = m_client->Server();
    m_client.reset();
    m_http.reset();   // the port is closed now
    CSmtpCentralDesk desk(address, m_log);
    CZelString status;
    EXPECT_EQ(desk.Handshake(m_alice.id, kLogin, kPassword, status), ESmtpHandshake::EndSession);
    EXPECT_TRUE(status.IsEmpty());
    EXPECT_NE(Log().find("fhttp.Open("), std::string::npos) << Log();
    EXPECT_FALSE(desk.HoldsOutboxKey());
    EXPECT_FALSE(CZelFile::FileExists(KeyPath()));
}

} // namespace
