// The account files: naming, saving from the page's rows, the login table, loading order,
// default texts, transliteration and the one-time conversion.

#include "accounts/CAccountData.h"
#include "accounts/CAccountFile.h"
#include "accounts/CAccountLogins.h"
#include "accounts/CAccountStore.h"
#include "accounts/CAccountUpdates.h"
#include "accounts/ZelTranslit.h"
#include "foundation/CZelFile.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/testing/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using TestHome = velmo_testing::TempHomeTest;
using namespace AccountAttr;

std::string Utf16Le(const std::u16string& text)
{
    std::string bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

struct TranslitCase {
    const char* utf8;
    const char* latin;
};

class TranslitTest : public ::testing::TestWithParam<TranslitCase> {};

TEST_P(TranslitTest, GivesLatinText)
{
    EXPECT_EQ(Transliterate(GetParam().utf8).ToStd(), GetParam().latin);
}

INSTANTIATE_TEST_SUITE_P(Names, TranslitTest,
                         ::testing::Values(TranslitCase{"Щукин Ёж", "Schukin Ezh"},
                                           TranslitCase{"Жанна Цой", "Zhanna Tsoy"},
                                           TranslitCase{"объявление", "ob'yavlenie"},
                                           TranslitCase{"Юлия Яковлева", "Yuliya Yakovleva"},
                                           TranslitCase{"ёлка ЪЬ", "elka ''"},
                                           TranslitCase{"John Smith 1", "John Smith 1"},
                                           TranslitCase{"日本", "??"},
                                           TranslitCase{"", ""}));

TEST(Translit, EveryTableByteHasItsItem)
{
    EXPECT_EQ(TransliterateCp1251(CZelString("\xE0\xFF\xC0\xDF\xA8\xB8", 6)).ToStd(), "ayaAYaEe");
}

TEST(Translit, UnicodeNameIsUtf16LittleEndianWithoutTerminator)
{
    EXPECT_EQ(UnicodeName("Aж").ToStd(), Utf16Le(u"Aж"));
    EXPECT_TRUE(UnicodeName("").IsEmpty());
}

TEST(AccountFile, NamesAndIds)
{
    EXPECT_EQ(CAccountFile::FileNameFor(12).ToStd(), "00000012.xml");
    EXPECT_EQ(CAccountFile::FileNameFor(123456789).ToStd(), "123456789.xml");
    EXPECT_EQ(CAccountFile::ParseId("42"), 42);
    EXPECT_EQ(CAccountFile::ParseId(""), -1);
    EXPECT_EQ(CAccountFile::ParseId("4x"), -1);
}

TEST(AccountFile, SecureCodeIsSixteenUpperHexDigits)
{
    const std::string code = CAccountFile::MakeSecureCode().ToStd();
    ASSERT_EQ(code.size(), 16u);
    for (char c : code)
        EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << code;
    EXPECT_NE(code, CAccountFile::MakeSecureCode().ToStd());
}

TEST(AccountFile, DefaultTexts)
{
    const std::string english = CAccountFile::DefaultAutoReplyEng().ToStd();
    EXPECT_EQ(english.rfind("To receive my Security Code please call .... phone number", 0), 0u);
    EXPECT_EQ(english.substr(english.size() - 6), "...@..");
    EXPECT_EQ(CAccountFile::DefaultAutoReply().ToStd(), english);   // no language file loaded
    EXPECT_NE(CAccountFile::ExampleEmail("bob").Find('@'), -1);
}

class AccountStoreTest : public TestHome {
protected:
    static CAccountData MakeAccount(const char* login, const char* name = "Щукин Ёж")
    {
        CAccountData account = CAccountData::New();
        account.login = login;
        account.password = "secret";
        account.name = name;
        account.email = CZelString(login) + "@mail.test";
        return account;
    }
    static CZelXmlNode RootOf(const std::string& file)
    {
        CZelXmlDocument document;
        EXPECT_TRUE(CAccountFile::Load(file.c_str(), document)) << file;
        return document.RootElement();
    }
};

TEST_F(AccountStoreTest, TemporaryNameIsTheSmallestFreeNumber)
{
    EXPECT_EQ(CAccountFile::FreeTemporaryName().ToStd(), "--1--.xml");
    WriteText("--1--.xml", "x");
    WriteText("--3--.xml", "x");
    EXPECT_EQ(CAccountFile::FreeTemporaryName().ToStd(), "--2--.xml");
}

TEST_F(AccountStoreTest, CallersAtOnceNeverShareATemporaryName)
{
    constexpr int kThreads = 8;
    constexpr int kEach = 25;
    std::vector<std::vector<std::string>> names(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&names, t] {
            for (int i = 0; i < kEach; ++i)
                names[t].push_back(CAccountFile::FreeTemporaryName().ToStd());
        });
    for (std::thread& thread : threads)
        thread.join();
    std::set<std::string> distinct;
    for (const auto& list : names)
        for (const std::string& name : list) {
            EXPECT_TRUE(Exists(name)) << name << " was handed out but not reserved";
            distinct.insert(name);
        }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads * kEach));
    EXPECT_EQ(distinct.count(""), 0u);
}

