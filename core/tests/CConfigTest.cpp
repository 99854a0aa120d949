#include "core/CConfig.h"

#include "foundation/CZelXmlDocument.h"
#include "foundation/testing/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class ConfigFileTest : public ::testing::Test {
protected:
    void Write(const std::string& text) { std::ofstream(file.Ptr(), std::ios::binary) << text; }
    std::string Read() const
    {
        std::ifstream in(file.Ptr(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    velmo_testing::TempDir m_temp{"velmo-config"};
    const fs::path folder = m_temp.Path();
    CZelString file{(folder / "config.xml").string()};
};

void ExpectDefaults(const CConfig& config)
{
    EXPECT_EQ(config.Get("Server"), "127.0.0.1:8080");
    EXPECT_EQ(config.Get("Url"), "/cgi-bin/velmo.cgi");
    EXPECT_EQ(config.Get("SmtpServerPort"), "25");
    EXPECT_EQ(config.Get("Pop3ServerPort"), "110");
    EXPECT_EQ(config.Get("BlockSize"), "100");
    EXPECT_EQ(config.SmtpServerPort(), 25);
    EXPECT_EQ(config.Pop3ServerPort(), 110);
    EXPECT_EQ(config.BlockSizeKb(), 100);
}

TEST(ConfigTest, StartsWithTheDefaultsAndKnowsOnlyTheFiveKeys)
{
    CConfig config;
    ExpectDefaults(config);
    EXPECT_FALSE(config.Set("server", "x"));  // keys are case-sensitive
    EXPECT_EQ(config.Get("server"), "");
    EXPECT_TRUE(config.Set("Server", ""));
    EXPECT_EQ(config.Get("Server"), "");  // stored as given, even empty
}

TEST_F(ConfigFileTest, MissingEmptyAndBrokenFilesLeaveTheDefaults)
{
    CConfig config;
    config.Set("SmtpServerPort", "2525");  // a load starts again from the defaults
    EXPECT_EQ(config.Load(file).status, CConfig::LoadResult::Missing);
    ExpectDefaults(config);

    Write("");
    config.Set("SmtpServerPort", "2525");
    config.Load(file);
    ExpectDefaults(config);

    Write("<Config SmtpServerPort=\"2525\"");
    const CConfig::LoadResult broken = config.Load(file);
    EXPECT_EQ(broken.status, CConfig::LoadResult::Broken);
    EXPECT_FALSE(broken.error.IsEmpty());
    ExpectDefaults(config);
}

TEST_F(ConfigFileTest, NonEmptyAttributesOfTheFirstElementReplaceTheDefaults)
{
    Write("<?xml?>\r\n<!DOCTYPE Other>\r\n<Anything Server=\"mail.example:81\" Url=\"\" SmtpServerPort=\"abc\" "
          "Pop3ServerPort=\"1110\" BlockSize=\"0\" Extra=\"1\" />\r\n");
    CConfig config;
    EXPECT_EQ(config.Load(file).status, CConfig::LoadResult::Loaded);
    EXPECT_EQ(config.Get("Server"), "mail.example:81");
    EXPECT_EQ(config.Get("Url"), "/cgi-bin/velmo.cgi");  // empty keeps the default
    EXPECT_EQ(config.Get("SmtpServerPort"), "abc");      // letters are kept as text...
    EXPECT_EQ(config.SmtpServerPort(), 25);              // ...and read as the default port
    EXPECT_EQ(config.Pop3ServerPort(), 1110);
    EXPECT_EQ(config.BlockSizeKb(), 100);
}

TEST_F(ConfigFileTest, FirstSaveCreatesAConfigDocumentWithTheFiveValues)
{
    CConfig config;
    ASSERT_TRUE(config.Save(file));
    EXPECT_EQ(Read(), "<?xml?>\r\n<!DOCTYPE Config>\r\n<Config Server=\"127.0.0.1:8080\" Url=\"/cgi-bin/velmo.cgi\" "
                      "SmtpServerPort=\"25\" Pop3ServerPort=\"110\" BlockSize=\"100\" />\r\n");
}

TEST_F(ConfigFileTest, TlsFilesAreKeptWhenSetAndLeaveTheFileWhenEmptiedAgain)
{
    CConfig config;
    config.Set(CConfig::kTlsCertificate, "/etc/mine.crt");
    config.Set(CConfig::kTlsKey, "/etc/mine.key");
    ASSERT_TRUE(config.Save(file));
    CConfig loaded;
    ASSERT_EQ(loaded.Load(file).status, CConfig::LoadResult::Loaded);
    EXPECT_EQ(loaded.Get(CConfig::kTlsCertificate), "/etc/mine.crt");
    EXPECT_EQ(loaded.Get(CConfig::kTlsKey), "/etc/mine.key");

    // Back to the gateway's own pair: an empty attribute would read the same, but the file
    // goes back to what a gateway without the setting writes.
    loaded.Set(CConfig::kTlsCertificate, "");
    loaded.Set(CConfig::kTlsKey, "");
    ASSERT_TRUE(loaded.Save(file));
    EXPECT_EQ(Read().find("Tls"), std::string::npos) << Read();
}

TEST_F(ConfigFileTest, SaveKeepsForeignAttributesAndChildElements)
{
    Write("<?xml?>\r\n<!DOCTYPE Config>\r\n<Config Theme=\"dark\" SmtpServerPort=\"26\" >\r\n"
          " <Window Left=\"10\" />\r\n</Config>\r\n");
    CConfig config;
    ASSERT_EQ(config.Load(file).status, CConfig::LoadResult::Loaded);
    config.Set("SmtpServerPort", "2525");
    ASSERT_TRUE(config.Save(file));

    CZelXmlDocument saved;
    ASSERT_TRUE(saved.LoadFile(file));
    const CZelXmlNode root = saved.RootElement();
    EXPECT_EQ(root.Name(), "Config");
    EXPECT_EQ(root.GetAttr("Theme"), "dark");
    EXPECT_EQ(root.GetAttr("SmtpServerPort"), "2525");
    EXPECT_EQ(root.GetAttr("BlockSize"), "100");
    EXPECT_EQ(root.FindChild("Window").GetAttr("Left"), "10");

    CConfig reread;
    reread.Load(file);
    EXPECT_EQ(reread.SmtpServerPort(), 2525);
}

TEST_F(ConfigFileTest, SaveOverABrokenFileKeepsTheOldFileBesideIt)
{
    Write("<Config Server=\"precious\" ");
    CConfig config;
    config.Set("Url", "/x.cgi");
    CZelString keptAs;
    ASSERT_TRUE(config.Save(file, &keptAs));
    ASSERT_FALSE(keptAs.IsEmpty());
    std::ifstream kept(keptAs.Ptr(), std::ios::binary);
    std::stringstream oldText;
    oldText << kept.rdbuf();
    EXPECT_EQ(oldText.str(), "<Config Server=\"precious\" ");

    CConfig reread;
    EXPECT_EQ(reread.Load(file).status, CConfig::LoadResult::Loaded);
    EXPECT_EQ(reread.Get("Url"), "/x.cgi");
}

TEST_F(ConfigFileTest, AFailedSaveKeepsTheValuesInEffect)
{
    std::ofstream(folder / "plain-file") << "x";
    CConfig config;
    config.Set("Server", "kept");
    EXPECT_FALSE(config.Save(CZelString((folder / "plain-file" / "config.xml").string())));
    EXPECT_EQ(config.Get("Server"), "kept");
}

TEST_F(ConfigFileTest, ValuesWithMarkupCharactersSurviveASaveAndLoad)
{
    CConfig config;
    config.Set("Url", "/cgi?a=1&b=\"2\"<3>");
    ASSERT_TRUE(config.Save(file));
    CConfig reread;
    ASSERT_EQ(reread.Load(file).status, CConfig::LoadResult::Loaded);
    EXPECT_EQ(reread.Get("Url"), "/cgi?a=1&b=\"2\"<3>");
}

struct NumberCase {
    const char* text;
    int32_t expected;
};

TEST(ConfigTest, PortReadingTakesTheLeadingNumber)
{
    const NumberCase cases[] = {
        {"2525", 2525}, {"25abc", 25},  {"abc", 110},  {"", 110},          {"  8110", 8110},
        {"-5", -5},     {"+7", 7},      {"0", 0},      {"99999999999", 2147483647}, {"- 5", 110},
    };
    for (const NumberCase& c : cases)
        EXPECT_EQ(CConfig::ReadLeadingNumber(c.text, 110), c.expected) << c.text;
}

TEST(ConfigTest, BlockSizeIsClampedToItsRange)
{
    const NumberCase cases[] = {{"0", 100},         {"-3", 100},   {"1", 1},       {"5000", 5000},
                                {"99999", 5000},    {"x", 100},    {"250kb", 250}, {"99999999999", 5000}};
    CConfig config;
    for (const NumberCase& c : cases) {
        config.Set("BlockSize", c.text);
        EXPECT_EQ(config.BlockSizeKb(), c.expected) << c.text;
    }
}

TEST(ConfigTest, PortsComeFromTheirOwnKeys)
{
    CConfig config;
    config.Set("SmtpServerPort", "x");
    config.Set("Pop3ServerPort", "995 ");
    EXPECT_EQ(config.SmtpServerPort(), 25);
    EXPECT_EQ(config.Pop3ServerPort(), 995);
}

} // namespace
