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
    CZelString fileName = account.fileName.IsEmpty() ? CAccountFile::FreeTemporaryName() : account.fileName;
    CZelXmlDocument document = CAccountFile::NewDocument();
    if (CZelFile::FileExists(fileName) && !CAccountFile::Load(fileName, document))
        return false;   // never write over a file whose content could not be kept
    CZelXmlNode root = document.RootElement();
    for (const auto& [attribute, value] : account.Rows())
        root.SetAttr(attribute, value);
    root.SetAttr(kTranslitName, Transliterate(account.name));
    root.SetAttr(kUnicodeName, UnicodeName(account.name));

    const int64_t id = account.Id();
    const CZelString target = id >= 0 ? CAccountFile::FileNameFor(id) : fileName;
    // The new file is written before the old one goes, so a crash between the two steps
    // leaves the account (and its private key) in at least one of them.
    if (!CAccountFile::Save(target, document))
        return false;
    if (!SameFileName(target, fileName) && CZelFile::FileExists(fileName))
        CZelFile::DeleteFile(fileName);
    account.fileName = target;
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
