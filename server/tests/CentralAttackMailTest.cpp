// A registered user attacking the central server's logins, sealed requests and mail, against
// the in-process server over HTTP with a real SQLite file. Each row is one attack; the same
// row's rightful case does the same thing as the rightful user would, and succeeds.

#include "server/CCentralHttpServer.h"
#include "server/CCentralMessages.h"
#include "server/CCentralServer.h"
#include "server/CCentralStore.h"
#include "testing/CentralServerFixture.h"
#include "testing/MailTestSupport.h"
#include "testing/SocketsEnvironment.h"

#include <memory>
#include <ostream>
#include <string>

using namespace mailtest;

namespace {

constexpr int64_t kHour = 3600LL * 1000000;
constexpr int64_t kDay = 24 * kHour;

struct Keys {
    CZelString session = MakeSessionKey();
    CZelString outbox = MakeSessionKey();
    CZelString inbox = MakeSessionKey();
};

class AttackMailTest;
using Step = bool (AttackMailTest::*)();

// One attack: `attack` is true when the server refused it, `rightful` when the rightful use
// went through.
struct Attack {
    const char* name;
    Step attack;
    Step rightful;
};

void PrintTo(const Attack& row, std::ostream* out)
{
    *out << row.name;
}

class AttackMailTest : public CentralServerFixture, public ::testing::WithParamInterface<Attack> {
public:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(StartServer());
        // Alice, the first account, is the administrator; Alice and Bob are each other's contacts.
        ASSERT_TRUE(m_client->Register(m_alice));
        ASSERT_TRUE(m_client->Register(m_bob));
        ASSERT_TRUE(m_client->Register(m_carol));
        MakeContacts(*m_client, m_bob, m_alice);
    }

    // ---- the client's side ----

    std::vector<CZelXmlDocument> Login(uint32_t type, const User& user, const std::vector<CZelSessionKeyGrant>& grants)
    {
        return m_client->Login(type, user, grants);
    }

    // The login request's body, to be posted as often as wanted.
    CZelString LoginBody(const User& user, const std::vector<CZelSessionKeyGrant>& grants)
    {
        const CZelXmlDocument document =
            MakeLoginDocument(Format("%D", user.id), kCommandReqTimestamp, grants, kStandingOnlyTimeStamp);
        return Frame(kRequestReqTimestamp,
                     MakeLoginPayload(user.AccountKey(), document, static_cast<uint32_t>(std::time(nullptr))));
    }

    bool Answered(const CZelString& body, uint32_t type, const CZelString& key)
    {
        return !ParseSealedAnswers(m_client->Post(body), AnswerType(type), key).empty();
    }

    void SendingHandshake(const User& user, const Keys& keys)
    {
        ASSERT_EQ(Login(kRequestReqTimestamp, user, {{kKeyNumSession, keys.session}, {kKeyNumOutbox, keys.outbox}}).size(),
                  1u);
    }

    static CZelXmlDocument ReqMsgIdDocument(const User& recipient)
    {
        CZelXmlDocument document;
        document.Create("doc", "Root");
        document.RootElement().SetAttr("Command", "ReqMsgId");
        document.RootElement().SetAttr("TimeStamp", "1");
        document.RootElement().SetAttr("rcpt", recipient.email.c_str());
        return document;
    }

    CZelXmlNode ReqMsgId(const User& sender, const Keys& keys, const User& recipient)
    {
        const auto answers = SealedRequest(kRequestReqMsgId, ReqMsgIdDocument(recipient), sender.id, kKeyNumSession,
                                           keys.session, m_client->Server(), m_client->Connection(), kHttpWriteTimeoutMs);
        m_lastAnswer = answers.empty() ? CZelXmlDocument() : answers.front();
        return m_lastAnswer.RootElement();
    }

