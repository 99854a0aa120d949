#include "accounts/CAccountUpdates.h"

#include "accounts/CAccountFile.h"
#include "core/CAccountChangeFlags.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/ZelGlobalLocks.h"
#include "foundation/ZelNumbers.h"

namespace {

using namespace AccountAttr;

// The attributes of a list entry, in the order they are set.
constexpr const char* kEntryAttributes[] = {kName, kEmail, kTimeStamp, kId, kTranslitName, kUnicodeName};

int64_t ReadTimeStamp(const CZelXmlNode& updates)
{
    bool found = false;
    const CZelString text = updates.GetAttr(kTimeStamp, &found);
    int64_t value = -1;
    if (!found || !ParseDecimal(text, value))
        return -1;
    return value;
}

// Removes every `user` of the list whose address is `email`.
void RemoveAddress(CZelXmlNode list, const CZelString& email)
{
    for (;;) {
        CZelXmlNode entry = list.FindChildByAttr(kUser, kEmail, email);
        if (entry.IsNull())
            return;
        list.RemoveChild(entry);
    }
}

void AppendEntry(CZelXmlNode list, const CZelXmlNode& update)
{
    CZelXmlElement entry(kUser);
    for (const char* name : kEntryAttributes)
        entry.SetAttr(name, update.GetAttr(name));
    list.AddChild(entry);
}

} // namespace

CAccountStanding CAccountUpdates::Write(int64_t accountId, const CZelXmlDocument& reply)
{
    CAccountStanding standing;
    const CZelXmlNode updates = reply.RootElement().FindChild(kUpdates);
    standing.hadUpdates = !updates.IsNull();
    standing.userLevel = updates.GetAttr(kUserLevel);
    standing.operatedStatus = updates.GetAttr(kOperatedStatus);
    {
        CZelLockGuard hold(ZelDataLock(), "CAccountUpdates::Write()", __LINE__);
        const CZelString fileName = CAccountFile::FileNameFor(accountId);
        CZelXmlDocument document;
        if (CAccountFile::Load(fileName, document)) {
            CZelXmlNode root = document.RootElement();
            CZelXmlNode pending = CAccountFile::EnsureChild(root, kContactListUpdates);
            if (standing.hadUpdates) {
                root.SetAttr(kUserLevel, standing.userLevel);
                root.SetAttr(kOperatedStatus, standing.operatedStatus);
                bool hasEmail = false;
                const CZelString email = updates.GetAttr(kEmail, &hasEmail);
                if (hasEmail)
                    root.SetAttr(kEmail, email);
                const int64_t timeStamp = ReadTimeStamp(updates);
                if (timeStamp > 0)
                    pending.SetAttr(kTimeStamp, updates.GetAttr(kTimeStamp));
                for (CZelXmlNode user = updates.FindChild(kUser); !user.IsNull(); user = user.NextSameName())
                    pending.AddChild(user.Clone(true));
            }
            standing.saved = CAccountFile::Save(fileName, document);
        }
    }
    // Outside the data lock: the notified merge (MergeChangedAccounts) takes it again.
    CAccountChangeFlags::Global().Set(accountId, CAccountChangeFlags::kAccountUpdated);
    return standing;
}

bool CAccountUpdates::Merge(CZelXmlDocument& document, std::vector<CMergedEntry>* merged)
{
    CZelXmlNode root = document.RootElement();
    if (root.IsNull())
        return false;
    bool changed = false;
    CZelXmlNode contacts = CAccountFile::EnsureChild(root, kContactList, &changed);
    CZelXmlNode blacks = CAccountFile::EnsureChild(root, kBlackList, &changed);
    CZelXmlNode pending = root.FindChild(kContactListUpdates);
    if (pending.IsNull())
        return changed;
    for (CZelXmlNode update = pending.FindChild(kUser); !update.IsNull();) {
        const CZelXmlNode next = update.NextSameName();
        const CZelString email = update.GetAttr(kEmail);
        const CZelString list = update.GetAttr(kList);
        // A removal takes the address off its own list only, so that a move (one removal,
        // one addition) ends the same in either order of arrival.
        if (list != kActionRemoveBlack)
            RemoveAddress(contacts, email);
        if (list != kActionRemoveContact)
            RemoveAddress(blacks, email);
        if (list == kActionAddContact)
            AppendEntry(contacts, update);
        else if (list == kActionAddBlack)
            AppendEntry(blacks, update);
        if (merged)
            merged->push_back({list, email, update.GetAttr(kName)});
        pending.RemoveChild(update);
        changed = true;
        update = next;
    }
    return changed;
}

bool CAccountUpdates::MergeFile(const CZelString& fileName, std::vector<CMergedEntry>* merged)
{
    CZelLockGuard hold(ZelDataLock(), "CAccountUpdates::MergeFile()", __LINE__);
    CZelXmlDocument document;
    if (!CAccountFile::Load(fileName, document))
        return false;
    if (!Merge(document, merged))
        return true;
    return CAccountFile::Save(fileName, document);
}
