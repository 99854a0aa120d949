// QueueOutboxMessage: packing a received message and writing it as the next queued file.

#include "smtp/COutbox.h"

#include "accounts/CAccountFile.h"
#include "core/CProtocolListData.h"
#include "crypto/CGostCipher.h"
#include "crypto/LongInt2.h"
#include "crypto/RsaBlockTransform.h"
#include "crypto/SecureWipe.h"
#include "foundation/CZelEvent.h"
#include "foundation/CZelFile.h"
#include "foundation/CZelFormat.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/ZelGlobalLocks.h"
#include "foundation/ZelNumbers.h"
#include "protocol/CSessionKeyFile.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "protocol/ZelRecords.h"
#include "protocol/ZelSealing.h"
#include "protocol/ZelSmtpTexts.h"
#include "smtp/SmtpRecipientChecks.h"

#include <cstdint>
#include <ctime>
#include <limits>

namespace {

constexpr int32_t kHashBytes = 32;

// The four fresh values of one message, wiped when it is packed.
struct CMessageSecrets {
    uint8_t key[CGostCipher::KeySize];
    uint8_t hashKey[CGostCipher::KeySize];
    uint8_t salt[CGostCipher::BlockSize];
    uint8_t hashSalt[CGostCipher::BlockSize];
    uint8_t hash[kHashBytes];

