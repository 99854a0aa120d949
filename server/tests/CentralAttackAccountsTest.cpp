// A registered user turned attacker against the account and contact-list rules of the central
// server, each attack next to the rightful user doing the same thing, through the gateway's own
// client code against the in-process server on a free port with a real SQLite file.

#include "server/CCentralAccountGuards.h"
#include "server/CCentralHttpServer.h"
#include "server/CCentralServer.h"
#include "server/CCentralStore.h"
#include "testing/CentralServerFixture.h"
#include "testing/SocketsEnvironment.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace centraltest;

namespace {

CZelString Bytes(const std::string& text)
{
    return CZelString(std::string_view(text));
}

// A modulus-shaped number: `bytes` long, top byte set, odd or even as asked. The server only
// looks at its shape, so it need not be a real key.
CZelString ShapedNumber(int bytes, bool odd)
{
    std::string value(static_cast<size_t>(bytes), '\x5A');
    value.back() = '\xC3';
    value.front() = odd ? '\x01' : '\x02';
    return Bytes(value);
}

class CentralAttackAccountsTest : public CentralServerFixture {
public:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(OpenServer());
        // The first account is the administrator; the users below are ordinary ones.
        ASSERT_EQ(Register(m_admin), "Success");
    }

    // The account and contact-list requests alone, as the attacks meet them.
    void OpenServer() { StartServer({.messageRequests = false}); }

    // The registration answer's `Status`; the id is kept in the user when it succeeded.
    std::string RegisterDocument(User& user, const CZelXmlDocument& document)
    {
        const auto answer = m_client->Register(document);
        if (!answer)
            return "no answer";
        const std::string status = answer->RootElement().GetAttr("Status").ToStd();
        if (status == "Success")
            user.id = std::stoll(answer->RootElement().GetAttr("Id").ToStd());
        return status;
    }

    std::string Register(User& user, const std::string& name = "Test User")
    {
        return RegisterDocument(user, RegistrationDocument(user, name));
    }

    // The registration with one attribute of the document replaced.
    std::string RegisterWith(User& user, const char* attribute, const CZelString& value)
    {
        CZelXmlDocument document = RegistrationDocument(user);
        document.RootElement().SetAttr(attribute, value);
        return RegisterDocument(user, document);
    }

    // An account update of one attribute: "OK" or the refusal's `ErrorMessage`.
    std::string Update(User& user, const char* attribute, const CZelString& value)
    {
        if (!m_client->LoginRun(user))
            return "no login";
        CZelXmlDocument document;
        document.Create("Reg", "Root");
        document.RootElement().SetAttr(attribute, value);
        document.RootElement().SetAttr("LastUpdatesTimeStamp", "9223372036854775807");
        const auto answers = m_client->Sealed(kRequestAccountUpdate, user, document);
        if (answers.size() != 1)
            return "no answer";
        const CZelXmlNode root = answers.front().RootElement();
        return root.GetAttr("Status") == "OK" ? "OK" : root.GetAttr("ErrorMessage").ToStd();
    }

    // One contact list request; the `Status` of each command, joined by '|'.
    std::string Lists(User& user, const std::vector<ListCommand>& commands)
    {
        if (!m_client->LoginRun(user, kKeyNumContactList))
            return "no login";
        const auto answers = m_client->Sealed(kRequestContactList, user, ListDocument(commands), kKeyNumContactList);
        if (answers.size() != 1)
            return "no answer";
        std::string statuses;
        for (CZelXmlNode c = answers.front().RootElement().FindChild("Command"); !c.IsNull(); c = c.NextSameName())
            statuses += (statuses.empty() ? "" : "|") + c.GetAttr("Status").ToStd();
        return statuses;
    }

    std::string AddContact(User& user, const User& target, const std::string& code)
    {
        return Lists(user, {{"+cl", target.email, code, true}});
    }

