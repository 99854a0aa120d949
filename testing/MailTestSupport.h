#pragma once
// The gateway's side of mail for the central server tests: a queued message file built as the
// outbox builds it, its upload in blocks, the block fetch of a recipient's message data and
// the checks the inbox download makes before it accepts a message. Built on the protocol
// library's records, sealing, login and transfer hash and on the crypto library.

#include "crypto/CGostCipher.h"
#include "protocol/ZelTransferHash.h"
#include "server/CCentralHttpServer.h"
#include "server/CCentralMessages.h"
#include "testing/CentralTestSupport.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mailtest {

using namespace centraltest;

// `owner` puts `writer` on his contact list with the writer's code, which puts each on the
// other's list, so either may write to the other.
inline void MakeContacts(Client& client, User& owner, const User& writer)
{
    ASSERT_TRUE(client.LoginRun(owner, kKeyNumContactList));
    const auto answers = client.Sealed(kRequestContactList, owner,
                                       ListDocument({{"+cl", writer.email, writer.secureCode, true}}), kKeyNumContactList);
    ASSERT_EQ(answers.size(), 1u);
}

inline CZelString RandomBytes(size_t count)
{
    std::vector<uint8_t> bytes(count);
    for (size_t at = 0; at < count; at += CGostCipher::BlockSize) {
        uint8_t block[CGostCipher::BlockSize];
        CGostCipher::MakeInitialVector(block);
        std::copy_n(block, std::min(count - at, CGostCipher::BlockSize), bytes.begin() + at);
    }
    return CZelString(reinterpret_cast<const char*>(bytes.data()), static_cast<int32_t>(count));
}

inline const uint8_t* Bytes(const CZelString& text)
{
    return reinterpret_cast<const uint8_t*>(text.Ptr());
}

inline CZelString KeyedHash32(const CZelString& key, const CZelString& initial, const CZelString& data)
{
    uint8_t out[32];
    CGostCipher::Shared().KeyedHash(Bytes(key), Bytes(data), data.Length(), Bytes(initial), out, sizeof out);
    return CZelString(reinterpret_cast<const char*>(out), sizeof out);
}

inline CZelString Cfb(const CZelString& key, const CZelString& iv, const CZelString& data, bool encrypt)
{
    std::string out(static_cast<size_t>(data.Length()), '\0');
    uint8_t* target = reinterpret_cast<uint8_t*>(out.data());
    if (encrypt)
        CGostCipher::Shared().CfbEncrypt(Bytes(key), Bytes(data), data.Length(), Bytes(iv), target);
    else
        CGostCipher::Shared().CfbDecrypt(Bytes(key), Bytes(data), data.Length(), Bytes(iv), target);
    return CZelString(std::string_view(out));
}

inline CZelString RsaApply(const CZelString& n, const CZelString& exponent, const CZelString& text)
{
    const LongInt2 modulus(n.Ptr(), n.Length());
    const LongInt2 power(exponent.Ptr(), exponent.Length());
    CZelString out;
    EXPECT_GT(RsaBlockTransform::Apply(modulus, power, text.Ptr(), text.Length(),
                                       static_cast<uint32_t>(std::time(nullptr)), out), 0);
    return out;
}

inline CZelString RsaInvert(const CZelString& n, const CZelString& exponent, const CZelString& blocks)
{
    const LongInt2 modulus(n.Ptr(), n.Length());
    const LongInt2 power(exponent.Ptr(), exponent.Length());
    CZelString text;
    uint32_t time = 0;
    if (RsaBlockTransform::Invert(modulus, power, blocks.Ptr(), blocks.Length(), text, time) < 0)
        return CZelString();
    return text;
}

// One recipient as the lookup answered it.
struct Recipient {
    std::string address;
    CZelString msgId;
    int64_t userId = -1;
    CZelString n, e;
};

// The recipient list of a queued message: one `rcpt` with address, message id and user id each.
inline CZelXmlDocument RecipientList(const std::vector<Recipient>& recipients)
{
    CZelXmlDocument list;
    list.Create("doc", "Root");
    for (const Recipient& recipient : recipients) {
        CZelXmlElement rcpt("rcpt");
        rcpt.SetAttr("rcpt", recipient.address.c_str());
        rcpt.SetAttr("MsgId", recipient.msgId);
        rcpt.SetAttr("UserId", Format("%D", recipient.userId));
        list.RootElement().AddChild(rcpt);
    }
    return list;
}

