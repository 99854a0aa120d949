#pragma once
// CZelFileLock: an exclusive advisory lock on a file, shared by every process that opens the
// same file, so that programs working on the same folder take turns. Not recursive and not for
// threads: one process holds it or not (CZelWin32Locker adds the threads on top of it).

#include "foundation/CZelString.h"

#include <memory>

class CZelFileLock {
public:
    // Opens (creating with mode 0600) the lock file; throws XTOOErrno when it cannot be opened.
    explicit CZelFileLock(const CZelString& path);
    ~CZelFileLock();
    CZelFileLock(const CZelFileLock&) = delete;
    CZelFileLock& operator=(const CZelFileLock&) = delete;

    // Waits up to `ms` (-1: without limit) for the other processes to let go; false only on
    // time-out. A file system that cannot lock at all is taken as held.
    bool Lock(int ms);
    void Unlock();

    const CZelString& Path() const { return m_path; }

private:
    bool TryLock();

    CZelString m_path;
    int m_fd = -1;
};
