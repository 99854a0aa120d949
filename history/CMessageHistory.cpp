#include "history/CMessageHistory.h"

#include "core/CAccountChangeFlags.h"
#include "foundation/CZelFormat.h"
#include "foundation/ZelDateTime.h"
#include "foundation/ZelGlobalLocks.h"
#include "foundation/ZelNumbers.h"
#include "history/HistoryFileAccess.h"
#include "protocol/ZelPop3LoginTexts.h"
#include "protocol/ZelProtocolVocabulary.h"

#include <algorithm>

using namespace history_file;

namespace {

// A server time stamp as a number; 0 for an empty or foreign text, which then never wins.
int64_t TimeStampValue(const CZelString& text)
{
    int64_t value = 0;
    return ParseDecimal(text, value) ? value : 0;
}

// A new `Sent` entry from a delivery report: all its attributes but the time stamp.
CZelXmlNode EntryFromReport(CZelXmlNode sent, const CZelXmlNode& report)
{
    CZelXmlElement entry(CMessageHistory::kElementMessage);
    for (int32_t i = 0; i < report.AttrCount(); ++i)
        if (report.AttrName(i) != kAttrTimeStamp)
            entry.SetAttr(report.AttrName(i), report.AttrValue(i));
    entry.SetAttr(CMessageHistory::kAttrSent, "");
    sent.AddChild(entry);
    return entry;
}

CZelString DeliveredLogLine(const CZelString& messageId, int64_t timeStamp)
{
    const int64_t seconds = timeStamp / 1000000;
    const int milliseconds = static_cast<int>(timeStamp / 1000 % 1000);
    return Format(kPop3LogDelivered, &messageId, DateTimeText(seconds), milliseconds);
}

// One report applied to its entry; the log line when it names a delivery time.
void ApplyDeliveryReport(CZelXmlNode sent, const CZelXmlNode& report, std::vector<CZelString>& log)
{
    const CZelString messageId = report.GetAttr(kAttrMessageId);
    const CZelString delivered = report.GetAttr(kAttrTimeStamp);
    const CZelString abuseTime = report.GetAttr(kAttrAbuseReportTimeStamp);
    // An entry without an id could only ever be overwritten by the next such report.
    if (messageId.IsEmpty())
        return;
    CZelXmlNode entry = FindEntry(sent, messageId);
    if (entry.IsNull())
        entry = EntryFromReport(sent, report);
    // A report that carries only an abuse report (the message was never taken by the mail
    // client) keeps a delivery time learnt before.
    if (!delivered.IsEmpty()) {
        entry.SetAttr(CMessageHistory::kAttrDelivered, delivered);
        log.push_back(DeliveredLogLine(messageId, TimeStampValue(delivered)));
    }
    if (!abuseTime.IsEmpty()) {
        entry.SetAttr(kAttrAbuseReportTimeStamp, abuseTime);
        entry.SetAttr(kAttrAbuseReport, report.GetAttr(kAttrAbuseReport));
    }
}

} // namespace

CReceivedSender CReceivedSender::FromRecord(const CZelXmlNode& root)
{
    return {root.GetAttr(kAttrName),  root.GetAttr(kAttrTranslitName), root.GetAttr(kAttrUnicodeName),
            root.GetAttr(kAttrId),    root.GetAttr(kAttrEmail),        root.GetAttr(kAttrSentMessageTimeStamp)};
}

CZelString CMessageHistory::PathFor(int64_t accountId)
{
    return Format("Accounts/%08D/%s", accountId, kFileName);
}

bool CMessageHistory::Update(int64_t accountId, const char* section, const CZelString& messageId,
                             const EntryChange& change)
{
    CZelLockGuard guard(ZelDataLock(), "CMessageHistory::Update()", __LINE__);
    const CZelString path = PathFor(accountId);
    CZelXmlDocument document;
    if (!LoadForWriting(path, document))
        return false;
    CZelXmlNode entry = EntryOf(FindOrAppend(document.RootElement(), section), messageId);
    if (change)
        change(entry);
    return Save(path, document);
}

bool CMessageHistory::RecordSent(int64_t accountId, const std::vector<CSentEntry>& entries,
                                 const CZelString& serverTimeStamp, int64_t localTimeMicroseconds)
{
    bool saved = false;
    {
        CZelLockGuard guard(ZelDataLock(), "CMessageHistory::RecordSent()", __LINE__);
        const CZelString path = PathFor(accountId);
        CZelXmlDocument document;
        if (LoadForWriting(path, document)) {
            CZelXmlNode sent = FindOrAppend(document.RootElement(), kSectionSent);
            const CZelString localTime = Format("%D", localTimeMicroseconds);
            for (const CSentEntry& recipient : entries) {
                CZelXmlNode entry = EntryOf(sent, recipient.messageId);
                entry.SetAttr(kAttrSent, kSentTrue);
                entry.SetAttr(kAttrMessageId, recipient.messageId);
                entry.SetAttr(kAttrEmail, recipient.email);
                entry.SetAttr(kAttrSentTimeStamp, serverTimeStamp);
                entry.SetAttr(kAttrLocalSentTimeStamp, localTime);
                entry.SetAttr(kAttrUserId, recipient.userId);
                entry.SetAttr(kAttrName, recipient.name);
                entry.SetAttr(kAttrTranslitName, recipient.translitName);
                entry.SetAttr(kAttrUnicodeName, recipient.unicodeName);
            }
            saved = Save(path, document);
        }
    }
    // The page refreshes even when the save failed: it shows what the file holds.
    CAccountChangeFlags::Global().Set(accountId, CAccountChangeFlags::kSentRecorded);
    return saved;
}

