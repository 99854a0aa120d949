#pragma once
// CMessageHistory: the per-account record of sent and received mail, "Accounts/%08D/MessageHistory.xml"
// ("doc" document, root `Root`, sections `Sent` and `Received` of `message` entries keyed by
// `MessageId`). Every writer loads, changes and saves the file under the data lock, finding the
// entry of its id in its section or appending one, so an id occurs at most once per section and
// entries keep the order in which they were made; nothing is ever removed. A file that exists
// but does not parse is set aside as "MessageHistory.xml.broken-<time>" before a new one is
// started, so nothing recorded is ever silently dropped.
//
// The writers, in the order a message meets them: the upload (RecordSent), the delivery reports
// of the login exchange (RecordDeliveries), the download (RecordReceived), the mail client's
// retrieval (RecordRetrieved) and the user's abuse report (RecordAbuseReport).

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

// The sender of a downloaded message, as its sender record names it.
struct CReceivedSender {
    CZelString name;
    CZelString translitName;
    CZelString unicodeName;     // UTF-16LE bytes
    CZelString id;
    CZelString email;
    CZelString sentMessageTimeStamp;

    // The attributes of a sender record's root element.
    static CReceivedSender FromRecord(const CZelXmlNode& root);
};

class CMessageHistory {
public:
    static constexpr char kFileName[] = "MessageHistory.xml";
    static constexpr char kSectionSent[] = "Sent";
    static constexpr char kSectionReceived[] = "Received";
    static constexpr char kElementMessage[] = "message";
    // The entries' own attributes; those shared with the server's documents are in the
    // protocol vocabulary.
    static constexpr char kAttrSent[] = "Sent";
    static constexpr char kAttrSentTimeStamp[] = "SentTimeStamp";
    static constexpr char kAttrLocalSentTimeStamp[] = "LocalSentTimeStamp";
    static constexpr char kAttrDelivered[] = "Delivered";
    static constexpr char kAttrLocalDownloaded[] = "LocalDownloadedMessageTimeStamp";
    static constexpr char kAttrLocalDelivered[] = "LocalDeliveredTimeStamp";
    static constexpr char kAttrLocalAbuseReport[] = "LocalAbuseReportTimeStamp";
    static constexpr char kSentTrue[] = "true";
    // How many entries of a section the messages page shows.
    static constexpr int kShownEntries = 100;

    static CZelString PathFor(int64_t accountId);

    // The general writer: under the data lock, load (or start) the file, find or create the
    // section and the entry of `messageId` in it, let `change` set attributes, save. False
    // when the file could not be saved.
    using EntryChange = std::function<void(CZelXmlNode& entry)>;
    static bool Update(int64_t accountId, const char* section, const CZelString& messageId, const EntryChange& change);

    // The upload's record: one `Sent` entry per recipient with `Sent` = "true", the server's
    // time stamp and the local time; then the account's change bit 0x04. False when not saved.
    static bool RecordSent(int64_t accountId, const std::vector<CSentEntry>& entries, const CZelString& serverTimeStamp,
                           int64_t localTimeMicroseconds);

    // The delivery reports of a Seed answer (its root's `Delivered` elements), in one hold of
    // the data lock: each report's entry in `Sent` (made from the report when missing: its
    // attributes but `TimeStamp`, and `Sent` = ""), its `Delivered` time, its abuse report when
    // it carries one; then `Sent`/`TimeStamp`, which only ever grows, and the change bit 0x02.
    // Returns the log lines of the deliveries, for the caller's log.
    static std::vector<CZelString> RecordDeliveries(int64_t accountId, const std::vector<CZelXmlNode>& reports);
    static std::vector<CZelString> RecordDeliveries(int64_t accountId, const CZelXmlDocument& seedAnswer);

    // The download's record of a stored message: the `Received` entry with the sender's data
    // and the local time; then the change bit 0x08. False when not saved.
    static bool RecordReceived(int64_t accountId, const CZelString& messageId, const CReceivedSender& sender,
                               int64_t localTimeMicroseconds);

    // The mail client took the message (set again at every retrieval); then the change bit
    // 0x10. False when not saved.
    static bool RecordRetrieved(int64_t accountId, const CZelString& messageId, int64_t localTimeMicroseconds);

    // The user's abuse report that the server accepted, on the `Received` entry of the message
    // only: no entry is made for an id the history does not hold. True when recorded.
    static bool RecordAbuseReport(int64_t accountId, const CZelString& messageId, const CZelString& report,
                                  int64_t timeMicroseconds);

    // Loads the file under the data lock (an empty "doc" document when it does not exist).
    // False when it exists but cannot be read; the file is left as it is.
    static bool Load(int64_t accountId, CZelXmlDocument& document);

    // The last `count` entries of a section in file order (earlier ones are skipped).
    static std::vector<CZelXmlNode> LastEntries(const CZelXmlDocument& document, const char* section,
                                                int count = kShownEntries);

    // `Sent`/`TimeStamp`, sent to the server as `LastDeliveredTimeStamp`; "" when the history
    // has none.
    static CZelString LastDeliveredTimeStamp(int64_t accountId);

    // The conversion of the old 8-bit names to UTF-8 ("/convert"): in every `message` of
    // `Received`, then of `Sent`, `Name` is rebuilt from `UnicodeName` when that is not empty,
    // else read as windows-1251 text. A name that already reads as UTF-8 stays, so a second run
    // changes nothing. True when anything changed.
    static bool Convert(CZelXmlDocument& document);
    // Converts the history of every registered account file of the working folder, each under
    // the data lock; a file that is missing or does not parse is left alone. Returns how many
    // histories changed.
    static int ConvertAll();
    // Registers ConvertAll as a start-up step of "/convert" (once per process).
    static void RegisterConvertStep();
};
