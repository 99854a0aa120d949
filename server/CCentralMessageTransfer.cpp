// The two block transfers: the upload of a queued message file (23) and the fetch of a
// recipient's message data (24).

#include "server/CCentralMessages.h"

#include "foundation/CZelFormat.h"
#include "foundation/ZelNumbers.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "protocol/ZelRecords.h"
#include "protocol/ZelSealing.h"
#include "protocol/ZelServerRequests.h"
#include "protocol/ZelTransferHash.h"

#include <algorithm>
#include <optional>
#include <set>
#include <vector>

namespace {

constexpr int32_t kSaltSize = 8;

// A record inside a byte string: its type and where its payload lies.
struct RecordSpan {
    uint32_t type = 0;
    int64_t offset = 0;
    int64_t length = 0;
};

// The records of bytes [begin, end) of `data`; false when one does not fit.
bool WalkRecords(const CZelString& data, int64_t begin, int64_t end, std::vector<RecordSpan>& records)
{
    int64_t at = begin;
    while (at < end) {
        if (end - at < kRecordHeadSize)
            return false;
        RecordSpan record{GetUInt32BE(data.Ptr() + at), at + kRecordHeadSize, GetUInt32BE(data.Ptr() + at + 4)};
        if (record.length > end - record.offset)
            return false;
        records.push_back(record);
        at = record.offset + record.length;
    }
    return true;
}

CZelString RecordHead(uint32_t type, int64_t length)
{
    char head[kRecordHeadSize];
    PutUInt32BE(type, head);
    PutUInt32BE(static_cast<uint32_t>(length), head + 4);
    return CZelString(head, kRecordHeadSize);
}

CZelString Acknowledgement(const CZelString& key, int64_t total, int64_t next)
{
    return Frame(AnswerType(kRequestUploadBlock), SealAnswer(key, Int64BE(total) + Int64BE(next)));
}

CZelXmlDocument FinalStatus(const char* refusal, int64_t timeStamp)
{
    CZelXmlDocument status = CCentralServer::NewAnswer();
    CZelXmlNode root = status.RootElement();
    root.SetAttr(kAttrStatus, refusal ? kStatusError : kStatusOk);
    if (refusal)
        root.SetAttr(kAttrErrorMessage, refusal);
    root.SetAttr(kAttrTimeStamp, Format("%D", timeStamp));
    return status;
}

CZelString FinalStatusRecord(const CZelString& key, const CZelXmlDocument& status)
{
    return CCentralServer::SealedAnswer(kRecordQueuedMessage, key, status);
}

// A refused block: no acknowledgement, so the client stops; the status says why.
CZelString UploadRefusal(const CZelString& key, const char* refusal)
{
    return FinalStatusRecord(key, FinalStatus(refusal, CCentralServer::NowMicroseconds()));
}

// A refused fetch: the empty block record, for which the client drops the message, and an
// error record that says why. The error record also keeps the body longer than one record
// head, which the client's splitting needs to see the empty record at all.
CZelString FetchRefusal(const CZelString& key, const CZelString& messageId, const char* reason)
{
    CZelXmlDocument error = CCentralServer::NewAnswer();
    CZelXmlNode root = error.RootElement();
    root.SetAttr(kAttrMessageId, messageId);
    root.SetAttr(kAttrStatus, kStatusError);
    root.SetAttr(kAttrExtendedErrorCode, reason);
    root.SetAttr(kAttrErrorMessage, reason);
    return Frame(AnswerType(kRequestFetchBlock), CZelString()) + Frame(kRecordError, SealAnswer(key, error.ToRequestText()));
}

struct UploadRecipient {
    CZelString messageId;
    int64_t userId = -1;
};

} // namespace

