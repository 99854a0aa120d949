#pragma once
// CCentralMessageStore: the message requests' part of the central store.
//
//   message_recipients   one row per message id handed out by ReqMsgId (sender, recipient),
//                        bound to its message when the upload completes; `data` holds the
//                        head of that recipient's message data once built, `delivered` and the
//                        abuse report columns what the sender later sees in `Delivered`
//   messages             one row per upload; `complete` once the whole file arrived and checked
//   message_uploads      the upload's transfer hash, how much arrived, and where its parts lie
//   message_upload_blocks  the uploaded bytes, in the order they came, at most
//                        kMaxStoredBlockBytes a row
//   message_copies       each recipient's key block and the key its message data was built under
//
// A recipient's message data is its head (transfer hash, sender record, the message record's
// head with the key block), the message text straight from the upload blocks, and the sender
// block; so a download reads only the bytes of its block.
//
// Every call runs inside the request's CCentralStore::Transaction.

#include "foundation/CZelString.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "server/CCentralStore.h"

#include <cstdint>
#include <optional>
#include <vector>

struct CCentralUpload {
    int64_t message = -1;       // messages.id
    int64_t total = 0;          // length of the queued message file
    int64_t received = 0;       // bytes held, from offset 0
    bool complete = false;
    int64_t sentTime = 0;       // when it completed
    int64_t created = 0;        // when its first block came
};

// One stored block of an upload.
struct CCentralUploadPiece {
    int64_t offset = 0;
    CZelString data;
};

struct CCentralReservation {
    CZelString messageId;
    int64_t senderId = -1;
    int64_t recipientId = -1;
    bool bound = false;         // already part of an uploaded message
    int64_t message = -1;       // that message, when bound
    int64_t created = 0;        // when it was handed out
};

// One recipient's copy of an uploaded message.
struct CCentralCopy {
    CZelString messageId;
    int64_t message = -1;
    int64_t senderId = -1;
    bool deleted = false;
    CZelString keyBlock;        // payload of the recipient's key block record
    CZelString dataKey;         // key the head was built under; empty when not built yet
    CZelString head;
    int64_t sentTime = 0;
    CZelString signature;       // payload of the sender block record
    int64_t textOffset = 0;     // the message text inside the upload
    int64_t textLength = 0;
};

// What a recipient's upload completion stores for it.
struct CCentralCopyPart {
    CZelString messageId;
    CZelString keyBlock;
};

struct CCentralDelivery {
    CZelString messageId;
    int64_t delivered = 0;      // 0: not yet
    CZelString abuseReport;
    int64_t abuseTime = 0;      // 0: none
    int64_t recipientId = -1;
};

class CCentralMessageStore {
public:
    // The most bytes one row of message_upload_blocks holds; a longer block is stored in rows.
    static constexpr int32_t kMaxStoredBlockBytes = 4 * 1024 * 1024;

    explicit CCentralMessageStore(CCentralStore& store);

    // A fresh message id (digits and "."), reserved for mail from sender to recipient.
    CZelString ReserveMessageId(int64_t senderId, int64_t recipientId);
    std::optional<CCentralReservation> FindReservation(const CZelString& messageId);
    // Forgets the sender's reservations no upload used that were handed out before `before`.
    void ForgetUnusedReservations(int64_t senderId, int64_t before);
    // How many reservations of the sender since `since` no upload used yet.
    int64_t OpenReservations(int64_t senderId, int64_t since);
    // The sender's unused reservations since `since` to recipients that still have the sender on
    // their contact lists: each one lets one upload start.
    int64_t WelcomeReservations(int64_t senderId, int64_t since);
    // The sender's uploads that have not completed.
    int64_t UnfinishedUploads(int64_t senderId);

    // Uploads, found by their sender, transfer hash and length.
    std::optional<CCentralUpload> FindUpload(int64_t senderId, const CZelString& hash, int64_t total);
    std::optional<CCentralUpload> FindUploadOf(int64_t message);
    CCentralUpload StartUpload(int64_t senderId, const CZelString& hash, int64_t total);
    // Stores `data` at `offset`, which must be the bytes held so far.
    void AppendUploadBlock(int64_t message, int64_t offset, const CZelString& data);
    // `length` bytes of the upload from `offset`, at most a whole message; throws when they are
    // not all held.
    CZelString ReadUpload(int64_t message, int64_t offset, int64_t length);
    // The stored blocks from the one that holds `offset` on, whole, until they reach about
    // `maxBytes` (at least one block); empty when no block holds `offset`.
    std::vector<CCentralUploadPiece> ReadUploadBlocks(int64_t message, int64_t offset, int64_t maxBytes);
    // Forgets an upload that failed its checks, so that a new attempt starts afresh.
    void DropUpload(int64_t message);
    // Forgets the unfinished uploads started before `before`.
    void DropUnfinishedUploads(int64_t before);
    // Marks the upload complete and binds each recipient's message id to it.
    void CompleteUpload(int64_t message, int64_t sentTime, const CZelString& signature, int64_t textOffset,
                        int64_t textLength, const std::vector<CCentralCopyPart>& copies);

    // Recipients' copies.
    std::optional<CCentralCopy> FindCopy(const CZelString& messageId, int64_t recipientId);
    void SaveBuiltData(const CZelString& messageId, const CZelString& key, const CZelString& head);
    // Sets the delivery time unless one is set already; false when the copy is unknown.
    bool MarkDelivered(const CZelString& messageId, int64_t recipientId, int64_t timeStamp);
    // Removes the copy; the upload's bytes go with the last copy.
    void DeleteCopy(const CCentralCopy& copy);

    // The Seed answer's lists.
    std::vector<CCentralDelivery> DeliveriesAfter(int64_t senderId, int64_t timeStamp);
    std::vector<CZelString> WaitingFor(int64_t recipientId);

private:
    CStoreDb& Db() { return m_store.Db(); }

    CCentralStore& m_store;
};
