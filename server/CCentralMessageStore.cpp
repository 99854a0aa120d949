#include "server/CCentralMessageStore.h"

#include "foundation/CZelFormat.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr char kUploadColumns[] =
    "SELECT m.id, m.upload_length, u.received, m.complete, u.sent_time, m.created FROM message_uploads u"
    " JOIN messages m ON m.id = u.message ";

std::optional<CCentralUpload> ReadUploadRow(CStoreStatement& statement)
{
    if (!statement.Step())
        return std::nullopt;
    CCentralUpload upload;
    upload.message = statement.Int(0);
    upload.total = statement.Int(1);
    upload.received = statement.Int(2);
    upload.complete = statement.Int(3) != 0;
    upload.sentTime = statement.IsNull(4) ? 0 : statement.Int(4);
    upload.created = statement.Int(5);
    return upload;
}

} // namespace

CCentralMessageStore::CCentralMessageStore(CCentralStore& store) : m_store(store)
{
}

CZelString CCentralMessageStore::ReserveMessageId(int64_t senderId, int64_t recipientId)
{
    // The time stamp rises strictly, also across restarts, so the id is never handed out twice.
    const int64_t created = m_store.UniqueTimeStamp();
    const CZelString messageId = Format("%D.%D", created, recipientId);
    Db().Prepare("INSERT INTO message_recipients (message_id, sender_id, recipient_id, created) VALUES (?, ?, ?, ?)")
        .BindText(1, messageId).Bind(2, senderId).Bind(3, recipientId).Bind(4, created).Run();
    return messageId;
}

std::optional<CCentralReservation> CCentralMessageStore::FindReservation(const CZelString& messageId)
{
    CStoreStatement statement =
        Db().Prepare("SELECT sender_id, recipient_id, message, created FROM message_recipients WHERE message_id = ?");
    statement.BindText(1, messageId);
    if (!statement.Step())
        return std::nullopt;
    const bool bound = !statement.IsNull(2);
    return CCentralReservation{messageId, statement.Int(0), statement.Int(1), bound, bound ? statement.Int(2) : -1,
                               statement.Int(3)};
}

void CCentralMessageStore::ForgetUnusedReservations(int64_t senderId, int64_t before)
{
    Db().Prepare("DELETE FROM message_recipients WHERE sender_id = ? AND message IS NULL AND created < ?")
        .Bind(1, senderId).Bind(2, before).Run();
}

int64_t CCentralMessageStore::OpenReservations(int64_t senderId, int64_t since)
{
    CStoreStatement statement = Db().Prepare(
        "SELECT COUNT(*) FROM message_recipients WHERE sender_id = ? AND message IS NULL AND created >= ?");
    statement.Bind(1, senderId).Bind(2, since);
    return statement.Step() ? statement.Int(0) : 0;
}

int64_t CCentralMessageStore::WelcomeReservations(int64_t senderId, int64_t since)
{
    CStoreStatement statement = Db().Prepare(
        "SELECT COUNT(*) FROM message_recipients r JOIN lists l ON l.owner_id = r.recipient_id"
        " AND l.member_id = r.sender_id WHERE r.sender_id = ? AND r.message IS NULL AND r.created >= ? AND l.list = 'cl'");
    statement.Bind(1, senderId).Bind(2, since);
    return statement.Step() ? statement.Int(0) : 0;
}

int64_t CCentralMessageStore::UnfinishedUploads(int64_t senderId)
{
    CStoreStatement statement = Db().Prepare("SELECT COUNT(*) FROM messages WHERE sender_id = ? AND complete = 0");
    statement.Bind(1, senderId);
    return statement.Step() ? statement.Int(0) : 0;
}

std::optional<CCentralUpload> CCentralMessageStore::FindUpload(int64_t senderId, const CZelString& hash,
                                                               int64_t total)
{
    CStoreStatement statement = Db().Prepare(
        (std::string(kUploadColumns) + "WHERE u.hash = ? AND m.sender_id = ? AND m.upload_length = ?").c_str());
    statement.Bind(1, hash).Bind(2, senderId).Bind(3, total);
    return ReadUploadRow(statement);
}