    Recipient Lookup(const User& sender, const Keys& keys, const User& recipient)
    {
        const CZelXmlNode root = ReqMsgId(sender, keys, recipient);
        EXPECT_FALSE(root.GetAttr("MsgId").IsEmpty()) << root.GetAttr("ErrorMessage").ToStd();
        Recipient found{recipient.email, root.GetAttr("MsgId"), recipient.id, root.GetAttr("n"), root.GetAttr("e")};
        return found;
    }

    static CZelString Text(int bytes)
    {
        CZelString text = "From: alice@example.org\r\nSubject: hello\r\n\r\n";
        for (int i = 0; text.Length() < bytes; ++i)
            text += Format("line %d of the message body\r\n", i);
        return text.Left(bytes);
    }

    // The ids waiting for the user; the server's clock must be back on the wall clock, as the
    // login's time comes from it.
    std::vector<std::string> Waiting(const User& user)
    {
        Keys keys;
        const auto login =
            Login(kRequestPreLogin, user, {{kKeyNumSession, keys.session}, {kKeyNumInbox, keys.inbox}});
        if (login.size() != 1)
            return {"no login"};
        return Ids(SeedAnswer(user, keys, login.front().RootElement().GetAttr("Seed")), "Message");
    }

    CZelXmlDocument SeedAnswer(const User& user, const Keys& keys, const CZelString& seed)
    {
        CZelXmlDocument document;
        document.Create("doc", "Root");
        document.RootElement().SetAttr("Seed", seed);
        document.RootElement().SetAttr("LastDeliveredTimeStamp", "0");
        const auto answers = SealedRequest(kRequestSeed, document, user.id, kKeyNumSession, keys.session,
                                           m_client->Server(), m_client->Connection(), kHttpWriteTimeoutMs);
        return answers.empty() ? CZelXmlDocument() : answers.front();
    }

    static std::vector<std::string> Ids(const CZelXmlDocument& answer, const char* element)
    {
        std::vector<std::string> ids;
        for (CZelXmlNode node = answer.RootElement().FindChild(element); !node.IsNull(); node = node.NextSameName())
            ids.push_back(node.GetAttr("MessageId").ToStd());
        return ids;
    }

    // The delivery time the sender sees for a message id; empty when none.
    std::string DeliveredTime(const User& sender, const CZelString& messageId)
    {
        Keys keys;
        const auto login =
            Login(kRequestPreLogin, sender, {{kKeyNumSession, keys.session}, {kKeyNumInbox, keys.inbox}});
        if (login.size() != 1)
            return "no login";
        const CZelXmlDocument answer = SeedAnswer(sender, keys, login.front().RootElement().GetAttr("Seed"));
        const CZelXmlNode entry = answer.RootElement().FindChildByAttr("Delivered", "MessageId", messageId);
        return entry.GetAttr("TimeStamp").ToStd();
    }

    // Alice's message to Bob with the given reservation: the final status, "" when none came.
    std::string UploadToBob(const Recipient& bob, int64_t blockSize = 1000)
    {
        const CZelString file = QueuedMessage(m_alice, kKeyNumOutbox, m_aliceKeys.outbox, {bob}, Text(3000));
        return UploadAll(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, blockSize);
    }

    // Bob's list command under a fresh contact list key.
    void BobListCommand(const char* action, const User& member)
    {
        ASSERT_TRUE(m_client->LoginRun(m_bob, kKeyNumContactList));
        ASSERT_EQ(m_client->Sealed(kRequestContactList, m_bob, ListDocument({{action, member.email}}), kKeyNumContactList)
                      .size(),
                  1u);
    }

    // ---- login blocks ----