    // In this order; each is never all zero. Throws XTOOErrMsg when the random source fails.
    CMessageSecrets()
    {
        CGostCipher::MakeKey(key);
        CGostCipher::MakeKey(hashKey);
        CGostCipher::MakeInitialVector(salt);
        CGostCipher::MakeInitialVector(hashSalt);
    }
    ~CMessageSecrets() { SecureWipe(this, sizeof *this); }
    CMessageSecrets(const CMessageSecrets&) = delete;
    CMessageSecrets& operator=(const CMessageSecrets&) = delete;
};

CZelString Bytes(const uint8_t* data, size_t length)
{
    return CZelString(reinterpret_cast<const char*>(data), static_cast<int32_t>(length));
}

CZelXmlDocument NewDocument()
{
    CZelXmlDocument document;
    document.Create(CZelXmlDocument::kDefaultDocType, CZelXmlDocument::kDefaultRootName);
    return document;
}

// Everything of the type-8 record but the message text, which is written from the caller's
// buffer as it is.
struct CPackedMessage {
    CZelString records;          // the framed records 18, 15 and 5 x R
    CZelXmlDocument listFile = NewDocument();
};

uint32_t NowSeconds()
{
    return static_cast<uint32_t>(std::time(nullptr));
}

// `text` through the RSA block transform; empty when the key or the arithmetic refuses.
CZelString BlockTransform(const CZelString& n, const CZelString& exponent, const CZelString& text)
{
    CZelString out;
    if (n.IsEmpty() || exponent.IsEmpty())
        return out;   // a key that is not there; the arithmetic would take it for zero
    try {
        const LongInt2 modulus(n.Ptr(), n.Length());
        const LongInt2 power(exponent.Ptr(), exponent.Length());
        if (RsaBlockTransform::Apply(modulus, power, text.Ptr(), text.Length(), NowSeconds(), out) <= 0)
            return CZelString();
    } catch (const XTOOError&) {
        return CZelString();
    }
    return out;
}

void AddRecipientLists(const CSmtpRecipients& recipients, CZelXmlDocument& sealedList, CZelXmlDocument& listFile)
{
    for (const CSmtpRecipient& recipient : recipients) {
        CZelXmlElement sealed(kElementRcpt);
        sealed.SetAttr(kAttrRcpt, recipient.address);
        sealed.SetAttr(kAttrMsgId, recipient.msgId);
        sealed.SetAttr(kAttrUserId, recipient.userId);
        sealedList.RootElement().AddChild(sealed);

        CZelXmlElement listed(kElementRcpt);
        listed.SetAttr(kAttrRcpt, recipient.address);
        listed.SetAttr(kAttrMsgId, recipient.msgId);
        listed.SetAttr(kAttrUserId, recipient.userId);
        listed.SetAttr(kAttrName, recipient.name);
        listed.SetAttr(kAttrTranslitName, recipient.translitName);
        listed.SetAttr(kAttrUnicodeName, recipient.unicodeName);
        listFile.RootElement().AddChild(listed);
    }
}

CZelString SenderBlock(const CZelXmlDocument& account, int64_t accountId, const CMessageSecrets& secrets)
{
    const CZelXmlNode sender = account.RootElement();
    CZelXmlDocument document = NewDocument();
    CZelXmlNode root = document.RootElement();
    root.SetAttr(kAttrSenderId, sender.GetAttr(AccountAttr::kId));
    root.SetAttr(kAttrHashKey, Bytes(secrets.hashKey, sizeof secrets.hashKey));
    root.SetAttr(kAttrHashSalt, Bytes(secrets.hashSalt, sizeof secrets.hashSalt));
    root.SetAttr(kAttrHash, Bytes(secrets.hash, sizeof secrets.hash));
    const CZelString blocks =
        BlockTransform(sender.GetAttr(AccountAttr::kN), sender.GetAttr(AccountAttr::kD), document.ToRequestText());
    return blocks.IsEmpty() ? blocks : Int64BE(accountId) + blocks;
}

CZelString KeyBlock(const CSmtpRecipient& recipient, const CMessageSecrets& secrets)
{
    int64_t userId = -1;
    if (!IsUsableRecipientKey(recipient.n) || !ParseDecimal(recipient.userId, userId))
        return CZelString();
    CZelXmlDocument document = NewDocument();
    CZelXmlNode root = document.RootElement();
    root.SetAttr(kAttrRcpt, recipient.address);
    root.SetAttr(kAttrMsgId, recipient.msgId);
    root.SetAttr(kAttrKey, Bytes(secrets.key, sizeof secrets.key));
    root.SetAttr(kAttrSalt, Bytes(secrets.salt, sizeof secrets.salt));
    const CZelString blocks = BlockTransform(recipient.n, recipient.e, document.ToRequestText());
    return blocks.IsEmpty() ? blocks : Int64BE(userId) + blocks;
}

void LogLine(CProtocolListData* log, const CZelString& text, bool error = false)
{
    if (!log)
        return;
    if (error)
        log->AddStringEx(text, LogKind::Error);
    else
        log->AddStringEx(text);
}

// Steps before the disk: hash and encrypt the text in place, then the records 18, 15 and 5.
ESmtpQueue Pack(const CZelXmlDocument& account, int64_t accountId, const COutboxKey& outboxKey,
                const CSmtpRecipients& recipients, std::string& message, CProtocolListData* log, CPackedMessage& packed)
{
    CMessageSecrets secrets;
    auto* text = reinterpret_cast<uint8_t*>(message.data());
    const CGostCipher& cipher = CGostCipher::Shared();
    cipher.KeyedHash(secrets.hashKey, text, message.size(), secrets.hashSalt, secrets.hash,
                     sizeof secrets.hash);
    cipher.CfbEncrypt(secrets.key, text, message.size(), secrets.salt, text);

    CZelXmlDocument sealedList = NewDocument();
    AddRecipientLists(recipients, sealedList, packed.listFile);
    const CZelString sealed = Seal(accountId, outboxKey.keyNumber, outboxKey.key, sealedList.ToRequestText());
    if (sealed.IsEmpty())
        return ESmtpQueue::Failed;   // no usable Outbox key: nothing the server could open
    packed.records = Frame(kRecordRecipientList, sealed);

    const CZelString sender = SenderBlock(account, accountId, secrets);
    if (sender.IsEmpty()) {
        LogLine(log, kSmtpLogSenderTransformFailed, true);
        return ESmtpQueue::EndSession;
    }
    packed.records += Frame(kRecordSenderBlock, sender);

    for (const CSmtpRecipient& recipient : recipients) {
        int64_t userId = -1;
        ParseDecimal(recipient.userId, userId);
        LogLine(log, Format(kSmtpLogEncryptingKeys, userId, recipient.n.Length(), recipient.e.Length()));
        const CZelString block = KeyBlock(recipient, secrets);
        if (block.IsEmpty()) {
            LogLine(log, kSmtpLogKeyTransformFailed, true);
            return ESmtpQueue::EndSession;
        }
        packed.records += Frame(kRecordKeyBlock, block);
    }
    return ESmtpQueue::Queued;
}

void RecordHead(uint32_t type, uint64_t length, char head[kRecordHeadSize])
{
    PutUInt32BE(type, head);
    PutUInt32BE(static_cast<uint32_t>(length), head + 4);
}

// The type-8 record written piece by piece into the fresh file at `path`, then synced. False
// when any byte did not reach the disk.
bool WriteQueuedFile(const CZelString& path, const CPackedMessage& packed, const std::string& message)
{
    const uint64_t textLength = message.size();
    const uint64_t bodyLength = static_cast<uint64_t>(packed.records.Length()) + kRecordHeadSize + textLength;
    char outer[kRecordHeadSize];
    char inner[kRecordHeadSize];
    RecordHead(kRecordQueuedMessage, bodyLength, outer);
    RecordHead(kRecordMessageText, textLength, inner);

    CZelFile file(path, "WC|Sr");
    const bool written = file.IsOpen() && file.Write(outer, kRecordHeadSize) == kRecordHeadSize &&
                         file.Write(packed.records) == packed.records.Length() &&
                         file.Write(inner, kRecordHeadSize) == kRecordHeadSize &&
                         file.Write(message.data(), static_cast<int64_t>(textLength)) ==
                             static_cast<int64_t>(textLength) &&
                         file.Flush();
    file.Close();
    return written;
}

bool NameTaken(const CZelString& path)
{
    return CZelFile::GetFileAttributes(path) >= 0;
}

// The next free number after `lastNumber` holding the whole record; -1 when the attempts for
// failures other than a taken name ran out. Under the data lock.
int64_t WriteNextFile(int64_t accountId, int64_t lastNumber, const CPackedMessage& packed, const std::string& message)
{
    CZelFile::MkDirs(COutbox::FolderFor(accountId));
    int failures = 0;
    for (int64_t number = lastNumber + 1; failures < kSmtpOutboxWriteAttempts; ++number) {
        const CZelString path = COutbox::FilePath(accountId, number);
        if (NameTaken(path) || NameTaken(path + COutbox::kListSuffix))
            continue;
        bool taken = false;
        if (!CZelFile::CreateNewFile(path, &taken)) {
            if (!taken)
                ++failures;
            continue;
        }
        if (WriteQueuedFile(path, packed, message))
            return number;
        CZelFile::DeleteFile(path);   // nothing half-written stays behind
        ++failures;
    }
    return -1;
}

int64_t ReadCount(const CZelXmlNode& root, const char* name)
{
    int64_t value = 0;
    return ParseDecimal(root.GetAttr(name), value) && value >= 0 ? value : 0;
}

void RemoveQueued(const CZelString& path)
{
    CZelFile::DeleteFile(path);
    CZelFile::DeleteFile(path + COutbox::kListSuffix);
}

// Under the data lock: the numbered file, its list file, the key file's bookkeeping and the
// outbox event. The list file's save syncs the folder that now holds both names.
ESmtpQueue Store(int64_t accountId, const CPackedMessage& packed, const std::string& message, CProtocolListData* log)
{
    CZelLockGuard hold(ZelDataLock(), "QueueOutboxMessage()", __LINE__);
    const CZelString keyPath = CSessionKeyFile::OutboxPath(accountId);
    CZelXmlDocument keyFile;
    if (!CSessionKeyFile::Load(keyPath, keyFile)) {
        LogLine(log, Format(kSmtpLogQueueFailed, kSmtpQueueNoKeyFile), true);
        return ESmtpQueue::Failed;
    }
    CZelXmlNode root = keyFile.RootElement();
    const int64_t number = WriteNextFile(accountId, ReadCount(root, COutbox::kFileId), packed, message);
    if (number < 0) {
        LogLine(log, Format(kSmtpLogQueueFailed, kSmtpQueueNoFile), true);
        return ESmtpQueue::Failed;
    }
    const CZelString path = COutbox::FilePath(accountId, number);
    root.SetAttr(COutbox::kFileId, Format("%D", number));
    root.SetAttr(CSessionKeyFile::kSessionKeyUseCount,
                 Format("%D", ReadCount(root, CSessionKeyFile::kSessionKeyUseCount) + 1));
    // Without its list file, or without the use count that keeps its key, a queued file could
    // never be delivered: the client is told and keeps the message instead.
    if (!CZelFile::SaveWholeFile(path + COutbox::kListSuffix, packed.listFile.ToText()) ||
        !CSessionKeyFile::Save(keyPath, keyFile)) {
        RemoveQueued(path);
        LogLine(log, Format(kSmtpLogQueueFailed, kSmtpQueueNoListOrKey), true);
        return ESmtpQueue::Failed;
    }
    COutbox::Event().Signal();
    return ESmtpQueue::Queued;
}

} // namespace

ESmtpQueue QueueOutboxMessage(const CZelXmlDocument& account, int64_t accountId, const COutboxKey& outboxKey,
                              const CSmtpRecipients& recipients, std::string& message, CProtocolListData* log)
{
    if (recipients.empty() || message.size() > static_cast<uint64_t>(kMaxMessageBytes))
        return ESmtpQueue::Failed;
    CPackedMessage packed;
    try {
        const ESmtpQueue packing = Pack(account, accountId, outboxKey, recipients, message, log, packed);
        if (packing != ESmtpQueue::Queued)
            return packing;
    } catch (const XTOOError& error) {
        // The random source failed, or memory ran out: no key that could be guessed is used.
        LogLine(log, Format(kSmtpLogQueueFailed, error.Text()), true);
        return ESmtpQueue::Failed;
    }
    return Store(accountId, packed, message, log);
}
