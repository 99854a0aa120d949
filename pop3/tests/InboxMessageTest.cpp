// Opening downloaded message data: the transfer hash check of the download file, the walk of
// the content records, what each spoilt part does, and random and mutated data.

#include "pop3/CInboxMessage.h"

#include "MessageDataBuilder.h"
#include "core/CProtocolListData.h"
#include "foundation/testing/TempDir.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

namespace {

using downloadtest::MessageDataBuilder;
using velmo_testing::TempHomeTest;

CInboxRecipient Bob(const MessageDataBuilder& built)
{
    return {built.recipientId, MessageDataBuilder::RecipientKeys().n, MessageDataBuilder::RecipientKeys().d};
}

std::optional<CInboxOpened> Open(const MessageDataBuilder& built, CProtocolListData& log)
{
    const CZelString content = built.Content();
    return OpenInboxMessage(std::string(content.View()), built.inbox, Bob(built), built.messageId, log);
}

bool Logged(const CProtocolListData& log, const std::string& text)
{
    CProtocolLine line;
    for (int64_t number = log.FirstLineNumber(); log.LineByNumber(number, &line); ++number)
        if (line.text.ToStd() == text)
            return true;
    return false;
}

TEST(InboxMessageTest, AnIntactMessageOpensToItsTextAndSender)
{
    MessageDataBuilder built;
    CProtocolListData log;
    const auto opened = Open(built, log);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->text, built.text);
    EXPECT_EQ(opened->sender.email, "alice@example.org");
    EXPECT_EQ(opened->sender.id, "1");
    EXPECT_EQ(opened->sender.unicodeName, CZelString("T\0e\0", 4));
    EXPECT_EQ(opened->sender.sentTimeStamp, "1700000000000000");
    EXPECT_TRUE(Logged(log, "Sender info block: letter with id = 17.4"));
}

TEST(InboxMessageTest, AnErrorRecordIsLoggedAndChangesNothing)
{
    MessageDataBuilder built;
    built.errorRecordStatus = "Error";
    CProtocolListData log;
    EXPECT_TRUE(Open(built, log));
    EXPECT_TRUE(Logged(log, "error: message 17.4, status Error, extended error 42"));
}

struct Spoilt {
    const char* name;
    std::function<void(MessageDataBuilder&)> spoil;
};

class SpoiltMessageTest : public ::testing::TestWithParam<Spoilt> {};

TEST_P(SpoiltMessageTest, IsRefused)
{
    MessageDataBuilder built;
    GetParam().spoil(built);
    CProtocolListData log;
    EXPECT_FALSE(Open(built, log));
}

INSTANTIATE_TEST_SUITE_P(
    Parts, SpoiltMessageTest,
    ::testing::Values(
        Spoilt{"NoSenderRecord", [](MessageDataBuilder& b) { b.withSender = false; }},
        Spoilt{"SenderRecordUnderAnotherKey", [](MessageDataBuilder& b) { b.sealingKey = MakeSessionKey(); }},
        Spoilt{"SenderRecordAfterTheSignature", [](MessageDataBuilder& b) { b.signatureBeforeSender = true; }},
        Spoilt{"NoKeyBlock", [](MessageDataBuilder& b) { b.withKeyBlock = false; }},
        Spoilt{"KeyBlockOfAnotherAccount", [](MessageDataBuilder& b) { b.keyBlockAccount = 3; }},
        Spoilt{"KeyBlockOfAnotherMessage", [](MessageDataBuilder& b) { b.keyBlockMessageId = "17.5"; }},
        Spoilt{"ShortMessageKey", [](MessageDataBuilder& b) { b.key = mailtest::RandomBytes(31); }},
        Spoilt{"ShortSalt", [](MessageDataBuilder& b) { b.salt = mailtest::RandomBytes(7); }},
        Spoilt{"ShortHashSalt", [](MessageDataBuilder& b) { b.hashSalt = mailtest::RandomBytes(9); }},
        Spoilt{"NoSignature", [](MessageDataBuilder& b) { b.withSignature = false; }},
        Spoilt{"SignatureNotBySender",
               [](MessageDataBuilder& b) { b.signingExponent = MessageDataBuilder::RecipientKeys().d; }},
        Spoilt{"WrongTextHash", [](MessageDataBuilder& b) { b.hashOverride = mailtest::RandomBytes(32); }}),
    [](const ::testing::TestParamInfo<Spoilt>& info) { return std::string(info.param.name); });