    bool ReplayedLoginBlockIsRefused()
    {
        const CZelString key = MakeSessionKey();
        const CZelString body = LoginBody(m_bob, {{kKeyNumAccountRun, key}});
        // Bob logs in with a fresh key afterwards; the old blocks must not bring the old key back.
        return Answered(body, kRequestReqTimestamp, key) && m_client->LoginRun(m_bob) &&
               !Answered(body, kRequestReqTimestamp, key);
    }
    bool FreshLoginBlocksAreAnswered()
    {
        const CZelString first = MakeSessionKey(), second = MakeSessionKey();
        return Answered(LoginBody(m_bob, {{kKeyNumAccountRun, first}}), kRequestReqTimestamp, first) &&
               Answered(LoginBody(m_bob, {{kKeyNumAccountRun, second}}), kRequestReqTimestamp, second);
    }

    bool UnknownKeyNumberIsRefused()
    {
        const CZelString key = MakeSessionKey();
        return Login(kRequestReqTimestamp, m_bob, {{2, key}}).empty() && m_store->SessionKeys(m_bob.id, 2, Now()).empty();
    }
    bool KnownKeyNumbersAreKept()
    {
        std::vector<CZelSessionKeyGrant> grants;
        for (uint32_t number : {kKeyNumSession, kKeyNumOutbox, kKeyNumInbox, kKeyNumContactList, kKeyNumAccountRun})
            grants.push_back({number, MakeSessionKey()});
        if (Login(kRequestReqTimestamp, m_bob, grants).size() != 1)
            return false;
        for (const CZelSessionKeyGrant& grant : grants)
            if (m_store->SessionKeys(m_bob.id, grant.keyNumber, Now()).front() != grant.key)
                return false;
        return true;
    }

    bool ThreeHundredKeyNumbersKeepNone()
    {
        std::vector<CZelSessionKeyGrant> grants{{kKeyNumAccountRun, MakeSessionKey()}};
        for (uint32_t number = 7; number < 307; ++number)
            grants.push_back({number, MakeSessionKey()});
        if (!Login(kRequestReqTimestamp, m_bob, grants).empty())
            return false;
        for (uint32_t number : {uint32_t(kKeyNumAccountRun), 7u, 100u, 306u})
            if (!m_store->SessionKeys(m_bob.id, number, Now()).empty())
                return false;
        return true;
    }

    // Nine keys under one number: the first one handed over is gone, the newest opens.
    std::vector<CZelString> NineKeysUnderOneNumber()
    {
        std::vector<CZelString> keys;
        for (int i = 0; i < 9; ++i) {
            keys.push_back(MakeSessionKey());
            EXPECT_EQ(Login(kRequestReqTimestamp, m_bob, {{kKeyNumAccountRun, keys.back()}}).size(), 1u);
        }
        return keys;
    }
    bool ListAnswered(const CZelString& key)
    {
        return SealedRequest(kRequestContactList, ListDocument({}), m_bob.id, kKeyNumAccountRun, key, m_client->Server(),
                             m_client->Connection(), kHttpWriteTimeoutMs)
                   .size() == 1;
    }
    bool KeyBeyondTheEightRecentIsRefused() { return !ListAnswered(NineKeysUnderOneNumber().front()); }
    bool RecentKeysOpenNewestFirst()
    {
        const std::vector<CZelString> keys = NineKeysUnderOneNumber();
        return ListAnswered(keys.back()) && ListAnswered(keys[1]);
    }

    bool KeyUnusedForThirtyDaysIsRefused()
    {
        EXPECT_TRUE(m_client->LoginRun(m_bob));
        m_server->SetClockOffset(31 * kDay);
        return !ListAnswered(m_bob.sessionKey);
    }
    bool KeyUsedWithinThirtyDaysOpens()
    {
        EXPECT_TRUE(m_client->LoginRun(m_bob));
        m_server->SetClockOffset(29 * kDay);
        return ListAnswered(m_bob.sessionKey);
    }

    // ---- sealed requests ----

