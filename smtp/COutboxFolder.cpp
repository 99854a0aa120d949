// The outbox's names, its listing and its event: what both the queueing and the upload loop
// rely on.

#include "smtp/COutbox.h"

#include "foundation/CZelEvent.h"
#include "foundation/CZelFile.h"
#include "foundation/CZelFileFind.h"
#include "foundation/CZelFormat.h"
#include "protocol/CSessionKeyFile.h"

#include <algorithm>

namespace {

constexpr char kQueuedPattern[] = "*.blk";

// The number before the first '.', or -1 when that part is not all digits.
int64_t NumberOf(const CZelString& name)
{
    const int32_t dot = name.Find('.');
    const CZelString head = dot < 0 ? name : name.Left(dot);
    if (head.IsEmpty() || head.Length() > 18)
        return -1;
    int64_t number = 0;
    for (int32_t i = 0; i < head.Length(); ++i) {
        const char digit = head.Ptr()[i];
        if (digit < '0' || digit > '9')
            return -1;
        number = number * 10 + (digit - '0');
    }
    return number;
}

} // namespace

CZelString COutbox::FolderFor(int64_t accountId)
{
    return Format("Accounts/%08D/%s", accountId, CSessionKeyFile::kOutboxFolder);
}

CZelString COutbox::FilePath(int64_t accountId, int64_t number)
{
    return Format("%S/%08D.blk", FolderFor(accountId), number);
}

std::vector<COutboxFile> COutbox::QueuedFiles(int64_t accountId)
{
    std::vector<COutboxFile> files;
    CZelFileFind find(Format("%S/%s", FolderFor(accountId), kQueuedPattern), 1,
                      CZelFileFind::TypeBit(CZelFileFindEntry::kFile));
    while (find.Next()) {
        COutboxFile file;
        file.number = NumberOf(find.Name());
        file.path = find.FullName();
        file.listPath = file.path + kListSuffix;
        files.push_back(std::move(file));
    }
    // Numbers, not names, give the order: "10.blk" comes after "9.blk".
    std::stable_sort(files.begin(), files.end(),
                     [](const COutboxFile& a, const COutboxFile& b) { return a.number < b.number; });
    return files;
}

CZelEvent& COutbox::Event()
{
    // Auto-reset is not wanted: the loop resets it itself when a pass begins.
    static CZelEvent event(true, false);
    return event;
}
