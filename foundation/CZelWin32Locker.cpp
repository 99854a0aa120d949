#include "foundation/CZelWin32Locker.h"

#include "foundation/CZelFileLock.h"
#include "foundation/CZelFormat.h"
#include "foundation/ZelDateTime.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr const char* kDefaultLogPath = "logs/CZelWin32Locker.txt";
constexpr const char* kUnnamedSource = "unnamed";
constexpr const char* kAbsentSource = "null";
constexpr int kSpacePaddedDateStyle = 0;   // "%2d.%02d.%d"
constexpr size_t kLabelSize = 96;           // bytes of a taker's label kept for the report

struct ReportSettings {
    std::mutex mutex;                 // guards path and callback, and serialises log appends
    std::string path = kDefaultLogPath;
    CZelWin32Locker::ReportCallback callback;
    std::atomic<int> deadlockTimeoutMs{kZelDeadlockTimeoutMs};
};

// Kept to the end of the process: locks may report from static destructors.
ReportSettings& Settings()
{
    static ReportSettings* settings = new ReportSettings;
    return *settings;
}

// Appends `text` to the lock log and hands it to the report callback. A log that cannot be
// written loses the report but never disturbs the lock.
void WriteReport(const CZelString& text)
{
    ReportSettings& settings = Settings();
    CZelWin32Locker::ReportCallback callback;
    {
        std::lock_guard<std::mutex> guard(settings.mutex);
        std::error_code ignored;
        const std::filesystem::path path(settings.path);
        if (path.has_parent_path())
            std::filesystem::create_directories(path.parent_path(), ignored);
        if (std::FILE* file = std::fopen(settings.path.c_str(), "ab")) {
            std::fwrite(text.Ptr(), 1, static_cast<size_t>(text.Length()), file);
            std::fclose(file);
        }
        callback = settings.callback;
    }
    if (callback)
        callback(text);
}

} // namespace

namespace {
void NoteHeldByThisThread(CZelWin32Locker::Body* body);
void NoteReleasedByThisThread(CZelWin32Locker::Body* body);
bool HeldByThisThread(const CZelWin32Locker::Body* body);
} // namespace

CZelString ZelLockLogDateTime()
{
    return DateTimeText(static_cast<int64_t>(std::time(nullptr)), kSpacePaddedDateStyle);
}

// Held by every handle on it and, while it is locked, by the owning thread.
struct CZelWin32Locker::Body : CZelRefCounted<Body> {
    // The taker's label is copied (cut to fit) rather than referenced: a report must never
    // read a caller's buffer that has gone, and the copy costs no allocation.
    struct Level {
        char source[kLabelSize] = {};
        bool hasSource = false;
        int line = -1;

        void Set(const char* label, int takenAt)
        {
            hasSource = label != nullptr;
            if (hasSource) {
                // A byte loop: labels are short, and a string-instruction copy costs more here
                // than the rest of taking the lock.
                size_t i = 0;
                for (; i + 1 < sizeof source && label[i] != '\0'; ++i)
                    source[i] = label[i];
                source[i] = '\0';
            }
            line = takenAt;
        }
    };

    // The recursive lock itself: an owner and a depth guarded by a plain mutex that is only
    // held for a few statements, so that a waiter can always read who holds the lock.
    mutable std::mutex info;
    std::condition_variable released;
    std::thread::id owner;
    int depth = 0;
    int waiters = 0;
    Level levels[kZelLockRecordedLevels];
    CZelString trace;
    std::shared_ptr<CZelFileLock> fileLock;   // shared with other processes when set
    std::shared_ptr<CZelFileLock> heldFile;   // what the current owner took of it

    void GiveBackFileLock()
    {
        if (heldFile) {
            heldFile->Unlock();
            heldFile.reset();
        }
    }

    bool OwnedByCaller() const { return depth > 0 && owner == std::this_thread::get_id(); }
    bool OwnedByCallerLocked() const
    {
        std::lock_guard<std::mutex> guard(info);
        return OwnedByCaller();
    }

    // Takes one level for the calling thread, records who took it and counts it in the
    // handle's `held` (guarded by `info` like the rest); false on time-out.
    bool Acquire(int ms, const char* source, int line, int& held)
    {
        const auto start = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(info);
        if (!OwnedByCaller()) {
            if (depth > 0) {
                auto free = [this] { return depth == 0; };
                ++waiters;
                bool gotIt = true;
                if (ms < 0)
                    released.wait(lock, free);
                else
                    gotIt = released.wait_for(lock, std::chrono::milliseconds(ms), free);
                --waiters;
                if (!gotIt)
                    return false;
            }
            owner = std::this_thread::get_id();
            // The owning thread keeps the body alive and gives the lock up if it ends holding it.
            AddRef();
            NoteHeldByThisThread(this);
            if (fileLock && !TakeFileLock(lock, LeftOf(ms, start), source, line))
                return false;
        }
        ++depth;
        ++held;
        if (depth <= kZelLockRecordedLevels)
            levels[depth - 1].Set(source, line);
        return true;
    }

