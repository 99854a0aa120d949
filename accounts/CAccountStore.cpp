#include "accounts/CAccountStore.h"

#include "accounts/CAccountFile.h"
#include "accounts/ZelTranslit.h"
#include "core/CStartSwitches.h"
#include "foundation/CZelCodePage.h"
#include "foundation/CZelFile.h"
#include "foundation/CZelFileFind.h"
#include "foundation/CZelXmlNode.h"
#include "foundation/ZelGlobalLocks.h"
#include "foundation/ZelPath.h"

#include <algorithm>
#include <mutex>

namespace {

using namespace AccountAttr;

int LoadRank(const CZelString& name)
{
    if (name.IsEmpty() || name[0] == '-')
        return 2;
    if (name[0] >= '0' && name[0] <= '9')
        return 0;
    return 1;
}

// Old files hold 8-bit windows-1251 text; a value that already reads as UTF-8 is left alone,
// so running the conversion twice changes nothing.
bool ConvertValue(CZelXmlNode node, const char* attribute)
{
    bool found = false;
    const CZelString value = node.GetAttr(attribute, &found);
    if (!found || GuessCodePage(value) != kCodePageWin1251)
        return false;
    node.SetAttr(attribute, WideToUtf8(ToWide(value, kCodePageWin1251)));
    return true;
}

// A name whose 16-bit form is kept is rebuilt from it; otherwise it is converted as text.
bool ConvertName(CZelXmlNode node)
{
    const CZelString unicode = node.GetAttr(kUnicodeName);
    if (unicode.IsEmpty())
        return ConvertValue(node, kName);
    const CZelString rebuilt = WideToUtf8(unicode);
    if (rebuilt == node.GetAttr(kName))
        return false;
    node.SetAttr(kName, rebuilt);
    return true;
}

bool ConvertListNames(const CZelXmlNode& list)
{
    bool changed = false;
    for (CZelXmlNode user = list.FindChild(kUser); !user.IsNull(); user = user.NextSameName())
        changed = ConvertName(user) || changed;
    return changed;
}

void FillDefaultTexts(CAccountData& account)
{
    if (account.autoReply.IsEmpty())
        account.autoReply = CAccountFile::DefaultAutoReply();
    if (account.autoReplyEng.IsEmpty())
        account.autoReplyEng = CAccountFile::DefaultAutoReplyEng();
}

bool SameFileName(const CZelString& a, const CZelString& b)
{
    return ZelPath::FileName(ZelPath::Normalize(a)).Upper(0) == ZelPath::FileName(ZelPath::Normalize(b)).Upper(0);
}

// The file as it is now, read again under the lock rather than trusting the copy the account
// was read from. False when it exists but cannot be read (never write over what could not be
// kept), or when the account was read from it and it has gone since (another program renamed
// it on registration; writing it again would make a second copy of the account).
bool ReadForSave(const CAccountData& account, const CZelString& fileName, CZelXmlDocument& document)
{
    if (!CZelFile::FileExists(fileName))
        return account.rowsAsRead.empty();
    return CAccountFile::Load(fileName, document);
}

// Sets every row, in page order, to the account's value where the account changed it since it
// was read and to the file's present value otherwise (a row the file lacks gets the account's).
void ApplyRows(const CAccountData& account, CZelXmlNode root)
{
    const auto rows = account.Rows();
    for (size_t i = 0; i < rows.size(); ++i) {
        const auto& [attribute, value] = rows[i];
        bool present = false;
        const CZelString current = root.GetAttr(attribute, &present);
        root.SetAttr(attribute, present && !account.RowChanged(i, value) ? current : value);
    }
    root.SetAttr(kTranslitName, Transliterate(root.GetAttr(kName)));
    root.SetAttr(kUnicodeName, UnicodeName(root.GetAttr(kName)));
}

// Loads, converts and merges one file; false when it is not an account.
bool LoadOne(const CZelString& fileName, bool convert, CAccountData& account)
{
    CZelLockGuard hold(ZelDataLock(), "CAccountStore::LoadAll()", __LINE__);
    CZelXmlDocument document;
    if (!CAccountFile::Load(fileName, document))
        return false;
    bool hasLogin = false;
    document.RootElement().GetAttr(kLogin, &hasLogin);
    if (!hasLogin)
        return false;
    bool changed = convert && CAccountStore::Convert(document);
    changed = CAccountUpdates::Merge(document) || changed;
    if (changed)
        CAccountFile::Save(fileName, document);
    account = CAccountData::FromDocument(fileName, document);
    FillDefaultTexts(account);
    return true;
}

} // namespace

