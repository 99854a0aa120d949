#include "pop3/CInboxQueue.h"

#include "foundation/CZelFile.h"
#include "foundation/CZelXmlDocument.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/ZelGlobalLocks.h"
#include "protocol/CSessionKeyFile.h"
#include "protocol/ZelMessageId.h"
#include "protocol/ZelProtocolVocabulary.h"

#include <set>

namespace {

constexpr char kLocked[] = "1";
constexpr char kUnlocked[] = "0";

// Key numbers the server takes for a long-lived key other than the session's (1) and the
// Outbox key's (3): a file naming any other number is as good as damaged.
bool IsInboxKeyNumber(int64_t number)
{
    return number == 4 || number == 5 || number == 6;
}

bool HasQueuedMessage(const CZelXmlDocument& document)
{
    return !document.RootElement().FindChild(kElementMessage).IsNull();
}

} // namespace

CInboxQueue::CInboxQueue(int64_t accountId) : m_accountId(accountId) {}

CZelString CInboxQueue::KeyFilePath() const
{
    return CSessionKeyFile::InboxPath(m_accountId);
}

CZelString CInboxQueue::DownloadPath(const CZelString& messageId) const
{
    return Format("Accounts/%08D/%s/%S", m_accountId, CSessionKeyFile::kInboxFolder, messageId);
}

bool CInboxQueue::Reserve(CZelString& key, uint32_t& keyNumber) const
{
    CZelLockGuard hold(ZelDataLock(), "CInboxQueue::Reserve()", __LINE__);
    const CZelString path = KeyFilePath();
    CZelXmlDocument document;
    const bool loaded = CSessionKeyFile::Load(path, document);
    bool fresh = false;
    if (!loaded || !CSessionKeyFile::IsValid(document) || !IsInboxKeyNumber(CSessionKeyFile::KeyNumber(document))) {
        if (!loaded)
            document = CZelXmlDocument();
        fresh = true;
        if (!CSessionKeyFile::Renew(document, kNewKeyNumber)) {
            CZelFile::DeleteFile(path);
            return false;
        }
    }
    document.RootElement().SetAttr(CSessionKeyFile::kSessionKeyLock, kLocked);
    if (!CSessionKeyFile::Save(path, document)) {
        if (fresh && !loaded)
            CZelFile::DeleteFile(path);
        return false;
    }
    key = CSessionKeyFile::Key(document);
    keyNumber = static_cast<uint32_t>(CSessionKeyFile::KeyNumber(document));
    return true;
}

std::vector<CZelString> CInboxQueue::Enqueue(const std::vector<CZelString>& listed,
                                             const std::map<CZelString, int64_t>& stored, bool& queued) const
{
    std::vector<CZelString> added;
    queued = false;
    CZelLockGuard hold(ZelDataLock(), "CInboxQueue::Enqueue()", __LINE__);
    const CZelString path = KeyFilePath();
    CZelXmlDocument document;
    if (!CSessionKeyFile::Load(path, document) || !CSessionKeyFile::IsValid(document))
        return added;
    CZelXmlNode root = document.RootElement();
    std::set<CZelString> present;
    for (CZelXmlNode message = root.FindChild(kElementMessage); !message.IsNull(); message = message.NextSameName())
        present.insert(message.GetAttr(kAttrMessageId));
    for (const CZelString& id : listed) {
        if (!IsSafeMessageId(id) || stored.count(id) != 0 || !present.insert(id).second)
            continue;
        CZelXmlElement element(kElementMessage);
        element.SetAttr(kAttrMessageId, id);
        root.AddChild(element);
        added.push_back(id);
    }
    root.SetAttr(CSessionKeyFile::kSessionKeyLock, kUnlocked);
    queued = HasQueuedMessage(document);
    if (!queued) {
        CZelFile::DeleteFile(path);
        return added;
    }
    if (!CSessionKeyFile::Save(path, document)) {
        added.clear();
        queued = false;
    }
    return added;
}

bool CInboxQueue::Head(CHead& head) const
{
    CZelLockGuard hold(ZelDataLock(), "CInboxQueue::Head()", __LINE__);
    CZelXmlDocument document;
    if (!CSessionKeyFile::Load(KeyFilePath(), document))
        return false;
    const CZelXmlNode message = document.RootElement().FindChild(kElementMessage);
    if (message.IsNull())
        return false;
    head.key = CSessionKeyFile::Key(document);
    const int64_t number = CSessionKeyFile::KeyNumber(document);
    head.keyNumber = number > 0 ? static_cast<uint32_t>(number) : 0;
    head.messageId = message.GetAttr(kAttrMessageId);
    return true;
}

bool CInboxQueue::Remove(const CZelString& messageId) const
{
    CZelLockGuard hold(ZelDataLock(), "CInboxQueue::Remove()", __LINE__);
    const CZelString path = KeyFilePath();
    CZelXmlDocument document;
    if (!CSessionKeyFile::Load(path, document))
        return true;
    CZelXmlNode root = document.RootElement();
    for (CZelXmlNode message = root.FindChild(kElementMessage); !message.IsNull(); message = message.NextSameName()) {
        if (message.GetAttr(kAttrMessageId) == messageId) {
            root.RemoveChild(message);
            break;
        }
    }
    if (!HasQueuedMessage(document) && !CSessionKeyFile::IsLocked(document))
        return CZelFile::DeleteFile(path) || !CZelFile::FileExists(path);
    return CSessionKeyFile::Save(path, document);
}

CZelEvent& CInboxQueue::DownloadEvent()
{
    // Automatic reset: one wake-up per signal; never destroyed, a late thread may still set it.
    static CZelEvent* event = new CZelEvent(false, false);
    return *event;
}