CZelString CCentralMessages::UploadBlockRequest(const CZelString& payload)
{
    int64_t accountId = -1;
    uint32_t keyNumber = 0;
    CZelString sealed;
    if (!SplitSealedRequest(payload, accountId, keyNumber, sealed))
        return CZelString();
    const auto sender = m_store.FindAccount(accountId);
    if (!sender)
        return CZelString();
    CZelString key, plain;
    if (!m_server.UnsealWithRecentKey(accountId, keyNumber, sealed, key, plain))
        return CZelString();
    if (plain.Length() < kUploadBlockHeadSize)
        return UploadRefusal(key, kErrUploadMalformed);

    const int64_t total = GetInt64BE(plain.Ptr());
    const int64_t offset = GetInt64BE(plain.Ptr() + 8);
    const CZelString hash = plain.Mid(16, kTransferHashSize);
    const CZelString data = plain.Mid(kUploadBlockHeadSize);
    if (total < 1 || total > kMaxMessageBytes)
        return UploadRefusal(key, kErrUploadLength);

    std::optional<CCentralUpload> upload = m_messages.FindUpload(sender->id, hash, total);
    if (!upload) {
        if (offset != 0 || data.Length() > total)
            return UploadRefusal(key, kErrUploadOffset);
        if (!MaySend(*sender))
            return UploadRefusal(key, kErrSendingNotAllowed);
        upload = m_messages.StartUpload(sender->id, hash, total);
    }
    if (!upload->complete) {
        // A block the server holds already (its acknowledgement was lost) is acknowledged again;
        // a gap is never accepted.
        if (offset < 0 || offset > upload->received || data.Length() > total - offset)
            return UploadRefusal(key, kErrUploadOffset);
        const int64_t end = offset + data.Length();
        if (end > upload->received) {
            m_messages.AppendUploadBlock(upload->message, upload->received,
                                         data.Mid(static_cast<int32_t>(upload->received - offset)));
            upload->received = end;
        }
    }
    CZelString answer = Acknowledgement(key, total, upload->complete ? total : upload->received);
    if (upload->complete) {
        answer += FinalStatusRecord(key, FinalStatus(nullptr, upload->sentTime));
    } else if (upload->received == total) {
        CZelXmlDocument status;
        FinishUpload(*sender, key, hash, *upload, status);
        answer += FinalStatusRecord(key, status);
    }
    return answer;
}

void CCentralMessages::FinishUpload(const CCentralAccount& sender, const CZelString& key, const CZelString& hash,
                                    CCentralUpload& upload, CZelXmlDocument& status)
{
    const CZelString file = m_messages.ReadUpload(upload.message, 0, upload.total);
    const int64_t sentTime = m_store.NextTimeStamp();
    std::optional<CCentralUpload> earlier;
    const char* refusal = nullptr;
    if (!MaySend(sender))
        refusal = kErrSendingNotAllowed;
    else if (TransferHash(key, file) != hash)
        refusal = kErrUploadHash;
    else
        refusal = AcceptUpload(sender, file, upload.message, sentTime, earlier);
    if (refusal || earlier) {
        // A new attempt of the sender starts from nothing rather than meet this one again; a
        // repeat of a delivered message keeps only the first.
        m_messages.DropUpload(upload.message);
    } else {
        upload.complete = true;
        upload.sentTime = sentTime;
    }
    status = FinalStatus(refusal, earlier ? earlier->sentTime : sentTime);
}