    // The list changes the user was told about, as "list email" texts joined by '|'.
    std::string Announced(User& user)
    {
        user.sessionKey = MakeSessionKey();
        const auto answers = m_client->Login(kRequestReqTimestamp, user, {{kKeyNumAccountRun, user.sessionKey}}, 0);
        if (answers.size() != 1)
            return "no answer";
        std::string entries;
        for (const std::string& entry : UpdateEntries(answers.front()))
            entries += (entries.empty() ? "" : "|") + entry;
        return entries;
    }

    // Registers the users an attack needs; they must go through.
    void Registered(std::initializer_list<User*> users)
    {
        for (User* user : users)
            EXPECT_EQ(Register(*user), "Success") << user->email;
    }

    User m_admin{"admin@example.org", "ADMIN000ADMIN000", 3};
    User m_mallory{"mallory@example.org", "MMMM5555NNNN6666", 4};
};

// One attack: what the rightful user does and gets, what the attacker does and gets instead.
struct Attack {
    const char* name;
    std::function<std::string(CentralAttackAccountsTest&)> rightful;
    std::string rightfulOutcome;
    std::function<std::string(CentralAttackAccountsTest&)> attack;
    std::string attackOutcome;
};

class AttackTable : public CentralAttackAccountsTest, public ::testing::WithParamInterface<Attack> {};

TEST_P(AttackTable, TheRightfulUserGetsThroughAndTheAttackerDoesNot)
{
    const Attack& row = GetParam();
    EXPECT_EQ(row.rightful(*this), row.rightfulOutcome);
    EXPECT_EQ(row.attack(*this), row.attackOutcome);
}

using T = CentralAttackAccountsTest;

// Registrations of Mallory that try to pass for Bob once Bob registered.
Attack LookAlike(const char* name, const std::string& address)
{
    return {name, [](T& t) { return t.Register(t.m_bob); }, "Success",
            [address](T& t) {
                User mallory{address, "X", 4};
                return t.Register(mallory);
            },
            kErrEmailNotAllowed};
}

// Registrations of Mallory whose display name (`attribute`) looks like an address.
Attack ForgedName(const char* name, const char* attribute, const CZelString& value)
{
    return {name,
            [attribute](T& t) {
                CZelString plain = attribute == std::string("UnicodeName") ? Bytes(std::string("A\0n\0n\0", 6)) : "Ann";
                return t.RegisterWith(t.m_alice, attribute, plain);
            },
            "Success", [attribute, value](T& t) { return t.RegisterWith(t.m_mallory, attribute, value); },
            kErrNameNotAllowed};
}