std::vector<CZelString> CMessageHistory::RecordDeliveries(int64_t accountId, const std::vector<CZelXmlNode>& reports)
{
    std::vector<CZelString> log;
    {
        CZelLockGuard guard(ZelDataLock(), "CMessageHistory::RecordDeliveries()", __LINE__);
        const CZelString path = PathFor(accountId);
        CZelXmlDocument document;
        if (LoadForWriting(path, document)) {
            CZelXmlNode sent = FindOrAppend(document.RootElement(), kSectionSent);
            int64_t newest = TimeStampValue(sent.GetAttr(kAttrTimeStamp));
            for (const CZelXmlNode& report : reports) {
                newest = std::max({newest, TimeStampValue(report.GetAttr(kAttrTimeStamp)),
                                   TimeStampValue(report.GetAttr(kAttrAbuseReportTimeStamp))});
                ApplyDeliveryReport(sent, report, log);
            }
            sent.SetAttr(kAttrTimeStamp, Format("%D", newest));
            Save(path, document);
        }
    }
    CAccountChangeFlags::Global().Set(accountId, CAccountChangeFlags::kDeliveryReports);
    return log;
}

std::vector<CZelString> CMessageHistory::RecordDeliveries(int64_t accountId, const CZelXmlDocument& seedAnswer)
{
    std::vector<CZelXmlNode> reports;
    for (CZelXmlNode report = seedAnswer.RootElement().FindChild(kElementDelivered); !report.IsNull();
         report = report.NextSameName())
        reports.push_back(report);
    return RecordDeliveries(accountId, reports);
}

bool CMessageHistory::RecordReceived(int64_t accountId, const CZelString& messageId, const CReceivedSender& sender,
                                     int64_t localTimeMicroseconds)
{
    const bool saved = Update(accountId, kSectionReceived, messageId, [&](CZelXmlNode& entry) {
        entry.SetAttr(kAttrMessageId, messageId);
        entry.SetAttr(kAttrName, sender.name);
        entry.SetAttr(kAttrTranslitName, sender.translitName);
        entry.SetAttr(kAttrUnicodeName, sender.unicodeName);
        entry.SetAttr(kAttrId, sender.id);
        entry.SetAttr(kAttrEmail, sender.email);
        entry.SetAttr(kAttrSentMessageTimeStamp, sender.sentMessageTimeStamp);
        entry.SetAttr(kAttrLocalDownloaded, Format("%D", localTimeMicroseconds));
    });
    CAccountChangeFlags::Global().Set(accountId, CAccountChangeFlags::kMessageDownloaded);
    return saved;
}

bool CMessageHistory::RecordRetrieved(int64_t accountId, const CZelString& messageId, int64_t localTimeMicroseconds)
{
    const bool saved = Update(accountId, kSectionReceived, messageId, [&](CZelXmlNode& entry) {
        entry.SetAttr(kAttrMessageId, messageId);
        entry.SetAttr(kAttrLocalDelivered, Format("%D", localTimeMicroseconds));
    });
    CAccountChangeFlags::Global().Set(accountId, CAccountChangeFlags::kMessageRetrieved);
    return saved;
}

bool CMessageHistory::RecordAbuseReport(int64_t accountId, const CZelString& messageId, const CZelString& report,
                                        int64_t timeMicroseconds)
{
    if (messageId.IsEmpty())
        return false;
    CZelLockGuard guard(ZelDataLock(), "CMessageHistory::RecordAbuseReport()", __LINE__);
    const CZelString path = PathFor(accountId);
    // Nothing is made here: a missing or unreadable file holds no entry to mark.
    CZelXmlDocument document;
    if (LoadExisting(path, document) != ELoad::Loaded)
        return false;
    CZelXmlNode entry = FindEntry(document.RootElement().FindChild(kSectionReceived), messageId);
    if (entry.IsNull())
        return false;
    entry.SetAttr(kAttrAbuseReport, report);
    entry.SetAttr(kAttrLocalAbuseReport, Format("%D", timeMicroseconds));
    return Save(path, document);
}

bool CMessageHistory::Load(int64_t accountId, CZelXmlDocument& document)
{
    CZelLockGuard guard(ZelDataLock(), "CMessageHistory::Load()", __LINE__);
    switch (LoadExisting(PathFor(accountId), document)) {
    case ELoad::Loaded:
        return true;
    case ELoad::Missing:
        document = NewHistory();
        return true;
    case ELoad::Unusable:
        break;
    }
    return false;
}

std::vector<CZelXmlNode> CMessageHistory::LastEntries(const CZelXmlDocument& document, const char* section, int count)
{
    std::vector<CZelXmlNode> entries;
    const CZelXmlNode folder = document.RootElement().FindChild(section);
    for (CZelXmlNode entry = folder.FindChild(kElementMessage); !entry.IsNull(); entry = entry.NextSameName())
        entries.push_back(entry);
    if (count >= 0 && entries.size() > static_cast<size_t>(count))
        entries.erase(entries.begin(), entries.end() - count);
    return entries;
}

CZelString CMessageHistory::LastDeliveredTimeStamp(int64_t accountId)
{
    CZelXmlDocument document;
    if (!Load(accountId, document))
        return CZelString();
    return document.RootElement().FindChild(kSectionSent).GetAttr(kAttrTimeStamp);
}