// A queued message file of `sender` to the recipients, sealed with the Outbox key.
inline CZelString QueuedMessage(const User& sender, uint32_t outboxKeyNumber, const CZelString& outboxKey,
                                const std::vector<Recipient>& recipients, const CZelString& text)
{
    const CZelString key = RandomBytes(32), hashKey = RandomBytes(32), salt = RandomBytes(8), hashSalt = RandomBytes(8);
    const CZelString hash = KeyedHash32(hashKey, hashSalt, text);

    const CZelXmlDocument list = RecipientList(recipients);
    CZelString records = Frame(kRecordRecipientList, Seal(sender.id, outboxKeyNumber, outboxKey, list.ToRequestText()));

    CZelXmlDocument signature;
    signature.Create("doc", "Root");
    signature.RootElement().SetAttr("SenderId", Format("%D", sender.id));
    signature.RootElement().SetAttr("HashKey", hashKey);
    signature.RootElement().SetAttr("HashSalt", hashSalt);
    signature.RootElement().SetAttr("Hash", hash);
    records += Frame(kRecordSenderBlock, Int64BE(sender.id) + RsaApply(sender.Keys().n, sender.Keys().d, signature.ToRequestText()));

    for (const Recipient& recipient : recipients) {
        CZelXmlDocument block;
        block.Create("doc", "Root");
        block.RootElement().SetAttr("rcpt", recipient.address.c_str());
        block.RootElement().SetAttr("MsgId", recipient.msgId);
        block.RootElement().SetAttr("key", key);
        block.RootElement().SetAttr("Salt", salt);
        records += Frame(kRecordKeyBlock, Int64BE(recipient.userId) + RsaApply(recipient.n, recipient.e, block.ToRequestText()));
    }
    records += Frame(kRecordMessageText, Cfb(key, salt, text, true));
    return Frame(kRecordQueuedMessage, records);
}

// What one upload block brought back.
struct UploadAnswer {
    std::vector<std::pair<int64_t, int64_t>> acks;   // (total, next) of every 65559 that opened
    std::optional<CZelXmlDocument> status;           // the 65544 final status, when one came
    bool empty = false;                              // no answer body at all
};

inline UploadAnswer UploadBlock(Client& client, const User& sender, uint32_t keyNumber, const CZelString& key,
                                const CZelString& file, int64_t offset, int64_t length,
                                const CZelString& hash = CZelString())
{
    const CZelString sum = hash.IsEmpty() ? TransferHash(key, file) : hash;
    const CZelString plain = Int64BE(file.Length()) + Int64BE(offset) + sum +
                             file.Mid(static_cast<int32_t>(offset), static_cast<int32_t>(length));
    const CZelString body = client.Post(Frame(kRequestUploadBlock, Seal(sender.id, keyNumber, key, plain)));
    UploadAnswer answer;
    answer.empty = body.IsEmpty();
    for (const CZelString& ack : OpenSealedAnswers(body, AnswerType(kRequestUploadBlock), key)) {
        EXPECT_EQ(ack.Length(), 16);
        if (ack.Length() == 16)
            answer.acks.emplace_back(GetInt64BE(ack.Ptr()), GetInt64BE(ack.Ptr() + 8));
    }
    const auto statuses = ParseSealedAnswers(body, AnswerType(kRecordQueuedMessage), key);
    if (!statuses.empty())
        answer.status = statuses.back();
    return answer;
}

// The upload loop of the outbox: an empty first block, then blocks from each acknowledged
// offset until the file is held. The final status's `Status`, or "" when none came.
inline std::string UploadAll(Client& client, const User& sender, uint32_t keyNumber, const CZelString& key,
                             const CZelString& file, int64_t blockSize, CZelString* timeStamp = nullptr)
{
    int64_t offset = 0;
    bool first = true;
    while (first || offset < file.Length()) {
        const int64_t length = first ? 0 : std::min<int64_t>(blockSize, file.Length() - offset);
        const UploadAnswer answer = UploadBlock(client, sender, keyNumber, key, file, offset, length);
        if (answer.acks.empty())
            return "";
        offset = answer.acks.back().second;
        first = false;
        if (offset == file.Length() && answer.status) {
            if (timeStamp)
                *timeStamp = answer.status->RootElement().GetAttr("TimeStamp");
            return answer.status->RootElement().GetAttr("Status").ToStd();
        }
    }
    return "";
}

// One block of a recipient's message data.
struct FetchAnswer {
    bool refused = false;     // the empty 65560 record
    bool answered = false;    // a 65560 that opened
    int64_t total = 0, offset = 0;
    CZelString block;
};

