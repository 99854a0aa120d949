// The cost of the bookkeeping the system's lock adds (holder levels for the deadlock report,
// thread-end hand-over) against the standard recursive mutex, and of one activity log line
// (time stamp, colours, line rules, bound) against a plain bounded deque under a mutex.

#include "bench/BenchMain.h"
#include "core/CProtocolListData.h"
#include "foundation/CZelWin32Locker.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <deque>
#include <mutex>
#include <string>

namespace {

void LockOnceOurs(benchmark::State& state)
{
    CZelWin32Locker lock("Bench");
    for (auto _ : state) {
        lock.Lock("LockOnceOurs()", __LINE__);
        lock.UnLock("LockOnceOurs()", __LINE__);
    }
}

void LockOnceTheirs(benchmark::State& state)
{
    std::recursive_mutex lock;
    for (auto _ : state) {
        lock.lock();
        lock.unlock();
    }
}

void LockNestedOurs(benchmark::State& state)
{
    CZelWin32Locker lock("Bench");
    for (auto _ : state) {
        CZelLockGuard outer(lock, "Outer()", __LINE__);
        CZelLockGuard inner(lock, "Inner()", __LINE__);
        benchmark::ClobberMemory();
    }
}

void LockNestedTheirs(benchmark::State& state)
{
    std::recursive_mutex lock;
    for (auto _ : state) {
        std::lock_guard<std::recursive_mutex> outer(lock);
        std::lock_guard<std::recursive_mutex> inner(lock);
        benchmark::ClobberMemory();
    }
}

void LogLineOurs(benchmark::State& state)
{
    CProtocolListData log;
    const CZelString line("250 2.0.0 OK message accepted for delivery\n");
    for (auto _ : state)
        benchmark::DoNotOptimize(log.AddStringEx(line));
}

void LogLineTheirs(benchmark::State& state)
{
    struct Line {
        int64_t time;
        std::string text;
        int32_t background, foreground;
    };
    std::mutex lock;
    std::deque<Line> lines;
    const std::string text("250 2.0.0 OK message accepted for delivery\n");
    for (auto _ : state) {
        std::lock_guard<std::mutex> guard(lock);
        lines.push_back(Line{static_cast<int64_t>(std::time(nullptr)), text.substr(0, text.find('\n')), -1, -1});
        if (lines.size() >= 2000)
            lines.pop_front();
        benchmark::DoNotOptimize(lines.back());
    }
}

} // namespace

BENCHMARK(LockOnceOurs)->Name("lock_once/ours");
BENCHMARK(LockOnceTheirs)->Name("lock_once/theirs");
BENCHMARK(LockNestedOurs)->Name("lock_nested/ours");
BENCHMARK(LockNestedTheirs)->Name("lock_nested/theirs");
BENCHMARK(LogLineOurs)->Name("log_line/ours");
BENCHMARK(LogLineTheirs)->Name("log_line/theirs");
