#include "pop3/CInboxMessage.h"

#include "core/CProtocolListData.h"
#include "crypto/CGostCipher.h"
#include "crypto/LongInt2.h"
#include "crypto/RsaBlockTransform.h"
#include "foundation/CZelFile.h"
#include "foundation/CZelFormat.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/CZelXmlNode.h"
#include "protocol/ZelInboxTexts.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "protocol/ZelRecords.h"
#include "protocol/ZelSealing.h"
#include "protocol/ZelTransferHash.h"

namespace {

constexpr char kOpenForReading[] = "R|Sr";

// One record of a sequence: type, length (each 32-bit big-endian), payload.
struct CRecordView {
    uint32_t type = 0;
    std::string_view payload;
};

// Steps through a record sequence; a record that does not fit in what remains ends it.
class CRecordWalk {
public:
    explicit CRecordWalk(std::string_view data) : m_rest(data) {}

    bool Next(CRecordView& record)
    {
        if (m_rest.size() < static_cast<size_t>(kRecordHeadSize))
            return false;
        const uint32_t length = GetUInt32BE(m_rest.data() + 4);
        if (length > m_rest.size() - kRecordHeadSize)
            return false;
        record.type = GetUInt32BE(m_rest.data());
        record.payload = m_rest.substr(kRecordHeadSize, length);
        m_rest.remove_prefix(kRecordHeadSize + static_cast<size_t>(length));
        return true;
    }

private:
    std::string_view m_rest;
};

CZelString Text(std::string_view bytes)
{
    return CZelString(bytes);
}

const uint8_t* Bytes(std::string_view bytes)
{
    return reinterpret_cast<const uint8_t*>(bytes.data());
}

bool ReadExactly(CZelFile& file, char* into, int64_t count)
{
    for (int64_t done = 0; done < count;) {
        const int64_t read = file.Read(into + done, count - done);
        if (read <= 0)
            return false;
        done += read;
    }
    return true;
}

// Opens a sealed record with the Inbox key and parses its document.
bool OpenSealedDocument(std::string_view payload, const CZelString& inboxKey, CZelXmlDocument& document)
{
    CZelString plain;
    return Unseal(inboxKey, Text(payload), plain) && document.Parse(plain) && !document.RootElement().IsNull();
}

// The document in an inner record after its 8-byte id, under the inverse RSA block transform
// with (n, exponent). Records outside the sizes a key or sender block can have are refused
// before the arithmetic sees them.
bool OpenRsaDocument(std::string_view blocks, const CZelString& n, const CZelString& exponent,
                     CZelXmlDocument& document)
{
    if (blocks.empty() || static_cast<int64_t>(blocks.size()) > kInboxMaxRsaBlockBytes || n.IsEmpty() ||
        exponent.IsEmpty())
        return false;
    const LongInt2 modulus(n.Ptr(), n.Length());
    const LongInt2 power(exponent.Ptr(), exponent.Length());
    CZelString text;
    uint32_t time = 0;
    if (RsaBlockTransform::Invert(modulus, power, blocks.data(), static_cast<int>(blocks.size()), text, time) < 0)
        return false;
    return document.Parse(text) && !document.RootElement().IsNull();
}

// An inner record that names an account: its id and what follows, when the length is usable.
bool SplitIdRecord(std::string_view payload, int64_t& id, std::string_view& rest)
{
    if (payload.size() < static_cast<size_t>(kInboxRecordIdBytes) ||
        static_cast<int64_t>(payload.size()) > kInboxMaxInnerRecordBytes)
        return false;
    id = GetInt64BE(payload.data());
    rest = payload.substr(kInboxRecordIdBytes);
    return true;
}

CZelString KeyedHash32(const CZelString& key, const CZelString& initial, std::string_view data)
{
    uint8_t out[kInboxHashBytes];
    CGostCipher::Shared().KeyedHash(Bytes(key.View()), Bytes(data), data.size(), Bytes(initial.View()), out,
                                    sizeof out);
    return CZelString(reinterpret_cast<const char*>(out), sizeof out);
}

// What the walk collects.
class CMessageWalk {
public:
    CMessageWalk(const CZelString& inboxKey, const CInboxRecipient& recipient, const CZelString& messageId,
                 CProtocolListData& log)
        : m_inboxKey(inboxKey), m_recipient(recipient), m_messageId(messageId), m_log(log)
    {
    }

