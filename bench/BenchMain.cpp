#include "bench/BenchMain.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

namespace velmo_bench {
namespace {
std::mutex g_linesLock;
std::vector<std::string> g_lines;

// Keeps Google Benchmark's own console output and remembers each run's time per iteration.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // No colour codes: the figure lines are read by scripts, and a trailing reset code
    // would otherwise stick to the front of the first of them.
    RatioReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration || run.iterations == 0)
                continue;
            // Google Benchmark appends its own segments ("/iterations:2", "/real_time"), so
            // the side is the segment "ours" or "theirs" wherever it stands after the figure.
            const std::string name = run.benchmark_name();
            const double perIteration = run.GetAdjustedRealTime();
            if (const auto at = name.find("/ours"); at != std::string::npos && IsSegmentEnd(name, at + 5))
                m_pairs[name.substr(0, at)].first = perIteration;
            else if (const auto at2 = name.find("/theirs"); at2 != std::string::npos && IsSegmentEnd(name, at2 + 7))
                m_pairs[name.substr(0, at2)].second = perIteration;
        }
    }

    void PrintRatios() const
    {
        for (const auto& [figure, times] : m_pairs)
            if (times.first > 0 && times.second > 0)
                std::printf("RATIO %s %.3f\n", figure.c_str(), times.second / times.first);
    }

private:
    static bool IsSegmentEnd(const std::string& name, size_t at) { return at == name.size() || name[at] == '/'; }

    std::map<std::string, std::pair<double, double>> m_pairs;
};
} // namespace

void AddFigureLine(const std::string& line)
{
    std::lock_guard<std::mutex> guard(g_linesLock);
    g_lines.push_back(line);
}
} // namespace velmo_bench

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    velmo_bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::fflush(stdout);
    reporter.PrintRatios();
    for (const auto& line : velmo_bench::g_lines)
        std::printf("%s\n", line.c_str());
    benchmark::Shutdown();
    return 0;
}
