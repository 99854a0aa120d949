#pragma once
// The process-wide locks. Each is made on first use and kept until the process ends (never
// destroyed, so static destructors and late threads may still take them).
//
// Lock order: the data lock is taken for short state changes only, never while waiting on an
// event or a network request; the others are leaf locks held for a few statements.

#include "foundation/CZelWin32Locker.h"

// Guards account files, key files, histories, the outbox, the log pages, the account change
// flags and the shared state of the networking layer.
CZelWin32Locker& ZelDataLock();
// Makes the data lock also hold against every other process that shares the lock file at
// `path` (created with mode 0600), so that two programs working on the same files take
// turns; an empty path makes it a lock of this process only again. Throws XTOOErrno when the
// file cannot be opened, leaving the lock as it was.
void ZelShareDataLockThrough(const CZelString& path);
// The string library's lock: configuration values and the workers' status texts.
CZelWin32Locker& ZelStringGlobalLock();
// Copying file handles onto one another.
CZelWin32Locker& ZelFileHandleLock();
// Substituting error texts.
CZelWin32Locker& ZelErrorLock();
// One-time table set-ups.
CZelWin32Locker& ZelGeneralLock();
