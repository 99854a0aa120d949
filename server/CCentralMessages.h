#pragma once
// CCentralMessages: the central server's message requests.
//
//   4  ReqMsgId        65540 sealed: `MsgId`, `n`, `e`, `UserId`, names; or `ErrorMessage`
//   23 upload block    65559 sealed acknowledgement (total, next offset); the one that reaches the
//                      total is followed in the same answer by 65544, the sealed final status
//                      `Status`, `ErrorMessage`, `TimeStamp`
//   10 Seed            65546 sealed: `Delivered` and `Message` elements
//   24 fetch block     65560 sealed: total, offset, the block of the recipient's message data;
//                      an empty 65560 record and a sealed 65555 error record refuse it
//   20 received report 65556 sealed `Status`
//   17 delete          65553 sealed `Status` "OK" or `ErrorMessage`
//
// Who may write: a recipient accepts mail from the correspondents on its contact list; a
// black-listed sender is refused, a stranger gets the recipient's `AutoReplyEng`; a sender whose
// level is "Restricted" or "Disabled" may not send at all. Both are checked when a message id is
// reserved, again when an upload starts (the sender must hold an unused reservation to a
// recipient that still accepts it, else no byte is stored) and when it completes (each
// recipient's reservation is still good and the recipient still accepts the sender).
//
// Every acknowledged upload block is committed with its request before the acknowledgement
// leaves, so a crash never loses a block the client was told is held; the client resumes at
// the acknowledged offset (a request from offset 0 learns it). A message is delivered once:
// a finished file sent again, or another file carrying the same message ids (its verdict was
// lost), gets "OK" with the first `TimeStamp` and reaches nobody a second time.

#include "server/CCentralMessageStore.h"
#include "server/CCentralServer.h"

#include <cstdint>
#include <functional>
#include <optional>

class CCentralMessages {
public:
    // A message id no upload used is good this long; a sender holds at most so many of them.
    static constexpr int64_t kReservationLifetimeMicroseconds = 24LL * 3600 * 1000000;
    static constexpr int64_t kMaxOpenReservations = 100;
    // An upload that has not completed this long after its first block is forgotten.
    static constexpr int64_t kUnfinishedUploadLifetimeMicroseconds = 7LL * 24 * 3600 * 1000000;

    explicit CCentralMessages(CCentralServer& server);

    CZelString ReqMsgIdRequest(const CZelString& payload);
    CZelString UploadBlockRequest(const CZelString& payload);
    CZelString SeedRequest(const CZelString& payload);
    CZelString FetchBlockRequest(const CZelString& payload);
    CZelString ReceivedRequest(const CZelString& payload);
    CZelString DeleteRequest(const CZelString& payload);

private:
    // The small requests' bodies, inside their write transaction: the answer document.
    CZelXmlDocument ReserveMessageId(const CCentralSealedRequest& request);
    CZelXmlDocument ListMessages(const CCentralSealedRequest& request);
    CZelXmlDocument DeleteCopy(const CCentralSealedRequest& request);

    // Whether the sender's standing lets it send at all.
    static bool MaySend(const CCentralAccount& sender);
    // The ReqMsgId refusal for this sender and recipient; empty when the mail is welcome.
    CZelString WriteRefusal(const CCentralAccount& sender, const CCentralAccount& recipient);

    // Upload: a block is stored in one short transaction. The block that reaches the total is
    // checked unlocked (transfer hash, recipient list, sender block) against the bytes held, and
    // stored together with the recipients' binding in a second transaction that first checks
    // the upload still stands where the check found it; else the block starts over.
    struct UploadBlock;   // an opened upload request
    struct UploadStep;    // what a transaction decided
    struct CheckedFile;   // what the unlocked check of the whole file found
    UploadStep StoreUploadBlock(CCentralSealedRequest& request, const UploadBlock& block);
    CheckedFile CheckUploadFile(const CCentralSealedRequest& request, const UploadBlock& block,
                                const CCentralUpload& upload);
    UploadStep FinishUpload(CCentralSealedRequest& request, const UploadBlock& block, const CCentralUpload& upload,
                            const CheckedFile& file);
    // Inside the finishing transaction: checks each recipient's reservation and binds the
    // recipients; null when accepted. A file whose message ids all belong to one finished
    // message of the sender is that message again: `earlier` names it and nothing is bound.
    const char* BindRecipients(const CCentralAccount& sender, const CheckedFile& file, int64_t message,
                               int64_t sentTime, std::optional<CCentralUpload>& earlier);
    // Bytes [offset, offset + length) of an upload in order, whole stored blocks of a few
    // megabytes per short transaction, each piece handed to `use` with the lock released.
    // Throws when a byte is not held (the upload went meanwhile).
    void ReadUploadInPieces(int64_t message, int64_t offset, int64_t length,
                            const std::function<void(const char* bytes, int64_t count)>& use);

    // Fetch: the recipient's message data under `key` is built once and kept, rebuilt only when
    // the recipient's key changed (a fresh Inbox key after its old one was dropped). The build
    // (the sender record's sealing, the transfer hash over the text) runs unlocked; the head is
    // stored unless another fetch stored one under the same key first, which then stands.
    struct FetchPlace;    // what the fetch document asks for
    struct FetchStep;     // what the fetch's transaction decided
    FetchStep ReadFetchBlock(CCentralSealedRequest& request, const FetchPlace& place, const CZelString& builtHead);
    CZelString BuildHead(const CCentralCopy& copy, const CCentralAccount& sender, const CZelString& key);
    static CZelString SenderRecord(const CCentralCopy& copy, const CCentralAccount& sender, const CZelString& key);
    int64_t DataLength(const CCentralCopy& copy) const;
    CZelString ReadData(const CCentralCopy& copy, int64_t offset, int64_t length);

    CCentralServer& m_server;
    CCentralStore& m_store;
    CCentralMessageStore m_messages;
};

// Registers the handlers of the message requests; they live as long as the server.
void RegisterMessageRequests(CCentralServer& server);