std::optional<CCentralUpload> CCentralMessageStore::FindUploadOf(int64_t message)
{
    CStoreStatement statement = Db().Prepare((std::string(kUploadColumns) + "WHERE m.id = ?").c_str());
    statement.Bind(1, message);
    return ReadUploadRow(statement);
}

CCentralUpload CCentralMessageStore::StartUpload(int64_t senderId, const CZelString& hash, int64_t total)
{
    CStoreStatement insert =
        Db().Prepare("INSERT INTO messages (sender_id, created, upload_length) VALUES (?, ?, ?) RETURNING id");
    insert.Bind(1, senderId).Bind(2, m_store.UniqueTimeStamp()).Bind(3, total);
    if (!insert.Step())
        throw XCentralStoreError("the new upload got no id");
    CCentralUpload upload;
    upload.message = insert.Int(0);
    upload.total = total;
    Db().Prepare("INSERT INTO message_uploads (message, hash) VALUES (?, ?)").Bind(1, upload.message).Bind(2, hash).Run();
    return upload;
}

void CCentralMessageStore::AppendUploadBlock(int64_t message, int64_t offset, const CZelString& data)
{
    if (data.IsEmpty())
        return;
    // However large the client's block, no stored row holds more than a few megabytes, so a
    // fetch or a check never has to hold more than that at once.
    for (int32_t from = 0; from < data.Length(); from += kMaxStoredBlockBytes) {
        const CZelString row = data.Mid(from, std::min<int32_t>(kMaxStoredBlockBytes, data.Length() - from));
        Db().Prepare("INSERT INTO message_upload_blocks (message, \"offset\", size, data) VALUES (?, ?, ?, ?)")
            .Bind(1, message).Bind(2, offset + from).Bind(3, int64_t(row.Length())).Bind(4, row).Run();
    }
    Db().Prepare("UPDATE message_uploads SET received = ? WHERE message = ?")
        .Bind(1, offset + data.Length()).Bind(2, message).Run();
}

CZelString CCentralMessageStore::ReadUpload(int64_t message, int64_t offset, int64_t length)
{
    if (offset < 0 || length < 0 || length > kMaxMessageBytes)
        throw XCentralStoreError("upload range out of bounds");
    char* out = nullptr;
    CZelString bytes = CZelString::Uninitialized(static_cast<int32_t>(length), &out);
    const int64_t end = offset + length;
    CStoreStatement statement = Db().Prepare(
        "SELECT \"offset\", size, data FROM message_upload_blocks"
        " WHERE message = ? AND \"offset\" < ? AND \"offset\" + size > ? ORDER BY \"offset\"");
    statement.Bind(1, message).Bind(2, end).Bind(3, offset);
    int64_t filled = offset;
    while (filled < end && statement.Step()) {
        const int64_t blockOffset = statement.Int(0);
        const CZelString data = statement.Bytes(2);
        if (blockOffset > filled || blockOffset + data.Length() <= filled)
            break;
        const int64_t count = std::min<int64_t>(end, blockOffset + data.Length()) - filled;
        std::memcpy(out + (filled - offset), data.Ptr() + (filled - blockOffset), static_cast<size_t>(count));
        filled += count;
    }
    if (filled != end)
        throw XCentralStoreError("upload bytes are missing");
    return bytes;
}

