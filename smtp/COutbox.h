#pragma once
// The outbox of an account, "Accounts/%08D/Outbox/": the Outbox key file "key.bin", the queued
// message files "%08D.blk" (one record of type 8 each) and their list files "%08D.blk.list",
// and the process-wide outbox event that wakes the upload loop.
//
// QueueOutboxMessage packs a received message: the text under a fresh message key (CFB), a
// sealed recipient list, a signed sender block and one key block per recipient; then, under
// the data lock, writes it as the next numbered file with its list file (both synced to disk
// before it returns Queued), advances `FileId` and `SessionKeyUseCount` in the key file and
// sets the outbox event.

#include "foundation/CZelString.h"
#include "foundation/CZelXmlDocument.h"
#include "smtp/CSmtpRecipient.h"
#include "smtp/ISmtpMailDesk.h"

#include <cstdint>
#include <string>
#include <vector>

class CZelEvent;
class CProtocolListData;

// The key a session seals its queued files with, as the handshake reserved it.
struct COutboxKey {
    CZelString key;            // 32 bytes
    uint32_t keyNumber = 0;
};

// One queued message file and its list file.
struct COutboxFile {
    int64_t number = -1;       // from the name; -1 when it has no number
    CZelString path;           // "Accounts/%08D/Outbox/%08D.blk"
    CZelString listPath;       // path + ".list"
};

class COutbox {
public:
    static constexpr char kListSuffix[] = ".list";
    static constexpr char kQueuedPattern[] = "*.blk";
    // The key file's number of the last queued file.
    static constexpr char kFileId[] = "FileId";

    static CZelString FolderFor(int64_t accountId);
    static CZelString FilePath(int64_t accountId, int64_t number);
    // The queued files of an account that exist, by number ascending (no number first).
    static std::vector<COutboxFile> QueuedFiles(int64_t accountId);

    // The one outbox event of the process.
    static CZelEvent& Event();
};

// `account` is the sender's account document (its `Id`, `n`, `d`); `message` is encrypted in
// place. Queued only when both files reached the disk whole; Failed when nothing (or nothing
// usable) was written; EndSession when a block transform failed (logged "point 5(ret)" /
// "point 6(ret)") or a recipient key is unusable.
ESmtpQueue QueueOutboxMessage(const CZelXmlDocument& account, int64_t accountId, const COutboxKey& outboxKey,
                              const CSmtpRecipients& recipients, std::string& message,
                              CProtocolListData* log);