TEST_F(AccountStoreTest, AFolderThatTakesNoFileGivesNoTemporaryName)
{
    // A working folder removed under the program: nothing can be created in it.
    std::filesystem::create_directory("gone");
    std::filesystem::current_path("gone");
    std::filesystem::remove(m_home / "gone");
    EXPECT_EQ(CAccountFile::FreeTemporaryName().ToStd(), "");
    CAccountData account = MakeAccount("ann");
    EXPECT_FALSE(CAccountStore::Save(account));
}

TEST_F(AccountStoreTest, NewAccountIsSavedInTheSchemaOrder)
{
    CAccountData account = MakeAccount("ann");
    account.n = CZelString("\x01\x00\x02", 3);   // keys are raw bytes, zeros included
    ASSERT_TRUE(CAccountStore::Save(account));
    EXPECT_EQ(account.fileName.ToStd(), "--1--.xml");

    const std::string text = ReadText("--1--.xml");
    EXPECT_NE(text.find("<!DOCTYPE Reg"), std::string::npos) << text;
    EXPECT_NE(text.find("\r\n"), std::string::npos);

    const CZelXmlNode root = RootOf("--1--.xml");
    const std::vector<std::string> order = {kLogin, kPassword, kName, kId, kBirthday, kIssuedBy, kN, kD, kE,
                                            kEmail, kSecureCode, kUserLevel, kAutoReply, kAutoReplyEng,
                                            kOperatedStatus, kContactList, kBlackList, kTranslitName,
                                            kUnicodeName};
    ASSERT_EQ(root.AttrCount(), static_cast<int32_t>(order.size()));
    for (size_t i = 0; i < order.size(); ++i)
        EXPECT_EQ(root.AttrName(static_cast<int32_t>(i)).ToStd(), order[i]);
    EXPECT_EQ(root.GetAttr(kN).ToStd(), std::string("\x01\x00\x02", 3));
    EXPECT_EQ(root.GetAttr(kTranslitName).ToStd(), "Schukin Ezh");
    EXPECT_EQ(root.GetAttr(kUnicodeName).ToStd(), Utf16Le(u"Щукин Ёж"));

    struct stat info {};
    ASSERT_EQ(stat("--1--.xml", &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(AccountStoreTest, RegisteredAccountMovesToItsIdAndKeepsItsLists)
{
    WriteText("--1--.xml", "x");
    WriteText("--2--.xml", "x");
    CAccountData account = MakeAccount("ann");
    ASSERT_TRUE(CAccountStore::Save(account));
    ASSERT_EQ(account.fileName.ToStd(), "--3--.xml");
    {
        CZelXmlDocument document;
        ASSERT_TRUE(CAccountFile::Load("--3--.xml", document));
        CZelXmlNode pending = CAccountFile::EnsureChild(document.RootElement(), kContactListUpdates);
        pending.SetAttr(kTimeStamp, "77");
        ASSERT_TRUE(CAccountFile::Save("--3--.xml", document));
    }

    account.id = "42";
    ASSERT_TRUE(CAccountStore::Save(account));
    EXPECT_EQ(account.fileName.ToStd(), "00000042.xml");
    EXPECT_FALSE(Exists("--3--.xml"));
    EXPECT_TRUE(Exists("--1--.xml"));
    EXPECT_EQ(RootOf("00000042.xml").FindChild(kContactListUpdates).GetAttr(kTimeStamp).ToStd(), "77");
    EXPECT_EQ(RootOf("00000042.xml").GetAttr(kId).ToStd(), "42");
}

TEST_F(AccountStoreTest, SaveRefusesToOverwriteAFileItCannotRead)
{
    WriteText("--1--.xml", "<Root Login=");
    CAccountData account = MakeAccount("ann");
    account.fileName = "--1--.xml";
    EXPECT_FALSE(CAccountStore::Save(account));
    EXPECT_EQ(ReadText("--1--.xml"), "<Root Login=");
}

// What the server's updates write while a stale copy of the account is held elsewhere (a
// page, a command run in another process).
CZelXmlDocument ServerUpdate()
{
    CZelXmlDocument reply;
    reply.Create("doc", "Root");
    CZelXmlElement updates(kUpdates);
    updates.SetAttr(kUserLevel, "Restricted");
    updates.SetAttr(kOperatedStatus, "Disabled");
    updates.SetAttr(kEmail, "server@mail.test");
    updates.SetAttr(kTimeStamp, "900");
    reply.RootElement().AddChild(updates);
    return reply;
}

TEST_F(AccountStoreTest, SavingAStaleCopyKeepsWhatAnotherWriterStoredMeanwhile)
{
    CAccountData fresh = MakeAccount("ann");
    fresh.id = "7";
    fresh.userLevel = "Authorized";
    fresh.operatedStatus = "Normal";
    ASSERT_TRUE(CAccountStore::Save(fresh));
    CAccountData stale;
    ASSERT_TRUE(CAccountStore::FindById(7, stale));

    ASSERT_TRUE(CAccountUpdates::Write(7, ServerUpdate()).saved);
    stale.password = "changed";     // the one row this saver edits
    ASSERT_TRUE(CAccountStore::Save(stale));

    const CZelXmlNode root = RootOf("00000007.xml");
    EXPECT_EQ(root.GetAttr(kPassword).ToStd(), "changed");
    EXPECT_EQ(root.GetAttr(kUserLevel).ToStd(), "Restricted");
    EXPECT_EQ(root.GetAttr(kOperatedStatus).ToStd(), "Disabled");
    EXPECT_EQ(root.GetAttr(kEmail).ToStd(), "server@mail.test");
    EXPECT_EQ(root.FindChild(kContactListUpdates).GetAttr(kTimeStamp).ToStd(), "900");
    // The saved copy is the file now, so saving it again undoes nothing either.
    EXPECT_EQ(stale.userLevel.ToStd(), "Restricted");
    ASSERT_TRUE(CAccountStore::Save(stale));
    EXPECT_EQ(RootOf("00000007.xml").GetAttr(kEmail).ToStd(), "server@mail.test");
}

TEST_F(AccountStoreTest, ARowTheSaverChangedWinsOverTheOtherWriter)
{
    CAccountData fresh = MakeAccount("ann");
    fresh.id = "7";
    ASSERT_TRUE(CAccountStore::Save(fresh));
    CAccountData stale;
    ASSERT_TRUE(CAccountStore::FindById(7, stale));

    ASSERT_TRUE(CAccountUpdates::Write(7, ServerUpdate()).saved);
    stale.email = "typed@mail.test";
    stale.name = "Жанна Цой";
    ASSERT_TRUE(CAccountStore::Save(stale));

    const CZelXmlNode root = RootOf("00000007.xml");
    EXPECT_EQ(root.GetAttr(kEmail).ToStd(), "typed@mail.test");
    EXPECT_EQ(root.GetAttr(kTranslitName).ToStd(), "Zhanna Tsoy");
    EXPECT_EQ(root.GetAttr(kUserLevel).ToStd(), "Restricted");
}

TEST_F(AccountStoreTest, AStaleCopyOfAFileThatMovedAwayIsNotWrittenAgain)
{
    CAccountData account = MakeAccount("ann");
    ASSERT_TRUE(CAccountStore::Save(account));
    ASSERT_EQ(account.fileName.ToStd(), "--1--.xml");
    CAccountData stale = account;

    account.id = "42";   // registered meanwhile by another program
    ASSERT_TRUE(CAccountStore::Save(account));
    ASSERT_FALSE(Exists("--1--.xml"));

    stale.password = "changed";
    EXPECT_FALSE(CAccountStore::Save(stale));
    EXPECT_FALSE(Exists("--1--.xml")) << "a second copy of account 42";
}

TEST_F(AccountStoreTest, LoadOrderPutsDigitsFirstAndTemporaryNamesLast)
{
    for (const char* login : {"a", "b", "c"}) {
        CAccountData account = MakeAccount(login);
        ASSERT_TRUE(CAccountStore::Save(account));
    }
    CAccountData registered = MakeAccount("d");
    registered.id = "5";
    ASSERT_TRUE(CAccountStore::Save(registered));
    WriteText("config.xml", "<!DOCTYPE Config>\r\n<Config Server=\"x\"/>\r\n");
    WriteText("00000009.xml", "not xml <");

    const std::vector<CAccountData> accounts = CAccountStore::LoadAll(false);
    std::vector<std::string> files;
    for (const CAccountData& account : accounts)
        files.push_back(account.fileName.ToStd());
    EXPECT_EQ(files, (std::vector<std::string>{"00000005.xml", "--1--.xml", "--2--.xml", "--3--.xml"}));
}

TEST_F(AccountStoreTest, RegisteredIdsAreTheDigitNamedAccountFilesOnly)
{
    for (const char* name : {"00000007.xml", "12.xml", "--1--.xml", "+3.xml", "-4.xml", "5a.xml", ".xml",
                             "config.xml", "00000008.txt", "1234567890123456789.xml", "000000000000000042.xml"})
        WriteText(name, "<Root/>");
    std::filesystem::create_directory("00000009.xml");

    std::vector<int64_t> ids = CAccountFile::RegisteredIds();
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<int64_t>{7, 12, 42}));
}

TEST_F(AccountStoreTest, EmptyAutoRepliesLoadWithTheDefaultsWithoutWriting)
{
    WriteText("00000003.xml", "<!DOCTYPE Reg>\r\n<Root Login=\"x\" Id=\"3\" AutoReply=\"\"/>\r\n");
    const std::string before = ReadText("00000003.xml");
    const std::vector<CAccountData> accounts = CAccountStore::LoadAll(false);
    ASSERT_EQ(accounts.size(), 1u);
    EXPECT_EQ(accounts[0].autoReplyEng.ToStd(), CAccountFile::DefaultAutoReplyEng().ToStd());
    EXPECT_EQ(accounts[0].autoReply.ToStd(), CAccountFile::DefaultAutoReply().ToStd());
    // The merge created the two lists, so the file was rewritten; the texts wait for a save.
    EXPECT_NE(ReadText("00000003.xml"), before);
    EXPECT_TRUE(RootOf("00000003.xml").GetAttr(kAutoReply).IsEmpty());
}

TEST_F(AccountStoreTest, LoginTableUsesMatchingFilesAndTheFirstOfTwoLogins)
{
    WriteText("00000001.xml", "<Root Login=\"ann\" Password=\"p1\" Id=\"1\"/>");
    WriteText("00000002.xml", "<Root Login=\"ann\" Password=\"p2\" Id=\"2\"/>");
    WriteText("00000007.xml", "<Root Login=\"bob\" Password=\"p\" Id=\"8\"/>");
    WriteText("--1--.xml", "<Root Login=\"cat\" Password=\"p\" Id=\"\"/>");
    WriteText("00000004.xml", "<Root Login=\"Dan\" Password=\"p\" Id=\"4\"/>");

    CAccountLogins logins;
    std::vector<std::string> lines;
    logins.Build([&](const CZelString& line) { lines.push_back(line.ToStd()); });
    EXPECT_EQ(logins.Find("ann"), 1);
    EXPECT_EQ(logins.Find("bob"), -1);
    EXPECT_EQ(logins.Find("cat"), -1);
    EXPECT_EQ(logins.Find("dan"), -1);
    EXPECT_EQ(logins.Find("Dan"), 4);
    EXPECT_EQ(lines, (std::vector<std::string>{"Allowed user Id=00000001, login: ann",
                                               "Allowed user Id=00000004, login: Dan"}));

    EXPECT_TRUE(CAccountLogins::Authenticate(1, "ann", "p1"));
    EXPECT_FALSE(CAccountLogins::Authenticate(1, "ann", "P1"));
    EXPECT_FALSE(CAccountLogins::Authenticate(1, "ann", "p2"));
    EXPECT_FALSE(CAccountLogins::Authenticate(5, "ann", "p1"));
}

TEST_F(AccountStoreTest, ConversionTurnsOldTextsIntoUtf8Once)
{
    // "Иван" in windows-1251, a birthday in 1251, and a list member with its 16-bit name.
    const std::string ivan1251 = "\xC8\xE2\xE0\xED";
    const std::string petrWide = Utf16Le(u"Пётр");
    CZelXmlDocument document = CAccountFile::NewDocument();
    CZelXmlNode root = document.RootElement();
    root.SetAttr(kLogin, "ivan");
    root.SetAttr(kName, CZelString(ivan1251));
    root.SetAttr(kBirthday, CZelString(ivan1251));
    root.SetAttr(kIssuedBy, "Москва");
    CZelXmlNode contacts = CAccountFile::EnsureChild(root, kContactList);
    CZelXmlElement user(kUser);
    user.SetAttr(kName, "???");
    user.SetAttr(kUnicodeName, CZelString(petrWide));
    contacts.AddChild(user);
    ASSERT_TRUE(CAccountFile::Save("--1--.xml", document));

    ASSERT_EQ(CAccountStore::ConvertAll(), 1);
    CZelXmlNode converted = RootOf("--1--.xml");
    EXPECT_EQ(converted.GetAttr(kName).ToStd(), "Иван");
    EXPECT_EQ(converted.GetAttr(kBirthday).ToStd(), "Иван");
    EXPECT_EQ(converted.GetAttr(kIssuedBy).ToStd(), "Москва");
    EXPECT_EQ(converted.FindChild(kContactList).FindChild(kUser).GetAttr(kName).ToStd(), "Пётр");

    const std::string once = ReadText("--1--.xml");
    CAccountStore::ConvertAll();
    EXPECT_EQ(ReadText("--1--.xml"), once);
}

} // namespace