std::vector<CCentralUploadPiece> CCentralMessageStore::ReadUploadBlocks(int64_t message, int64_t offset,
                                                                       int64_t maxBytes)
{
    // One block per statement: a result is held whole by some engines, and the rest of a large
    // upload must not come along with the first block.
    std::vector<CCentralUploadPiece> pieces;
    CStoreStatement first = Db().Prepare(
        "SELECT \"offset\", data FROM message_upload_blocks WHERE message = ? AND \"offset\" <= ?"
        " ORDER BY \"offset\" DESC LIMIT 1");
    first.Bind(1, message).Bind(2, offset);
    if (!first.Step())
        return pieces;
    pieces.push_back({first.Int(0), first.Bytes(1)});
    if (pieces.front().offset + pieces.front().data.Length() <= offset) {
        pieces.clear();
        return pieces;
    }
    int64_t bytes = pieces.front().data.Length();
    while (bytes < maxBytes) {
        CStoreStatement next = Db().Prepare(
            "SELECT \"offset\", data FROM message_upload_blocks WHERE message = ? AND \"offset\" > ?"
            " ORDER BY \"offset\" LIMIT 1");
        next.Bind(1, message).Bind(2, pieces.back().offset);
        if (!next.Step())
            break;
        pieces.push_back({next.Int(0), next.Bytes(1)});
        bytes += pieces.back().data.Length();
    }
    return pieces;
}

void CCentralMessageStore::DropUpload(int64_t message)
{
    Db().Prepare("DELETE FROM message_upload_blocks WHERE message = ?").Bind(1, message).Run();
    Db().Prepare("DELETE FROM message_uploads WHERE message = ?").Bind(1, message).Run();
    Db().Prepare("DELETE FROM messages WHERE id = ?").Bind(1, message).Run();
}

void CCentralMessageStore::DropUnfinishedUploads(int64_t before)
{
    std::vector<int64_t> stale;
    {
        CStoreStatement statement = Db().Prepare("SELECT id FROM messages WHERE complete = 0 AND created < ?");
        statement.Bind(1, before);
        while (statement.Step())
            stale.push_back(statement.Int(0));
    }
    for (int64_t message : stale)
        DropUpload(message);
}

void CCentralMessageStore::CompleteUpload(int64_t message, int64_t sentTime, const CZelString& signature,
                                          int64_t textOffset, int64_t textLength,
                                          const std::vector<CCentralCopyPart>& copies)
{
    Db().Prepare("UPDATE messages SET complete = 1 WHERE id = ?").Bind(1, message).Run();
    Db().Prepare("UPDATE message_uploads SET sent_time = ?, signature = ?, text_offset = ?, text_length = ?"
                 " WHERE message = ?")
        .Bind(1, sentTime).Bind(2, signature).Bind(3, textOffset).Bind(4, textLength).Bind(5, message).Run();
    for (const CCentralCopyPart& copy : copies) {
        Db().Prepare("UPDATE message_recipients SET message = ? WHERE message_id = ?")
            .Bind(1, message).BindText(2, copy.messageId).Run();
        Db().Prepare("INSERT INTO message_copies (message_id, key_block) VALUES (?, ?)"
                     " ON CONFLICT (message_id) DO UPDATE SET key_block = excluded.key_block, data_key = NULL")
            .BindText(1, copy.messageId).Bind(2, copy.keyBlock).Run();
    }
}

std::optional<CCentralCopy> CCentralMessageStore::FindCopy(const CZelString& messageId, int64_t recipientId)
{
    CStoreStatement statement = Db().Prepare(
        "SELECT r.message, r.sender_id, r.deleted, c.key_block, c.data_key, r.data, u.sent_time, u.signature,"
        " u.text_offset, u.text_length FROM message_recipients r"
        " JOIN message_copies c ON c.message_id = r.message_id JOIN message_uploads u ON u.message = r.message"
        " WHERE r.message_id = ? AND r.recipient_id = ?");
    statement.BindText(1, messageId).Bind(2, recipientId);
    if (!statement.Step())
        return std::nullopt;
    CCentralCopy copy;
    copy.messageId = messageId;
    copy.message = statement.Int(0);
    copy.senderId = statement.Int(1);
    copy.deleted = statement.Int(2) != 0;
    copy.keyBlock = statement.Bytes(3);
    copy.dataKey = statement.Bytes(4);
    copy.head = statement.Bytes(5);
    copy.sentTime = statement.Int(6);
    copy.signature = statement.Bytes(7);
    copy.textOffset = statement.Int(8);
    copy.textLength = statement.Int(9);
    return copy;
}

