// The queued message file read back record by record and opened with the keys as the central
// server and the recipient's gateway open it; the numbering of the files; the refusals before
// anything reaches the disk; the checks on the server's recipient answers.

#include "smtp/COutbox.h"
#include "smtp/SmtpRecipientChecks.h"

#include "accounts/CAccountFile.h"
#include "core/CProtocolListData.h"
#include "crypto/CGostCipher.h"
#include "crypto/LongInt2.h"
#include "crypto/RsaBlockTransform.h"
#include "foundation/CZelEvent.h"
#include "foundation/CZelFile.h"
#include "foundation/CZelFormat.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/testing/TempDir.h"
#include "protocol/CSessionKeyFile.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "protocol/ZelRecords.h"
#include "protocol/ZelSealing.h"
#include "testing/TestKeys.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using velmo_testing::TestKeys;

constexpr int64_t kSenderId = 7;

const uint8_t* Bytes(const CZelString& text)
{
    return reinterpret_cast<const uint8_t*>(text.Ptr());
}

CZelXmlDocument Parsed(const CZelString& text)
{
    CZelXmlDocument document;
    EXPECT_TRUE(document.Parse(text)) << text.ToStd();
    return document;
}

// The RSA blocks after the 8-byte id opened with (n, exponent); the id goes to `id`.
CZelXmlDocument OpenBlock(const CZelString& payload, const CZelString& n, const CZelString& exponent, int64_t& id)
{
    id = GetInt64BE(payload.Ptr());
    const CZelString blocks = payload.Mid(8);
    const LongInt2 modulus(n.Ptr(), n.Length());
    const LongInt2 power(exponent.Ptr(), exponent.Length());
    CZelString text;
    uint32_t time = 0;
    EXPECT_GE(RsaBlockTransform::Invert(modulus, power, blocks.Ptr(), blocks.Length(), text, time), 0);
    return Parsed(text);
}

CSmtpRecipient Recipient(const char* address, const char* msgId, int64_t userId, int keyIndex)
{
    CSmtpRecipient recipient;
    recipient.address = address;
    recipient.msgId = msgId;
    recipient.n = TestKeys(keyIndex).n;
    recipient.e = TestKeys(keyIndex).e;
    recipient.userId = Format("%D", userId);
    recipient.name = Format("User %D", userId);
    recipient.translitName = Format("Translit %D", userId);
    recipient.unicodeName = CZelString("U\0s\0", 4);
    return recipient;
}

class OutboxQueueTest : public velmo_testing::TempHomeTest {
protected:
    void SetUp() override
    {
        m_account = CAccountFile::NewDocument();
        CZelXmlNode root = m_account.RootElement();
        root.SetAttr(AccountAttr::kId, Format("%D", kSenderId));
        root.SetAttr(AccountAttr::kN, TestKeys(0).n);
        root.SetAttr(AccountAttr::kD, TestKeys(0).d);
        root.SetAttr(AccountAttr::kE, TestKeys(0).e);
        CZelXmlDocument keyFile;
        ASSERT_TRUE(CSessionKeyFile::LoadOrRenew(KeyPath(), kKeyNumOutbox, keyFile));
        m_outboxKey.key = CSessionKeyFile::Key(keyFile);
        m_outboxKey.keyNumber = kKeyNumOutbox;
        m_recipients = {Recipient("bob@example.org", "100.1", 8, 1), Recipient("Carol@Example.org", "100.2", 9, 2)};
    }

    static CZelString KeyPath() { return CSessionKeyFile::OutboxPath(kSenderId); }
    static CZelXmlDocument KeyFile()
    {
        CZelXmlDocument document;
        EXPECT_TRUE(CSessionKeyFile::Load(KeyPath(), document));
        return document;
    }
    static std::string QueuedName(int64_t number) { return COutbox::FilePath(kSenderId, number).ToStd(); }

    ESmtpQueue Queue(std::string message)
    {
        return QueueOutboxMessage(m_account, kSenderId, m_outboxKey, m_recipients, message, &m_log);
    }

    CZelXmlDocument m_account;
    COutboxKey m_outboxKey;
    CSmtpRecipients m_recipients;
    CProtocolListData m_log;
};

