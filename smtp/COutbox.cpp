#include "smtp/COutbox.h"

#include "accounts/CAccountFile.h"
#include "foundation/CZelEvent.h"
#include "foundation/CZelFileFind.h"
#include "foundation/CZelFormat.h"

#include <algorithm>

namespace {

constexpr char kFolderFormat[] = "Accounts/%08D/Outbox/";
constexpr char kFileFormat[] = "%08D.blk";

} // namespace

CZelString COutbox::FolderFor(int64_t accountId)
{
    return Format(kFolderFormat, accountId);
}

CZelString COutbox::FilePath(int64_t accountId, int64_t number)
{
    return FolderFor(accountId) + Format(kFileFormat, number);
}

std::vector<COutboxFile> COutbox::QueuedFiles(int64_t accountId)
{
    std::vector<COutboxFile> files;
    CZelFileFind find(FolderFor(accountId) + kQueuedPattern, 1, CZelFileFind::kFilesOnly);
    while (find.Next()) {
        COutboxFile file;
        if (!CAccountFile::FileNameNumber(find.Name(), file.number))
            file.number = -1;
        file.path = FolderFor(accountId) + find.Name();
        file.listPath = file.path + kListSuffix;
        files.push_back(file);
    }
    // A name without a number first, then by number; equal numbers keep the folder's order.
    std::stable_sort(files.begin(), files.end(),
                     [](const COutboxFile& a, const COutboxFile& b) { return a.number < b.number; });
    return files;
}

CZelEvent& COutbox::Event()
{
    // Never destroyed: the upload thread may still wait on it while the process ends.
    static CZelEvent* const event = new CZelEvent(true, false);
    return *event;
}