    void Walk(std::string_view content);
    // Decrypts the text in place inside `content` (which the walk looked at) and, when it
    // verifies, hands `content` over cut down to that text.
    std::optional<CInboxOpened> Open(std::string& content) const;

private:
    void TakeSender(std::string_view payload);
    void TakeError(std::string_view payload);
    void TakeMessage(std::string_view payload);
    void TakeKeyBlock(std::string_view payload);
    void TakeSignature(std::string_view payload);

    const CZelString& m_inboxKey;
    const CInboxRecipient& m_recipient;
    const CZelString& m_messageId;
    CProtocolListData& m_log;

    bool m_haveSender = false;
    CInboxSender m_sender;
    bool m_haveKey = false;
    CZelString m_key, m_salt;
    bool m_haveText = false;
    std::string_view m_text;
    bool m_haveSignature = false;
    CZelString m_hashKey, m_hashSalt, m_hash;
};

void CMessageWalk::TakeSender(std::string_view payload)
{
    CZelXmlDocument document;
    if (m_haveSender || !OpenSealedDocument(payload, m_inboxKey, document))
        return;
    const CZelXmlNode root = document.RootElement();
    m_sender = {root.GetAttr(kAttrName),  root.GetAttr(kAttrTranslitName), root.GetAttr(kAttrUnicodeName),
                root.GetAttr(kAttrEmail), root.GetAttr(kAttrId),           root.GetAttr(kAttrSentMessageTimeStamp),
                root.GetAttr(kAttrN),     root.GetAttr(kAttrE)};
    m_haveSender = true;
    m_log.Write(kInboxLogSenderInfo, m_messageId);
}

void CMessageWalk::TakeError(std::string_view payload)
{
    CZelXmlDocument document;
    if (!OpenSealedDocument(payload, m_inboxKey, document))
        return;
    const CZelXmlNode root = document.RootElement();
    m_log.Write(kInboxLogServerError, root.GetAttr(kAttrMessageId), root.GetAttr(kAttrStatus),
                root.GetAttr(kAttrExtendedErrorCode));
}

// The key block meant for this account and this message; blocks for other accounts, and any
// after the first that opened, are passed over.
void CMessageWalk::TakeKeyBlock(std::string_view payload)
{
    int64_t id = 0;
    std::string_view blocks;
    CZelXmlDocument document;
    if (m_haveKey || !SplitIdRecord(payload, id, blocks) || id != m_recipient.accountId ||
        !OpenRsaDocument(blocks, m_recipient.n, m_recipient.d, document))
        return;
    const CZelXmlNode root = document.RootElement();
    if (root.GetAttr(kAttrMsgId) != m_messageId)
        return;
    m_key = root.GetAttr(kAttrKey);
    m_salt = root.GetAttr(kAttrSalt);
    m_haveKey = true;
}

// The sender's signature can only be read with the key of a sender record seen before it, and
// must name that sender.
void CMessageWalk::TakeSignature(std::string_view payload)
{
    int64_t id = 0;
    std::string_view blocks;
    CZelXmlDocument document;
    if (m_haveSignature || !m_haveSender || !SplitIdRecord(payload, id, blocks) ||
        Format("%D", id) != m_sender.id || !OpenRsaDocument(blocks, m_sender.n, m_sender.e, document))
        return;
    const CZelXmlNode root = document.RootElement();
    m_hashKey = root.GetAttr(kAttrHashKey);
    m_hashSalt = root.GetAttr(kAttrHashSalt);
    m_hash = root.GetAttr(kAttrHash);
    m_haveSignature = true;
}

void CMessageWalk::TakeMessage(std::string_view payload)
{
    CRecordWalk walk(payload);
    for (CRecordView inner; walk.Next(inner);) {
        if (inner.type == kRecordKeyBlock)
            TakeKeyBlock(inner.payload);
        else if (inner.type == kRecordMessageText && !m_haveText &&
                 static_cast<int64_t>(inner.payload.size()) <= kInboxMaxInnerRecordBytes) {
            m_text = inner.payload;
            m_haveText = true;
        } else if (inner.type == kRecordSenderBlock)
            TakeSignature(inner.payload);
    }
}

void CMessageWalk::Walk(std::string_view content)
{
    CRecordWalk walk(content);
    for (CRecordView record; walk.Next(record);) {
        if (record.type == kRecordSenderInfo)
            TakeSender(record.payload);
        else if (record.type == kRecordError)
            TakeError(record.payload);
        else if (record.type == kRecordMessage)
            TakeMessage(record.payload);
    }
}

std::optional<CInboxOpened> CMessageWalk::Open(std::string& content) const
{
    if (!m_haveKey || !m_haveText || !m_haveSignature || m_key.Length() != kInboxMessageKeyBytes ||
        m_salt.Length() != kInboxSaltBytes || m_hashKey.Length() != kInboxHashKeyBytes ||
        m_hashSalt.Length() != kInboxHashSaltBytes || m_hash.Length() != kInboxHashBytes)
        return std::nullopt;
    // A big message is held once: its text is decrypted where it lies in the download.
    const size_t offset = static_cast<size_t>(m_text.data() - content.data());
    const size_t length = m_text.size();
    uint8_t* text = reinterpret_cast<uint8_t*>(content.data()) + offset;
    CGostCipher::Shared().CfbDecrypt(Bytes(m_key.View()), text, length, Bytes(m_salt.View()), text);
    if (KeyedHash32(m_hashKey, m_hashSalt, std::string_view(content).substr(offset, length)) != m_hash)
        return std::nullopt;
    CInboxOpened opened;
    content.erase(offset + length);
    content.erase(0, offset);
    opened.text = std::move(content);
    opened.sender = m_sender;
    return opened;
}

} // namespace