TEST_F(OutboxQueueTest, QueuedFileOpensWithTheKeysOfSenderAndRecipients)
{
    std::string text = "Subject: test\r\n\r\n";
    for (int line = 0; line < 300; ++line)
        text += "Line " + std::to_string(line) + " of the message.\r\n";
    text += "odd tail";   // not a whole cipher block
    std::string message = text;
    COutbox::Event().Reset();

    ASSERT_EQ(QueueOutboxMessage(m_account, kSenderId, m_outboxKey, m_recipients, message, &m_log), ESmtpQueue::Queued);
    EXPECT_NE(message, text) << "the text is encrypted in place";
    EXPECT_TRUE(COutbox::Event().IsSignalled());

    CZelString file;
    ASSERT_TRUE(CZelFile::LoadWholeFile(QueuedName(1).c_str(), file));
    struct stat info {};
    ASSERT_EQ(::stat(QueuedName(1).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    CZelRecord outer;
    ASSERT_TRUE(ParseRequestRecord(file, outer)) << "the file is exactly one record";
    ASSERT_EQ(outer.type, kRecordQueuedMessage);
    const std::vector<CZelRecord> records = SplitRecords(outer.payload);
    ASSERT_EQ(records.size(), 5u);
    const std::vector<uint32_t> types{records[0].type, records[1].type, records[2].type, records[3].type,
                                      records[4].type};
    EXPECT_EQ(types, (std::vector<uint32_t>{kRecordRecipientList, kRecordSenderBlock, kRecordKeyBlock,
                                            kRecordKeyBlock, kRecordMessageText}));

    // 18: the recipient list under the Outbox key, as the central server opens it.
    int64_t sealedFor = 0;
    uint32_t keyNumber = 0;
    CZelString sealed, plain;
    ASSERT_TRUE(SplitSealedRequest(records[0].payload, sealedFor, keyNumber, sealed));
    EXPECT_EQ(sealedFor, kSenderId);
    EXPECT_EQ(keyNumber, kKeyNumOutbox);
    ASSERT_TRUE(Unseal(m_outboxKey.key, sealed, plain));
    const CZelXmlDocument list = Parsed(plain);
    int32_t count = 0;
    CZelXmlNode rcpt = list.RootElement().FindChild(kElementRcpt, &count);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(rcpt.GetAttr(kAttrRcpt), "bob@example.org");
    EXPECT_EQ(rcpt.GetAttr(kAttrMsgId), "100.1");
    EXPECT_EQ(rcpt.GetAttr(kAttrUserId), "8");
    EXPECT_EQ(rcpt.NextSameName().GetAttr(kAttrRcpt), "Carol@Example.org");

    // 15: the sender block opens with the sender's public key.
    int64_t id = 0;
    const CZelXmlNode sender = OpenBlock(records[1].payload, TestKeys(0).n, TestKeys(0).e, id).RootElement();
    EXPECT_EQ(id, kSenderId);
    EXPECT_EQ(sender.GetAttr(kAttrSenderId), "7");
    const CZelString hashKey = sender.GetAttr(kAttrHashKey), hashSalt = sender.GetAttr(kAttrHashSalt);
    ASSERT_EQ(hashKey.Length(), 32);
    ASSERT_EQ(hashSalt.Length(), 8);

    // 5: each key block opens only with its recipient's private key and names the same key.
    CZelString messageKey, salt;
    for (int index = 0; index < 2; ++index) {
        const CZelXmlNode block =
            OpenBlock(records[2 + index].payload, TestKeys(1 + index).n, TestKeys(1 + index).d, id).RootElement();
        EXPECT_EQ(id, 8 + index);
        EXPECT_EQ(block.GetAttr(kAttrRcpt), m_recipients[index].address);
        EXPECT_EQ(block.GetAttr(kAttrMsgId), m_recipients[index].msgId);
        if (index == 0) {
            messageKey = block.GetAttr(kAttrKey);
            salt = block.GetAttr(kAttrSalt);
        }
        EXPECT_EQ(block.GetAttr(kAttrKey), messageKey);
        EXPECT_EQ(block.GetAttr(kAttrSalt), salt);
    }
    ASSERT_EQ(messageKey.Length(), 32);
    ASSERT_EQ(salt.Length(), 8);
    EXPECT_NE(messageKey, hashKey);

    // 7: the text decrypts back, and its keyed hash is the sender block's.
    const CZelString& encrypted = records[4].payload;
    ASSERT_EQ(encrypted.Length(), static_cast<int32_t>(text.size()));
    std::string decrypted(text.size(), '\0');
    CGostCipher::Shared().CfbDecrypt(Bytes(messageKey), Bytes(encrypted), text.size(), Bytes(salt),
                                     reinterpret_cast<uint8_t*>(decrypted.data()));
    EXPECT_EQ(decrypted, text);
    uint8_t hash[32];
    CGostCipher::Shared().KeyedHash(Bytes(hashKey), reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                                    Bytes(hashSalt), hash, sizeof hash);
    EXPECT_EQ(sender.GetAttr(kAttrHash), CZelString(reinterpret_cast<const char*>(hash), 32));

    // The list file keeps the names for the history; the key file counts the file.
    const std::string listText = ReadText(QueuedName(1) + ".list");
    EXPECT_NE(listText.find("\r\n"), std::string::npos);
    const CZelXmlNode listed = Parsed(CZelString(std::string_view(listText))).RootElement().FindChild(kElementRcpt);
    EXPECT_EQ(listed.GetAttr(kAttrName), "User 8");
    EXPECT_EQ(listed.GetAttr(kAttrTranslitName), "Translit 8");
    EXPECT_EQ(listed.GetAttr(kAttrUnicodeName), CZelString("U\0s\0", 4));
    EXPECT_EQ(listed.GetAttr(kAttrMsgId), "100.1");
    const CZelXmlNode key = KeyFile().RootElement();
    EXPECT_EQ(key.GetAttr(COutbox::kFileId), "1");
    EXPECT_EQ(key.GetAttr(CSessionKeyFile::kSessionKeyUseCount), "1");
    EXPECT_NE(m_log.SaveText().ToStd().find("Encrypting keys for recepient 9, n.Length():64, e.Length():64"),
              std::string::npos);
}

TEST_F(OutboxQueueTest, NumberingSkipsNamesAnOrphanListFileHolds)
{
    ASSERT_EQ(Queue("first"), ESmtpQueue::Queued);
    EXPECT_TRUE(Exists(QueuedName(1)));
    EXPECT_TRUE(Exists(QueuedName(1) + ".list"));

    WriteText(QueuedName(2) + ".list", "orphan");
    ASSERT_EQ(Queue("second"), ESmtpQueue::Queued);
    EXPECT_FALSE(Exists(QueuedName(2)));
    EXPECT_EQ(ReadText(QueuedName(2) + ".list"), "orphan");
    EXPECT_TRUE(Exists(QueuedName(3)));
    EXPECT_EQ(KeyFile().RootElement().GetAttr(COutbox::kFileId), "3");
    EXPECT_EQ(KeyFile().RootElement().GetAttr(CSessionKeyFile::kSessionKeyUseCount), "2");

    // A FileId that does not read starts again from 1 and passes the names in use.
    CZelXmlDocument key = KeyFile();
    key.RootElement().SetAttr(COutbox::kFileId, "x");
    ASSERT_TRUE(CSessionKeyFile::Save(KeyPath(), key));
    ASSERT_EQ(Queue("third"), ESmtpQueue::Queued);
    EXPECT_TRUE(Exists(QueuedName(4)));

    std::vector<int64_t> numbers;
    for (const COutboxFile& file : COutbox::QueuedFiles(kSenderId))
        numbers.push_back(file.number);
    EXPECT_EQ(numbers, (std::vector<int64_t>{1, 3, 4}));
}

TEST_F(OutboxQueueTest, QueuedFilesComeInNumberOrderNamelessFirst)
{
    const std::string folder = COutbox::FolderFor(kSenderId).ToStd();
    for (const char* name : {"00000010.blk", "00000009.blk", "note.blk", "00000011.blk.list"})
        WriteText(folder + name, "x");
    std::vector<std::string> names;
    for (const COutboxFile& file : COutbox::QueuedFiles(kSenderId)) {
        names.push_back(file.path.ToStd().substr(folder.size()));
        EXPECT_EQ(file.listPath, file.path + ".list");
    }
    EXPECT_EQ(names, (std::vector<std::string>{"note.blk", "00000009.blk", "00000010.blk"}));
}

TEST_F(OutboxQueueTest, NothingIsWrittenWhenTheMessageCannotBeQueued)
{
    struct Case {
        const char* what;
        std::function<void(CZelXmlDocument& account, CSmtpRecipients& recipients)> spoil;
        ESmtpQueue expected;
        const char* logged;
    };
    const std::vector<Case> cases{
        {"no Outbox key file", [](CZelXmlDocument&, CSmtpRecipients&) { CZelFile::DeleteFile(KeyPath()); }, ESmtpQueue::Failed,
         "the Outbox key file cannot be read"},
        {"sender key broken", [](CZelXmlDocument& account, CSmtpRecipients&) { account.RootElement().SetAttr(AccountAttr::kD, ""); },
         ESmtpQueue::EndSession, "point 5(ret)"},
        {"recipient modulus even",
         [](CZelXmlDocument&, CSmtpRecipients& recipients) {
             std::string n = recipients[1].n.ToStd();
             n[0] = static_cast<char>(n[0] & ~1);
             recipients[1].n = CZelString(std::string_view(n));
         },
         ESmtpQueue::EndSession, "point 6(ret)"},
        {"recipient modulus short",
         [](CZelXmlDocument&, CSmtpRecipients& recipients) { recipients[0].n = recipients[0].n.Left(8); }, ESmtpQueue::EndSession,
         "point 6(ret)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        m_log.Clear();
        c.spoil(m_account, m_recipients);
        EXPECT_EQ(Queue("Subject: x\r\n\r\nbody"), c.expected);
        EXPECT_TRUE(COutbox::QueuedFiles(kSenderId).empty());
        EXPECT_FALSE(Exists(QueuedName(1) + ".list"));
        EXPECT_NE(m_log.SaveText().ToStd().find(c.logged), std::string::npos) << m_log.SaveText().ToStd();
    }
}

TEST(SmtpRecipientChecksTest, MessageIdsThatMayBecomeFileNames)
{
    for (const char* good : {"1", "0", "17.3", "1.2.3.4", "0000000000"})
        EXPECT_TRUE(IsUsableMessageId(good)) << good;
    for (const char* bad : {"", ".", "1.", ".1", "1..2", "a", "1/2", "../1", "-1", " 1", "1e5"})
        EXPECT_FALSE(IsUsableMessageId(bad)) << bad;
    EXPECT_TRUE(IsUsableMessageId(CZelString(std::string(64, '9'))));
    EXPECT_FALSE(IsUsableMessageId(CZelString(std::string(65, '9'))));
}

TEST(SmtpRecipientChecksTest, RecipientKeysMustBeOddAndOfAUsableSize)
{
    const auto key = [](size_t bytes, char low) {
        std::string n(bytes, '\x55');
        n[0] = low;
        return CZelString(std::string_view(n));
    };
    EXPECT_TRUE(IsUsableRecipientKey(key(16, 1)));
    EXPECT_TRUE(IsUsableRecipientKey(key(512, 3)));
    EXPECT_TRUE(IsUsableRecipientKey(TestKeys(1).n));
    EXPECT_FALSE(IsUsableRecipientKey(key(15, 1)));
    EXPECT_FALSE(IsUsableRecipientKey(key(513, 1)));
    EXPECT_FALSE(IsUsableRecipientKey(key(64, 2)));
    EXPECT_FALSE(IsUsableRecipientKey(CZelString()));
}

TEST(SmtpRecipientChecksTest, LookupAnswersBecomeTheirOutcome)
{
    using Kind = CSmtpLookup::Kind;
    const std::string n = TestKeys(1).n.ToStd();
    std::string evenN = n;
    evenN[0] = static_cast<char>(evenN[0] & ~1);
    struct Case {
        const char* what;
        std::vector<std::pair<const char*, std::string>> attributes;
        Kind expected;
    };
    const std::vector<Case> cases{
        {"complete", {{"MsgId", "5.1"}, {"n", n}, {"e", "\x03"}, {"UserId", "12"}, {"Name", "Bob"}}, Kind::Accepted},
        {"refused", {{"ErrorMessage", "Recipient refuses your mail"}}, Kind::Refused},
        {"nothing", {{"Status", "Error"}}, Kind::NoSuchUser},
        {"id as a path", {{"MsgId", "../../x"}, {"n", n}, {"e", "\x03"}, {"UserId", "12"}}, Kind::ServerReplyError},
        {"no exponent", {{"MsgId", "5"}, {"n", n}, {"UserId", "12"}}, Kind::ServerReplyError},
        {"user id not a number", {{"MsgId", "5"}, {"n", n}, {"e", "\x03"}, {"UserId", "x"}}, Kind::ServerReplyError},
        {"even modulus", {{"MsgId", "5"}, {"n", evenN}, {"e", "\x03"}, {"UserId", "12"}}, Kind::EndSession},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CZelXmlDocument answer;
        answer.Create("doc", "Root");
        for (const auto& [name, value] : c.attributes)
            answer.RootElement().SetAttr(name, CZelString(std::string_view(value)));
        const CSmtpLookup lookup = ReadLookupAnswer(answer, "Bob@Example.org");
        EXPECT_EQ(lookup.kind, c.expected);
        EXPECT_EQ(lookup.recipient.address, "Bob@Example.org");
        if (c.expected == Kind::Accepted) {
            EXPECT_EQ(lookup.recipient.userId, "12");
            EXPECT_EQ(lookup.recipient.name, "Bob");
            EXPECT_EQ(lookup.recipient.n.ToStd(), n);
        }
        if (c.expected == Kind::Refused)
            EXPECT_EQ(lookup.errorText, "Recipient refuses your mail");
    }
}

} // namespace