    static int LeftOf(int ms, std::chrono::steady_clock::time_point start)
    {
        if (ms < 0)
            return ms;
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        return spent.count() >= ms ? 0 : ms - static_cast<int>(spent.count());
    }

    // With `info` held and the caller just made owner: waits for the other processes with
    // `info` let go, so that this process's other threads queue behind the caller and a
    // waiter can still report who holds the lock. On time-out the ownership is given back.
    bool TakeFileLock(std::unique_lock<std::mutex>& lock, int ms, const char* source, int line)
    {
        std::shared_ptr<CZelFileLock> file = fileLock;
        depth = 1;
        levels[0].Set(source, line);
        lock.unlock();
        const bool got = file->Lock(ms);
        lock.lock();
        depth = 0;
        if (got) {
            heldFile = std::move(file);
            return true;
        }
        owner = std::thread::id();
        NoteReleasedByThisThread(this);
        const LevelRelease how = waiters > 0 ? LevelRelease::FreeWithWaiters : LevelRelease::Free;
        lock.unlock();
        Released(how);
        return false;
    }

    enum class LevelRelease { StillHeld, Free, FreeWithWaiters };

    // With `info` held: gives back one level of the calling thread. Unless the lock is still
    // held, the caller must call Released with the result after letting `info` go.
    LevelRelease ReleaseLevelLocked(int& held)
    {
        --held;
        if (--depth > 0)
            return LevelRelease::StillHeld;
        // Before the ownership goes: a thread of this process that took the lock next would
        // otherwise find the file still locked by this process and then lose it to this unlock.
        GiveBackFileLock();
        owner = std::thread::id();
        NoteReleasedByThisThread(this);
        return waiters > 0 ? LevelRelease::FreeWithWaiters : LevelRelease::Free;
    }

    void Released(LevelRelease how)
    {
        if (how == LevelRelease::StillHeld)
            return;
        if (how == LevelRelease::FreeWithWaiters)
            released.notify_one();
        Release();
    }

    // The owning thread ended while holding the lock: the next taker gets it, from depth 0.
    void Abandon()
    {
        {
            std::lock_guard<std::mutex> guard(info);
            if (!OwnedByCaller())
                return;
            GiveBackFileLock();
            depth = 0;
            owner = std::thread::id();
        }
        released.notify_one();
        Release();
    }

    CZelString HolderList() const
    {
        std::lock_guard<std::mutex> guard(info);
        CZelString list;
        const int recorded = depth < kZelLockRecordedLevels ? depth : kZelLockRecordedLevels;
        for (int i = 0; i < recorded; ++i) {
            const Level& level = levels[i];
            list += Format("[%d]: ", i);
            list += level.hasSource ? level.source : kAbsentSource;
            list += Format("(%d)\r\n", level.line);
        }
        if (!trace.IsEmpty()) {
            list += trace;
            list += "\r\n";
        }
        return list;
    }
};

