#pragma once
// What tests can see of the process's threads through /proc: their number, and whether one
// of them is asleep in the kernel (blocked in a wait) rather than running.

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>

namespace velmo_testing {

inline pid_t CurrentThreadId()
{
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

// True while the thread sleeps in the kernel: in a wait, a blocking read or a lock. False when
// it runs, or is gone.
inline bool IsThreadBlocked(pid_t thread)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(thread) + "/stat");
    std::string text;
    std::getline(stat, text);
    // The state follows the command name, which is in parentheses and may hold anything.
    const size_t nameEnd = text.rfind(')');
    if (nameEnd == std::string::npos || nameEnd + 2 >= text.size())
        return false;
    const char state = text[nameEnd + 2];
    return state == 'S' || state == 'D';
}

// The number of threads of the process. A sanitizer starts a helper thread of its own with
// the first thread the program makes; one short thread run first makes sure it is already
// there, so counts taken before and after the code under test compare.
inline int CountThreads()
{
    static const bool helpersStarted = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)helpersStarted;
    DIR* dir = ::opendir("/proc/self/task");
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    ::closedir(dir);
    return count;
}

} // namespace velmo_testing