const Attack kAttacks[] = {
    {"HugeModulus", [](T& t) { return t.Register(t.m_bob); }, "Success",
     [](T& t) { return t.RegisterWith(t.m_mallory, "n", ShapedNumber(4096, true)); }, kErrKeyMissing},
    LookAlike("LeadingBlank", " bob@example.org"),
    LookAlike("TrailingTab", "bob@example.org\t"),
    LookAlike("AngleBrackets", "<bob@example.org>"),
    LookAlike("CyrillicLetter", "bob@ex\xD0\xB0mple.org"),
    {"OtherCase", [](T& t) { return t.Register(t.m_bob); }, "Success",
     [](T& t) {
         User mallory{"BOB@Example.ORG", "X", 4};
         return t.Register(mallory);
     },
     kErrEmailRegistered},
    ForgedName("AddressAsName", "Name", "admin@example.org"),
    ForgedName("AddressInTranslitName", "TranslitName", "Admin <admin@example.org>"),
    ForgedName("AddressInUnicodeName", "UnicodeName", Bytes(std::string("a\0@\0b\0", 6))),
    ForgedName("LineBreakInName", "Name", "Ann\r\nFrom: admin"),
    {"AddressAsNameByUpdate",
     [](T& t) {
         t.Registered({&t.m_alice, &t.m_mallory});
         return t.Update(t.m_alice, "Name", "Ann Smith");
     },
     "OK", [](T& t) { return t.Update(t.m_mallory, "Name", "admin@example.org"); }, kErrNameNotAllowed},
    {"LookAlikeByUpdate",
     [](T& t) {
         t.Registered({&t.m_alice, &t.m_mallory});
         return t.Update(t.m_alice, "email", "ann@example.org");
     },
     "OK", [](T& t) { return t.Update(t.m_mallory, "email", "ann@example.org "); }, kErrEmailNotAllowed},
    {"AbandonedAddressByRegistration",
     [](T& t) {
         t.Registered({&t.m_bob});
         return t.Update(t.m_bob, "email", "robert@example.org");
     },
     "OK",
     [](T& t) {
         User mallory{"bob@example.org", "X", 4};
         return t.Register(mallory);
     },
     kErrEmailRegistered},
    {"AbandonedAddressByUpdate",
     [](T& t) {
         t.Registered({&t.m_bob, &t.m_mallory});
         // Bob leaves his address and takes it back: it is still his.
         const std::string away = t.Update(t.m_bob, "email", "robert@example.org");
         return away + " " + t.Update(t.m_bob, "email", "bob@example.org") + " " +
                t.Update(t.m_bob, "email", "robert@example.org");
     },
     "OK OK OK", [](T& t) { return t.Update(t.m_mallory, "email", "Bob@example.org"); }, kErrEmailRegistered},
    {"AddressChangeReachesListers",
     [](T& t) {
         t.Registered({&t.m_alice, &t.m_bob, &t.m_mallory, &t.m_carol});
         t.AddContact(t.m_alice, t.m_bob, t.m_bob.secureCode);
         t.Lists(t.m_carol, {{"+bl", t.m_bob.email}});
         t.Update(t.m_bob, "email", "robert@example.org");
         return t.Announced(t.m_alice) + " / " + t.Announced(t.m_carol);
     },
     "+cl bob@example.org|-cl bob@example.org|+cl robert@example.org / "
     "+bl bob@example.org|-bl bob@example.org|+bl robert@example.org",
     // Mallory lists nobody and learns nothing of Bob's move.
     [](T& t) { return t.Announced(t.m_mallory); }, ""},
    {"ContactOfWhoBlackListsYou",
     [](T& t) {
         t.Registered({&t.m_alice, &t.m_bob, &t.m_mallory});
         t.Lists(t.m_bob, {{"+bl", t.m_mallory.email}});
         return t.AddContact(t.m_alice, t.m_bob, t.m_bob.secureCode);
     },
     "OK", [](T& t) { return t.AddContact(t.m_mallory, t.m_bob, t.m_bob.secureCode); }, kErrRecipientRefuses},
    {"GuessingCodesOneByOne",
     [](T& t) {
         t.Registered({&t.m_alice, &t.m_bob, &t.m_mallory});
         // Nine slips still leave the right code its way.
         for (int i = 0; i < 9; ++i)
             t.AddContact(t.m_alice, t.m_bob, "WRONG" + std::to_string(i));
         return t.AddContact(t.m_alice, t.m_bob, t.m_bob.secureCode);
     },
     "OK",
     [](T& t) {
         for (int i = 0; i < 10; ++i)
             t.AddContact(t.m_mallory, t.m_bob, "GUESS" + std::to_string(i));
         return t.AddContact(t.m_mallory, t.m_bob, t.m_bob.secureCode);
     },
     kErrTooManyWrongCodes},
    {"GuessingCodesInOneRequest",
     [](T& t) {
         t.Registered({&t.m_alice, &t.m_bob, &t.m_mallory});
         return t.Lists(t.m_alice, {{"+cl", t.m_bob.email, "WRONG", true}, {"+cl", t.m_bob.email, t.m_bob.secureCode, true}});
     },
     std::string(kErrWrongSecureCode) + "|OK",
     [](T& t) {
         std::vector<ListCommand> guesses;
         for (int i = 0; i < 150; ++i)
             guesses.push_back({"+cl", t.m_bob.email, "GUESS" + std::to_string(i), true});
         guesses.push_back({"+cl", t.m_bob.email, t.m_bob.secureCode, true});
         const std::string statuses = t.Lists(t.m_mallory, guesses);
         // Only the first ten are compared with the code at all.
         const std::string wrong = std::string(kErrWrongSecureCode) + "|";
         std::string expected;
         for (int i = 0; i < 10; ++i)
             expected += wrong;
         const bool tenCompared = statuses.rfind(expected, 0) == 0 &&
                                  statuses.find(wrong, expected.size()) == std::string::npos;
         return (tenCompared ? "" : "compared more than ten: ") + statuses.substr(statuses.rfind('|') + 1);
     },
     kErrTooManyWrongCodes},
};