const char* CCentralMessages::AcceptUpload(const CCentralAccount& sender, const CZelString& file, int64_t message,
                                           int64_t sentTime, std::optional<CCentralUpload>& earlier)
{
    std::vector<RecordSpan> outer, records;
    if (!WalkRecords(file, 0, file.Length(), outer) || outer.size() != 1 || outer[0].type != kRecordQueuedMessage ||
        !WalkRecords(file, outer[0].offset, outer[0].offset + outer[0].length, records))
        return kErrUploadMalformed;
    const auto payloadOf = [&file](const RecordSpan& record) {
        return file.Mid(static_cast<int32_t>(record.offset), static_cast<int32_t>(record.length));
    };

    std::vector<UploadRecipient> recipients;
    std::vector<CZelString> keyBlocks;
    CZelString signature;
    const RecordSpan* text = nullptr;
    int recipientLists = 0;
    for (const RecordSpan& record : records) {
        if (record.type == kRecordRecipientList) {
            ++recipientLists;
            int64_t listSender = -1;
            uint32_t listKeyNumber = 0;
            CZelString sealed, listKey, plain;
            CZelXmlDocument list;
            if (!SplitSealedRequest(payloadOf(record), listSender, listKeyNumber, sealed) || listSender != sender.id ||
                !m_server.UnsealWithRecentKey(sender.id, listKeyNumber, sealed, listKey, plain) || !list.Parse(plain))
                return kErrUploadMalformed;
            for (CZelXmlNode rcpt = list.RootElement().FindChild(kElementRcpt); !rcpt.IsNull(); rcpt = rcpt.NextSameName()) {
                UploadRecipient recipient{rcpt.GetAttr(kAttrMsgId)};
                if (!ParseDecimal(rcpt.GetAttr(kAttrUserId), recipient.userId))
                    return kErrUploadMalformed;
                recipients.push_back(recipient);
            }
        } else if (record.type == kRecordSenderBlock) {
            signature = payloadOf(record);
        } else if (record.type == kRecordKeyBlock) {
            keyBlocks.push_back(payloadOf(record));
        } else if (record.type == kRecordMessageText) {
            text = &record;
        }
    }
    if (recipientLists != 1 || recipients.empty() || keyBlocks.size() != recipients.size() || !text)
        return kErrUploadMalformed;

    // The sender block must open with the sender's key and name the sender: the recipients
    // check the message's own hash against it.
    int64_t signer = -1;
    CZelString signedText;
    uint32_t signedTime = 0;
    CZelXmlDocument signedDocument;
    int64_t senderId = -1;
    if (!OpenLoginPayload(signature, sender.n, sender.e, signer, signedText, signedTime) || signer != sender.id ||
        !signedDocument.Parse(signedText) || !ParseDecimal(signedDocument.RootElement().GetAttr(kAttrSenderId), senderId) ||
        senderId != sender.id)
        return kErrUploadMalformed;

    std::vector<CCentralCopyPart> copies;
    std::set<CZelString> seen;
    std::set<int64_t> boundTo;
    size_t bound = 0;
    for (size_t i = 0; i < recipients.size(); ++i) {
        const UploadRecipient& recipient = recipients[i];
        const auto reservation = m_messages.FindReservation(recipient.messageId);
        if (!reservation || reservation->senderId != sender.id || reservation->recipientId != recipient.userId ||
            !seen.insert(recipient.messageId).second)
            return kErrUnknownMessageId;
        if (keyBlocks[i].Length() <= 8 || GetInt64BE(keyBlocks[i].Ptr()) != recipient.userId)
            return kErrUploadMalformed;
        if (reservation->bound) {
            ++bound;
            boundTo.insert(reservation->message);
        }
        copies.push_back({recipient.messageId, keyBlocks[i]});
    }
    if (bound > 0) {
        // Every id already went out with one finished message: the sender lost that verdict and
        // sends the message again. Any other mix of used ids is not a message of its own.
        if (bound != recipients.size() || boundTo.size() != 1)
            return kErrUnknownMessageId;
        earlier = m_messages.FindUploadOf(*boundTo.begin());
        if (!earlier || !earlier->complete) {
            earlier.reset();
            return kErrUnknownMessageId;
        }
        return nullptr;
    }
    m_messages.CompleteUpload(message, sentTime, signature, text->offset, text->length, copies);
    return nullptr;
}

CZelString CCentralMessages::FetchBlockRequest(const CZelString& payload)
{
    CCentralSealedRequest request;
    if (!m_server.OpenSealedRequest(payload, request))
        return CZelString();
    const CZelXmlNode root = request.document.RootElement();
    const CZelString messageId = root.GetAttr(kAttrMessageId);
    std::optional<CCentralCopy> copy = m_messages.FindCopy(messageId, request.account.id);
    if (!copy || copy->deleted)
        return FetchRefusal(request.key, messageId, kErrNoSuchMessage);
    EnsureBuilt(*copy, request.key);
    const int64_t length = DataLength(*copy);

    int64_t pos = -1, known = -1, blockSize = 0;
    if (!ParseDecimal(root.GetAttr(kAttrPos), pos) || pos < 0 || pos >= length)
        return FetchRefusal(request.key, messageId, kErrFetchPosition);
    // A client that holds a start of other data (of another length) must start afresh.
    const CZelString knownText = root.GetAttr(kAttrLength);
    if (!knownText.IsEmpty() && (!ParseDecimal(knownText, known) || known != length))
        return FetchRefusal(request.key, messageId, kErrFetchLength);
    if (!ParseDecimal(root.GetAttr(kAttrBlockSize), blockSize) || blockSize < 1)
        blockSize = kDefaultFetchBlockBytes;
    blockSize = std::min(blockSize, kMaxFetchBlockBytes);

    const int64_t count = std::min(blockSize, length - pos);
    const CZelString block = Int64BE(length) + Int64BE(pos) + ReadData(*copy, pos, count);
    return Frame(AnswerType(kRequestFetchBlock), SealAnswer(request.key, block));
}

