#include "core/CTranslations.h"

#include "foundation/ZelGlobalLocks.h"
#include "foundation/testing/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// "Привет" in windows-1251 and in UTF-8.
const std::string kHello1251 = "\xCF\xF0\xE8\xE2\xE5\xF2";
const std::string kHelloUtf8 = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";

class TranslationsTest : public ::testing::Test {
protected:
    void TearDown() override { UnLoadTrStrings(); }

    CZelString WriteFile(const std::string& name, const std::string& bytes)
    {
        const fs::path path = m_dir / name;
        std::ofstream out(path, std::ios::binary);
        out << bytes;
        return CZelString(path.string());
    }

    // A language file with the given <File> elements inside the first <Files>.
    CZelString WriteLanguage(const std::string& files, const std::string& declaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>")
    {
        return WriteFile("Velmo_lang.xml", declaration + "\r\n<!DOCTYPE doc>\r\n<Lang >\r\n <Files >\r\n" + files +
                                               " </Files>\r\n</Lang>\r\n");
    }

    velmo_testing::TempDir m_temp{"velmo-tr"};
    const fs::path m_dir = m_temp.Path();
};

} // namespace

TEST(TranslationFileKey, CutsTheFolderAndUpperCases)
{
    EXPECT_EQ(TranslationFileKey("tr.cpp"), "TR.CPP");
    EXPECT_EQ(TranslationFileKey("c:\\src\\TR.cpp"), "TR.CPP");
    EXPECT_EQ(TranslationFileKey("/home/me/src/Tr.Cpp"), "TR.CPP");
    EXPECT_EQ(TranslationFileKey("a/b\\c.cpp"), "C.CPP");
    EXPECT_EQ(TranslationFileKey(""), "");
}

TEST_F(TranslationsTest, TextsComeBackAsWrittenUntilALoadHasFinished)
{
    EXPECT_FALSE(TranslationsEnabled());
    EXPECT_EQ(Translate("Message is sent", "SmtpServer.cpp"), "Message is sent");
    const CZelString file = WriteLanguage(R"(  <File FileName="SmtpServer.cpp" >
   <String Src="Message is sent" TR="Sent!" />
  </File>
)");
    CZelString message("stale");
    EXPECT_EQ(LoadTrStrings(file, &message), 1);
    EXPECT_EQ(message, "");
    EXPECT_TRUE(TranslationsEnabled());
    EXPECT_EQ(Translate("Message is sent", "SmtpServer.cpp"), "Sent!");
    UnLoadTrStrings();
    EXPECT_FALSE(TranslationsEnabled());
    EXPECT_EQ(Translate("Message is sent", "SmtpServer.cpp"), "Message is sent");
}