    bool ReplayedSealedRequestIsRefused()
    {
        SendingHandshake(m_alice, m_aliceKeys);
        const CZelString body =
            Frame(kRequestReqMsgId, Seal(m_alice.id, kKeyNumSession, m_aliceKeys.session,
                                         ReqMsgIdDocument(m_bob).ToRequestText()));
        return Answered(body, kRequestReqMsgId, m_aliceKeys.session) &&
               !Answered(body, kRequestReqMsgId, m_aliceKeys.session);
    }
    bool FreshlySealedRequestsAreAnswered()
    {
        SendingHandshake(m_alice, m_aliceKeys);
        return !ReqMsgId(m_alice, m_aliceKeys, m_bob).GetAttr("MsgId").IsEmpty() &&
               !ReqMsgId(m_alice, m_aliceKeys, m_bob).GetAttr("MsgId").IsEmpty();
    }

    // An upload block is read even when it is too short; sealed empty under a key that is not
    // Alice's, it must not get the refusal sealed under hers.
    bool EmptySealedTextIsRefused()
    {
        SendingHandshake(m_alice, m_aliceKeys);
        const CZelString forged = Seal(m_alice.id, kKeyNumOutbox, MakeSessionKey(), CZelString());
        return m_client->Post(Frame(kRequestUploadBlock, forged)).IsEmpty();
    }
    bool SealedTextIsAnswered()
    {
        SendingHandshake(m_alice, m_aliceKeys);
        const CZelString tooShort = Seal(m_alice.id, kKeyNumOutbox, m_aliceKeys.outbox, CZelString("x"));
        return !ParseSealedAnswers(m_client->Post(Frame(kRequestUploadBlock, tooShort)), AnswerType(kRecordQueuedMessage),
                                   m_aliceKeys.outbox)
                    .empty();
    }

    // Bob holds a message of Alice's; the id.
    CZelString MessageForBob()
    {
        SendingHandshake(m_alice, m_aliceKeys);
        const Recipient bob = Lookup(m_alice, m_aliceKeys, m_bob);
        EXPECT_EQ(UploadToBob(bob), "OK");
        return bob.msgId;
    }
    bool BlockRequestAsReceivedReportIsRefused()
    {
        const CZelString id = MessageForBob();
        SendingHandshake(m_bob, m_bobKeys);
        CZelXmlDocument fetch;
        fetch.Create("doc", "Root");
        fetch.RootElement().SetAttr("MessageId", id);
        fetch.RootElement().SetAttr("pos", "0");
        fetch.RootElement().SetAttr("BlockSize", "1000");
        const CZelString body =
            Frame(kRequestReceived, Seal(m_bob.id, kKeyNumSession, m_bobKeys.session, fetch.ToRequestText()));
        return !Answered(body, kRequestReceived, m_bobKeys.session) && DeliveredTime(m_alice, id).empty();
    }
    bool ReceivedReportMarksDelivery()
    {
        const CZelString id = MessageForBob();
        SendingHandshake(m_bob, m_bobKeys);
        CZelXmlDocument report;
        report.Create("doc", "Root");
        report.RootElement().SetAttr("MessageId", id);
        const CZelString body =
            Frame(kRequestReceived, Seal(m_bob.id, kKeyNumSession, m_bobKeys.session, report.ToRequestText()));
        return Answered(body, kRequestReceived, m_bobKeys.session) && !DeliveredTime(m_alice, id).empty();
    }

