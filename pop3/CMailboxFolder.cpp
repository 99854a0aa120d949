#include "pop3/CMailboxFolder.h"

#include "foundation/CZelFile.h"
#include "foundation/CZelFileFind.h"
#include "foundation/CZelFormat.h"
#include "foundation/ZelGlobalLocks.h"

#include <algorithm>

namespace {

// The N of "N.msg" / "N.id": a positive decimal number without leading zeros, then exactly
// the extension. Anything else in the folder (temporary files, the history) is not a message.
bool NumberOfName(const CZelString& name, const char* extension, int64_t& number)
{
    const std::string_view text(name.Ptr(), static_cast<size_t>(name.Length()));
    const std::string_view ending(extension);
    if (text.size() <= ending.size() || !text.ends_with(ending))
        return false;
    const std::string_view digits = text.substr(0, text.size() - ending.size());
    if (digits.empty() || digits.size() > 18 || digits.front() == '0')
        return false;
    int64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    number = value;
    return true;
}

} // namespace

CMailboxFolder::CMailboxFolder(int64_t accountId) : m_accountId(accountId) {}

CZelString CMailboxFolder::Folder() const
{
    return Format("Accounts/%08D", m_accountId);
}

CZelString CMailboxFolder::MessagePath(int64_t number) const
{
    return Format("%S/%D%s", Folder(), number, kMessageExtension);
}

CZelString CMailboxFolder::IdPath(int64_t number) const
{
    return Format("%S/%D%s", Folder(), number, kIdExtension);
}

std::vector<CMailboxFolder::CEntry> CMailboxFolder::List() const
{
    std::vector<CEntry> entries;
    CZelLockGuard hold(ZelDataLock(), "CMailboxFolder::List()", __LINE__);
    CZelFileFind find(Folder() + "/*" + kMessageExtension, 1, CZelFileFind::kFilesOnly);
    while (find.Next()) {
        CEntry entry;
        if (!NumberOfName(find.Name(), kMessageExtension, entry.number))
            continue;
        entry.size = CZelFile::FileLength(find.FullName());
        if (entry.size >= 0)
            entries.push_back(entry);
    }
    std::sort(entries.begin(), entries.end(), [](const CEntry& a, const CEntry& b) { return a.number < b.number; });
    return entries;
}

CZelString CMailboxFolder::ReadId(int64_t number) const
{
    CZelString id;
    CZelLockGuard hold(ZelDataLock(), "CMailboxFolder::ReadId()", __LINE__);
    if (!CZelFile::LoadWholeFile(IdPath(number), id, kMaxIdFileBytes))
        return CZelString();
    return id;
}

std::map<CZelString, int64_t> CMailboxFolder::IdTable() const
{
    std::map<CZelString, int64_t> table;
    CZelLockGuard hold(ZelDataLock(), "CMailboxFolder::IdTable()", __LINE__);
    CZelFileFind find(Folder() + "/*" + kIdExtension, 1, CZelFileFind::kFilesOnly);
    while (find.Next()) {
        int64_t number = 0;
        CZelString id;
        if (NumberOfName(find.Name(), kIdExtension, number) &&
            CZelFile::LoadWholeFile(find.FullName(), id, kMaxIdFileBytes) && !id.IsEmpty())
            table.emplace(id, number);
    }
    return table;
}

int64_t CMailboxFolder::Store(const CZelString& messageId, std::string_view text, CZelString* error) const
{
    CZelLockGuard hold(ZelDataLock(), "CMailboxFolder::Store()", __LINE__);
    XTOOError failure;
    // A name that cannot be written (a folder in the way, a file nobody may replace) is passed
    // over; a disk that refuses every name ends the search.
    constexpr int kTries = 100;
    int64_t number = kFirstDownloadNumber;
    for (int tries = 0; tries < kTries; ++tries, ++number) {
        while (CZelFile::FileExists(MessagePath(number)) || CZelFile::IsDirectory(MessagePath(number)))
            ++number;
        if (CZelFile::SaveWholeFile(MessagePath(number), text, EErrorMode::ReturnCodes, &failure) &&
            CZelFile::SaveWholeFile(IdPath(number), messageId, EErrorMode::ReturnCodes, &failure))
            return number;
        CZelFile::DeleteFile(MessagePath(number));
        CZelFile::DeleteFile(IdPath(number));
    }
    if (error)
        *error = failure.GetText();
    return -1;
}

void CMailboxFolder::Renumber() const
{
    CZelLockGuard hold(ZelDataLock(), "CMailboxFolder::Renumber()", __LINE__);
    const std::vector<CEntry> entries = List();
    int64_t wanted = 1;
    for (const CEntry& entry : entries) {
        if (entry.number != wanted) {
            // An id left without its text would block the move; it names nothing any more.
            if (!CZelFile::FileExists(MessagePath(wanted)))
                CZelFile::DeleteFile(IdPath(wanted));
            if (!CZelFile::Rename(MessagePath(entry.number), MessagePath(wanted)))
                return;
            // An id that cannot follow its text would name another message: the text goes back.
            if (CZelFile::FileExists(IdPath(entry.number)) && !CZelFile::Rename(IdPath(entry.number), IdPath(wanted))) {
                CZelFile::Rename(MessagePath(wanted), MessagePath(entry.number));
                return;
            }
        }
        ++wanted;
    }
}

bool CMailboxFolder::Remove(int64_t number) const
{
    CZelLockGuard hold(ZelDataLock(), "CMailboxFolder::Remove()", __LINE__);
    CZelFile::DeleteFile(IdPath(number));
    return CZelFile::DeleteFile(MessagePath(number)) || !CZelFile::FileExists(MessagePath(number));
}