TEST_F(TranslationsTest, LookupRules)
{
    const CZelString file = WriteLanguage(R"(  <File FileName="c:\work\src\SmtpServer.cpp" >
   <String Src="Message is sent" TR="first" />
   <String Src="Message is sent" TR="second" />
   <String Src="Gone" TR="" />
   <String Src="Untranslated" />
   <String TR="no source" />
   <String Src="Shared" TR="smtp shared" />
   <String Src="Line&#10;break &amp; &quot;quote&quot;" TR="decoded" />
  </File>
  <File FileName="Pop3Server.cpp" >
   <String Src="Shared" TR="pop3 shared" />
  </File>
  <File FileName="SMTPSERVER.CPP" >
   <String Src="Message is sent" TR="later file" />
   <String Src="Later only" TR="from the later file" />
  </File>
)");
    ASSERT_EQ(LoadTrStrings(file), 1);
    struct Case {
        const char* text;
        const char* sourceFile;
        const char* expected;
    };
    const Case cases[] = {
        {"Message is sent", "SmtpServer.cpp", "first"},          // the first occurrence wins
        {"Message is sent", "smtpserver.CPP", "first"},          // the file key ignores case
        {"Message is sent", "/src/core/SmtpServer.cpp", "first"},
        {"Message is sent", "Pop3Server.cpp", "Message is sent"},
        {"Gone", "SmtpServer.cpp", ""},                           // an empty TR empties the text
        {"Untranslated", "SmtpServer.cpp", "Untranslated"},       // no TR: skipped
        {"", "SmtpServer.cpp", "no source"},                     // no Src: the empty text
        {"Shared", "SmtpServer.cpp", "smtp shared"},
        {"Shared", "Pop3Server.cpp", "pop3 shared"},
        {"Shared", "Other.cpp", "Shared"},
        {"Line\nbreak & \"quote\"", "SmtpServer.cpp", "decoded"},
        {"message is sent", "SmtpServer.cpp", "message is sent"}, // texts compare byte for byte
        {"Later only", "SmtpServer.cpp", "from the later file"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Translate(c.text, c.sourceFile), c.expected) << c.text << " / " << c.sourceFile;
}

TEST_F(TranslationsTest, OnlyTheFirstFilesElementIsRead)
{
    const CZelString file = WriteFile("Velmo_lang.xml", R"(<?xml encoding="utf-8"?>
<Root >
 <Files >
  <File FileName="A.cpp" >
   <String Src="one" TR="eins" />
  </File>
 </Files>
 <Files >
  <File FileName="A.cpp" >
   <String Src="two" TR="zwei" />
  </File>
 </Files>
</Root>
)");
    ASSERT_EQ(LoadTrStrings(file), 1);
    EXPECT_EQ(Translate("one", "A.cpp"), "eins");
    EXPECT_EQ(Translate("two", "A.cpp"), "two");
}

TEST_F(TranslationsTest, Windows1251FileIsConvertedAndUtf8FileUsedAsItIs)
{
    const std::string files1251 = "  <File FileName=\"Page.cpp\" >\r\n   <String Src=\"Hello\" TR=\"" + kHello1251 +
                                  "\" />\r\n   <String Src=\"" + kHello1251 + "\" TR=\"back\" />\r\n  </File>\r\n";
    ASSERT_EQ(LoadTrStrings(WriteLanguage(files1251, "<?xml version=\"1.0\" encoding=\"windows-1251\"?>")), 1);
    EXPECT_EQ(Translate("Hello", "Page.cpp").ToStd(), kHelloUtf8);
    EXPECT_EQ(Translate(CZelString(kHelloUtf8), "Page.cpp"), "back");

    const std::string filesUtf8 = "  <File FileName=\"Page.cpp\" >\r\n   <String Src=\"Hello\" TR=\"" + kHelloUtf8 +
                                  "\" />\r\n  </File>\r\n";
    ASSERT_EQ(LoadTrStrings(WriteLanguage(filesUtf8)), 1);
    EXPECT_EQ(Translate("Hello", "Page.cpp").ToStd(), kHelloUtf8);

    // Without a declaration the text is taken as the platform's own, UTF-8.
    ASSERT_EQ(LoadTrStrings(WriteLanguage(filesUtf8, "")), 1);
    EXPECT_EQ(Translate("Hello", "Page.cpp").ToStd(), kHelloUtf8);
}

TEST_F(TranslationsTest, CyrillicFileNamesMeetWhateverTheirCase)
{
    // "файл.cpp" in the file, "ФАЙЛ.cpp" from the caller.
    const std::string lower = "\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB.cpp";
    const std::string upper = "\xD0\xA4\xD0\x90\xD0\x99\xD0\x9B.cpp";
    ASSERT_EQ(LoadTrStrings(WriteLanguage("  <File FileName=\"" + lower + "\" >\r\n   <String Src=\"x\" TR=\"y\" />\r\n  </File>\r\n")), 1);
    EXPECT_EQ(Translate("x", upper.c_str()), "y");
}

TEST_F(TranslationsTest, MissingFileIsEnglishWithoutAMessage)
{
    CZelString message("stale");
    EXPECT_EQ(LoadTrStrings(CZelString((m_dir / "absent.xml").string()), &message), 0);
    EXPECT_EQ(message, "");
    EXPECT_TRUE(TranslationsEnabled());
    EXPECT_EQ(Translate("Message is sent", "SmtpServer.cpp"), "Message is sent");
}

TEST_F(TranslationsTest, MalformedFileGivesTheParseMessageAndEmptiesTheTable)
{
    ASSERT_EQ(LoadTrStrings(WriteLanguage("  <File FileName=\"A.cpp\" >\r\n   <String Src=\"one\" TR=\"eins\" />\r\n  </File>\r\n")), 1);
    const CZelString broken = WriteFile("broken.xml", "<Root >\n <Files x='1' />\n</Root>\n");
    CZelString message;
    EXPECT_EQ(LoadTrStrings(broken, &message), 0);
    EXPECT_EQ(message.ToStd(), "Error in language translation file \"" + broken.ToStd() +
                                   "\"\nLine: 2, Column: 11, Error: '\"' is expected");
    EXPECT_TRUE(TranslationsEnabled());
    EXPECT_EQ(Translate("one", "A.cpp"), "one");   // the earlier table is gone
}

TEST_F(TranslationsTest, UnreadableFileGivesTheFileErrorMessage)
{
    fs::create_directories(m_dir / "folder.xml");
    CZelString message;
    EXPECT_EQ(LoadTrStrings(CZelString((m_dir / "folder.xml").string()), &message), 0);
    EXPECT_EQ(message.Left(7), "Error: ") << message.ToStd();
    EXPECT_GT(message.Length(), 7);
}

TEST_F(TranslationsTest, DocumentWithoutFilesLoadsAnEmptyTable)
{
    CZelString message;
    EXPECT_EQ(LoadTrStrings(WriteFile("Velmo_lang.xml", "<Root a=\"1\" />\n"), &message), 1);
    EXPECT_EQ(message, "");
    EXPECT_EQ(Translate("x", "A.cpp"), "x");
}

TEST_F(TranslationsTest, LoadHoldsTheDataLockOnlyWhileItRuns)
{
    ASSERT_EQ(LoadTrStrings(WriteLanguage("")), 1);
    EXPECT_EQ(ZelDataLock().Depth(), 0);
    UnLoadTrStrings();
    EXPECT_EQ(ZelDataLock().Depth(), 0);
}

TEST_F(TranslationsTest, LookupsFromOtherThreadsDuringReloadsSeeOneTableOrNone)
{
    const CZelString file = WriteLanguage("  <File FileName=\"A.cpp\" >\r\n   <String Src=\"one\" TR=\"eins\" />\r\n  </File>\r\n");
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 2; ++i)
        readers.emplace_back([&] {
            while (!stop) {
                const CZelString text = Translate("one", "A.cpp");
                if (text != "one" && text != "eins")
                    wrong.fetch_add(1);
            }
        });
    for (int i = 0; i < 50; ++i) {
        LoadTrStrings(file);
        UnLoadTrStrings();
    }
    stop = true;
    for (std::thread& reader : readers)
        reader.join();
    EXPECT_EQ(wrong.load(), 0);
}

#include "foundation/testing/MutationFuzzer.h"

TEST_F(TranslationsTest, DamagedLanguageFilesNeverBreakTheLoader)
{
    const std::string good = "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n<!DOCTYPE doc>\r\n<Lang >\r\n <Files >\r\n"
                             "  <File FileName=\"A.cpp\" >\r\n   <String Src=\"one\" TR=\"" + kHello1251 + "\" />\r\n"
                             "   <String Src=\"two &amp; &#65;\" TR=\"\" />\r\n  </File>\r\n </Files>\r\n</Lang>\r\n";
    const std::vector<std::string> seeds = {good, "<R><Files><File FileName=\"x\"><String Src=\"a\" TR=\"b\"/></File></Files></R>"};
    velmo_testing::RunMutationFuzzer(seeds, 400, [&](const std::string& bytes) {
        CZelString message;
        const int result = LoadTrStrings(WriteFile("fuzz.xml", bytes), &message);
        ASSERT_TRUE(result == 0 || result == 1);
        EXPECT_EQ(result == 1, message.IsEmpty()) << message.ToStd();
        EXPECT_TRUE(TranslationsEnabled());
        Translate("one", "A.cpp");
    });
    EXPECT_EQ(ZelDataLock().Depth(), 0);
}