    // A list document sealed as administration, an administration document as a list request.
    bool SealedAs(uint32_t type, User& user, const CZelXmlDocument& document)
    {
        EXPECT_TRUE(m_client->LoginRun(user));
        return m_client->Sealed(type, user, document).size() == 1;
    }
    bool ListDocumentAsAdministrationIsRefused()
    {
        return !SealedAs(kRequestAdministrative, m_bob, ListDocument({{"+bl", m_carol.email}})) &&
               m_store->ListOf(m_bob.id, m_carol.id) == CCentralList::None;
    }
    bool ListDocumentChangesTheList()
    {
        return SealedAs(kRequestContactList, m_bob, ListDocument({{"+bl", m_carol.email}})) &&
               m_store->ListOf(m_bob.id, m_carol.id) == CCentralList::Black;
    }
    bool AdministrationDocumentAsListRequestIsRefused()
    {
        return !SealedAs(kRequestContactList, m_alice, AdminDocument("Restrict", "email", m_bob.email)) &&
               m_store->FindAccount(m_bob.id)->userLevel == kLevelAuthorized;
    }
    bool AdministrationDocumentRestricts()
    {
        return SealedAs(kRequestAdministrative, m_alice, AdminDocument("Restrict", "email", m_bob.email)) &&
               m_store->FindAccount(m_bob.id)->userLevel == kLevelRestricted;
    }

    // ---- reservations and uploads ----

    bool IdReservedBeforeABlackListingDoesNotDeliver()
    {
        SendingHandshake(m_alice, m_aliceKeys);
        const Recipient bob = Lookup(m_alice, m_aliceKeys, m_bob);
        BobListCommand("+bl", m_alice);
        return UploadToBob(bob) != "OK" && Waiting(m_bob).empty();
    }
    bool ReservedIdDelivers()
    {
        SendingHandshake(m_alice, m_aliceKeys);
        const Recipient bob = Lookup(m_alice, m_aliceKeys, m_bob);
        return UploadToBob(bob) == "OK" && Waiting(m_bob) == std::vector<std::string>{bob.msgId.ToStd()};
    }

    // Bob black-lists Alice between her first block and her last.
    bool BlackListingDuringTheUploadStopsIt()
    {
        SendingHandshake(m_alice, m_aliceKeys);
        const Recipient bob = Lookup(m_alice, m_aliceKeys, m_bob);
        const CZelString file = QueuedMessage(m_alice, kKeyNumOutbox, m_aliceKeys.outbox, {bob}, Text(3000));
        EXPECT_EQ(UploadBlock(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, 0, 1000).acks.back().second,
                  1000);
        BobListCommand("+bl", m_alice);
        const UploadAnswer last = UploadBlock(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, 1000,
                                              file.Length() - 1000);
        return last.status && last.status->RootElement().GetAttr("ErrorMessage") == kErrRecipientRefuses &&
               Waiting(m_bob).empty();
    }

    bool IdReservedBeforeARestrictDoesNotDeliver()
    {
        SendingHandshake(m_bob, m_bobKeys);
        const Recipient alice = Lookup(m_bob, m_bobKeys, m_alice);
        EXPECT_TRUE(m_client->LoginRun(m_alice));
        EXPECT_EQ(m_client->Sealed(kRequestAdministrative, m_alice, AdminDocument("Restrict", "email", m_bob.email)).size(),
                  1u);
        const CZelString file = QueuedMessage(m_bob, kKeyNumOutbox, m_bobKeys.outbox, {alice}, Text(3000));
        const UploadAnswer first = UploadBlock(*m_client, m_bob, kKeyNumOutbox, m_bobKeys.outbox, file, 0, file.Length());
        return first.acks.empty() && Waiting(m_alice).empty();
    }
    bool AuthorizedSenderDelivers()
    {
        SendingHandshake(m_bob, m_bobKeys);
        const Recipient alice = Lookup(m_bob, m_bobKeys, m_alice);
        const CZelString file = QueuedMessage(m_bob, kKeyNumOutbox, m_bobKeys.outbox, {alice}, Text(3000));
        const UploadAnswer first = UploadBlock(*m_client, m_bob, kKeyNumOutbox, m_bobKeys.outbox, file, 0, file.Length());
        return first.status && first.status->RootElement().GetAttr("Status") == "OK" &&
               Waiting(m_alice) == std::vector<std::string>{alice.msgId.ToStd()};
    }