bool CAccountStore::LoadOrderLess(const CZelString& a, const CZelString& b)
{
    const int rankA = LoadRank(a);
    const int rankB = LoadRank(b);
    if (rankA != rankB)
        return rankA < rankB;
    return a.Compare(b) < 0;
}

std::vector<CZelString> CAccountStore::ListFiles()
{
    std::vector<CZelString> names;
    CZelFileFind find(CAccountFile::kPattern, 1, CZelFileFind::kFilesOnly);
    while (find.Next())
        names.push_back(find.Name());
    std::sort(names.begin(), names.end(), LoadOrderLess);
    return names;
}

std::vector<CAccountData> CAccountStore::LoadAll(bool convert)
{
    std::vector<CAccountData> accounts;
    for (const CZelString& name : ListFiles()) {
        try {
            CAccountData account;
            if (LoadOne(name, convert, account))
                accounts.push_back(account);
        } catch (...) {
            // One broken file must not keep the other accounts from loading.
        }
    }
    return accounts;
}

bool CAccountStore::FindById(int64_t id, CAccountData& account)
{
    if (id < 0)
        return false;
    for (const CZelString& name : ListFiles()) {
        CZelLockGuard hold(ZelDataLock(), "CAccountStore::FindById()", __LINE__);
        CZelXmlDocument document;
        if (!CAccountFile::Load(name, document))
            continue;
        bool hasLogin = false;
        const CZelXmlNode root = document.RootElement();
        root.GetAttr(kLogin, &hasLogin);
        if (hasLogin && CAccountFile::ParseId(root.GetAttr(kId)) == id) {
            account = CAccountData::FromDocument(name, document);
            FillDefaultTexts(account);
            return true;
        }
    }
    return false;
}

bool CAccountStore::Save(CAccountData& account)
{
    CZelLockGuard hold(ZelDataLock(), "CAccountStore::Save()", __LINE__);
    const bool isNew = account.fileName.IsEmpty();
    const CZelString fileName = isNew ? CAccountFile::FreeTemporaryName() : account.fileName;
    if (fileName.IsEmpty())
        return false;
    CZelXmlDocument document = CAccountFile::NewDocument();
    if (!isNew && !ReadForSave(account, fileName, document))
        return false;
    ApplyRows(account, document.RootElement());

    const int64_t id = account.Id();
    const CZelString target = id >= 0 ? CAccountFile::FileNameFor(id) : fileName;
    // The new file is written before the old one goes, so a crash between the two steps
    // leaves the account (and its private key) in at least one of them.
    if (!CAccountFile::Save(target, document)) {
        if (isNew)
            CZelFile::DeleteFile(fileName);   // give the reserved name back
        return false;
    }
    if (!SameFileName(target, fileName) && CZelFile::FileExists(fileName))
        CZelFile::DeleteFile(fileName);
    // What the file holds now, merged with the other writers' changes, is the account.
    account = CAccountData::FromDocument(target, document);
    FillDefaultTexts(account);
    return true;
}

bool CAccountStore::Convert(CZelXmlDocument& document)
{
    CZelXmlNode root = document.RootElement();
    bool changed = ConvertName(root);
    for (const char* attribute : {kBirthday, kIssuedBy, kSecureCode, kAutoReply})
        changed = ConvertValue(root, attribute) || changed;
    for (const char* list : {kContactList, kBlackList, kContactListUpdates})
        changed = ConvertListNames(root.FindChild(list)) || changed;
    return changed;
}

bool CAccountStore::ConvertEntryName(CZelXmlNode element)
{
    return ConvertName(element);
}

int CAccountStore::ConvertAll()
{
    return static_cast<int>(LoadAll(true).size());
}

void CAccountStore::RegisterConvertStep()
{
    static std::once_flag once;
    std::call_once(once, [] { CStartSwitches::AddConvertStep([] { ConvertAll(); }); });
}

bool CAccountStore::Refresh(int64_t id, std::vector<CMergedEntry>* merged)
{
    CAccountData account;
    if (!FindById(id, account))
        return false;
    return CAccountUpdates::MergeFile(account.fileName, merged);
}
