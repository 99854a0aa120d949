#pragma once
// What tests can see of the process's threads through /proc: their number, and whether they
// are asleep in the kernel (blocked in a wait) rather than running.

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace velmo_testing {

inline pid_t CurrentThreadId()
{
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

// The ids of the process's threads.
inline std::vector<pid_t> ProcessThreads()
{
    std::vector<pid_t> threads;
    DIR* dir = ::opendir("/proc/self/task");
    if (!dir)
        return threads;
    while (const dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.')
            threads.push_back(static_cast<pid_t>(std::stol(entry->d_name)));
    ::closedir(dir);
    return threads;
}

// The kernel's one-letter state of the thread ('R' running, 'S' asleep, ...), or 0 when it
// is gone.
inline char ThreadState(pid_t thread)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(thread) + "/stat");
    std::string text;
    std::getline(stat, text);
    // The state follows the command name, which is in parentheses and may hold anything.
    const size_t nameEnd = text.rfind(')');
    return nameEnd == std::string::npos || nameEnd + 2 >= text.size() ? 0 : text[nameEnd + 2];
}

// True while the thread sleeps in the kernel: in a wait, a blocking read or a lock.
inline bool IsThreadBlocked(pid_t thread)
{
    const char state = ThreadState(thread);
    return state == 'S' || state == 'D';
}

// True when every thread of the process but the calling one sleeps in the kernel (or is
// ending): the moment after the threads a test started have all reached their waits.
inline bool AllOtherThreadsBlocked()
{
    const pid_t self = CurrentThreadId();
    for (pid_t thread : ProcessThreads()) {
        const char state = ThreadState(thread);
        if (thread != self && state != 0 && state != 'S' && state != 'D' && state != 'Z' && state != 'X')
            return false;
    }
    return true;
}

// The number of threads of the process. A sanitizer may start a helper thread of its own with
// the first thread the program makes; one short thread run first makes sure it is already
// there, so counts taken before and after the code under test compare.
inline int CountThreads()
{
    static const bool helpersStarted = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)helpersStarted;
    return static_cast<int>(ProcessThreads().size());
}

} // namespace velmo_testing
