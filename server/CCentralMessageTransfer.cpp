// The two block transfers: the upload of a queued message file (23) and the fetch of a
// recipient's message data (24). Neither runs its GOST or RSA work under the store lock.

#include "server/CCentralMessages.h"

#include "foundation/CZelFormat.h"
#include "foundation/ZelNumbers.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "protocol/ZelRecords.h"
#include "protocol/ZelSealing.h"
#include "protocol/ZelServerRequests.h"
#include "protocol/ZelTransferHash.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>
#include <vector>

namespace {

// How often a transfer starts over when another request changed what it had read.
constexpr int kTransferAttempts = 3;
// How much of a message one short read transaction takes.
constexpr int64_t kPieceBytes = 4 * 1024 * 1024;

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
CZelString UploadRefusal(const CZelString& key, const char* refusal, int64_t now)
{
    return FinalStatusRecord(key, FinalStatus(refusal, now));
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

struct CCentralMessages::UploadBlock {
    int64_t total = 0;
    int64_t offset = 0;
    CZelString hash;
    CZelString data;
};

struct CCentralMessages::UploadStep {
    enum class Kind { NoAnswer, Refused, Answered, NeedsCheck, Stale };
    static UploadStep Of(Kind kind, const char* refusal = nullptr)
    {
        UploadStep step;
        step.kind = kind;
        step.refusal = refusal;
        return step;
    }

    Kind kind = Kind::NoAnswer;
    const char* refusal = nullptr;
    int64_t next = 0;                        // Answered: the acknowledged offset
    std::optional<CZelXmlDocument> status;   // Answered: the final status after it
    CCentralUpload upload;                   // NeedsCheck: the upload as it stood
};

struct CCentralMessages::CheckedFile {
    const char* refusal = nullptr;
    std::vector<UploadRecipient> recipients;
    std::vector<CZelString> keyBlocks;
    CZelString signature;
    int64_t textOffset = 0;
    int64_t textLength = 0;
    uint32_t listKeyNumber = 0;
    CZelString listKey;                      // the key that opened the recipient list
    CZelString senderN, senderE;             // the key the sender block opened with
};

CZelString CCentralMessages::UploadBlockRequest(const CZelString& payload)
{
    CCentralSealedRequest request;
    CZelString plain;
    if (!m_server.OpenSealedPayload(kRequestUploadBlock, payload, request, plain))
        return CZelString();
    UploadBlock block;
    const char* malformed = nullptr;
    if (plain.Length() < kUploadBlockHeadSize) {
        malformed = kErrUploadMalformed;
    } else {
        block.total = GetInt64BE(plain.Ptr());
        block.offset = GetInt64BE(plain.Ptr() + 8);
        block.hash = plain.Mid(16, kTransferHashSize);
        block.data = plain.Mid(kUploadBlockHeadSize);
        if (block.total < 1 || block.total > kMaxMessageBytes)
            malformed = kErrUploadLength;
    }
    if (malformed) {
        const bool confirmed = m_store.Atomically([&](CCentralStore::Transaction& transaction) {
            if (!m_server.ConfirmSealedRequest(request))
                return false;
            transaction.Commit();
            return true;
        });
        return confirmed ? UploadRefusal(request.key, malformed, m_server.Now()) : CZelString();
    }

    for (int attempt = 0; attempt < kTransferAttempts; ++attempt) {
        UploadStep step = StoreUploadBlock(request, block);
        if (step.kind == UploadStep::Kind::NeedsCheck)
            step = FinishUpload(request, block, step.upload, CheckUploadFile(request, block, step.upload));
        switch (step.kind) {
        case UploadStep::Kind::NoAnswer:
            return CZelString();
        case UploadStep::Kind::Refused:
            return UploadRefusal(request.key, step.refusal, m_server.Now());
        case UploadStep::Kind::Answered: {
            CZelString answer = Acknowledgement(request.key, block.total, step.next);
            if (step.status)
                answer += FinalStatusRecord(request.key, *step.status);
            return answer;
        }
        case UploadStep::Kind::NeedsCheck:
        case UploadStep::Kind::Stale:
            break;
        }
    }
    return CZelString();
}

CCentralMessages::UploadStep CCentralMessages::StoreUploadBlock(CCentralSealedRequest& request,
                                                                const UploadBlock& block)
{
    using Kind = UploadStep::Kind;
    return m_store.Atomically([&](CCentralStore::Transaction& transaction) -> UploadStep {
        if (!m_server.ConfirmSealedRequest(request))
            return UploadStep::Of(Kind::NoAnswer);
        const CCentralAccount& sender = request.account;
        const auto refuse = [&transaction](const char* refusal) {
            transaction.Commit();
            return UploadStep::Of(Kind::Refused, refusal);
        };
        const int64_t now = m_server.Now();
        std::optional<CCentralUpload> upload = m_messages.FindUpload(sender.id, block.hash, block.total);
        if (upload && !upload->complete && !MaySend(sender)) {
            // Its sender lost the right to send: nothing more of it is kept.
            m_messages.DropUpload(upload->message);
            return refuse(kErrSendingNotAllowed);
        }
        if (upload && !upload->complete && upload->created < now - kUnfinishedUploadLifetimeMicroseconds) {
            m_messages.DropUpload(upload->message);
            upload.reset();
        }
        if (!upload) {
            if (block.offset != 0 || block.data.Length() > block.total)
                return refuse(kErrUploadOffset);
            if (!MaySend(sender))
                return refuse(kErrSendingNotAllowed);
            m_messages.DropUnfinishedUploads(now - kUnfinishedUploadLifetimeMicroseconds);
            // Each unfinished upload stands on a reservation of its own, so one reservation does not
            // let a sender store any number of large uploads that never complete.
            if (m_messages.UnfinishedUploads(sender.id) >=
                m_messages.WelcomeReservations(sender.id, now - kReservationLifetimeMicroseconds))
                return refuse(kErrUnknownMessageId);
            upload = m_messages.StartUpload(sender.id, block.hash, block.total);
        }
        UploadStep step = UploadStep::Of(Kind::Answered);
        if (upload->complete) {
            step.next = block.total;
            step.status = FinalStatus(nullptr, upload->sentTime);
            transaction.Commit();
            return step;
        }
        // A block the server holds already (its acknowledgement was lost) is acknowledged again;
        // a gap is never accepted.
        if (block.offset < 0 || block.offset > upload->received || block.data.Length() > block.total - block.offset)
            return refuse(kErrUploadOffset);
        const int64_t end = block.offset + block.data.Length();
        if (std::max(end, upload->received) == block.total) {
            // The last bytes are stored with the verdict on the whole file, after its check.
            step.kind = Kind::NeedsCheck;
            step.upload = *upload;
        } else if (end > upload->received) {
            m_messages.AppendUploadBlock(upload->message, upload->received,
                                         block.data.Mid(static_cast<int32_t>(upload->received - block.offset)));
            step.next = end;
        } else {
            step.next = upload->received;
        }
        transaction.Commit();
        return step;
    });
}

void CCentralMessages::ReadUploadInPieces(int64_t message, int64_t offset, int64_t length,
                                          const std::function<void(const char* bytes, int64_t count)>& use)
{
    const int64_t end = offset + length;
    for (int64_t at = offset; at < end;) {
        const std::vector<CCentralUploadPiece> pieces = m_store.Atomically(
            [&](CCentralStore::Transaction&) { return m_messages.ReadUploadBlocks(message, at, kPieceBytes); });
        if (pieces.empty())
            throw XCentralStoreError("upload bytes are missing");
        for (const CCentralUploadPiece& piece : pieces) {
            const int64_t pieceEnd = piece.offset + piece.data.Length();
            if (piece.offset > at || pieceEnd <= at)
                throw XCentralStoreError("upload bytes are missing");
            const int64_t to = std::min(end, pieceEnd);
            use(piece.data.Ptr() + (at - piece.offset), to - at);
            at = to;
            if (at == end)
                break;
        }
    }
}

CCentralMessages::CheckedFile CCentralMessages::CheckUploadFile(const CCentralSealedRequest& request,
                                                                const UploadBlock& block, const CCentralUpload& upload)
{
    m_server.EnterUnlockedPhase(kRequestUploadBlock, CCentralUnlockedStep::CheckUpload);
    CheckedFile checked;
    // The bytes held, then what this block adds beyond them.
    char* out = nullptr;
    CZelString file = CZelString::Uninitialized(static_cast<int32_t>(block.total), &out);
    int64_t filled = 0;
    ReadUploadInPieces(upload.message, 0, upload.received, [&](const char* bytes, int64_t count) {
        std::memcpy(out + filled, bytes, static_cast<size_t>(count));
        filled += count;
    });
    const CZelString tail = block.data.Mid(static_cast<int32_t>(upload.received - block.offset));
    std::memcpy(out + filled, tail.Ptr(), static_cast<size_t>(tail.Length()));
    if (TransferHash(request.key, file) != block.hash) {
        checked.refusal = kErrUploadHash;
        return checked;
    }

    const CCentralAccount& sender = request.account;
    checked.refusal = kErrUploadMalformed;
    std::vector<RecordSpan> outer, records;
    if (!WalkRecords(file, 0, file.Length(), outer) || outer.size() != 1 || outer[0].type != kRecordQueuedMessage ||
        !WalkRecords(file, outer[0].offset, outer[0].offset + outer[0].length, records))
        return checked;
    const auto payloadOf = [&file](const RecordSpan& record) {
        return file.Mid(static_cast<int32_t>(record.offset), static_cast<int32_t>(record.length));
    };
    const RecordSpan* text = nullptr;
    int recipientLists = 0;
    for (const RecordSpan& record : records) {
        if (record.type == kRecordRecipientList) {
            ++recipientLists;
            int64_t listSender = -1;
            CZelString sealed, plain;
            CZelXmlDocument list;
            if (!SplitSealedRequest(payloadOf(record), listSender, checked.listKeyNumber, sealed) ||
                listSender != sender.id ||
                !CCentralServer::UnsealWithAnyKey(m_server.ReadRecentKeys(sender.id, checked.listKeyNumber), sealed,
                                                  checked.listKey, plain) ||
                !list.Parse(plain))
                return checked;
            for (CZelXmlNode rcpt = list.RootElement().FindChild(kElementRcpt); !rcpt.IsNull(); rcpt = rcpt.NextSameName()) {
                UploadRecipient recipient{rcpt.GetAttr(kAttrMsgId)};
                if (!ParseDecimal(rcpt.GetAttr(kAttrUserId), recipient.userId))
                    return checked;
                checked.recipients.push_back(recipient);
            }
        } else if (record.type == kRecordSenderBlock) {
            checked.signature = payloadOf(record);
        } else if (record.type == kRecordKeyBlock) {
            checked.keyBlocks.push_back(payloadOf(record));
        } else if (record.type == kRecordMessageText) {
            text = &record;
        }
    }
    if (recipientLists != 1 || checked.recipients.empty() || checked.keyBlocks.size() != checked.recipients.size() ||
        !text)
        return checked;

    // The sender block must open with the sender's key and name the sender: the recipients
    // check the message's own hash against it.
    int64_t signer = -1;
    CZelString signedText;
    uint32_t signedTime = 0;
    CZelXmlDocument signedDocument;
    int64_t senderId = -1;
    if (!OpenLoginPayload(checked.signature, sender.n, sender.e, signer, signedText, signedTime) ||
        signer != sender.id || !signedDocument.Parse(signedText) ||
        !ParseDecimal(signedDocument.RootElement().GetAttr(kAttrSenderId), senderId) || senderId != sender.id)
        return checked;
    checked.senderN = sender.n;
    checked.senderE = sender.e;
    checked.textOffset = text->offset;
    checked.textLength = text->length;
    checked.refusal = nullptr;
    return checked;
}

CCentralMessages::UploadStep CCentralMessages::FinishUpload(CCentralSealedRequest& request, const UploadBlock& block,
                                                            const CCentralUpload& upload, const CheckedFile& file)
{
    using Kind = UploadStep::Kind;
    return m_store.Atomically([&](CCentralStore::Transaction& transaction) -> UploadStep {
        if (!m_server.ConfirmSealedRequest(request))
            return UploadStep::Of(Kind::NoAnswer);
        // Another request moved the upload on, finished or dropped it while this one checked.
        const std::optional<CCentralUpload> current = m_messages.FindUploadOf(upload.message);
        if (!current || current->complete || current->received != upload.received)
            return UploadStep::Of(Kind::Stale);

        const CCentralAccount& sender = request.account;
        const int64_t sentTime = m_store.UniqueTimeStamp();
        std::optional<CCentralUpload> earlier;
        const char* refusal = nullptr;
        if (!MaySend(sender))
            refusal = kErrSendingNotAllowed;
        else if (file.refusal)
            refusal = file.refusal;
        else if (file.senderN != sender.n || file.senderE != sender.e)
            refusal = kErrUploadMalformed;
        else
            refusal = BindRecipients(sender, file, upload.message, sentTime, earlier);
        if (refusal || earlier) {
            // A new attempt of the sender starts from nothing rather than meet this one again; a
            // repeat of a delivered message keeps only the first.
            m_messages.DropUpload(upload.message);
        } else {
            m_messages.AppendUploadBlock(upload.message, upload.received,
                                         block.data.Mid(static_cast<int32_t>(upload.received - block.offset)));
            m_store.TouchSessionKey(sender.id, file.listKeyNumber, file.listKey, m_server.Now());
        }
        transaction.Commit();
        UploadStep step = UploadStep::Of(Kind::Answered);
        step.next = block.total;
        step.status = FinalStatus(refusal, earlier ? earlier->sentTime : sentTime);
        return step;
    });
}

const char* CCentralMessages::BindRecipients(const CCentralAccount& sender, const CheckedFile& file, int64_t message,
                                             int64_t sentTime, std::optional<CCentralUpload>& earlier)
{
    std::vector<CCentralCopyPart> copies;
    std::set<CZelString> seen;
    std::set<int64_t> boundTo;
    size_t bound = 0;
    for (size_t i = 0; i < file.recipients.size(); ++i) {
        const UploadRecipient& recipient = file.recipients[i];
        const auto reservation = m_messages.FindReservation(recipient.messageId);
        if (!reservation || reservation->senderId != sender.id || reservation->recipientId != recipient.userId ||
            !seen.insert(recipient.messageId).second)
            return kErrUnknownMessageId;
        if (!reservation->bound) {
            // The reservation may have aged, or the recipient turned the sender away since.
            if (reservation->created < m_server.Now() - kReservationLifetimeMicroseconds)
                return kErrUnknownMessageId;
            if (m_store.ListOf(recipient.userId, sender.id) != CCentralList::Contact)
                return kErrRecipientRefuses;
        }
        if (file.keyBlocks[i].Length() <= 8 || GetInt64BE(file.keyBlocks[i].Ptr()) != recipient.userId)
            return kErrUploadMalformed;
        if (reservation->bound) {
            ++bound;
            boundTo.insert(reservation->message);
        }
        copies.push_back({recipient.messageId, file.keyBlocks[i]});
    }
    if (bound > 0) {
        // Every id already went out with one finished message: the sender lost that verdict and
        // sends the message again. Any other mix of used ids is not a message of its own.
        if (bound != file.recipients.size() || boundTo.size() != 1)
            return kErrUnknownMessageId;
        earlier = m_messages.FindUploadOf(*boundTo.begin());
        if (!earlier || !earlier->complete) {
            earlier.reset();
            return kErrUnknownMessageId;
        }
        return nullptr;
    }
    m_messages.CompleteUpload(message, sentTime, file.signature, file.textOffset, file.textLength, copies);
    return nullptr;
}

struct CCentralMessages::FetchPlace {
    CZelString messageId;
    bool posValid = false;
    int64_t pos = -1;
    CZelString knownText;
    int64_t blockSize = 0;
};

struct CCentralMessages::FetchStep {
    enum class Kind { NoAnswer, Refused, Answered, NeedsBuild };
    static FetchStep Of(Kind kind, const char* refusal = nullptr)
    {
        FetchStep step;
        step.kind = kind;
        step.refusal = refusal;
        return step;
    }

    Kind kind = Kind::NoAnswer;
    const char* refusal = nullptr;
    CZelString block;             // Answered: the plain block answer
    CCentralCopy copy;            // NeedsBuild: the copy and its sender
    CCentralAccount sender;
};

CZelString CCentralMessages::FetchBlockRequest(const CZelString& payload)
{
    CCentralSealedRequest request;
    if (!m_server.OpenSealedRequest(kRequestFetchBlock, payload, request))
        return CZelString();
    const CZelXmlNode root = request.document.RootElement();
    FetchPlace place;
    place.messageId = root.GetAttr(kAttrMessageId);
    place.posValid = ParseDecimal(root.GetAttr(kAttrPos), place.pos);
    place.knownText = root.GetAttr(kAttrLength);
    if (!ParseDecimal(root.GetAttr(kAttrBlockSize), place.blockSize) || place.blockSize < 1)
        place.blockSize = kDefaultFetchBlockBytes;
    place.blockSize = std::min(place.blockSize, kMaxFetchBlockBytes);

    CZelString builtHead;
    for (int attempt = 0; attempt < kTransferAttempts; ++attempt) {
        FetchStep step = ReadFetchBlock(request, place, builtHead);
        switch (step.kind) {
        case FetchStep::Kind::NoAnswer:
            return CZelString();
        case FetchStep::Kind::Refused:
            return FetchRefusal(request.key, place.messageId, step.refusal);
        case FetchStep::Kind::Answered:
            return Frame(AnswerType(kRequestFetchBlock), SealAnswer(request.key, step.block));
        case FetchStep::Kind::NeedsBuild:
            builtHead = BuildHead(step.copy, step.sender, request.key);
            break;
        }
    }
    return CZelString();
}

CCentralMessages::FetchStep CCentralMessages::ReadFetchBlock(CCentralSealedRequest& request, const FetchPlace& place,
                                                             const CZelString& builtHead)
{
    using Kind = FetchStep::Kind;
    return m_store.Atomically([&](CCentralStore::Transaction& transaction) -> FetchStep {
        if (!m_server.ConfirmSealedRequest(request))
            return FetchStep::Of(Kind::NoAnswer);
        const auto refuse = [&transaction](const char* refusal) {
            transaction.Commit();
            return FetchStep::Of(Kind::Refused, refusal);
        };
        std::optional<CCentralCopy> copy = m_messages.FindCopy(place.messageId, request.account.id);
        if (!copy || copy->deleted)
            return refuse(kErrNoSuchMessage);
        if (copy->head.IsEmpty() || copy->dataKey != request.key) {
            if (builtHead.IsEmpty()) {
                const auto sender = m_store.FindAccount(copy->senderId);
                if (!sender)
                    throw XCentralStoreError("the sender of a stored message is missing");
                FetchStep step = FetchStep::Of(Kind::NeedsBuild);
                step.copy = std::move(*copy);
                step.sender = *sender;
                return step;
            }
            copy->head = builtHead;
            copy->dataKey = request.key;
            m_messages.SaveBuiltData(copy->messageId, request.key, copy->head);
        }
        const int64_t length = DataLength(*copy);
        if (!place.posValid || place.pos < 0 || place.pos >= length)
            return refuse(kErrFetchPosition);
        // A client that holds a start of other data (of another length) must start afresh.
        int64_t known = -1;
        if (!place.knownText.IsEmpty() && (!ParseDecimal(place.knownText, known) || known != length))
            return refuse(kErrFetchLength);
        const int64_t count = std::min(place.blockSize, length - place.pos);
        FetchStep step = FetchStep::Of(Kind::Answered);
        step.block = Int64BE(length) + Int64BE(place.pos) + ReadData(*copy, place.pos, count);
        transaction.Commit();
        return step;
    });
}

CZelString CCentralMessages::SenderRecord(const CCentralCopy& copy, const CCentralAccount& sender,
                                          const CZelString& key)
{
    CZelXmlDocument document = CCentralServer::NewAnswer();
    CZelXmlNode root = document.RootElement();
    root.SetAttr(kAttrName, sender.name);
    root.SetAttr(kAttrTranslitName, sender.translitName);
    root.SetAttr(kAttrUnicodeName, sender.unicodeName);
    root.SetAttr(kAttrEmail, sender.email);
    root.SetAttr(kAttrId, Format("%D", sender.id));
    root.SetAttr(kAttrSentMessageTimeStamp, Format("%D", copy.sentTime));
    root.SetAttr(kAttrN, sender.n);
    root.SetAttr(kAttrE, sender.e);
    return Frame(kRecordSenderInfo, SealAnswer(key, document.ToRequestText()));
}

CZelString CCentralMessages::BuildHead(const CCentralCopy& copy, const CCentralAccount& sender, const CZelString& key)
{
    m_server.EnterUnlockedPhase(kRequestFetchBlock, CCentralUnlockedStep::BuildData);
    const CZelString keyRecord = Frame(kRecordKeyBlock, copy.keyBlock);
    const int64_t tailLength = kRecordHeadSize + copy.signature.Length();
    const int64_t messageLength = keyRecord.Length() + kRecordHeadSize + copy.textLength + tailLength;
    const CZelString contentHead = SenderRecord(copy, sender, key) + RecordHead(kRecordMessage, messageLength) +
                                   keyRecord + RecordHead(kRecordMessageText, copy.textLength);
    CTransferHasher hasher(key);
    hasher.Add(contentHead.Ptr(), contentHead.Length());
    ReadUploadInPieces(copy.message, copy.textOffset, copy.textLength,
                       [&hasher](const char* bytes, int64_t count) { hasher.Add(bytes, count); });
    const CZelString tail = Frame(kRecordSenderBlock, copy.signature);
    hasher.Add(tail.Ptr(), tail.Length());
    return hasher.Finish() + contentHead;
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
