#include "foundation/ZelGlobalLocks.h"

#include "foundation/CZelFileLock.h"

namespace {

// Deliberately leaked: a lock must outlive every thread and static object that may take it.
CZelWin32Locker& Keep(const char* name)
{
    return *new CZelWin32Locker(name);
}

} // namespace

CZelWin32Locker& ZelDataLock()
{
    static CZelWin32Locker& lock = Keep("DataLock");
    return lock;
}

void ZelShareDataLockThrough(const CZelString& path)
{
    std::shared_ptr<CZelFileLock> file;
    if (!path.IsEmpty())
        file = std::make_shared<CZelFileLock>(path);
    ZelDataLock().ShareAcrossProcesses(std::move(file));
}

CZelWin32Locker& ZelStringGlobalLock()
{
    static CZelWin32Locker& lock = Keep("StringGlobalLock");
    return lock;
}

CZelWin32Locker& ZelFileHandleLock()
{
    static CZelWin32Locker& lock = Keep("FileHandleLock");
    return lock;
}

CZelWin32Locker& ZelErrorLock()
{
    static CZelWin32Locker& lock = Keep("ErrorLock");
    return lock;
}

CZelWin32Locker& ZelGeneralLock()
{
    static CZelWin32Locker& lock = Keep("GeneralLock");
    return lock;
}
