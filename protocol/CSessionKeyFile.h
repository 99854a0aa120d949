#pragma once
// CSessionKeyFile: the key files "key.bin" that keep an account's long-lived session keys
// between runs, one in its Outbox folder (key number 3) and one in its Inbox folder (key
// number 4). Each is a "doc" document whose `Root` carries the key and its bookkeeping:
//   `SessionKey`          the 32 key bytes
//   `SessionKeyId`        the key number, decimal
//   `SessionKeyUseCount`  a counter kept by the owner of the file
//   `SessionKeyLock`      "1" while a session uses the key, "0" otherwise
// The owners add their own attributes and children; a renewed key keeps them.
//
// Every read and write takes the data lock; an owner that reads, changes and writes back
// holds the data lock itself around the three steps (the lock is recursive).

#include "foundation/CZelString.h"
#include "foundation/CZelXmlDocument.h"
#include "protocol/ZelProtocolVocabulary.h"

#include <cstdint>

class CSessionKeyFile {
public:
    static constexpr char kFileName[] = "key.bin";
    static constexpr char kOutboxFolder[] = "Outbox";
    static constexpr char kInboxFolder[] = "Inbox";

    // The key under the name a login hands it over with.
    static constexpr auto& kSessionKey = kAttrSessionKey;
    static constexpr char kSessionKeyId[] = "SessionKeyId";
    static constexpr char kSessionKeyUseCount[] = "SessionKeyUseCount";
    static constexpr char kSessionKeyLock[] = "SessionKeyLock";

    // "Accounts/%08D/<folder>/key.bin", relative to the working directory.
    static CZelString PathFor(int64_t accountId, const char* folder);
    static CZelString OutboxPath(int64_t accountId) { return PathFor(accountId, kOutboxFolder); }
    static CZelString InboxPath(int64_t accountId) { return PathFor(accountId, kInboxFolder); }

    // A 32-byte key with a key number and a use count that both read as decimal numbers >= 0.
    static bool IsValid(const CZelXmlDocument& document);

    // A fresh key under `keyNumber`, use count "0", unlocked. A document without a `Root`
    // becomes a new "doc" document; anything else the root holds is kept.
    static bool Renew(CZelXmlDocument& document, uint32_t keyNumber);

    // Reads the file. False when it is missing or does not parse.
    static bool Load(const CZelString& path, CZelXmlDocument& document);
    // Writes the file atomically with "\r\n" line ends (new files 0600, new folders 0700).
    static bool Save(const CZelString& path, const CZelXmlDocument& document);

    // The file's document with a valid key: a missing, broken or invalid file gets a fresh key
    // under `keyNumber`, written back before it is handed out (a key the file does not keep
    // must never reach the server). False only when that write fails.
    static bool LoadOrRenew(const CZelString& path, uint32_t keyNumber, CZelXmlDocument& document,
                            bool* renewed = nullptr);

    // Readings of a document's root.
    static CZelString Key(const CZelXmlDocument& document);
    static int64_t KeyNumber(const CZelXmlDocument& document);     // -1 when not a number
    static int64_t UseCount(const CZelXmlDocument& document);      // -1 when not a number
    static bool IsLocked(const CZelXmlDocument& document);
};
