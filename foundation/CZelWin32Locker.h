#pragma once
// CZelWin32Locker: the recursive lock that guards every shared structure of the system.
// A handle (name, locks taken through it) on a shared body (the mutex, the nesting depth and,
// for the first 20 levels, where each level was taken). Taking it with a source label bounds
// the wait; when the bound passes a "Possible deadlock" report naming every holder goes to the
// lock log and the caller keeps waiting. Nothing is broken up automatically. A lock still held
// by a thread that has ended passes to the next taker, its depth counted again from 0.

#include "foundation/CZelRefCounted.h"
#include "foundation/CZelString.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class CZelFileLock;

// Result codes of the timed waits (lock and event), as callers compare them.
inline constexpr int kZelWaitAcquired = 0;
inline constexpr int kZelWaitTimeout = 258;
inline constexpr int kZelWaitInfinite = -1;

// Levels of one lock whose taker is remembered for the deadlock report.
inline constexpr int kZelLockRecordedLevels = 20;
inline constexpr int kZelDeadlockTimeoutMs = 60000;

class CZelWin32Locker {
public:
    explicit CZelWin32Locker(const char* name = "unnamed");
    // A copy shares the body (the same mutex) but holds no locks of its own.
    CZelWin32Locker(const CZelWin32Locker& other);
    CZelWin32Locker& operator=(const CZelWin32Locker&) = delete;
    // Reports (and gives back) locks the handle still holds.
    ~CZelWin32Locker();

    // Waits up to `ms` (-1 = without limit). 0 = acquired, kZelWaitTimeout otherwise.
    int Lock(int ms);
    // Waits with the deadlock bound; on its expiry writes the deadlock report and waits on.
    // Records `source` (a copy of its first 95 bytes) and `line` for the level taken. Returns 0.
    int Lock(const char* source, int line);
    // Releases one level taken through this handle. -1 when the handle or the calling thread
    // holds none (the misuse is reported in the lock log), 0 otherwise.
    int UnLock(const char* source = nullptr, int line = -1);

    const CZelString& Name() const { return m_name; }
    // Whether the calling thread holds the lock (through any handle). Cheap: it reads only the
    // calling thread's own list of held locks, never waits and takes no lock.
    bool IsHeldByCallingThread() const;
    int HeldByHandle() const;
    // Nesting depth of the shared body (all handles, the owning thread).
    int Depth() const;
    // "[%d]: source(line)" for each recorded level, each line ended by "\r\n".
    CZelString HolderList() const;
    // Optional text that a report appends after the holder list.
    void SetTrace(const CZelString& trace);
    // From now on the outermost take of this lock (through any handle) also takes `fileLock`
    // and the last release gives it back, so that the threads of every process that shares
    // the file take turns. Null ends that; a holder at that moment keeps what it took.
    void ShareAcrossProcesses(std::shared_ptr<CZelFileLock> fileLock);

    // --- process-wide settings of the reporting (tests shorten the bound, redirect the log) ---
    static void SetDeadlockTimeoutMs(int ms);
    static int DeadlockTimeoutMs();
    // The lock log, "logs/CZelWin32Locker.txt" unless set; a relative path is taken from the
    // working directory at the time of the report, and a missing folder is made.
    static void SetLogPath(const std::string& path);
    static std::string LogPath();
    // Every report text written to the lock log is also handed here.
    using ReportCallback = std::function<void(const CZelString& text)>;
    static void SetReportCallback(ReportCallback callback);

    struct Body;

private:
    CZelRef<Body> m_body;
    CZelString m_name;
    int m_held = 0;
};

// Holds one level of a lock for a scope: `CZelLockGuard guard(ZelDataLock(), "Save()", __LINE__);`
class CZelLockGuard {
public:
    CZelLockGuard(CZelWin32Locker& lock, const char* source, int line)
        : m_lock(lock), m_source(source), m_line(line) { m_lock.Lock(source, line); }
    ~CZelLockGuard() { m_lock.UnLock(m_source, m_line); }
    CZelLockGuard(const CZelLockGuard&) = delete;
    CZelLockGuard& operator=(const CZelLockGuard&) = delete;

private:
    CZelWin32Locker& m_lock;
    const char* m_source;
    int m_line;
};

// "%2d.%02d.%d %02d:%02d:%02d" of the current local time: the date form of every lock report.
CZelString ZelLockLogDateTime();
