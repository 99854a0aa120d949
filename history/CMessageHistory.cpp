#include "history/CMessageHistory.h"

#include "core/CAccountChangeFlags.h"
#include "foundation/CZelFile.h"
#include "foundation/CZelFormat.h"
#include "foundation/ZelGlobalLocks.h"
#include "protocol/ZelProtocolVocabulary.h"

#include <chrono>
#include <cstdio>

namespace {

// The entries' own attribute names; those they share with the central server's documents
// come from the protocol vocabulary.
constexpr char kAttrSentTimeStamp[] = "SentTimeStamp";
constexpr char kAttrLocalSentTimeStamp[] = "LocalSentTimeStamp";
constexpr char kSentTrue[] = "true";

int64_t NowMicroseconds()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

CZelXmlDocument NewHistory()
{
    CZelXmlDocument document;
    document.Create(CZelXmlDocument::kDefaultDocType, CZelXmlDocument::kDefaultRootName);
    return document;
}

// The file's document (the data lock held). A file that is there but does not parse is moved
// aside first, so the new document never overwrites what it held. No size cap: a long history
// is still the user's record.
CZelXmlDocument LoadOrStart(const CZelString& path)
{
    if (!CZelFile::FileExists(path))
        return NewHistory();
    CZelString text;
    CZelXmlDocument document;
    if (CZelFile::LoadWholeFile(path, text) && document.Parse(text) && !document.RootElement().IsNull())
        return document;
    const CZelString kept = Format("%S.broken-%D", &path, NowMicroseconds());
    std::rename(path.Ptr(), kept.Ptr());
    return NewHistory();
}

CZelXmlNode FindOrAppend(CZelXmlNode parent, const CZelString& name)
{
    CZelXmlNode found = parent.FindChild(name);
    if (found.IsNull()) {
        found = CZelXmlElement(name);
        parent.AddChild(found);
    }
    return found;
}

CZelXmlNode EntryOf(CZelXmlNode section, const CZelString& messageId)
{
    CZelXmlNode entry = section.FindChildByAttr(CMessageHistory::kElementMessage, kAttrMessageId, messageId);
    if (entry.IsNull()) {
        entry = CZelXmlElement(CMessageHistory::kElementMessage);
        entry.SetAttr(kAttrMessageId, messageId);
        section.AddChild(entry);
    }
    return entry;
}

// Saving makes the account's folder when it is missing.
bool SaveHistory(const CZelString& path, const CZelXmlDocument& document)
{
    return document.SaveFile(path);
}

} // namespace

CZelString CMessageHistory::PathFor(int64_t accountId)
{
    return Format("Accounts/%08D/%s", accountId, kFileName);
}

bool CMessageHistory::Update(int64_t accountId, const char* section, const CZelString& messageId,
                             const EntryChange& change)
{
    CZelLockGuard guard(ZelDataLock(), "CMessageHistory::Update()", __LINE__);
    const CZelString path = PathFor(accountId);
    CZelXmlDocument document = LoadOrStart(path);
    CZelXmlNode entry = EntryOf(FindOrAppend(document.RootElement(), section), messageId);
    if (change)
        change(entry);
    return SaveHistory(path, document);
}

bool CMessageHistory::Edit(int64_t accountId, const DocumentChange& change)
{
    CZelLockGuard guard(ZelDataLock(), "CMessageHistory::Edit()", __LINE__);
    const CZelString path = PathFor(accountId);
    CZelXmlDocument document = LoadOrStart(path);
    if (change)
        change(document);
    return SaveHistory(path, document);
}

bool CMessageHistory::RecordSent(int64_t accountId, const std::vector<CSentEntry>& entries,
                                 const CZelString& serverTimeStamp, int64_t localTimeMicroseconds)
{
    bool saved = false;
    {
        CZelLockGuard guard(ZelDataLock(), "CMessageHistory::RecordSent()", __LINE__);
        const CZelString path = PathFor(accountId);
        CZelXmlDocument document = LoadOrStart(path);
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
        saved = SaveHistory(path, document);
    }
    // The page refreshes even when the save failed: it shows what the file holds.
    CAccountChangeFlags::Global().Set(accountId, CAccountChangeFlags::kSentRecorded);
    return saved;
}

bool CMessageHistory::Load(int64_t accountId, CZelXmlDocument& document)
{
    CZelLockGuard guard(ZelDataLock(), "CMessageHistory::Load()", __LINE__);
    const CZelString path = PathFor(accountId);
    if (!CZelFile::FileExists(path)) {
        document = NewHistory();
        return true;
    }
    CZelString text;
    CZelXmlDocument loaded;
    if (!CZelFile::LoadWholeFile(path, text) || !loaded.Parse(text))
        return false;
    document = std::move(loaded);
    return true;
}