    bool ReservationAfter(int64_t unused)
    {
        SendingHandshake(m_alice, m_aliceKeys);
        const Recipient bob = Lookup(m_alice, m_aliceKeys, m_bob);
        m_server->SetClockOffset(unused);
        const std::string status = UploadToBob(bob);
        m_server->SetClockOffset(0);
        return status == "OK" && !Waiting(m_bob).empty();
    }
    bool ReservationUnusedForADayExpires() { return !ReservationAfter(25 * kHour); }
    bool ReservationUsedWithinADayDelivers() { return ReservationAfter(23 * kHour); }

    // The sender's reservations up to `count`; true when the last one was granted.
    bool Reserve(int count)
    {
        SendingHandshake(m_alice, m_aliceKeys);
        for (int i = 1; i < count; ++i)
            if (ReqMsgId(m_alice, m_aliceKeys, m_bob).GetAttr("MsgId").IsEmpty())
                return false;
        return !ReqMsgId(m_alice, m_aliceKeys, m_bob).GetAttr("MsgId").IsEmpty();
    }
    bool ReservationBeyondTheLimitIsRefused()
    {
        return !Reserve(static_cast<int>(CCentralMessages::kMaxOpenReservations) + 1) &&
               m_lastAnswer.RootElement().GetAttr("ErrorMessage") == kErrTooManyReservations;
    }
    bool ReservationsUpToTheLimitAreGranted()
    {
        return Reserve(static_cast<int>(CCentralMessages::kMaxOpenReservations));
    }

    // Carol lists nobody and reserved nothing: her first block, announcing a large file.
    bool FirstBlock(const User& sender, const Keys& keys)
    {
        const CZelString file = RandomBytes(100000);
        return !UploadBlock(*m_client, sender, kKeyNumOutbox, keys.outbox, file, 0, 1000).acks.empty();
    }
    bool UploadWithoutReservationStoresNothing()
    {
        SendingHandshake(m_carol, m_carolKeys);
        return !FirstBlock(m_carol, m_carolKeys);
    }
    bool UploadWithReservationIsStored()
    {
        SendingHandshake(m_alice, m_aliceKeys);
        Lookup(m_alice, m_aliceKeys, m_bob);
        return FirstBlock(m_alice, m_aliceKeys);
    }

    // Alice holds `reservations` ids; whether a second upload starts beside an unfinished one.
    bool SecondUploadWith(int reservations)
    {
        SendingHandshake(m_alice, m_aliceKeys);
        for (int i = 0; i < reservations; ++i)
            Lookup(m_alice, m_aliceKeys, m_bob);
        return FirstBlock(m_alice, m_aliceKeys) && FirstBlock(m_alice, m_aliceKeys);
    }
    bool SecondUploadOnOneReservationStoresNothing() { return !SecondUploadWith(1); }
    bool SecondUploadOnItsOwnReservationIsStored() { return SecondUploadWith(2); }

    // Alice's upload held its first 1000 bytes for `idle`; whether the next block is taken.
    bool ResumeAfter(int64_t idle)
    {
        SendingHandshake(m_alice, m_aliceKeys);
        const Recipient bob = Lookup(m_alice, m_aliceKeys, m_bob);
        const CZelString file = QueuedMessage(m_alice, kKeyNumOutbox, m_aliceKeys.outbox, {bob}, Text(5000));
        EXPECT_EQ(UploadBlock(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, 0, 1000).acks.back().second,
                  1000);
        m_server->SetClockOffset(idle);
        const UploadAnswer next = UploadBlock(*m_client, m_alice, kKeyNumOutbox, m_aliceKeys.outbox, file, 1000, 1000);
        return !next.acks.empty() && next.acks.back().second == 2000;
    }
    bool UnfinishedUploadExpiresAfterAWeek() { return !ResumeAfter(8 * kDay); }
    bool UnfinishedUploadResumesWithinAWeek() { return ResumeAfter(6 * kDay); }

    int64_t Now() const { return m_server->Now(); }