TEST(InboxMessageTest, AnotherQueuedIdThanTheKeyBlockNamesIsRefused)
{
    MessageDataBuilder built;
    const CZelString content = built.Content();
    CProtocolListData log;
    EXPECT_FALSE(OpenInboxMessage(std::string(content.View()), built.inbox, Bob(built), "17.40", log));
}

// The download file's own check: length head, transfer hash, content.
class VerifiedContentTest : public TempHomeTest {
protected:
    MessageDataBuilder m_built;
    std::string m_content;
    CZelString m_error;

    bool Read(const std::string& file)
    {
        WriteText("download", file);
        return ReadVerifiedContent("download", m_built.inbox, m_content, m_error);
    }
};

TEST_F(VerifiedContentTest, AWholeFileGivesTheContent)
{
    const std::string file = m_built.DownloadFile();
    ASSERT_TRUE(Read(file));
    EXPECT_EQ(m_content, file.substr(8 + 32));
}

TEST_F(VerifiedContentTest, AFlippedByteAnywhereInTheDataIsAHashMismatch)
{
    const std::string file = m_built.DownloadFile();
    for (size_t at : {size_t{8}, size_t{8 + 31}, size_t{8 + 32}, file.size() / 2, file.size() - 1}) {
        std::string spoilt = file;
        spoilt[at] = static_cast<char>(spoilt[at] ^ 0x01);
        EXPECT_FALSE(Read(spoilt)) << at;
        EXPECT_TRUE(m_error.IsEmpty()) << at;
        EXPECT_TRUE(m_content.empty());
    }
}

TEST_F(VerifiedContentTest, AFileThatIsNotWholeIsAnError)
{
    const std::string file = m_built.DownloadFile();
    for (const std::string& spoilt : {file.substr(0, 5), file.substr(0, file.size() - 1), file + "x",
                                      std::string(8, '\0') + file.substr(8)}) {
        EXPECT_FALSE(Read(spoilt));
        EXPECT_FALSE(m_error.IsEmpty());
    }
    EXPECT_FALSE(ReadVerifiedContent("missing", m_built.inbox, m_content, m_error));
    EXPECT_FALSE(m_error.IsEmpty());
}

// Random data and single mutations of a good message never crash the walk and never open.
TEST(InboxMessageFuzzTest, RandomAndMutatedDataNeverOpen)
{
    MessageDataBuilder built;
    const std::string good = built.Content().ToStd();
    const CInboxRecipient bob = Bob(built);
    std::mt19937 random(20261210);
    CProtocolListData log;
    for (int round = 0; round < 400; ++round) {
        std::string noise(random() % 3000, '\0');
        for (char& c : noise)
            c = static_cast<char>(random());
        EXPECT_FALSE(OpenInboxMessage(std::string(noise), built.inbox, bob, built.messageId, log));
    }
    for (int round = 0; round < 1500; ++round) {
        std::string mutated = good;
        const size_t at = random() % mutated.size();
        switch (round % 4) {
        case 0:
            mutated[at] = static_cast<char>(mutated[at] ^ (1 + random() % 255));
            break;
        case 1:
            mutated.resize(at);
            break;
        case 2:
            // A length or type field made huge.
            for (size_t i = at; i < std::min(mutated.size(), at + 4); ++i)
                mutated[i] = static_cast<char>(0xFF);
            break;
        default:
            mutated.insert(at, 1 + random() % 16, static_cast<char>(random()));
            break;
        }
        if (mutated == good)
            continue;
        EXPECT_FALSE(OpenInboxMessage(std::string(mutated), built.inbox, bob, built.messageId, log)) << "mutation " << round % 4 << " at " << at << " of " << good.size();
    }
}

} // namespace