INSTANTIATE_TEST_SUITE_P(Attacks, AttackTable, ::testing::ValuesIn(kAttacks),
                         [](const ::testing::TestParamInfo<Attack>& info) { return std::string(info.param.name); });

// The shape of a registered public key: the bounds of the modulus and the exponent.
struct KeyShape {
    const char* name;
    int modulusBytes;
    bool odd;
    int exponentBytes;
    bool accepted;
};

class KeyShapes : public CentralAttackAccountsTest, public ::testing::WithParamInterface<KeyShape> {};

TEST_P(KeyShapes, OnlyBoundedOddModuliRegister)
{
    const KeyShape& shape = GetParam();
    CZelXmlDocument document = RegistrationDocument(m_bob);
    document.RootElement().SetAttr("n", ShapedNumber(shape.modulusBytes, shape.odd));
    document.RootElement().SetAttr("e", ShapedNumber(shape.exponentBytes, true));
    EXPECT_EQ(RegisterDocument(m_bob, document), shape.accepted ? "Success" : kErrKeyMissing);
    EXPECT_EQ(m_store->FindAccountByEmail("bob@example.org").has_value(), shape.accepted);
}

INSTANTIATE_TEST_SUITE_P(Bounds, KeyShapes,
                         ::testing::Values(KeyShape{"Smallest", 64, true, 3, true},
                                           KeyShape{"Largest", 256, true, 255, true},
                                           KeyShape{"TooSmall", 63, true, 3, false},
                                           KeyShape{"TooLarge", 257, true, 3, false},
                                           KeyShape{"Even", 128, false, 3, false},
                                           KeyShape{"ExponentAsLongAsModulus", 64, true, 64, false}),
                         [](const ::testing::TestParamInfo<KeyShape>& info) { return std::string(info.param.name); });

TEST_F(CentralAttackAccountsTest, AnAbandonedAddressStaysTakenAcrossARestart)
{
    Registered({&m_bob});
    ASSERT_EQ(Update(m_bob, "email", "robert@example.org"), "OK");
    StopServer();
    OpenServer();
    User mallory{"bob@example.org", "X", 4};
    EXPECT_EQ(Register(mallory), kErrEmailRegistered);
    EXPECT_FALSE(m_store->FindAccountByEmail("bob@example.org"));
}

TEST_F(CentralAttackAccountsTest, ARefusedUpdateKeepsTheAccountAsItWas)
{
    Registered({&m_bob});
    EXPECT_EQ(Update(m_bob, "email", "bob@example.org\r\n"), kErrEmailNotAllowed);
    EXPECT_EQ(Update(m_bob, "Name", "<admin@example.org>"), kErrNameNotAllowed);
    const auto stored = m_store->FindAccount(m_bob.id);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->email, "bob@example.org");
    EXPECT_EQ(stored->name, "Test User");
}

// The guessing limit against the clock: the window the wrong codes count in and the hour the
// block lasts.
class WrongCodeClock : public ::testing::Test {
protected:
    static constexpr int64_t kMinute = 60LL * 1000000;
    static constexpr int64_t kStart = 1'800'000'000LL * 1000000;

    void WrongCodes(int count, int64_t at, int64_t step)
    {
        CCentralStore::Transaction transaction(m_store);
        CCentralAccountGuards guards(m_store.Db());
        for (int i = 0; i < count; ++i)
            guards.RecordWrongCode(kCaller, kTarget, at + i * step);
        transaction.Commit();
    }

    bool Blocked(int64_t at, int64_t caller = kCaller)
    {
        CCentralStore::Transaction transaction(m_store);
        return CCentralAccountGuards(m_store.Db()).IsCodeBlocked(caller, kTarget, at);
    }

