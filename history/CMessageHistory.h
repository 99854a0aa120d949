#pragma once
// CMessageHistory: the per-account record of sent and received mail, "Accounts/%08D/MessageHistory.xml"
// ("doc" document, root `Root`, sections `Sent` and `Received` of `message` entries keyed by
// `MessageId`). Every writer loads, changes and saves the file under the data lock; a file that
// exists but does not parse is set aside as "MessageHistory.xml.broken-<time>" before a new one
// is started, so nothing recorded is ever silently dropped.

#include "foundation/CZelString.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/CZelXmlNode.h"

#include <cstdint>
#include <functional>
#include <vector>

// One recipient of a message the server accepted.
struct CSentEntry {
    CZelString messageId;
    CZelString email;
    CZelString userId;
    CZelString name;
    CZelString translitName;
    CZelString unicodeName;
};

class CMessageHistory {
public:
    static constexpr char kFileName[] = "MessageHistory.xml";
    static constexpr char kSectionSent[] = "Sent";
    static constexpr char kSectionReceived[] = "Received";
    static constexpr char kElementMessage[] = "message";
    // Attributes of a `Sent` entry: "true" once the server took the message (empty when the
    // entry came from a delivery report alone), and the delivery time the server reported.
    static constexpr char kAttrSent[] = "Sent";
    static constexpr char kAttrDelivered[] = "Delivered";

    static CZelString PathFor(int64_t accountId);

    // The general writer: under the data lock, load (or start) the file, find or create the
    // section and the entry of `messageId` in it, let `change` set attributes, save. False
    // when the file could not be saved.
    using EntryChange = std::function<void(CZelXmlNode& entry)>;
    static bool Update(int64_t accountId, const char* section, const CZelString& messageId, const EntryChange& change);

    // The writer of many entries at once: under the data lock, load (or start) the file, let
    // `change` edit the whole document, save. False when the file could not be saved.
    using DocumentChange = std::function<void(CZelXmlDocument& document)>;
    static bool Edit(int64_t accountId, const DocumentChange& change);

    // The upload's record: one `Sent` entry per recipient with `Sent` = "true", the server's
    // time stamp and the local time; then the account's change bit 0x04. False when not saved.
    static bool RecordSent(int64_t accountId, const std::vector<CSentEntry>& entries, const CZelString& serverTimeStamp,
                           int64_t localTimeMicroseconds);

    // Loads the file under the data lock (an empty "doc" document when it does not exist).
    static bool Load(int64_t accountId, CZelXmlDocument& document);
};