CZelString CCentralMessages::SenderRecord(const CCentralCopy& copy, const CZelString& key)
{
    const auto sender = m_store.FindAccount(copy.senderId);
    if (!sender)
        throw XCentralStoreError("the sender of a stored message is missing");
    CZelXmlDocument document = CCentralServer::NewAnswer();
    CZelXmlNode root = document.RootElement();
    root.SetAttr(kAttrName, sender->name);
    root.SetAttr(kAttrTranslitName, sender->translitName);
    root.SetAttr(kAttrUnicodeName, sender->unicodeName);
    root.SetAttr(kAttrEmail, sender->email);
    root.SetAttr(kAttrId, Format("%D", sender->id));
    root.SetAttr(kAttrSentMessageTimeStamp, Format("%D", copy.sentTime));
    root.SetAttr(kAttrN, sender->n);
    root.SetAttr(kAttrE, sender->e);
    return Frame(kRecordSenderInfo, SealAnswer(key, document.ToRequestText()));
}

void CCentralMessages::EnsureBuilt(CCentralCopy& copy, const CZelString& key)
{
    if (!copy.head.IsEmpty() && copy.dataKey == key)
        return;
    const CZelString keyRecord = Frame(kRecordKeyBlock, copy.keyBlock);
    const int64_t tailLength = kRecordHeadSize + copy.signature.Length();
    const int64_t messageLength = keyRecord.Length() + kRecordHeadSize + copy.textLength + tailLength;
    const CZelString contentHead = SenderRecord(copy, key) + RecordHead(kRecordMessage, messageLength) + keyRecord +
                                   RecordHead(kRecordMessageText, copy.textLength);
    const CZelString content = contentHead + m_messages.ReadUpload(copy.message, copy.textOffset, copy.textLength) +
                               Frame(kRecordSenderBlock, copy.signature);
    copy.head = TransferHash(key, content) + contentHead;
    copy.dataKey = key;
    m_messages.SaveBuiltData(copy.messageId, key, copy.head);
}

int64_t CCentralMessages::DataLength(const CCentralCopy& copy) const
{
    return copy.head.Length() + copy.textLength + kRecordHeadSize + copy.signature.Length();
}

CZelString CCentralMessages::ReadData(const CCentralCopy& copy, int64_t offset, int64_t length)
{
    // Three stretches: the head, the text in the upload, the sender block record.
    const int64_t headEnd = copy.head.Length();
    const int64_t textEnd = headEnd + copy.textLength;
    const int64_t end = offset + length;
    CZelString bytes;
    if (offset < headEnd)
        bytes += copy.head.Mid(static_cast<int32_t>(offset), static_cast<int32_t>(std::min(end, headEnd) - offset));
    const int64_t textFrom = std::max(offset, headEnd), textTo = std::min(end, textEnd);
    if (textFrom < textTo)
        bytes += m_messages.ReadUpload(copy.message, copy.textOffset + textFrom - headEnd, textTo - textFrom);
    const int64_t tailFrom = std::max(offset, textEnd);
    if (tailFrom < end) {
        const CZelString tail = Frame(kRecordSenderBlock, copy.signature);
        bytes += tail.Mid(static_cast<int32_t>(tailFrom - textEnd), static_cast<int32_t>(end - tailFrom));
    }
    return bytes;
}
