#include "history/CMessageHistory.h"

#include "accounts/CAccountFile.h"
#include "accounts/CAccountStore.h"
#include "core/CStartSwitches.h"
#include "foundation/ZelGlobalLocks.h"
#include "history/HistoryFileAccess.h"

#include <mutex>

using namespace history_file;

namespace {

// The account id whose history a file of the working folder names: a registered account file
// ("%08D.xml" with a `Login` and a numeric `Id`); -1 otherwise.
int64_t RegisteredAccountId(const CZelString& fileName)
{
    int64_t number = -1;
    if (!CAccountFile::FileNameNumber(fileName, number) || number < 0)
        return -1;
    CZelXmlDocument account;
    {
        CZelLockGuard hold(ZelDataLock(), "CMessageHistory::ConvertAll()", __LINE__);
        if (!CAccountFile::Load(fileName, account))
            return -1;
    }
    bool hasLogin = false;
    account.RootElement().GetAttr(AccountAttr::kLogin, &hasLogin);
    return hasLogin ? CAccountFile::ParseId(account.RootElement().GetAttr(AccountAttr::kId)) : -1;
}

bool ConvertHistoryOf(int64_t accountId)
{
    CZelLockGuard hold(ZelDataLock(), "CMessageHistory::ConvertAll()", __LINE__);
    const CZelString path = CMessageHistory::PathFor(accountId);
    CZelXmlDocument document;
    if (LoadExisting(path, document) != ELoad::Loaded || !CMessageHistory::Convert(document))
        return false;
    return Save(path, document);
}

} // namespace

bool CMessageHistory::Convert(CZelXmlDocument& document)
{
    bool changed = false;
    for (const char* section : {kSectionReceived, kSectionSent})
        for (const CZelXmlNode& entry : LastEntries(document, section, -1))
            changed = CAccountStore::ConvertEntryName(entry) || changed;
    return changed;
}

int CMessageHistory::ConvertAll()
{
    int converted = 0;
    for (const CZelString& fileName : CAccountStore::ListFiles()) {
        const int64_t accountId = RegisteredAccountId(fileName);
        if (accountId >= 0 && ConvertHistoryOf(accountId))
            ++converted;
    }
    return converted;
}

void CMessageHistory::RegisterConvertStep()
{
    static std::once_flag once;
    std::call_once(once, [] { CStartSwitches::AddConvertStep([] { ConvertAll(); }); });
}