void CCentralMessageStore::SaveBuiltData(const CZelString& messageId, const CZelString& key, const CZelString& head)
{
    Db().Prepare("UPDATE message_recipients SET data = ? WHERE message_id = ?").Bind(1, head).BindText(2, messageId).Run();
    Db().Prepare("UPDATE message_copies SET data_key = ? WHERE message_id = ?").Bind(1, key).BindText(2, messageId).Run();
}

bool CCentralMessageStore::MarkDelivered(const CZelString& messageId, int64_t recipientId, int64_t timeStamp)
{
    CStoreStatement known = Db().Prepare(
        "SELECT delivered FROM message_recipients WHERE message_id = ? AND recipient_id = ? AND message IS NOT NULL");
    known.BindText(1, messageId).Bind(2, recipientId);
    if (!known.Step())
        return false;
    // The first delivery stands: a second retrieval of the same message is no news to the sender.
    if (known.IsNull(0))
        Db().Prepare("UPDATE message_recipients SET delivered = ? WHERE message_id = ?")
            .Bind(1, timeStamp).BindText(2, messageId).Run();
    return true;
}

void CCentralMessageStore::DeleteCopy(const CCentralCopy& copy)
{
    Db().Prepare("UPDATE message_recipients SET deleted = 1, data = NULL WHERE message_id = ?")
        .BindText(1, copy.messageId).Run();
    Db().Prepare("DELETE FROM message_copies WHERE message_id = ?").BindText(1, copy.messageId).Run();
    CStoreStatement left = Db().Prepare("SELECT COUNT(*) FROM message_recipients WHERE message = ? AND deleted = 0");
    left.Bind(1, copy.message);
    // The delivery records stay for the sender; only the bytes nobody can fetch any more go.
    if (left.Step() && left.Int(0) == 0)
        Db().Prepare("DELETE FROM message_upload_blocks WHERE message = ?").Bind(1, copy.message).Run();
}

std::vector<CCentralDelivery> CCentralMessageStore::DeliveriesAfter(int64_t senderId, int64_t timeStamp)
{
    CStoreStatement statement = Db().Prepare(
        "SELECT message_id, delivered, abuse_report, abuse_time, recipient_id FROM message_recipients"
        " WHERE sender_id = ? AND message IS NOT NULL AND (delivered > ? OR abuse_time > ?)"
        " ORDER BY CASE WHEN COALESCE(delivered, 0) > COALESCE(abuse_time, 0) THEN delivered"
        " ELSE COALESCE(abuse_time, 0) END, message_id");
    statement.Bind(1, senderId).Bind(2, timeStamp).Bind(3, timeStamp);
    std::vector<CCentralDelivery> deliveries;
    while (statement.Step()) {
        CCentralDelivery delivery;
        delivery.messageId = statement.Bytes(0);
        delivery.delivered = statement.IsNull(1) ? 0 : statement.Int(1);
        delivery.abuseReport = statement.Bytes(2);
        delivery.abuseTime = statement.IsNull(3) ? 0 : statement.Int(3);
        delivery.recipientId = statement.Int(4);
        deliveries.push_back(delivery);
    }
    return deliveries;
}

std::vector<CZelString> CCentralMessageStore::WaitingFor(int64_t recipientId)
{
    CStoreStatement statement = Db().Prepare(
        "SELECT message_id FROM message_recipients WHERE recipient_id = ? AND message IS NOT NULL AND deleted = 0"
        " ORDER BY created, message_id");
    statement.Bind(1, recipientId);
    std::vector<CZelString> waiting;
    while (statement.Step())
        waiting.push_back(statement.Bytes(0));
    return waiting;
}