inline FetchAnswer FetchBlock(Client& client, const User& recipient, uint32_t keyNumber, const CZelString& key,
                              const CZelString& messageId, int64_t pos, int64_t blockSize,
                              std::optional<int64_t> known = std::nullopt)
{
    CZelXmlDocument document;
    document.Create("doc", "Root");
    document.RootElement().SetAttr("MessageId", messageId);
    if (known)
        document.RootElement().SetAttr("Length", Format("%D", *known));
    document.RootElement().SetAttr("pos", Format("%D", pos));
    document.RootElement().SetAttr("BlockSize", Format("%D", blockSize));
    const CZelString body = client.Post(Frame(kRequestFetchBlock, Seal(recipient.id, keyNumber, key, document.ToRequestText())));
    FetchAnswer answer;
    for (const CZelRecord& record : SplitRecords(body)) {
        if (record.type != AnswerType(kRequestFetchBlock))
            continue;
        CZelString plain;
        if (record.payload.IsEmpty())
            answer.refused = true;
        else if (Unseal(key, record.payload, plain) && plain.Length() >= 16) {
            answer.answered = true;
            answer.total = GetInt64BE(plain.Ptr());
            answer.offset = GetInt64BE(plain.Ptr() + 8);
            answer.block = plain.Mid(16);
        }
    }
    return answer;
}

// The whole message data, fetched from `pos` on in blocks as the download does.
inline CZelString FetchAll(Client& client, const User& recipient, uint32_t keyNumber, const CZelString& key,
                           const CZelString& messageId, int64_t blockSize, CZelString held = CZelString(),
                           int64_t known = -1)
{
    for (int round = 0; round < 100000; ++round) {
        const FetchAnswer answer = FetchBlock(client, recipient, keyNumber, key, messageId, held.Length(), blockSize,
                                              known >= 0 ? std::optional<int64_t>(known) : std::nullopt);
        if (!answer.answered || answer.offset != held.Length() || (known >= 0 && answer.total != known)) {
            ADD_FAILURE() << "fetch stopped at " << held.Length();
            return CZelString();
        }
        known = answer.total;
        held += answer.block;
        if (held.Length() >= known)
            return held;
    }
    return CZelString();
}

// The download's checks: transfer hash under the Inbox key, the sender record, the recipient's
// key block, the sender block's hash of the decrypted text. The plain text, or nothing.
struct OpenedMessage {
    CZelString text;
    CZelXmlDocument sender;
};

// The recipient is named by its id and private key (`n`, `d`), so a key pair made elsewhere (by
// the gateway's own key generation) opens its mail as well as a test key pair does.
inline std::optional<OpenedMessage> OpenMessageData(const CZelString& data, const CZelString& inboxKey,
                                                    int64_t recipientId, const CZelString& recipientN,
                                                    const CZelString& recipientD, const CZelString& messageId)
{
    if (data.Length() < 32 || TransferHash(inboxKey, data.Mid(32)) != data.Left(32))
        return std::nullopt;
    OpenedMessage opened;
    bool haveSender = false;
    CZelString key, salt, text, hashKey, hashSalt, hash;
    for (const CZelRecord& record : SplitRecords(data.Mid(32))) {
        if (record.type == kRecordSenderInfo) {
            CZelString plain;
            haveSender = Unseal(inboxKey, record.payload, plain) && opened.sender.Parse(plain);
        } else if (record.type == kRecordMessage) {
            for (const CZelRecord& inner : SplitRecords(record.payload)) {
                if (inner.type == kRecordKeyBlock && inner.payload.Length() > 8 && GetInt64BE(inner.payload.Ptr()) == recipientId) {
                    CZelXmlDocument block;
                    if (block.Parse(RsaInvert(recipientN, recipientD, inner.payload.Mid(8))) &&
                        block.RootElement().GetAttr("MsgId") == messageId) {
                        key = block.RootElement().GetAttr("key");
                        salt = block.RootElement().GetAttr("Salt");
                    }
                } else if (inner.type == kRecordMessageText) {
                    text = inner.payload;
                } else if (inner.type == kRecordSenderBlock && haveSender && inner.payload.Length() > 8) {
                    const CZelXmlNode root = opened.sender.RootElement();
                    CZelXmlDocument block;
                    if (block.Parse(RsaInvert(root.GetAttr("n"), root.GetAttr("e"), inner.payload.Mid(8)))) {
                        hashKey = block.RootElement().GetAttr("HashKey");
                        hashSalt = block.RootElement().GetAttr("HashSalt");
                        hash = block.RootElement().GetAttr("Hash");
                    }
                }
            }
        }
    }
    if (key.Length() != 32 || salt.Length() != 8 || hashKey.Length() != 32 || hashSalt.Length() != 8 ||
        hash.Length() != 32)
        return std::nullopt;
    opened.text = Cfb(key, salt, text, false);
    if (KeyedHash32(hashKey, hashSalt, opened.text) != hash)
        return std::nullopt;
    return opened;
}

inline std::optional<OpenedMessage> OpenMessageData(const CZelString& data, const CZelString& inboxKey,
                                                    const User& recipient, const CZelString& messageId)
{
    return OpenMessageData(data, inboxKey, recipient.id, recipient.Keys().n, recipient.Keys().d, messageId);
}

} // namespace mailtest