    static constexpr int64_t kCaller = 7, kTarget = 8;
    TempDir m_dir;
    std::string m_location = TestStoreLocation(m_dir);
    CCentralStore m_store{m_location, 64};
};

TEST_F(WrongCodeClock, TenWrongCodesWithinAnHourBlockForAnHour)
{
    WrongCodes(10, kStart, 5 * kMinute);
    const int64_t tenth = kStart + 45 * kMinute;
    EXPECT_TRUE(Blocked(tenth));
    EXPECT_TRUE(Blocked(tenth + 59 * kMinute));
    EXPECT_FALSE(Blocked(tenth, kCaller + 1));
    EXPECT_FALSE(Blocked(tenth + 61 * kMinute));
}

TEST_F(WrongCodeClock, WrongCodesSpreadOverMoreThanAnHourNeverBlock)
{
    WrongCodes(30, kStart, 7 * kMinute);
    EXPECT_FALSE(Blocked(kStart + 30 * 7 * kMinute));
}

struct TextCase {
    const char* name;
    CZelString text;
    bool accepted;
};

class AddressBytes : public ::testing::TestWithParam<TextCase> {};

TEST_P(AddressBytes, OnlyPrintableAsciiWithoutBracketsEqualsOrQuestionMarks)
{
    EXPECT_EQ(IsAcceptableAddress(GetParam().text), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, AddressBytes,
    ::testing::Values(TextCase{"Plain", "ann@example.org", true}, TextCase{"Punctuation", "a.b+c_d-e!~@x.y", true},
                      TextCase{"Empty", "", false}, TextCase{"Blank", "ann @example.org", false},
                      TextCase{"Delete", "ann\x7F@example.org", false}, TextCase{"Nul", Bytes(std::string("a\0b", 3)), false},
                      TextCase{"Equals", "a=b@example.org", false}, TextCase{"Question", "a?b@example.org", false},
                      TextCase{"Less", "<a@b", false}, TextCase{"Greater", "a@b>", false},
                      TextCase{"HighByte", "ann@ex\xC3\xA4mple.org", false}),
    [](const ::testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

class NameBytes : public ::testing::TestWithParam<TextCase> {};

TEST_P(NameBytes, NoAddressSignsOrControlCharacters)
{
    EXPECT_EQ(IsAcceptableName(GetParam().text), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Names, NameBytes,
    ::testing::Values(TextCase{"Plain", "Ann", true}, TextCase{"Empty", "", true},
                      TextCase{"Cyrillic", "\xD0\x9F\xD1\x91\xD1\x82\xD1\x80", true},
                      TextCase{"Punctuation", "O'Neil, Ann (Sales) & Co.", true},
                      TextCase{"At", "ann@home", false}, TextCase{"Less", "Ann <", false},
                      TextCase{"Greater", "> Ann", false}, TextCase{"Tab", "Ann\tSmith", false},
                      TextCase{"Delete", "Ann\x7F", false}),
    [](const ::testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

class WideNameUnits : public ::testing::TestWithParam<TextCase> {};

TEST_P(WideNameUnits, NoAddressSignsOrControlCharacters)
{
    EXPECT_EQ(IsAcceptableWideName(GetParam().text), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Names, WideNameUnits,
    ::testing::Values(TextCase{"Plain", Bytes(std::string("A\0n\0n\0", 6)), true},
                      TextCase{"Terminated", Bytes(std::string("A\0n\0\0\0", 6)), true},
                      TextCase{"Cyrillic", Bytes(std::string("\x1F\x04\x51\x04", 4)), true},
                      TextCase{"At", Bytes(std::string("a\0@\0", 4)), false},
                      TextCase{"FullWidthLessIsNotLess", Bytes(std::string("\x1C\xFF", 2)), true},
                      TextCase{"InnerNul", Bytes(std::string("a\0\0\0b\0", 6)), false},
                      TextCase{"C1Control", Bytes(std::string("\x85\0", 2)), false},
                      TextCase{"OddLength", Bytes(std::string("a\0b", 3)), false}),
    [](const ::testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

} // namespace