    Keys m_aliceKeys, m_bobKeys, m_carolKeys;
    CZelXmlDocument m_lastAnswer;
};

TEST_P(AttackMailTest, AttackIsRefused)
{
    EXPECT_TRUE((this->*GetParam().attack)());
}

TEST_P(AttackMailTest, RightfulUserSucceeds)
{
    EXPECT_TRUE((this->*GetParam().rightful)());
}

const Attack kAttacks[] = {
    {"ReplayedLoginBlock", &AttackMailTest::ReplayedLoginBlockIsRefused, &AttackMailTest::FreshLoginBlocksAreAnswered},
    {"UnknownKeyNumber", &AttackMailTest::UnknownKeyNumberIsRefused, &AttackMailTest::KnownKeyNumbersAreKept},
    {"ThreeHundredKeyNumbers", &AttackMailTest::ThreeHundredKeyNumbersKeepNone, &AttackMailTest::KnownKeyNumbersAreKept},
    {"KeyBeyondEightRecent", &AttackMailTest::KeyBeyondTheEightRecentIsRefused,
     &AttackMailTest::RecentKeysOpenNewestFirst},
    {"KeyUnusedThirtyDays", &AttackMailTest::KeyUnusedForThirtyDaysIsRefused,
     &AttackMailTest::KeyUsedWithinThirtyDaysOpens},
    {"ReplayedSealedRequest", &AttackMailTest::ReplayedSealedRequestIsRefused,
     &AttackMailTest::FreshlySealedRequestsAreAnswered},
    {"EmptySealedText", &AttackMailTest::EmptySealedTextIsRefused, &AttackMailTest::SealedTextIsAnswered},
    {"BlockRequestAsReceivedReport", &AttackMailTest::BlockRequestAsReceivedReportIsRefused,
     &AttackMailTest::ReceivedReportMarksDelivery},
    {"ListDocumentAsAdministration", &AttackMailTest::ListDocumentAsAdministrationIsRefused,
     &AttackMailTest::ListDocumentChangesTheList},
    {"AdministrationDocumentAsListRequest", &AttackMailTest::AdministrationDocumentAsListRequestIsRefused,
     &AttackMailTest::AdministrationDocumentRestricts},
    {"ReservedBeforeBlackListing", &AttackMailTest::IdReservedBeforeABlackListingDoesNotDeliver,
     &AttackMailTest::ReservedIdDelivers},
    {"BlackListedDuringUpload", &AttackMailTest::BlackListingDuringTheUploadStopsIt,
     &AttackMailTest::ReservedIdDelivers},
    {"ReservedBeforeRestrict", &AttackMailTest::IdReservedBeforeARestrictDoesNotDeliver,
     &AttackMailTest::AuthorizedSenderDelivers},
    {"ReservationUnusedADay", &AttackMailTest::ReservationUnusedForADayExpires,
     &AttackMailTest::ReservationUsedWithinADayDelivers},
    {"ReservationsBeyondLimit", &AttackMailTest::ReservationBeyondTheLimitIsRefused,
     &AttackMailTest::ReservationsUpToTheLimitAreGranted},
    {"UploadWithoutReservation", &AttackMailTest::UploadWithoutReservationStoresNothing,
     &AttackMailTest::UploadWithReservationIsStored},
    {"TwoUploadsOnOneReservation", &AttackMailTest::SecondUploadOnOneReservationStoresNothing,
     &AttackMailTest::SecondUploadOnItsOwnReservationIsStored},
    {"UnfinishedUploadAWeekOld", &AttackMailTest::UnfinishedUploadExpiresAfterAWeek,
     &AttackMailTest::UnfinishedUploadResumesWithinAWeek},
};

INSTANTIATE_TEST_SUITE_P(Rows, AttackMailTest, ::testing::ValuesIn(kAttacks),
                         [](const ::testing::TestParamInfo<Attack>& info) { return std::string(info.param.name); });

} // namespace