namespace {

// The locks the current thread owns, so that a thread ending while it holds one does not
// leave it locked for good: like an abandoned platform mutex, it passes to the next taker.
struct HeldByThread {
    std::vector<CZelWin32Locker::Body*> bodies;
    HeldByThread();
    ~HeldByThread();
};

// 0 before the list is made, 1 while it lives, 2 once the thread's end destroyed it; being
// trivially destructible, the flag stays readable to the very end of the thread.
thread_local int t_heldState = 0;
thread_local HeldByThread t_held;

HeldByThread::HeldByThread()
{
    t_heldState = 1;
}

HeldByThread::~HeldByThread()
{
    t_heldState = 2;
    const std::vector<CZelWin32Locker::Body*> left = std::move(bodies);
    for (CZelWin32Locker::Body* body : left)
        body->Abandon();
}

void NoteHeldByThisThread(CZelWin32Locker::Body* body)
{
    if (t_heldState != 2)
        t_held.bodies.push_back(body);
}

void NoteReleasedByThisThread(CZelWin32Locker::Body* body)
{
    if (t_heldState != 1)
        return;
    std::vector<CZelWin32Locker::Body*>& bodies = t_held.bodies;
    for (size_t i = bodies.size(); i-- > 0;)
        if (bodies[i] == body) {
            bodies.erase(bodies.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
}

bool HeldByThisThread(const CZelWin32Locker::Body* body)
{
    if (t_heldState == 0)
        return false;       // this thread never took a lock
    if (t_heldState == 2)
        return body->OwnedByCallerLocked();    // the list is gone at the thread's very end
    const std::vector<CZelWin32Locker::Body*>& bodies = t_held.bodies;
    return std::find(bodies.begin(), bodies.end(), body) != bodies.end();
}

} // namespace

CZelWin32Locker::CZelWin32Locker(const char* name)
    : m_body(CZelRef<Body>::Fresh(new Body)), m_name(name ? name : kUnnamedSource)
{
}

CZelWin32Locker::CZelWin32Locker(const CZelWin32Locker& other) : m_body(other.m_body), m_name(other.m_name) {}

CZelWin32Locker::~CZelWin32Locker()
{
    int held;
    {
        std::lock_guard<std::mutex> guard(m_body->info);
        held = m_held;
    }
    if (held > 0) {
        WriteReport(Format("%s CZelWin32Locker::~CZelWin32Locker(): error: m_x=%d, m_Name=%s\r\n",
                           ZelLockLogDateTime().Ptr(), held, m_name.Ptr()) +
                    m_body->HolderList());
        // Levels the destroying thread took through this handle would otherwise stay locked
        // for good, hanging every later taker.
        for (Body::LevelRelease how = Body::LevelRelease::StillHeld; how == Body::LevelRelease::StillHeld;) {
            {
                std::lock_guard<std::mutex> guard(m_body->info);
                if (m_held <= 0 || !m_body->OwnedByCaller())
                    break;
                how = m_body->ReleaseLevelLocked(m_held);
            }
            m_body->Released(how);
        }
    }
}

int CZelWin32Locker::Lock(int ms)
{
    return m_body->Acquire(ms, kUnnamedSource, -1, m_held) ? kZelWaitAcquired : kZelWaitTimeout;
}

int CZelWin32Locker::Lock(const char* source, int line)
{
    const int timeoutMs = DeadlockTimeoutMs();
    if (!m_body->Acquire(timeoutMs, source, line, m_held)) {
        WriteReport(Format("\r\n%s: Possible deadlock (%d ms timeout):\r\n", ZelLockLogDateTime().Ptr(), timeoutMs) +
                    m_body->HolderList());
        m_body->Acquire(kZelWaitInfinite, source, line, m_held);
    }
    return kZelWaitAcquired;
}

int CZelWin32Locker::UnLock(const char* source, int line)
{
    int held;
    int depth;
    {
        std::unique_lock<std::mutex> guard(m_body->info);
        held = m_held;
        depth = m_body->depth;
        if (held > 0 && m_body->OwnedByCaller()) {
            const Body::LevelRelease how = m_body->ReleaseLevelLocked(m_held);
            guard.unlock();
            m_body->Released(how);
            return 0;
        }
    }
    // Misuse: nothing is released, and no other holder is disturbed.
    const char* name = source ? source : kAbsentSource;
    if (held <= 0) {
        WriteReport(Format("%s CZelWin32Locker::UnLock(%s, %d): error: m_x=%d, m_Name=%s\r\n",
                           ZelLockLogDateTime().Ptr(), name, line, held, m_name.Ptr()));
    }
    if (depth <= 0) {
        WriteReport(Format("\r\n%s: %s\r\n", ZelLockLogDateTime().Ptr(),
                           Format("CZelWin32Lock::UnLockF(%s, %d) error : xx = %d (lock count less then 0)", name,
                                  line, depth - 1)
                               .Ptr()));
    }
    return -1;
}

bool CZelWin32Locker::IsHeldByCallingThread() const
{
    return HeldByThisThread(m_body.Get());
}

int CZelWin32Locker::HeldByHandle() const
{
    std::lock_guard<std::mutex> guard(m_body->info);
    return m_held;
}

int CZelWin32Locker::Depth() const
{
    std::lock_guard<std::mutex> guard(m_body->info);
    return m_body->depth;
}

CZelString CZelWin32Locker::HolderList() const
{
    return m_body->HolderList();
}

void CZelWin32Locker::SetTrace(const CZelString& trace)
{
    std::lock_guard<std::mutex> guard(m_body->info);
    m_body->trace = trace;
}

void CZelWin32Locker::ShareAcrossProcesses(std::shared_ptr<CZelFileLock> fileLock)
{
    std::lock_guard<std::mutex> guard(m_body->info);
    m_body->fileLock = std::move(fileLock);
}

void CZelWin32Locker::SetDeadlockTimeoutMs(int ms)
{
    Settings().deadlockTimeoutMs.store(ms);
}

int CZelWin32Locker::DeadlockTimeoutMs()
{
    return Settings().deadlockTimeoutMs.load();
}

void CZelWin32Locker::SetLogPath(const std::string& path)
{
    std::lock_guard<std::mutex> guard(Settings().mutex);
    Settings().path = path;
}

std::string CZelWin32Locker::LogPath()
{
    std::lock_guard<std::mutex> guard(Settings().mutex);
    return Settings().path;
}

void CZelWin32Locker::SetReportCallback(ReportCallback callback)
{
    std::lock_guard<std::mutex> guard(Settings().mutex);
    Settings().callback = std::move(callback);
}
