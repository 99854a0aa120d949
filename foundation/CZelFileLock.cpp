#include "foundation/CZelFileLock.h"

#include "foundation/CZelFormat.h"
#include "foundation/XTOOError.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace {

// A bounded wait polls, since flock has no time-out: short first, so a lock that is let go
// soon is taken soon, then at most this often.
constexpr int kLongestPollMs = 20;

int OpenLockFile(const char* path)
{
    // Close-on-exec: a started program must not inherit (and share) this process's lock.
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EACCES || errno == EROFS))
        fd = open(path, O_RDONLY | O_CLOEXEC);   // a lock needs no write access
    return fd;
}

} // namespace

CZelFileLock::CZelFileLock(const CZelString& path) : m_path(path)
{
    m_fd = OpenLockFile(path.Ptr());
    if (m_fd < 0)
        throw XTOOErrno(Format("cannot open the lock file %S:", &path));
}

CZelFileLock::~CZelFileLock()
{
    close(m_fd);   // also lets go of the lock
}

bool CZelFileLock::TryLock()
{
    int result;
    do
        result = flock(m_fd, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    // Only another holder makes us wait: a file system that cannot lock at all (ENOLCK) must
    // not stop the program, which then runs as if alone.
    return result == 0 || errno != EWOULDBLOCK;
}

bool CZelFileLock::Lock(int ms)
{
    if (ms < 0) {
        while (flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {}
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    int pollMs = 1;
    while (!TryLock()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(pollMs, left.count())));
        pollMs = std::min(pollMs * 2, kLongestPollMs);
    }
    return true;
}

void CZelFileLock::Unlock()
{
    flock(m_fd, LOCK_UN);
}