bool ReadVerifiedContent(const CZelString& downloadPath, const CZelString& inboxKey, std::string& content,
                         CZelString& error)
{
    content.clear();
    error = CZelString();
    CZelFile file;
    if (!file.Open(downloadPath, kOpenForReading)) {
        error = file.GetText();
        return false;
    }
    const int64_t size = file.Length();
    char head[kInboxLengthHeadBytes];
    if (size < kInboxLengthHeadBytes || !ReadExactly(file, head, kInboxLengthHeadBytes)) {
        error = size < 0 ? file.GetText() : CZelString(kInboxDownloadNotWhole);
        return false;
    }
    const int64_t length = GetInt64BE(head);
    if (length < kInboxMinMessageBytes || length > kInboxMaxMessageBytes || size != length + kInboxLengthHeadBytes) {
        error = kInboxDownloadNotWhole;
        return false;
    }
    char hash[kTransferHashSize];
    content.assign(static_cast<size_t>(length - kTransferHashSize), '\0');
    if (!ReadExactly(file, hash, kTransferHashSize) ||
        !ReadExactly(file, content.data(), static_cast<int64_t>(content.size()))) {
        error = file.GetText().IsEmpty() ? CZelString(kInboxDownloadNotWhole) : file.GetText();
        content.clear();
        return false;
    }
    const CZelString expected = TransferHash(inboxKey, content.data(), static_cast<int64_t>(content.size()));
    if (expected.Length() != kTransferHashSize || expected.View() != std::string_view(hash, sizeof hash)) {
        content.clear();
        return false;
    }
    return true;
}

std::optional<CInboxOpened> OpenInboxMessage(std::string content, const CZelString& inboxKey,
                                             const CInboxRecipient& recipient, const CZelString& messageId,
                                             CProtocolListData& log)
{
    CMessageWalk walk(inboxKey, recipient, messageId, log);
    walk.Walk(content);
    return walk.Open(content);
}
