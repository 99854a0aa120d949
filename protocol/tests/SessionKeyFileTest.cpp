// The key files key.bin.

#include "foundation/CZelFile.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/testing/TempDir.h"
#include "protocol/CSessionKeyFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>

namespace {

namespace fs = std::filesystem;

class SessionKeyFileTest : public ::testing::Test {
protected:
    CZelString PathOf(const CZelString& relative) const { return CZelString((m_dir + "/").c_str()) + relative; }

    void Write(const CZelString& path, const std::string& text)
    {
        fs::create_directories(fs::path(path.ToStd()).parent_path());
        ASSERT_TRUE(CZelFile::SaveWholeFile(path, CZelString(text)));
    }

    velmo_testing::TempDir m_temp{"velmo-keyfile"};
    const std::string m_dir = m_temp.Path().string();
};

std::string KeyFileText(const std::string& attributes, const std::string& children = "")
{
    return "<!DOCTYPE doc>\r\n<Root " + attributes + (children.empty() ? "/>\r\n" : ">\r\n" + children + "</Root>\r\n");
}

const std::string kValidKey = "0123456789abcdef0123456789ABCDEF";

TEST_F(SessionKeyFileTest, PathsFollowTheAccountFolders)
{
    EXPECT_EQ(CSessionKeyFile::OutboxPath(12).ToStd(), "Accounts/00000012/Outbox/key.bin");
    EXPECT_EQ(CSessionKeyFile::InboxPath(123456789).ToStd(), "Accounts/123456789/Inbox/key.bin");
}

TEST_F(SessionKeyFileTest, MissingFileGetsAFreshKeyWrittenPrivately)
{
    const CZelString path = PathOf(CSessionKeyFile::OutboxPath(12));
    CZelXmlDocument document;
    bool renewed = false;
    ASSERT_TRUE(CSessionKeyFile::LoadOrRenew(path, 3, document, &renewed));
    EXPECT_TRUE(renewed);
    EXPECT_EQ(CSessionKeyFile::Key(document).Length(), 32);
    EXPECT_EQ(document.RootElement().GetAttr(CSessionKeyFile::kSessionKeyId).ToStd(), "3");
    EXPECT_EQ(document.RootElement().GetAttr(CSessionKeyFile::kSessionKeyUseCount).ToStd(), "0");
    EXPECT_EQ(document.RootElement().GetAttr(CSessionKeyFile::kSessionKeyLock).ToStd(), "0");
    EXPECT_FALSE(CSessionKeyFile::IsLocked(document));

    struct stat file {};
    ASSERT_EQ(::stat(path.Ptr(), &file), 0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    struct stat folder {};
    ASSERT_EQ(::stat((m_dir + "/Accounts/00000012/Outbox").c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);

    CZelString text;
    ASSERT_TRUE(CZelFile::LoadWholeFile(path, text));
    const std::string written = text.ToStd();
    EXPECT_NE(written.find("<!DOCTYPE doc>\r\n<Root "), std::string::npos) << testing::PrintToString(written);
    size_t lineEnds = 0, crlf = 0;
    for (size_t i = 0; i < written.size(); ++i)
        if (written[i] == '\n') {
            ++lineEnds;
            crlf += i > 0 && written[i - 1] == '\r';
        }
    EXPECT_GT(lineEnds, 0u);
    EXPECT_EQ(crlf, lineEnds);

    CZelXmlDocument again;
    ASSERT_TRUE(CSessionKeyFile::LoadOrRenew(path, 3, again, &renewed));
    EXPECT_FALSE(renewed);
    EXPECT_EQ(CSessionKeyFile::Key(again).ToStd(), CSessionKeyFile::Key(document).ToStd());
}

TEST_F(SessionKeyFileTest, ValidFileIsKeptAsItIs)
{
    const CZelString path = PathOf(CSessionKeyFile::InboxPath(5));
    Write(path, KeyFileText("SessionKey=\"" + kValidKey +
                            "\" SessionKeyId=\"7\" SessionKeyUseCount=\"+5\" SessionKeyLock=\"1\""));
    CZelXmlDocument document;
    bool renewed = true;
    ASSERT_TRUE(CSessionKeyFile::LoadOrRenew(path, 4, document, &renewed));
    EXPECT_FALSE(renewed);
    EXPECT_EQ(CSessionKeyFile::Key(document).ToStd(), kValidKey);
    EXPECT_EQ(CSessionKeyFile::KeyNumber(document), 7);
    EXPECT_EQ(CSessionKeyFile::UseCount(document), 5);
    EXPECT_TRUE(CSessionKeyFile::IsLocked(document));
}

struct InvalidKeyFile {
    const char* name;
    std::string text;
};

class SessionKeyFileInvalidTest : public SessionKeyFileTest, public ::testing::WithParamInterface<InvalidKeyFile> {};

TEST_P(SessionKeyFileInvalidTest, IsReplacedByAFreshKey)
{
    const CZelString path = PathOf(CSessionKeyFile::InboxPath(9));
    Write(path, GetParam().text);
    CZelXmlDocument document;
    bool renewed = false;
    ASSERT_TRUE(CSessionKeyFile::LoadOrRenew(path, 4, document, &renewed));
    EXPECT_TRUE(renewed);
    EXPECT_TRUE(CSessionKeyFile::IsValid(document));
    EXPECT_NE(CSessionKeyFile::Key(document).ToStd(), kValidKey);
    EXPECT_EQ(CSessionKeyFile::KeyNumber(document), 4);
    EXPECT_EQ(CSessionKeyFile::UseCount(document), 0);

    CZelXmlDocument stored;
    ASSERT_TRUE(CSessionKeyFile::Load(path, stored));
    EXPECT_EQ(CSessionKeyFile::Key(stored).ToStd(), CSessionKeyFile::Key(document).ToStd());
}

INSTANTIATE_TEST_SUITE_P(
    Files, SessionKeyFileInvalidTest,
    ::testing::Values(
        InvalidKeyFile{"NegativeKeyNumber",
                       KeyFileText("SessionKey=\"" + kValidKey +
                                   "\" SessionKeyId=\"-1\" SessionKeyUseCount=\"0\" SessionKeyLock=\"0\"")},
        InvalidKeyFile{"UseCountNotANumber",
                       KeyFileText("SessionKey=\"" + kValidKey + "\" SessionKeyId=\"4\" SessionKeyUseCount=\"x\"")},
        InvalidKeyFile{"UseCountEmpty",
                       KeyFileText("SessionKey=\"" + kValidKey + "\" SessionKeyId=\"4\" SessionKeyUseCount=\"\"")},
        InvalidKeyFile{"UseCountMissing", KeyFileText("SessionKey=\"" + kValidKey + "\" SessionKeyId=\"4\"")},
        InvalidKeyFile{"KeyTooShort",
                       KeyFileText("SessionKey=\"" + kValidKey.substr(1) +
                                   "\" SessionKeyId=\"4\" SessionKeyUseCount=\"0\"")},
        InvalidKeyFile{"KeyMissing", KeyFileText("SessionKeyId=\"4\" SessionKeyUseCount=\"0\"")},
        InvalidKeyFile{"OtherRoot", "<!DOCTYPE doc>\r\n<Keys SessionKey=\"" + kValidKey +
                                        "\" SessionKeyId=\"4\" SessionKeyUseCount=\"0\"/>\r\n"},
        InvalidKeyFile{"NotXml", "\x01\x02 not a key file"},
        InvalidKeyFile{"Empty", ""}),
    [](const ::testing::TestParamInfo<InvalidKeyFile>& info) { return std::string(info.param.name); });

TEST_F(SessionKeyFileTest, RenewalKeepsWhatTheOwnerAddedToTheFile)
{
    const CZelString path = PathOf(CSessionKeyFile::InboxPath(9));
    Write(path, KeyFileText("SessionKey=\"short\" SessionKeyId=\"4\" SessionKeyUseCount=\"0\" FileId=\"17\"",
                            " <Message MessageId=\"1.2\"/>\r\n"));
    CZelXmlDocument document;
    ASSERT_TRUE(CSessionKeyFile::LoadOrRenew(path, 4, document));
    EXPECT_EQ(document.RootElement().GetAttr("FileId").ToStd(), "17");
    EXPECT_EQ(document.RootElement().FindChild("Message").GetAttr("MessageId").ToStd(), "1.2");
}

TEST_F(SessionKeyFileTest, KeyThatCannotBeStoredIsNotHandedOut)
{
    Write(PathOf("blocker"), "a file where a folder should be");
    CZelXmlDocument document;
    EXPECT_FALSE(CSessionKeyFile::LoadOrRenew(PathOf("blocker/Inbox/key.bin"), 4, document));
    EXPECT_TRUE(CSessionKeyFile::Key(document).IsEmpty());
}

TEST_F(SessionKeyFileTest, ConcurrentFirstUsesAgreeOnOneKey)
{
    const CZelString path = PathOf(CSessionKeyFile::OutboxPath(77));
    CZelString keys[4];
    std::thread threads[4];
    for (int i = 0; i < 4; ++i)
        threads[i] = std::thread([&, i] {
            CZelXmlDocument document;
            if (CSessionKeyFile::LoadOrRenew(path, 3, document))
                keys[i] = CSessionKeyFile::Key(document);
        });
    for (std::thread& thread : threads)
        thread.join();
    for (const CZelString& key : keys) {
        EXPECT_EQ(key.Length(), 32);
        EXPECT_EQ(key.ToStd(), keys[0].ToStd());
    }
}

} // namespace
